// The real daemon for a test: started against real zantu_node processes,
// registered with over UDP like a client library would, its rings attached
// with libtrellan. Nothing is left behind: the daemon ends when its nodes
// end, and whatever a killed daemon could not remove is removed here.
#pragma once

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "common/registration.h"
#include "common/test_module.h"
#include "common/trellan.h"
#include "node_harness.h"
#include "process_harness.h"
#include "test_util.h"
#include "wire_codec.h"

namespace server_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The seven arguments of one GPU on `node`.
inline std::vector<std::string> Group(uint32_t node_id, const testing_util::NodeProcess& node, const std::string& type,
                                      uint16_t node_port, uint32_t gpu_index) {
  return {std::to_string(node_id),
          "127.0.0.1",
          type,
          std::to_string(node.send_port()),
          std::to_string(node.recv_port()),
          std::to_string(node_port),
          std::to_string(gpu_index)};
}

inline std::vector<std::string> Concat(std::initializer_list<std::vector<std::string>> groups) {
  std::vector<std::string> all;
  for (const auto& group : groups) all.insert(all.end(), group.begin(), group.end());
  return all;
}

inline bool ShmExists(const std::string& name) {
  struct stat st;
  return stat(("/dev/shm/" + name).c_str(), &st) == 0;
}

inline std::string RequestRingName(const std::string& key) { return kRequestRingPrefix + key; }
inline std::string ResponseRingName(const std::string& key) { return kResponseRingPrefix + key; }

// The registration reply, taken apart by the tests' own codec, and its bytes.
struct Reply : wire_test::ReplyFields {
  std::string raw;
};

inline bool ParseReply(const std::string& raw, Reply* reply) {
  reply->raw = raw;
  return wire_test::DecodeReply(raw, reply);
}

// Sends `datagram` to the registration port from socket `fd` every 100 ms
// until a reply comes or `timeout` passes. The reply, or empty.
inline std::string ExchangeOn(int fd, const std::string& datagram, milliseconds timeout) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(kRegistrationPort);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto deadline = Clock::now() + timeout;
  std::string reply;
  while (Clock::now() < deadline) {
    sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof(to));
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, 100) == 1) {
      char buf[8192];
      const ssize_t n = recv(fd, buf, sizeof(buf), 0);
      if (n >= 0) {
        reply.assign(buf, static_cast<size_t>(n));
        break;
      }
    }
  }
  return reply;
}

// The same from a fresh socket of this process.
inline std::string Exchange(const std::string& datagram, milliseconds timeout) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string reply = ExchangeOn(fd, datagram, timeout);
  close(fd);
  return reply;
}

// A child process that does nothing but hold a UDP socket made before the
// fork. The daemon registers a pid only from a socket that process holds, so
// this process can register the child, from the same socket, as a client
// whose rings it then works on itself. Killed by its pid on destruction.
class SocketHolder {
 public:
  static std::unique_ptr<SocketHolder> Start() {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) return nullptr;
    const pid_t pid = fork();
    if (pid < 0) {
      close(fd);
      return nullptr;
    }
    if (pid == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      for (;;) pause();
    }
    return std::unique_ptr<SocketHolder>(new SocketHolder(pid, fd));
  }

  ~SocketHolder() {
    if (fd_ >= 0) close(fd_);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }

  SocketHolder(const SocketHolder&) = delete;
  SocketHolder& operator=(const SocketHolder&) = delete;

  uint32_t pid() const { return static_cast<uint32_t>(pid_); }
  int fd() const { return fd_; }
  // This process lets go of the socket; the child keeps it.
  void CloseOwnCopy() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  SocketHolder(pid_t pid, int fd) : pid_(pid), fd_(fd) {}
  pid_t pid_;
  int fd_;
};

inline std::string PidDatagram(uint32_t pid) { return wire_test::EncodePidDatagram(pid); }

class Daemon {
 public:
  // Starts zantu_server with logging on.
  static std::unique_ptr<Daemon> Start(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {testing_util::BinDir() + "/zantu_server"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::unique_ptr<Daemon> daemon(new Daemon());
    daemon->process_ = testing_util::ChildProcess::Spawn(argv, {"-ZANTU_DISABLE_LOG"});
    if (!daemon->process_) return nullptr;
    return daemon;
  }

  ~Daemon() {
    const pid_t pid = process_->pid();
    const bool ended = process_->Wait(milliseconds(0)) != -1;
    process_.reset();  // kills it by its pid if it still runs
    if (!ended) RemoveLeftovers(pid);
  }

  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  testing_util::ChildProcess& process() { return *process_; }
  std::string Stdout() const { return process_->Stdout(); }
  std::string Stderr() const { return process_->Stderr(); }

  // Registers `pid`; false if no reply arrives within `timeout`.
  bool Register(uint32_t pid, Reply* reply, milliseconds timeout = milliseconds(5000)) {
    const std::string raw = Exchange(PidDatagram(pid), timeout);
    if (raw.empty() || !ParseReply(raw, reply)) return false;
    keys_.push_back(reply->key);
    return true;
  }

  // Registers `pid` from socket `fd`, which that process must hold too.
  bool RegisterOn(int fd, uint32_t pid, Reply* reply, milliseconds timeout = milliseconds(5000)) {
    const std::string raw = ExchangeOn(fd, PidDatagram(pid), timeout);
    if (raw.empty() || !ParseReply(raw, reply)) return false;
    keys_.push_back(reply->key);
    return true;
  }

  // Registers the child of `holder` from the socket it holds.
  bool Register(const SocketHolder& holder, Reply* reply, milliseconds timeout = milliseconds(5000)) {
    return RegisterOn(holder.fd(), holder.pid(), reply, timeout);
  }

  // Waits for the daemon to exit; its wait status, or -1.
  int Wait(milliseconds timeout) { return process_->Wait(timeout); }

 private:
  Daemon() = default;

  // What only a daemon that did not end normally leaves: its rings and its
  // process bell.
  void RemoveLeftovers(pid_t pid) {
    std::vector<std::string> rings;
    for (const std::string& key : keys_) {
      rings.push_back(RequestRingName(key));
      rings.push_back(ResponseRingName(key));
    }
    testing_util::RemoveShmLeftovers(pid, rings);
  }

  std::unique_ptr<testing_util::ChildProcess> process_;
  std::vector<std::string> keys_;
};

// A request entry: header and payload (argument block, then `data`).
inline std::string RequestEntry(uint64_t request, uint32_t flags, uint32_t module, uint32_t api,
                                const std::vector<uint64_t>& args, const std::string& data = "", uint32_t tid = 0) {
  return wire_test::EncodeRequestEntry(request, flags, tid, module, api, args, data);
}

inline std::string RequestRecord(uint32_t node, uint32_t device, uint32_t pid, const std::vector<std::string>& entries,
                                 uint32_t flags = 0) {
  return wire_test::EncodeRequestRecord(flags, node, device, pid, entries);
}

// One response record, taken apart into plain (unpacked) values: the batch
// header and the first entry (the node answers with one).
using Response = wire_test::DecodedResponse;

// A client's two rings, attached as the client library attaches them.
class ClientRings {
 public:
  // Throws what the ring constructor throws.
  explicit ClientRings(const std::string& key) {
    std::string request_name = RequestRingName(key);
    std::string response_name = ResponseRingName(key);
    request_ = std::make_unique<RingBuffer>(request_name, kRingBufferSize, false);
    response_ = std::make_unique<RingBuffer>(response_name, kRingBufferSize, false);
  }

  // Writes `bytes` as one ring record, waiting while the ring is full.
  RingBufferStatus Write(const std::string& bytes) {
    for (;;) {
      RingBufferStatus status = request_->Write(bytes.size(), [&bytes](void* space) {
        std::memcpy(space, bytes.data(), bytes.size());
        return kRingSuccess;
      });
      if (status != kRingFull) return status;
      std::this_thread::sleep_for(milliseconds(1));
    }
  }

  // One Write of the request ring with the caller's fill, as it stands.
  RingBufferStatus WriteWith(size_t size, std::function<RingBufferStatus(void*)> fill) {
    return request_->Write(size, std::move(fill));
  }

  // Reads response records until `count` have arrived or `timeout` passed.
  bool ReadResponses(size_t count, std::vector<Response>* out, milliseconds timeout = milliseconds(10000)) {
    const auto deadline = Clock::now() + timeout;
    while (out->size() < count && Clock::now() < deadline) {
      RingBufferStatus status = response_->Read([out](void* data, size_t length) {
        const char* p = static_cast<const char*>(data);
        while (const size_t size = wire_test::WholeResponseRecord(p, length)) {
          out->push_back(wire_test::DecodeResponseRecord(p, size));
          p += size;
          length -= size;
        }
        return kRingSuccess;
      });
      if (status != kRingSuccess && status != kRingEmpty) return false;
    }
    return out->size() >= count;
  }

 private:
  std::unique_ptr<RingBuffer> request_;
  std::unique_ptr<RingBuffer> response_;
};

// Polls `predicate` every 5 ms until it holds or `timeout` passes.
template <typename Predicate>
bool WaitFor(Predicate predicate, milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(5));
  }
}

// The node's record once it holds at least `count` messages.
inline bool AwaitMessages(const testing_util::NodeProcess& node, size_t count, testing_util::NodeRecord* record,
                          milliseconds timeout = milliseconds(5000)) {
  return WaitFor([&] { return node.ReadRecord(record) && record->messages.size() >= count; }, timeout);
}

using testing_util::CountOf;

}  // namespace server_test
