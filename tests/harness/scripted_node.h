// A node played by the test on the real daemon's Native link: it listens on
// two loopback ports as zantu_node does, takes the daemon's two connections
// and its guest information, queues every message of the daemon's stream for
// the test (on a reader thread of its own), and sends what the test scripts
// (answers, grants), each message whole, from any thread.
//
//   auto node = link_test::ScriptedNode::Listen();
//   auto daemon = daemon_test::Daemon::Start(node->Group(0, 0));
//   ASSERT_TRUE(node->Accept());
//   ASSERT_TRUE(node->Grant(0, 4096, 0));
//   wire_test::DecodedRecord record;
//   ASSERT_TRUE(node->Next(pid, &record));
//   ASSERT_TRUE(node->Answer(record, "payload"));
//
// Close() ends both connections, after which the daemon quits; the
// destructor does so too and joins the reader.
#pragma once

#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/records.h"
#include "common/thread_annotations.h"
#include "harness/sockets.h"
#include "harness/wire.h"

namespace link_test {

class ScriptedNode {
 public:
  // Listening sockets on free loopback ports; null on failure.
  static std::unique_ptr<ScriptedNode> Listen() {
    std::unique_ptr<ScriptedNode> node(new ScriptedNode());
    for (int* fd : {&node->recv_listen_, &node->send_listen_}) {
      *fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in addr = testing_util::Loopback(0);
      if (*fd < 0 || bind(*fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(*fd, 1) != 0) {
        return nullptr;
      }
    }
    return node;
  }

  ~ScriptedNode() {
    Close();
    if (reader_.joinable()) reader_.join();
    for (int fd : {recv_listen_, send_listen_, to_daemon_, from_daemon_}) {
      if (fd >= 0) close(fd);
    }
  }

  ScriptedNode(const ScriptedNode&) = delete;
  ScriptedNode& operator=(const ScriptedNode&) = delete;

  // The daemon's seven arguments for GPU `index` of this node as node `id`.
  std::vector<std::string> Group(uint32_t id, uint32_t index) const {
    return {std::to_string(id),
            "127.0.0.1",
            "native",
            std::to_string(testing_util::BoundPort(send_listen_)),
            std::to_string(testing_util::BoundPort(recv_listen_)),
            std::to_string(7000 + id),
            std::to_string(index)};
  }

  // Takes the daemon's connections (node to daemon first, as the daemon
  // makes them) and its guest information, then starts reading. False when
  // the daemon does not come within `timeout_ms`.
  bool Accept(int timeout_ms = testing_util::kIoTimeoutMs) {
    to_daemon_ = AcceptOne(recv_listen_, timeout_ms);
    from_daemon_ = AcceptOne(send_listen_, timeout_ms);
    char guest[kGuestInfoSize];
    if (to_daemon_ < 0 || from_daemon_ < 0 || !testing_util::RecvBytes(from_daemon_, guest, sizeof(guest))) {
      return false;
    }
    reader_ = std::thread(&ScriptedNode::ReadStream, this);
    return true;
  }

  // Sends `bytes` on the node-to-daemon stream, whole.
  bool Send(const std::string& bytes) { return SendInTurn({&bytes}); }

  // The grant message: `records` 0 is no limit, `pid` 0 every client.
  bool Grant(uint32_t pid, uint64_t bytes, uint32_t records) {
    std::string header(sizeof(ResponseBatchHeader), '\0');
    StoreRecord(header.data(), ResponseBatchHeader{kLinkGrant | kLinkSkip, bytes, pid, records});
    return Send(header);
  }

  // One answer (result 0) carrying `payload` to request `request` of `pid`;
  // the payload is sent from where it lies.
  bool SendAnswer(uint32_t pid, uint64_t request, const std::string& payload) {
    const std::string head = AnswerHead(pid, request, payload.size());
    return SendInTurn({&head, &payload});
  }

  // A payload of `size` bytes of `fill` in a memory file, for large
  // answers: the kernel copies it to the socket, so that a sanitizer's
  // checks of the test's own buffers do not slow the stream down.
  class Bulk {
   public:
    Bulk(size_t size, char fill) : size_(size), fd_(memfd_create("scripted_node_bulk", MFD_CLOEXEC)) {
      const std::string chunk(size_t{1} << 20, fill);
      for (size_t done = 0; fd_ >= 0 && done < size; done += chunk.size()) {
        if (write(fd_, chunk.data(), std::min(chunk.size(), size - done)) < 0) break;
      }
    }
    ~Bulk() {
      if (fd_ >= 0) close(fd_);
    }
    Bulk(const Bulk&) = delete;
    Bulk& operator=(const Bulk&) = delete;
    size_t size() const { return size_; }
    int fd() const { return fd_; }

   private:
    size_t size_;
    int fd_;
  };

  // One answer to request `request` of `pid` carrying `payload`.
  bool SendAnswer(uint32_t pid, uint64_t request, const Bulk& payload) {
    const std::string head = AnswerHead(pid, request, payload.size());
    return SendInTurn({&head}, &payload);
  }

  // Answers `record` (its first entry) with `payload`.
  bool Answer(const wire_test::DecodedRecord& record, const std::string& payload = "") {
    const uint64_t request = record.entries.empty() ? 0 : record.entries[0].header.request;
    return SendAnswer(record.batch.pid, request, payload);
  }

  // From now on the reader answers every request record of `pid` as it
  // comes, with the payload of its first entry.
  void AnswerAtOnce(uint32_t pid) {
    zantu::MutexLock lock(&mutex_);
    answer_at_once_.insert(pid);
  }

  // Takes the oldest queued request record of `pid`, waiting at most
  // `timeout` for one.
  bool Next(uint32_t pid, wire_test::DecodedRecord* record,
            std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    zantu::MutexLock lock(&mutex_);
    for (;;) {
      for (auto it = queued_.begin(); it != queued_.end(); ++it) {
        if (it->batch.pid == pid && it->batch.flags == 0) {
          *record = std::move(*it);
          queued_.erase(it);
          return true;
        }
      }
      if (cv_.wait_until(mutex_, deadline) == std::cv_status::timeout) return false;
    }
  }

  // Request records of `pid` queued and not yet taken.
  size_t Queued(uint32_t pid) {
    zantu::MutexLock lock(&mutex_);
    size_t n = 0;
    for (const auto& record : queued_) n += record.batch.pid == pid && record.batch.flags == 0;
    return n;
  }

  // Client-exit notices for `pid` received so far.
  size_t ExitNotices(uint32_t pid) {
    zantu::MutexLock lock(&mutex_);
    return exit_notices_.count(pid);
  }

  // Ends both connections: the daemon sees its node go.
  void Close() {
    for (int fd : {to_daemon_, from_daemon_}) {
      if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
  }

 private:
  ScriptedNode() = default;

  static std::string AnswerHead(uint32_t pid, uint64_t request, uint64_t payload) {
    std::string head(sizeof(ResponseBatchHeader) + sizeof(ResponseHeader), '\0');
    StoreRecord(head.data(), ResponseBatchHeader{0, sizeof(ResponseHeader) + payload, pid, 1});
    StoreRecord(head.data() + sizeof(ResponseBatchHeader), ResponseHeader{request, 0, 0, payload});
    return head;
  }

  // All of `bulk`, copied by the kernel.
  bool SendBulk(const Bulk& bulk) {
    off_t offset = 0;
    while (static_cast<size_t>(offset) < bulk.size()) {
      if (sendfile(to_daemon_, bulk.fd(), &offset, bulk.size() - static_cast<size_t>(offset)) <= 0) return false;
    }
    return true;
  }

  // Sends `parts` (and `bulk`) as one message once the senders that asked
  // before have sent theirs: a thread that sends large answers back to back
  // does not keep the reader's answers waiting.
  bool SendInTurn(std::initializer_list<const std::string*> parts, const Bulk* bulk = nullptr) {
    uint64_t ticket;
    {
      zantu::MutexLock lock(&turn_mutex_);
      ticket = next_ticket_++;
      while (ticket != serving_) turn_cv_.wait(turn_mutex_);
    }
    bool sent = true;
    for (const std::string* part : parts) sent = sent && testing_util::SendBytes(to_daemon_, *part);
    if (bulk != nullptr) sent = sent && SendBulk(*bulk);
    zantu::MutexLock lock(&turn_mutex_);
    ++serving_;
    turn_cv_.notify_all();
    return sent;
  }

  static int AcceptOne(int listen_fd, int timeout_ms) {
    if (!testing_util::Readable(listen_fd, timeout_ms)) return -1;
    return accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
  }

  // Reader thread: every message of the daemon's stream, until it ends.
  void ReadStream() {
    for (;;) {
      std::string bytes(sizeof(RequestBatchHeader), '\0');
      if (!testing_util::RecvBytes(from_daemon_, bytes.data(), bytes.size(), -1)) return;
      const RequestBatchHeader header = LoadRecord<RequestBatchHeader>(bytes.data());
      // A notice's size field counts nothing: it is a header alone.
      const uint64_t body = header.flags == 0 ? header.size : 0;
      bytes.resize(sizeof(RequestBatchHeader) + body);
      if (!testing_util::RecvBytes(from_daemon_, bytes.data() + sizeof(RequestBatchHeader), body, -1)) return;
      Take(wire_test::DecodeRequestRecord(std::move(bytes)));
    }
  }

  void Take(wire_test::DecodedRecord record) {
    bool answer = false;
    {
      zantu::MutexLock lock(&mutex_);
      if (record.batch.flags == kLinkClientExit) {
        exit_notices_.insert(record.batch.pid);
        return;
      }
      answer = answer_at_once_.count(record.batch.pid) != 0;
      if (!answer) {
        queued_.push_back(std::move(record));
        cv_.notify_all();
        return;
      }
    }
    Answer(record, record.entries.empty() ? "" : record.entries[0].payload);
  }

  int recv_listen_ = -1;  // the daemon's recv_port: node to daemon
  int send_listen_ = -1;  // the daemon's send_port: daemon to node
  int to_daemon_ = -1;
  int from_daemon_ = -1;
  std::thread reader_;
  zantu::Mutex turn_mutex_;  // one message at a time on to_daemon_, in the order asked
  std::condition_variable_any turn_cv_;
  uint64_t next_ticket_ GUARDED_BY(turn_mutex_) = 0;
  uint64_t serving_ GUARDED_BY(turn_mutex_) = 0;
  zantu::Mutex mutex_;
  std::condition_variable_any cv_;  // a record queued
  std::deque<wire_test::DecodedRecord> queued_ GUARDED_BY(mutex_);
  std::unordered_multiset<uint32_t> exit_notices_ GUARDED_BY(mutex_);
  std::unordered_set<uint32_t> answer_at_once_ GUARDED_BY(mutex_);
};

}  // namespace link_test
