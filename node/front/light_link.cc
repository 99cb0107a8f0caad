#include "node/front/light_link.h"

#include <sys/socket.h>

#include "common/log.h"
#include "common/records.h"
#include "common/response_batch.h"
#include "node/front/sys_io.h"

namespace zantu_node {
namespace {

// Enough for tens of thousands of datagrams while the node is busy.
constexpr size_t kUdpReceiveBuffer = size_t{64} << 20;

}  // namespace

LightLink::LightLink(const NodeOptions& options)
    : recv_port_(options.recv_port),
      udp_port_(options.udp_port),
      drop_(options.drop),
      resend_newest_every_(options.resend_newest_every),
      reassembly_(kReorderWindow),
      rng_(options.seed) {}

LightLink::~LightLink() { Close(); }

bool LightLink::Listen(ListenPorts* ports) {
  listen_fd_ = ListenTcp(recv_port_, &ports->recv_port);
  if (listen_fd_ < 0) return false;
  udp_fd_ = BindUdp(udp_port_, kUdpReceiveBuffer, &ports->udp_port);
  if (udp_fd_ < 0) return false;
  bound_udp_port_ = ports->udp_port;
  wake_fd_ = OpenWakeFd();
  return wake_fd_ >= 0;
}

bool LightLink::Accept() {
  tcp_fd_ = AcceptOne(listen_fd_, "recv port");
  if (tcp_fd_ < 0) return false;
  CloseFd(&listen_fd_);
  // The announcement: the UDP port, least significant byte first.
  const unsigned char announcement[2] = {static_cast<unsigned char>(bound_udp_port_ & 0xff),
                                         static_cast<unsigned char>(bound_udp_port_ >> 8)};
  if (!SendAll(tcp_fd_, announcement, sizeof(announcement))) return false;
  receiver_ = std::thread(&LightLink::ReceiverLoop, this);
  return true;
}

StreamRead LightLink::ReadStream(void* data, size_t length) { return queue_.Read(data, length); }

bool LightLink::WriteMessage(const struct iovec* iov, int count) {
  zantu::MutexLock lock(&write_mutex_);
  if (!SendAll(tcp_fd_, iov, count)) return false;
  for (int i = 0; i < count; ++i) bytes_out_ += iov[i].iov_len;
  return true;
}

bool LightLink::TryAsk(uint64_t seq) {
  if (asked_any_ && seq < highest_asked_) {
    // Never sent: the daemon has forgotten that datagram and would stop.
    ZANTU_ERROR("resend request for %llu after %llu suppressed", static_cast<unsigned long long>(seq),
                static_cast<unsigned long long>(highest_asked_));
    return true;
  }
  char bytes[sizeof(ResponseBatchHeader)];
  StoreResponseHead(bytes, kLinkResend, seq, 0, 0);  // the wanted seq travels in the size field
  if (!write_mutex_.try_lock()) return false;
  const bool sent = SendAll(tcp_fd_, bytes, sizeof(bytes));
  write_mutex_.unlock();
  if (!sent) {
    link_failed_ = true;
    return true;
  }
  ++resend_requests_;
  highest_asked_ = seq;
  asked_any_ = true;
  return true;
}

void LightLink::Interrupt() { queue_.Abort(); }

void LightLink::Close() {
  if (receiver_.joinable()) {
    quit_.store(true, std::memory_order_release);
    Wake(wake_fd_);
    // A resend request blocked on a connection the daemon no longer reads
    // must not keep the receiver from being joined.
    shutdown(tcp_fd_, SHUT_RDWR);
    receiver_.join();
  }
  queue_.End();
  CloseFd(&listen_fd_);
  CloseFd(&tcp_fd_);
  CloseFd(&udp_fd_);
  CloseFd(&wake_fd_);
}

uint64_t LightLink::BytesOut() const {
  zantu::MutexLock lock(&write_mutex_);
  return bytes_out_;
}

std::string LightLink::Summary() const {
  return "datagrams=" + std::to_string(datagrams_) + " dropped=" + std::to_string(dropped_) +
         " duplicates=" + std::to_string(duplicates_) + " empty=" + std::to_string(empty_datagrams_) +
         " bad=" + std::to_string(bad_datagrams_) + " beyond_window=" + std::to_string(beyond_window_) +
         " resend_requests=" + std::to_string(resend_requests_) + " bytes_out=" + std::to_string(BytesOut());
}

}  // namespace zantu_node
