#include "server/light.h"

#include <algorithm>
#include <cstring>

#include "common/log.h"
#include "common/records.h"

namespace {
const std::string kNoHost;
}  // namespace

static_assert(kLightMaxPacket == 1472 && kLightMaxPayload == 1456);

Light::~Light() {
  delete recv_socket_;
  recv_socket_ = nullptr;
  delete send_socket_;
  send_socket_ = nullptr;
  packet_cache_.clear();
}

bool Light::Connect(std::string& host, unsigned short send_port, unsigned short recv_port) {
  recv_socket_ = new Tcp();
  if (!recv_socket_->Connect(host, recv_port)) {
    ZANTU_ERROR("connect recv socket failed");
    return false;
  }
  // The announcement may arrive split; both bytes are needed.
  unsigned char port_bytes[2];
  size_t got = 0;
  while (got < sizeof(port_bytes)) {
    const int n = recv_socket_->Read(port_bytes + got, sizeof(port_bytes) - got);
    if (n <= 0) {
      ZANTU_ERROR("recv udp port error=%d happened", n);
      return false;
    }
    got += static_cast<size_t>(n);
  }
  const auto udp_port = static_cast<unsigned short>(port_bytes[0] | (port_bytes[1] << 8));
  send_socket_ = new Udp();
  if (!send_socket_->Connect(host, udp_port)) {
    ZANTU_ERROR("connect send socket failed");
    return false;
  }
  return true;
}

bool Light::SendDatagram(const std::string& datagram) {
  const int n = send_socket_ == nullptr ? 0 : send_socket_->Write(const_cast<char*>(datagram.data()), datagram.size());
  if (n != static_cast<int>(datagram.size())) {
    if (!shut_down_.load(std::memory_order_acquire)) ZANTU_ERROR("network send socket error=%d happened", n);
    return false;
  }
  return true;
}

bool Light::Send(void* data, size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    // A long send stops at the next datagram once the daemon shuts down.
    if (shut_down_.load(std::memory_order_acquire)) return false;
    const size_t chunk = std::min<size_t>(length, max_payload_size_);
    std::string datagram(sizeof(LightHeader) + chunk, '\0');
    std::memcpy(datagram.data() + sizeof(LightHeader), p, chunk);
    {
      // Taken per datagram, so that the node's resend requests, which the
      // node has to make one at a time, never wait for a whole record.
      zantu::MutexLock lock(&send_mutex_);
      StoreRecord(datagram.data(), LightHeader{next_seq_, chunk});
      if (!SendDatagram(datagram)) return false;
      packet_cache_[next_seq_] = std::move(datagram);
      ++next_seq_;
    }
    p += chunk;
    length -= chunk;
  }
  return true;
}

bool Light::Recv(void* data, size_t length) {
  const int n = ReadFully(recv_socket_, data, length);
  if (n <= 0) {
    if (!shut_down_.load(std::memory_order_acquire)) ZANTU_ERROR("network recv socket error=%d happened", n);
    return false;
  }
  return true;
}

bool Light::ResendLightPacket(unsigned long seq) {
  zantu::MutexLock lock(&send_mutex_);
  if (seq == next_seq_) {
    std::string bare(sizeof(LightHeader), '\0');
    StoreRecord(bare.data(), LightHeader{seq, 0});
    return SendDatagram(bare);
  }
  auto it = packet_cache_.find(seq);
  if (it == packet_cache_.end()) {
    ZANTU_ERROR("the cached light packet did not exist");
    return false;
  }
  if (!SendDatagram(it->second)) return false;
  packet_cache_.erase(packet_cache_.begin(), it);
  return true;
}

void Light::Shutdown() {
  // The flag goes first, so a call that the shutdown makes fail stays quiet.
  shut_down_.store(true, std::memory_order_release);
  if (recv_socket_ != nullptr) recv_socket_->Shutdown();
}

const std::string& Light::Host() const { return recv_socket_ == nullptr ? kNoHost : recv_socket_->host(); }
