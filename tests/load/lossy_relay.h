// A lossy path between the daemon's Light transport and a Light node, for
// tests on a kernel without netem. The daemon connects to the relay as if it
// were the node; the relay connects to the node, announces its own UDP port
// in the node's place, and then:
//  - passes both directions of the TCP connection through unchanged (the
//    node's answers and resend requests, anything the daemon writes);
//  - passes the daemon's datagrams to the node's UDP port, dropping,
//    duplicating and delaying them at random; a delayed datagram lets later
//    ones overtake it, which reorders the stream.
//
//   LossyRelay::Faults faults;        // 20 % loss, duplicates, delays
//   auto relay = LossyRelay::Start(node->recv_port(), faults, &error);
//   ... give the daemon relay->port() as the node's recv_port ...
//
// Three threads (one per direction of TCP, one for datagrams); the
// destructor stops them and closes every socket.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"

namespace testing_util {

class LossyRelay {
 public:
  struct Faults {
    double drop = 0.2;        // fraction of datagrams discarded
    double duplicate = 0.05;  // fraction sent twice (each copy delayed on its own)
    double delay = 0.1;       // fraction held back, up to max_delay
    std::chrono::microseconds max_delay{3000};
    uint64_t seed = 1;
  };

  // Datagram counts, read after the relay stopped (or as a rough live view).
  struct Stats {
    uint64_t received = 0;    // from the daemon
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t delayed = 0;
    uint64_t forwarded = 0;   // copies sent to the node
    uint64_t overtaken = 0;   // forwarded after a higher sequence number
  };

  // Listens on a free loopback port for the daemon; the node must already
  // listen on `node_recv_port`. Null, with `*error`, on failure.
  static std::unique_ptr<LossyRelay> Start(uint16_t node_recv_port, const Faults& faults, std::string* error) {
    std::unique_ptr<LossyRelay> relay(new LossyRelay(node_recv_port, faults));
    relay->listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    relay->udp_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    relay->wake_fd_ = eventfd(0, EFD_CLOEXEC);
    const int buffer = 32 << 20;
    setsockopt(relay->udp_fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    sockaddr_in addr = Loopback(0);
    if (bind(relay->listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(relay->listen_fd_, 1) != 0 || bind(relay->udp_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        relay->wake_fd_ < 0) {
      *error = std::string("relay sockets: ") + std::strerror(errno);
      return nullptr;
    }
    relay->port_ = BoundPort(relay->listen_fd_);
    relay->udp_port_ = BoundPort(relay->udp_fd_);
    relay->connector_ = std::thread(&LossyRelay::Connect, relay.get());
    return relay;
  }

  ~LossyRelay() {
    stop_.store(true);
    const uint64_t one = 1;
    (void)!write(wake_fd_, &one, sizeof(one));
    for (int fd : {listen_fd_, daemon_fd_.load(), node_fd_.load()}) {
      if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
    for (std::thread* t : {&connector_, &daemon_to_node_, &node_to_daemon_, &datagrams_}) {
      if (t->joinable()) t->join();
    }
    for (int fd : {listen_fd_, daemon_fd_.load(), node_fd_.load(), udp_fd_, wake_fd_}) {
      if (fd >= 0) close(fd);
    }
  }

  LossyRelay(const LossyRelay&) = delete;
  LossyRelay& operator=(const LossyRelay&) = delete;

  uint16_t port() const { return port_; }  // the daemon's recv_port for this node
  Stats stats() const {
    Stats s;
    s.received = received_.load();
    s.dropped = dropped_.load();
    s.duplicated = duplicated_.load();
    s.delayed = delayed_.load();
    s.forwarded = forwarded_.load();
    s.overtaken = overtaken_.load();
    return s;
  }

 private:
  using Clock = std::chrono::steady_clock;

  struct Held {
    Clock::time_point due;
    uint64_t order;  // ties leave in arrival order
    std::string datagram;
    bool operator>(const Held& other) const { return due != other.due ? due > other.due : order > other.order; }
  };

  LossyRelay(uint16_t node_recv_port, const Faults& faults)
      : node_recv_port_(node_recv_port), faults_(faults), random_(faults.seed) {}

  static sockaddr_in Loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }

  static uint16_t BoundPort(int fd) {
    sockaddr_in addr{};
    socklen_t length = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    return ntohs(addr.sin_port);
  }

  static bool ReadAll(int fd, void* data, size_t length) {
    auto* p = static_cast<char*>(data);
    while (length > 0) {
      const ssize_t n = recv(fd, p, length, 0);
      if (n <= 0) return false;
      p += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  static bool WriteAll(int fd, const void* data, size_t length) {
    const auto* p = static_cast<const char*>(data);
    while (length > 0) {
      const ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
      if (n <= 0) return false;
      p += n;
      length -= static_cast<size_t>(n);
    }
    return true;
  }

  // Connector thread: the daemon's connection, the node's, the swapped
  // announcement, then the three forwarding threads.
  void Connect() {
    const int daemon = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (daemon < 0 || stop_.load()) return;
    daemon_fd_.store(daemon);
    const int node = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    node_fd_.store(node);
    sockaddr_in to = Loopback(node_recv_port_);
    unsigned char announcement[2];
    if (connect(node, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
        !ReadAll(node, announcement, sizeof(announcement))) {
      shutdown(daemon, SHUT_RDWR);  // the daemon's Connect fails, as without a node
      return;
    }
    const int one = 1;
    setsockopt(daemon, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(node, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    node_udp_ = Loopback(static_cast<uint16_t>(announcement[0] | (announcement[1] << 8)));
    const unsigned char ours[2] = {static_cast<unsigned char>(udp_port_ & 0xff),
                                   static_cast<unsigned char>(udp_port_ >> 8)};
    if (!WriteAll(daemon, ours, sizeof(ours))) return;
    daemon_to_node_ = std::thread(&LossyRelay::Pump, this, daemon, node);
    node_to_daemon_ = std::thread(&LossyRelay::Pump, this, node, daemon);
    datagrams_ = std::thread(&LossyRelay::Datagrams, this);
  }

  // Copies one direction of TCP until either side closes; then closes the
  // other side's direction too, so each end sees what the other did.
  void Pump(int from, int to) {
    std::vector<char> buffer(256 << 10);
    for (;;) {
      const ssize_t n = recv(from, buffer.data(), buffer.size(), 0);
      if (n <= 0 || !WriteAll(to, buffer.data(), static_cast<size_t>(n))) break;
    }
    shutdown(to, SHUT_WR);
    shutdown(from, SHUT_RD);
  }

  void Forward(const std::string& datagram) {
    if (datagram.size() >= sizeof(LightHeader)) {
      const uint64_t seq = LoadRecord<LightHeader>(datagram.data()).seq;
      if (forwarded_any_ && seq < highest_forwarded_) ++overtaken_;
      highest_forwarded_ = forwarded_any_ ? std::max(highest_forwarded_, seq) : seq;
      forwarded_any_ = true;
    }
    sendto(udp_fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&node_udp_),
           sizeof(node_udp_));
    ++forwarded_;
  }

  // Datagram thread: every datagram from the daemon meets its fate here.
  void Datagrams() {
    std::priority_queue<Held, std::vector<Held>, std::greater<Held>> held;
    std::uniform_real_distribution<double> coin(0.0, 1.0);
    std::uniform_int_distribution<int64_t> delay(1, faults_.max_delay.count());
    uint64_t order = 0;
    char buffer[65536];
    while (!stop_.load()) {
      int timeout_ms = 100;
      if (!held.empty()) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(held.top().due - Clock::now());
        timeout_ms = left.count() <= 0 ? 0 : static_cast<int>((left.count() + 999) / 1000);
      }
      pollfd fds[2] = {{udp_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (poll(fds, 2, timeout_ms) < 0 && errno != EINTR) break;
      for (;;) {
        const ssize_t n = recv(udp_fd_, buffer, sizeof(buffer), MSG_DONTWAIT);
        if (n < 0) break;
        ++received_;
        if (coin(random_) < faults_.drop) {
          ++dropped_;
          continue;
        }
        const int copies = coin(random_) < faults_.duplicate ? 2 : 1;
        if (copies == 2) ++duplicated_;
        for (int c = 0; c < copies; ++c) {
          const bool late = coin(random_) < faults_.delay;
          const auto due = late ? Clock::now() + std::chrono::microseconds(delay(random_)) : Clock::now();
          if (late) ++delayed_;
          held.push(Held{due, order++, std::string(buffer, static_cast<size_t>(n))});
        }
      }
      const auto now = Clock::now();
      while (!held.empty() && held.top().due <= now) {
        Forward(held.top().datagram);
        held.pop();
      }
    }
  }

  const uint16_t node_recv_port_;
  const Faults faults_;

  // Set by Start before the connector runs; closed by the destructor.
  int listen_fd_ = -1;
  int udp_fd_ = -1;
  int wake_fd_ = -1;
  uint16_t port_ = 0;
  uint16_t udp_port_ = 0;
  // Set by the connector; the destructor shuts them down to end the pumps.
  std::atomic<int> daemon_fd_{-1};
  std::atomic<int> node_fd_{-1};
  sockaddr_in node_udp_{};  // written by the connector before the datagram thread starts

  std::atomic<bool> stop_{false};
  std::thread connector_;
  std::thread daemon_to_node_;
  std::thread node_to_daemon_;
  std::thread datagrams_;

  // Datagram thread only.
  std::mt19937_64 random_;
  uint64_t highest_forwarded_ = 0;
  bool forwarded_any_ = false;

  std::atomic<uint64_t> received_{0};
  std::atomic<uint64_t> dropped_{0};
  std::atomic<uint64_t> duplicated_{0};
  std::atomic<uint64_t> delayed_{0};
  std::atomic<uint64_t> forwarded_{0};
  std::atomic<uint64_t> overtaken_{0};
};

}  // namespace testing_util
