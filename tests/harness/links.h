// The daemon's side of node links, for the node's own tests and the loss
// and load tests:
//  - LightPeer: a small Light sender from raw sockets with a datagram cache
//    that serves the node's resend requests;
//  - LossyRelay: a lossy path between the daemon's Light transport and a
//    Light node;
//  - LossyRoad: the real daemon on a Native node and a Light node behind a
//    LossyRelay.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <queue>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "common/thread_annotations.h"
#include "harness/daemon.h"
#include "harness/processes.h"
#include "harness/sockets.h"
#include "harness/wire.h"

namespace link_test {

using testing_util::kIoTimeoutMs;
using testing_util::Readable;
using testing_util::RecvBytes;
using testing_util::SendBytes;

// One node-to-daemon message: a 20-byte header, and the body of a response.
struct Message {
  wire_test::ResponseHead header;
  std::string body;
  bool resend() const { return (header.flags & kLinkResend) != 0 && (header.flags & kLinkSkip) == 0; }
  bool skip() const { return (header.flags & kLinkSkip) != 0; }
  wire_test::ResponseEntryHead entry() const { return wire_test::DecodeResponseEntryHead(body.data()); }
  std::string payload() const { return body.substr(sizeof(ResponseHeader)); }
};

// The next message from a node. Grants (header only, sent once a link is up)
// are taken and stored in `*grant` when one is given, never returned.
inline bool ReadMessage(int fd, Message* m, int timeout_ms = kIoTimeoutMs, Message* grant = nullptr) {
  for (;;) {
    char raw[sizeof(ResponseBatchHeader)];
    if (!RecvBytes(fd, raw, sizeof(raw), timeout_ms)) return false;
    m->header = wire_test::DecodeResponseHead(raw);
    m->body.clear();
    if ((m->header.flags & kLinkGrant) != 0) {
      if (grant != nullptr) *grant = *m;
      continue;
    }
    if (m->skip() || m->resend()) return true;
    m->body.resize(m->header.size);
    return RecvBytes(fd, m->body.data(), m->body.size());
  }
}

// ------------------------------------------------------------- Light sender

// The daemon's side of a Light link: sends a byte stream as numbered
// datagrams, keeps them cached, and (once Serve() runs) answers the node's
// resend requests on a thread of its own the way the daemon does, queueing
// every other message for the test.
class LightPeer {
 public:
  ~LightPeer() {
    quit_.store(true, std::memory_order_release);
    if (tcp_ >= 0) shutdown(tcp_, SHUT_RDWR);
    if (server_.joinable()) server_.join();
    if (tcp_ >= 0) close(tcp_);
    if (udp_ >= 0) close(udp_);
  }

  // Connects to the node, reads its port announcement and aims a UDP socket
  // at that port.
  bool Connect(uint16_t recv_port) {
    tcp_ = testing_util::ConnectTcp(recv_port);
    unsigned char port[2];
    if (tcp_ < 0 || !RecvBytes(tcp_, port, 2)) return false;
    announced_port_ = wire_test::DecodePortAnnouncement(port);
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    to_.sin_family = AF_INET;
    to_.sin_port = htons(announced_port_);
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return udp_ >= 0;
  }

  int tcp() const { return tcp_; }

  // Ends the daemon's side of the stream (the node sees the connection
  // close) while answers can still be read.
  void CloseStream() { shutdown(tcp_, SHUT_WR); }
  uint16_t announced_port() const { return announced_port_; }

  // Cuts `bytes` into datagrams numbered from the next unused seq, caches
  // them and sends those whose index (0-based within this call) is not in
  // `withhold`. Returns the first seq used.
  uint64_t Send(const std::string& bytes, const std::vector<size_t>& withhold = {}) {
    zantu::MutexLock lock(&mutex_);
    const uint64_t first = next_seq_;
    size_t index = 0;
    for (size_t pos = 0; pos < bytes.size(); pos += kLightMaxPayload, ++index) {
      const std::string payload = bytes.substr(pos, kLightMaxPayload);
      const std::string packet = wire_test::EncodeLightDatagram(next_seq_, payload);
      cache_[next_seq_++] = packet;
      bool held = false;
      for (size_t w : withhold) held |= w == index;
      if (!held) SendPacket(packet);
    }
    return first;
  }

  // Sends the cached datagram `seq` again, or a length-0 one when `seq` is
  // the next unused number. False for a number the cache has forgotten.
  bool Resend(uint64_t seq) {
    zantu::MutexLock lock(&mutex_);
    if (seq == next_seq_) {
      SendPacket(wire_test::EncodeLightDatagram(seq, ""));
      return true;
    }
    auto it = cache_.find(seq);
    if (it == cache_.end()) return false;
    SendPacket(it->second);
    cache_.erase(cache_.begin(), it);
    return true;
  }

  // Sends the cached datagram `seq` (again) and forgets nothing: for tests
  // that reorder datagrams themselves.
  bool Transmit(uint64_t seq) {
    zantu::MutexLock lock(&mutex_);
    auto it = cache_.find(seq);
    if (it == cache_.end()) return false;
    SendPacket(it->second);
    return true;
  }

  // Starts serving resend requests; other messages are queued for Next().
  void Serve() {
    server_ = std::thread([this] {
      Message m;
      while (!quit_.load(std::memory_order_acquire)) {
        if (!Readable(tcp_, 50)) continue;
        if (!ReadMessage(tcp_, &m)) break;
        if (m.skip()) continue;
        if (m.resend()) {
          if (!Resend(m.header.size)) forgotten_.fetch_add(1, std::memory_order_relaxed);
          resends_.fetch_add(1, std::memory_order_relaxed);
          continue;
        }
        zantu::MutexLock lock(&mutex_);
        messages_.push_back(m);
        cv_.notify_all();
      }
    });
  }

  // The next queued message, waiting at most `timeout`.
  bool Next(Message* m, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    zantu::MutexLock lock(&mutex_);
    while (messages_.empty()) {
      if (cv_.wait_until(mutex_, deadline) == std::cv_status::timeout && messages_.empty()) return false;
    }
    *m = std::move(messages_.front());
    messages_.pop_front();
    return true;
  }

  size_t cached() {
    zantu::MutexLock lock(&mutex_);
    return cache_.size();
  }
  uint64_t resends() const { return resends_.load(std::memory_order_relaxed); }
  uint64_t forgotten() const { return forgotten_.load(std::memory_order_relaxed); }

  void SendPacket(const std::string& packet) {
    sendto(udp_, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&to_), sizeof(to_));
  }

 private:
  int tcp_ = -1;
  int udp_ = -1;
  uint16_t announced_port_ = 0;
  sockaddr_in to_{};
  std::thread server_;
  std::atomic<bool> quit_{false};
  std::atomic<uint64_t> resends_{0};    // resend requests served or refused
  std::atomic<uint64_t> forgotten_{0};  // requests for numbers already forgotten
  zantu::Mutex mutex_;
  std::condition_variable_any cv_;  // signalled on every queued message
  uint64_t next_seq_ GUARDED_BY(mutex_) = 0;
  std::map<uint64_t, std::string> cache_ GUARDED_BY(mutex_);
  std::deque<Message> messages_ GUARDED_BY(mutex_);
};

// ------------------------------------------------------------- lossy relay
//
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
    sockaddr_in addr = testing_util::Loopback(0);
    if (bind(relay->listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        listen(relay->listen_fd_, 1) != 0 ||
        bind(relay->udp_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || relay->wake_fd_ < 0) {
      *error = std::string("relay sockets: ") + std::strerror(errno);
      return nullptr;
    }
    relay->port_ = testing_util::BoundPort(relay->listen_fd_);
    relay->udp_port_ = testing_util::BoundPort(relay->udp_fd_);
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

  // Connector thread: the daemon's connection, the node's, the swapped
  // announcement, then the three forwarding threads.
  void Connect() {
    const int daemon = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (daemon < 0 || stop_.load()) return;
    daemon_fd_.store(daemon);
    const int node = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    node_fd_.store(node);
    sockaddr_in to = testing_util::Loopback(node_recv_port_);
    unsigned char announcement[2];
    if (connect(node, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0 ||
        !RecvBytes(node, announcement, sizeof(announcement), -1)) {
      shutdown(daemon, SHUT_RDWR);  // the daemon's Connect fails, as without a node
      return;
    }
    const int one = 1;
    setsockopt(daemon, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    setsockopt(node, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    node_udp_ = testing_util::Loopback(wire_test::DecodePortAnnouncement(announcement));
    if (!SendBytes(daemon, wire_test::EncodePortAnnouncement(udp_port_))) return;
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
      if (n <= 0 || !SendBytes(to, buffer.data(), static_cast<size_t>(n))) break;
    }
    shutdown(to, SHUT_WR);
    shutdown(from, SHUT_RD);
  }

  void Forward(const std::string& datagram) {
    if (datagram.size() >= sizeof(LightHeader)) {
      const uint64_t seq = wire_test::LightSeq(datagram);
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

// ------------------------------------------------------------- lossy road
//
// Lines only a fault on the road makes the client library write (a call's
// own failure status is logged too, and is no fault).
inline void ExpectNoRoadFault(const std::string& client_stderr) {
  for (const char* fault : {"ASSERT", "Sanitizer", "unknown request", "runs past", "send request error", "skipped",
                            "response loop", "outside the", "dropped"}) {
    EXPECT_EQ(testing_util::CountOf(client_stderr, fault), 0u) << fault << " in:\n" << client_stderr.substr(0, 4000);
  }
}

// The road of the loss and load tests: a Native node, a Light node reached
// through a LossyRelay, and the real daemon serving daemon_test::DaemonGpus()
// on them. Clients are started by the test.
//
// Nothing is left behind: the road ends its nodes first (the daemon then
// quits and releases what it created) and only then its relay.
class LossyRoad {
 public:
  static std::unique_ptr<LossyRoad> Start(const LossyRelay::Faults& faults, std::string* error) {
    std::unique_ptr<LossyRoad> road(new LossyRoad());
    testing_util::NodeConfig native;
    testing_util::NodeConfig light;
    light.transport = "light";
    road->nodes_[0] = testing_util::NodeProcess::Start(native, error);
    if (road->nodes_[0] == nullptr) return nullptr;
    road->nodes_[1] = testing_util::NodeProcess::Start(light, error);
    if (road->nodes_[1] == nullptr) return nullptr;
    road->relay_ = LossyRelay::Start(road->nodes_[1]->recv_port(), faults, error);
    if (road->relay_ == nullptr) return nullptr;
    road->daemon_ = daemon_test::StartServing(daemon_test::RoadArgs(*road->nodes_[0], road->relay_->port()), error);
    if (road->daemon_ == nullptr) return nullptr;
    return road;
  }

  ~LossyRoad() {
    clients_.clear();
    nodes_[0].reset();
    nodes_[1].reset();
    if (daemon_ != nullptr) {
      const int status = daemon_->Wait(std::chrono::milliseconds(10000));
      EXPECT_TRUE(testing_util::ExitedWith(status, 0)) << "daemon status " << status << "\n"
                                                       << daemon_->Stderr().substr(0, 8000);
      daemon_.reset();  // kills it by its pid if it still runs
    }
    relay_.reset();
  }

  LossyRoad(const LossyRoad&) = delete;
  LossyRoad& operator=(const LossyRoad&) = delete;

  daemon_test::Daemon& daemon() { return *daemon_; }
  LossyRelay& relay() { return *relay_; }

  // Starts `program` (a name in the build's bin directory) with `args`, with
  // logging off unless `log`. Not waited for.
  testing_util::ChildProcess* Client(const std::string& program, const std::vector<std::string>& args,
                                     bool log = true) {
    auto client = testing_util::SpawnClient(program, args, log ? std::vector<std::string>{}
                                                               : std::vector<std::string>{"ZANTU_DISABLE_LOG=1"});
    if (client == nullptr) return nullptr;
    clients_.push_back(std::move(client));
    return clients_.back().get();
  }

 private:
  LossyRoad() = default;

  std::unique_ptr<testing_util::NodeProcess> nodes_[2];
  std::unique_ptr<LossyRelay> relay_;
  std::unique_ptr<daemon_test::Daemon> daemon_;
  std::vector<std::unique_ptr<testing_util::ChildProcess>> clients_;
};

}  // namespace link_test
