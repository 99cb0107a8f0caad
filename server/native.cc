#include "server/native.h"

#include "common/log.h"

namespace {
const std::string kNoHost;
}  // namespace

Native::~Native() {
  delete recv_socket_;
  recv_socket_ = nullptr;
  delete send_socket_;
  send_socket_ = nullptr;
}

bool Native::Connect(std::string& host, unsigned short send_port, unsigned short recv_port) {
  recv_socket_ = new Tcp();
  if (!recv_socket_->Connect(host, recv_port)) {
    ZANTU_ERROR("connect recv socket failed");
    return false;
  }
  send_socket_ = new Tcp();
  if (!send_socket_->Connect(host, send_port)) {
    ZANTU_ERROR("connect send socket failed");
    return false;
  }
  return true;
}

bool Native::Send(void* data, size_t length) {
  const int n = WriteFully(send_socket_, data, length);
  if (n <= 0) {
    if (!shut_down_.load(std::memory_order_acquire)) ZANTU_ERROR("network send socket error=%d happened", n);
    return false;
  }
  return true;
}

bool Native::Recv(void* data, size_t length) {
  const int n = ReadFully(recv_socket_, data, length);
  if (n <= 0) {
    if (!shut_down_.load(std::memory_order_acquire)) ZANTU_ERROR("network recv socket error=%d happened", n);
    return false;
  }
  return true;
}

void Native::Shutdown() {
  // The flag goes first, so a call that the shutdown makes fail stays quiet.
  shut_down_.store(true, std::memory_order_release);
  if (recv_socket_ != nullptr) recv_socket_->Shutdown();
  if (send_socket_ != nullptr) send_socket_->Shutdown();
}

const std::string& Native::Host() const { return recv_socket_ == nullptr ? kNoHost : recv_socket_->host(); }
