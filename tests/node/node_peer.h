// The daemon's side of a node link, built from raw sockets for the node's
// own tests: record builders (over tests/wire_codec.h), blocking I/O bounded in time, and a small
// Light sender with a datagram cache that serves the node's resend requests.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/api_numbers.h"
#include "common/records.h"
#include "common/test_module.h"
#include "wire_codec.h"

namespace node_test {

constexpr int kIoTimeoutMs = 10000;

// ------------------------------------------------------------------ records

inline std::string GuestInfo(const std::string& text) {
  std::string guest(kGuestInfoSize, '\0');
  guest.replace(0, std::min(text.size(), kGuestInfoSize - 1), text.substr(0, kGuestInfoSize - 1));
  return guest;
}

struct Entry {
  uint64_t request = 0;
  uint32_t flags = 0;
  uint32_t module = kModuleTest;
  uint32_t api = k_testEcho;
  std::vector<uint64_t> args;
  std::string data;  // appended after the argument block
};

// A request record of `entries` for `device`; every entry's tid is pid + 1.
inline std::string BuildRecord(uint32_t pid, const std::vector<Entry>& entries, uint32_t device = 0) {
  std::vector<std::string> encoded;
  for (const Entry& e : entries) {
    encoded.push_back(wire_test::EncodeRequestEntry(e.request, e.flags, pid + 1, e.module, e.api, e.args, e.data));
  }
  return wire_test::EncodeRequestRecord(0, 0, device, pid, encoded);
}

inline std::string ExitNotice(uint32_t pid) { return wire_test::EncodeExitNotice(pid); }

inline std::string Pattern(size_t n, uint64_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(TestPatternByte(seed, i));
  return s;
}

// ---------------------------------------------------------------------- I/O

inline int ConnectTcp(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

inline bool SendBytes(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Waits at most `timeout_ms` for the fd to become readable (or closed).
inline bool Readable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// Exactly `length` bytes, or false on close, failure or timeout.
inline bool RecvBytes(int fd, void* data, size_t length, int timeout_ms = kIoTimeoutMs) {
  char* out = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    if (!Readable(fd, timeout_ms)) return false;
    const ssize_t n = recv(fd, out + done, length - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// True when the peer closed the connection within the time (no byte came).
inline bool ClosedByPeer(int fd, int timeout_ms = kIoTimeoutMs) {
  char byte;
  return Readable(fd, timeout_ms) && recv(fd, &byte, 1, 0) == 0;
}

using Head = wire_test::ResponseHead;
using Answer = wire_test::ResponseEntryHead;

inline Head LoadHead(const char* raw) { return wire_test::DecodeResponseHead(raw); }
inline Answer LoadAnswer(const char* raw) { return wire_test::DecodeResponseEntryHead(raw); }

// One node-to-daemon message: a 20-byte header, and the body of a response.
struct Message {
  Head header;
  std::string body;
  bool resend() const { return (header.flags & kLinkResend) != 0 && (header.flags & kLinkSkip) == 0; }
  bool skip() const { return (header.flags & kLinkSkip) != 0; }
  Answer entry() const { return LoadAnswer(body.data()); }
  std::string payload() const { return body.substr(sizeof(ResponseHeader)); }
};

inline bool ReadMessage(int fd, Message* m, int timeout_ms = kIoTimeoutMs) {
  char raw[sizeof(ResponseBatchHeader)];
  if (!RecvBytes(fd, raw, sizeof(raw), timeout_ms)) return false;
  m->header = LoadHead(raw);
  m->body.clear();
  if (m->skip() || m->resend()) return true;
  m->body.resize(m->header.size);
  return RecvBytes(fd, m->body.data(), m->body.size());
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
    tcp_ = ConnectTcp(recv_port);
    unsigned char port[2];
    if (tcp_ < 0 || !RecvBytes(tcp_, port, 2)) return false;
    announced_port_ = static_cast<uint16_t>(port[0] | (port[1] << 8));
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
    std::lock_guard<std::mutex> lock(mutex_);
    const uint64_t first = next_seq_;
    size_t index = 0;
    for (size_t pos = 0; pos < bytes.size(); pos += kLightMaxPayload, ++index) {
      const std::string payload = bytes.substr(pos, kLightMaxPayload);
      const std::string packet = Datagram(next_seq_, payload);
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
    std::lock_guard<std::mutex> lock(mutex_);
    if (seq == next_seq_) {
      SendPacket(Datagram(seq, ""));
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
    std::lock_guard<std::mutex> lock(mutex_);
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
        std::lock_guard<std::mutex> lock(mutex_);
        messages_.push_back(m);
        cv_.notify_all();
      }
    });
  }

  // The next queued message, waiting at most `timeout`.
  bool Next(Message* m, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [this] { return !messages_.empty(); })) return false;
    *m = std::move(messages_.front());
    messages_.pop_front();
    return true;
  }

  size_t cached() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cache_.size();
  }
  uint64_t resends() const { return resends_.load(std::memory_order_relaxed); }
  uint64_t forgotten() const { return forgotten_.load(std::memory_order_relaxed); }

  static std::string Datagram(uint64_t seq, const std::string& payload) {
    LightHeader h{seq, payload.size()};
    char raw[sizeof(h)];
    StoreRecord(raw, h);
    return std::string(raw, sizeof(raw)) + payload;
  }

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
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t next_seq_ = 0;                  // guarded by mutex_
  std::map<uint64_t, std::string> cache_;  // guarded by mutex_
  std::deque<Message> messages_;           // guarded by mutex_
};

}  // namespace node_test
