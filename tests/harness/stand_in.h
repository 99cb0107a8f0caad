// The daemon's side of a client process, small enough to live in a test: the
// registration socket on 127.0.0.1:9979, the client's two rings (real
// libtrellan rings, created as the daemon creates them), reading request
// records and writing chosen response records. It can also answer like the
// reference node's test module.
//
// Tests that use it bind the registration port: they are DAEMON tests.
//
// ClientTest, the fixture of libtovrel's tests from outside: each case starts
// tovrel_scenario (a real process linked against libtovrel) and plays the
// daemon's side of it through a DaemonStandIn in the test process.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "common/registration.h"
#include "common/test_module.h"
#include "common/trellan.h"
#include "harness/processes.h"
#include "harness/sockets.h"
#include "harness/wire.h"
#include "trellan/ring_layout.h"

namespace testing_util {

using Millis = std::chrono::milliseconds;

struct GpuEntry {
  uint32_t index;
  uint32_t node;
};

using RequestEntry = wire_test::DecodedEntry;
using RequestRecord = wire_test::DecodedRecord;
using Answer = wire_test::AnswerSpec;

class DaemonStandIn {
 public:
  DaemonStandIn() = default;
  ~DaemonStandIn() {
    if (fd_ >= 0) close(fd_);
  }
  DaemonStandIn(const DaemonStandIn&) = delete;
  DaemonStandIn& operator=(const DaemonStandIn&) = delete;

  // Binds 127.0.0.1:9979, waiting up to `patience` while another program on
  // the machine holds the port.
  bool Bind(Millis patience = Millis(30000)) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
      fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
      if (fd_ < 0) return false;
      sockaddr_in addr = Loopback(kRegistrationPort);
      if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0) return true;
      close(fd_);
      fd_ = -1;
      if (errno != EADDRINUSE || std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(Millis(50));
    }
  }

  // Waits for a pid datagram; -1 when none came in time. Repeats of an
  // earlier client's datagram are skipped; `repeats` takes the last client's.
  int ReceivePid(Millis timeout, bool repeats = false) {
    const uint32_t earlier = pid_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
      pollfd pfd{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) != 1) return -1;
      uint32_t pid = 0;
      sockaddr_in from{};
      socklen_t length = sizeof(from);
      if (recvfrom(fd_, &pid, sizeof(pid), 0, reinterpret_cast<sockaddr*>(&from), &length) != 4) return -1;
      if (pid == earlier && !repeats) continue;
      client_ = from;
      pid_ = pid;
      return static_cast<int>(pid);
    }
  }

  // Creates the two rings for `key` (9 characters) as the daemon does.
  bool CreateRings(const std::string& key) {
    try {
      std::string request_name = RequestRingName(key) + '\0';
      std::string response_name = ResponseRingName(key) + '\0';
      request_.reset(new RingBuffer(request_name, kRingBufferSize, true));
      response_.reset(new RingBuffer(response_name, kRingBufferSize, true));
    } catch (const std::exception&) {
      return false;
    }
    key_ = key;
    return true;
  }

  // A reply for `gpus` on `nodes` nodes, node i at 127.0.0.<i+1>:7000+i.
  // `key10` fills the key field as given (at most 10 bytes), so that a test
  // can send a bad one.
  static std::string Reply(const std::string& key10, const std::vector<GpuEntry>& gpus, uint32_t nodes) {
    wire_test::ReplyFields fields;
    fields.key = key10;
    for (const GpuEntry& g : gpus) {
      fields.indexes.push_back(g.index);
      fields.nodes.push_back(g.node);
    }
    for (uint32_t i = 0; i < nodes; ++i) {
      fields.node_infos.push_back({"127.0.0." + std::to_string(i + 1), static_cast<uint16_t>(7000 + i)});
    }
    return wire_test::EncodeReply(fields);
  }

  // Sends `bytes` to the client that sent the last pid, from our port or
  // from `other_socket` (another sender). Like the daemon, it answers the
  // client's newest attempt: a client that repeated its datagram while we
  // were slow takes only the reply to its newest one. Later repeats get the
  // same reply from NextRecord.
  bool SendToClient(const std::string& bytes, int other_socket = -1) {
    const int fd = other_socket >= 0 ? other_socket : fd_;
    if (other_socket < 0) {
      TakeRepeats();
      last_reply_ = bytes;
    }
    return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&client_), sizeof(client_)) ==
           static_cast<ssize_t>(bytes.size());
  }

  // Answers the registered client's repeated pid datagrams with the reply it
  // was sent; other datagrams are dropped.
  void AnswerRepeats() {
    const sockaddr_in before = client_;
    if (!TakeRepeats()) return;
    if (before.sin_port != client_.sin_port && !last_reply_.empty()) {
      sendto(fd_, last_reply_.data(), last_reply_.size(), 0, reinterpret_cast<const sockaddr*>(&client_),
             sizeof(client_));
    }
  }

  // Hands both rings to another user, as a squatter of that user would own
  // them. False when this process may not.
  bool GiveRingsTo(uid_t uid, gid_t gid) { return request_->SetOwner(uid, gid) && response_->SetOwner(uid, gid); }

  // The whole registration of one client. Returns its pid, or -1.
  // `before_reply` runs once the rings exist.
  int Register(const std::vector<GpuEntry>& gpus, uint32_t nodes, Millis timeout = Millis(20000),
               const std::function<void()>& before_reply = {}) {
    const int pid = ReceivePid(timeout);
    if (pid < 0) return -1;
    const std::string key = GenerateRandomString(kKeyChars);
    if (!CreateRings(key)) return -1;
    if (before_reply) before_reply();
    if (!SendToClient(Reply(key + '\0', gpus, nodes))) return -1;
    return pid;
  }

  // The next request record, waiting up to `timeout`.
  std::optional<RequestRecord> NextRecord(Millis timeout = Millis(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (queued_.empty()) {
      AnswerRepeats();
      const RingBufferStatus status = request_->Read([this](void* data, size_t length) {
        const char* p = static_cast<const char*>(data);
        while (const size_t total = wire_test::WholeRequestRecord(p, length)) {
          queued_.emplace_back(p, total);
          p += total;
          length -= total;
        }
        return kRingSuccess;
      });
      if (status != kRingSuccess && status != kRingEmpty) return std::nullopt;
      if (queued_.empty() && std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    }
    RequestRecord record = wire_test::DecodeRequestRecord(std::move(queued_.front()));
    queued_.pop_front();
    return record;
  }

  // Writes raw bytes as one response record.
  bool WriteResponse(const std::string& bytes) {
    for (;;) {
      const RingBufferStatus status = response_->Write(bytes.size(), [&bytes](void* to) {
        std::memcpy(to, bytes.data(), bytes.size());
        return kRingSuccess;
      });
      if (status == kRingSuccess) return true;
      if (status != kRingFull) return false;
      std::this_thread::sleep_for(Millis(1));
    }
  }

  bool Respond(const std::vector<Answer>& answers) {
    return WriteResponse(wire_test::EncodeResponseRecord(pid_, answers));
  }

  // Answers the last entry of `record` (the only one a node answers).
  bool Respond(const RequestRecord& record, uint32_t result, const std::string& payload = "") {
    const RequestHeader& h = record.entries.back().header;
    return Respond({{h.request, h.flags & kRequestNoWait, result, payload}});
  }

  // Answers as the reference node's test module does (uncompressed: the
  // daemon has decompressed by the time an answer reaches the ring).
  bool RespondAsNode(const RequestRecord& record) {
    const RequestEntry& e = record.entries.back();
    uint32_t result = 0;
    std::string payload;
    if (e.header.module != kModuleTest) {
      result = kTestUnknownFunction;
    } else if (e.header.api == k_testEcho || e.header.api == k_testDelay) {
      if (e.header.api == k_testDelay) std::this_thread::sleep_for(std::chrono::microseconds(e.Argument(0)));
      payload = e.payload;
    } else if (e.header.api == k_testFail) {
      result = static_cast<uint32_t>(e.Argument(0));
    } else if (e.header.api == k_testCompressed) {
      payload = wire_test::Pattern(e.Argument(0), e.Argument(1));
    } else {
      result = kTestUnknownFunction;
    }
    return Respond(record, result, payload);
  }

  // While `closed` is set, the request ring reports full to a writer whose
  // record reaches beyond the ring's first MiB: the state a ring is in while
  // its reader gives pages back.
  bool HoldRequestRingFull(bool closed) {
    if (gate_map_ == nullptr) {
      const std::string name = "/" + RequestRingName(key_);
      const int fd = shm_open(name.c_str(), O_RDWR, 0);
      if (fd < 0) return false;
      void* map = mmap(nullptr, trellan::kRingHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      close(fd);
      if (map == MAP_FAILED) return false;
      gate_map_.reset(map);
    }
    static_cast<trellan::RingHeader*>(gate_map_.get())->trim_gate.store(closed ? 1 : 0, std::memory_order_seq_cst);
    return true;
  }

  // Destroys the rings: the client's reader then sees its daemon gone.
  void ReleaseRings() {
    request_.reset();
    response_.reset();
  }

  // Where the last pid datagram came from, and a reply to any such address.
  const sockaddr_in& client() const { return client_; }
  bool SendTo(const sockaddr_in& to, const std::string& bytes) {
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
           static_cast<ssize_t>(bytes.size());
  }

  uint32_t pid() const { return pid_; }
  const std::string& key() const { return key_; }

 private:
  // Takes the pid datagrams waiting on the port; the newest one from the
  // registered pid becomes the client's address. True if there was one.
  bool TakeRepeats() {
    bool any = false;
    for (;;) {
      uint32_t pid = 0;
      sockaddr_in from{};
      socklen_t length = sizeof(from);
      if (recvfrom(fd_, &pid, sizeof(pid), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length) < 0) return any;
      if (pid == pid_) {
        client_ = from;
        any = true;
      }
    }
  }

  struct Unmap {
    void operator()(void* p) const { munmap(p, trellan::kRingHeaderBytes); }
  };

  int fd_ = -1;
  sockaddr_in client_{};
  uint32_t pid_ = 0;
  std::string key_;
  std::unique_ptr<RingBuffer> request_;
  std::unique_ptr<RingBuffer> response_;
  std::deque<std::string> queued_;  // records read but not yet handed out
  std::string last_reply_;          // sent to the registered client
  std::unique_ptr<void, Unmap> gate_map_;
};

// Four GPUs on two nodes, indexes distinct from positions.
inline std::vector<GpuEntry> FourGpus() { return {{100, 0}, {101, 1}, {102, 0}, {103, 1}}; }

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(stand_in_.Bind()) << "127.0.0.1:9979 stays taken by another program"; }

  // Starts a scenario process; the library inside registers at load.
  std::unique_ptr<ChildProcess> Spawn(const std::string& scenario, const std::vector<std::string>& env = {}) {
    auto child = SpawnClient("tovrel_scenario", {scenario}, env);
    EXPECT_NE(child, nullptr);
    return child;
  }

  // Spawn, then register it with `gpus` on `nodes` nodes.
  std::unique_ptr<ChildProcess> Start(const std::string& scenario, const std::vector<std::string>& env = {},
                                      const std::vector<GpuEntry>& gpus = FourGpus(), uint32_t nodes = 2,
                                      const std::function<void()>& before_reply = {}) {
    auto child = Spawn(scenario, env);
    if (child == nullptr) return child;
    EXPECT_EQ(stand_in_.Register(gpus, nodes, Millis(20000), before_reply), child->pid());
    return child;
  }

  // The next request record; fails the test when none comes.
  RequestRecord Next(Millis timeout = Millis(10000)) {
    std::optional<RequestRecord> record = stand_in_.NextRecord(timeout);
    EXPECT_TRUE(record.has_value()) << "no request record";
    if (!record.has_value()) return RequestRecord{std::string(sizeof(RequestBatchHeader), '\0'), {}, {RequestEntry{}}};
    return *record;
  }

 public:
  // The scenario's first line "R name=value" counts.
  static std::string Value(const ChildProcess& child, const std::string& name) {
    return testing_util::Value(child.Stdout(), name, Pick::kFirst);
  }
  static void ExpectValues(const ChildProcess& child, const Expected& expected) {
    testing_util::ExpectValues(child.Stdout(), expected, Pick::kFirst);
  }

 protected:
  DaemonStandIn stand_in_;
};

}  // namespace testing_util
