#include "node/front/native_link.h"

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "common/log.h"
#include "node/front/sys_io.h"

namespace zantu_node {

NativeLink::NativeLink(uint16_t recv_port, uint16_t send_port)
    : recv_port_(recv_port), send_port_(send_port), buffer_(new char[kBufferSize]) {}

NativeLink::~NativeLink() { Close(); }

bool NativeLink::Listen(ListenPorts* ports) {
  recv_listen_fd_ = ListenTcp(recv_port_, &ports->recv_port);
  if (recv_listen_fd_ < 0) return false;
  send_listen_fd_ = ListenTcp(send_port_, &ports->send_port);
  return send_listen_fd_ >= 0;
}

bool NativeLink::Accept() {
  answer_fd_ = AcceptOne(recv_listen_fd_, "recv port");
  if (answer_fd_ < 0) return false;
  stream_fd_ = AcceptOne(send_listen_fd_, "send port");
  if (stream_fd_ < 0) return false;
  // Exactly one daemon: later connection attempts are refused.
  CloseFd(&recv_listen_fd_);
  CloseFd(&send_listen_fd_);
  return true;
}

StreamRead NativeLink::ReadStream(void* data, size_t length) {
  if (interrupted_.load(std::memory_order_acquire)) return StreamRead::kEnded;
  char* out = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    if (buffer_begin_ < buffer_end_) {
      const size_t n = std::min(length - done, buffer_end_ - buffer_begin_);
      std::memcpy(out + done, buffer_.get() + buffer_begin_, n);
      buffer_begin_ += n;
      done += n;
      continue;
    }
    const bool direct = length - done >= kBufferSize;
    char* into = direct ? out + done : buffer_.get();
    const ssize_t got = RecvSome(stream_fd_, into, direct ? length - done : kBufferSize);
    if (got <= 0) {
      return done == 0 ? StreamRead::kEnded : StreamRead::kTruncated;
    }
    bytes_in_ += static_cast<uint64_t>(got);
    if (direct) {
      done += static_cast<size_t>(got);
    } else {
      buffer_begin_ = 0;
      buffer_end_ = static_cast<size_t>(got);
    }
  }
  return StreamRead::kComplete;
}

bool NativeLink::WriteMessage(const struct iovec* iov, int count) {
  zantu::MutexLock lock(&write_mutex_);
  if (!SendAll(answer_fd_, iov, count)) return false;
  for (int i = 0; i < count; ++i) bytes_out_ += iov[i].iov_len;
  return true;
}

void NativeLink::Interrupt() {
  interrupted_.store(true, std::memory_order_release);
  // Wakes a recv in progress; the descriptor stays open until Close.
  if (stream_fd_ >= 0) shutdown(stream_fd_, SHUT_RD);
}

void NativeLink::Close() {
  CloseFd(&recv_listen_fd_);
  CloseFd(&send_listen_fd_);
  CloseFd(&answer_fd_);
  CloseFd(&stream_fd_);
}

uint64_t NativeLink::BytesOut() const {
  zantu::MutexLock lock(&write_mutex_);
  return bytes_out_;
}

std::string NativeLink::Summary() const {
  return "bytes_in=" + std::to_string(bytes_in_) + " bytes_out=" + std::to_string(BytesOut());
}

}  // namespace zantu_node
