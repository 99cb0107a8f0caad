// The real daemon for a test: started against real zantu_node processes,
// registered with over UDP like a client library would, its rings attached
// with libtrellan; and the roads of end-to-end tests built around it.
// Nothing is left behind: the daemon ends when its nodes end, and whatever a
// killed daemon could not remove is removed here.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "common/registration.h"
#include "common/trellan.h"
#include "harness/processes.h"
#include "harness/sockets.h"
#include "harness/wire.h"
#include "trellan/ring_layout.h"

namespace daemon_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
using testing_util::CountOf;
using testing_util::WaitFor;

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

using testing_util::RequestRingName;
using testing_util::ResponseRingName;

// Both rings of client `key` are gone from /dev/shm.
inline bool RingsGone(const std::string& key) {
  return !ShmExists(RequestRingName(key)) && !ShmExists(ResponseRingName(key));
}

// What `creator` has in /dev/shm: the ring objects (by the daemon's ring
// prefixes) whose header names it as their creator, and its process bell
// (trellan.bell.<pid>.*).
inline std::vector<std::string> ShmObjectsOf(pid_t creator) {
  std::vector<std::string> found;
  const std::string bell = "trellan.bell." + std::to_string(creator) + ".";
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return found;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.compare(0, bell.size(), bell) == 0) {
      found.push_back(name);
      continue;
    }
    if (name.rfind(kRequestRingPrefix, 0) != 0 && name.rfind(kResponseRingPrefix, 0) != 0) continue;
    const int fd = open(("/dev/shm/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) continue;
    uint32_t pid = 0;
    if (pread(fd, &pid, sizeof(pid), offsetof(trellan::RingHeader, creator_pid)) == sizeof(pid) &&
        pid == static_cast<uint32_t>(creator)) {
      found.push_back(name);
    }
    close(fd);
  }
  closedir(dir);
  return found;
}

// Sends `datagram` to the registration port from socket `fd` every 100 ms
// until a reply comes or `timeout` passes. The reply, or empty.
inline std::string ExchangeOn(int fd, const std::string& datagram, milliseconds timeout) {
  sockaddr_in to = testing_util::Loopback(kRegistrationPort);
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
    if (!ended) testing_util::RemoveRingLeftovers(pid, keys_);
  }

  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  testing_util::ChildProcess& process() { return *process_; }
  std::string Stdout() const { return process_->Stdout(); }
  std::string Stderr() const { return process_->Stderr(); }

  // Registers `pid`; false if no reply arrives within `timeout`.
  bool Register(uint32_t pid, wire_test::Reply* reply, milliseconds timeout = milliseconds(5000)) {
    return Registered(Exchange(wire_test::EncodePidDatagram(pid), timeout), reply);
  }

  // Registers `pid` from socket `fd`, which that process must hold too.
  bool RegisterOn(int fd, uint32_t pid, wire_test::Reply* reply, milliseconds timeout = milliseconds(5000)) {
    return Registered(ExchangeOn(fd, wire_test::EncodePidDatagram(pid), timeout), reply);
  }

  // Registers the child of `holder` from the socket it holds.
  bool Register(const SocketHolder& holder, wire_test::Reply* reply, milliseconds timeout = milliseconds(5000)) {
    return RegisterOn(holder.fd(), holder.pid(), reply, timeout);
  }

  // Waits for the daemon to exit; its wait status, or -1.
  int Wait(milliseconds timeout) { return process_->Wait(timeout); }

 private:
  Daemon() = default;

  bool Registered(const std::string& raw, wire_test::Reply* reply) {
    if (raw.empty() || !wire_test::ParseReply(raw, reply)) return false;
    keys_.push_back(reply->key);
    return true;
  }

  std::unique_ptr<testing_util::ChildProcess> process_;
  std::vector<std::string> keys_;
};

// The daemon has bound the registration port: it serves clients from now on
// (it binds only after its nodes are connected).
inline bool RegistrationPortBound() {
  char local[32];
  std::snprintf(local, sizeof(local), " 0100007F:%04X ", static_cast<unsigned>(kRegistrationPort));
  return testing_util::ReadWholeFile("/proc/net/udp").find(local) != std::string::npos;
}

// Starts the daemon with `args` and waits up to 10 s until it serves
// registrations. Null, with `*error` saying why (the daemon's stderr when
// it ends or the time runs out first), on failure.
inline std::unique_ptr<Daemon> StartServing(const std::vector<std::string>& args, std::string* error) {
  std::unique_ptr<Daemon> daemon = Daemon::Start(args);
  if (daemon == nullptr) {
    *error = "fork failed";
    return nullptr;
  }
  if (!WaitFor([&] { return RegistrationPortBound() || !daemon->process().Running(); }, milliseconds(10000)) ||
      !RegistrationPortBound()) {
    *error = "the daemon does not serve registrations; its stderr:\n" + daemon->Stderr();
    return nullptr;
  }
  return daemon;
}

// A node that records what it receives, closing after `close_after` records
// (0: never); null, with a failure, if it does not start.
inline std::unique_ptr<testing_util::NodeProcess> StartNode(const std::string& transport = "native",
                                                            uint64_t close_after = 0) {
  testing_util::NodeConfig config;
  config.transport = transport;
  config.close_after = close_after;
  config.record = true;
  std::string error;
  auto node = testing_util::NodeProcess::Start(config, &error);
  EXPECT_NE(node, nullptr) << error;
  return node;
}

// Ends `nodes` with SIGTERM, then expects the daemon to follow them with
// status 0.
inline void EndNodesThenDaemon(const std::vector<std::unique_ptr<testing_util::NodeProcess>>& nodes,
                               Daemon* daemon) {
  for (auto& node : nodes) {
    if (node) node->process().Signal(SIGTERM);
  }
  if (daemon != nullptr) {
    EXPECT_TRUE(testing_util::ExitedWith(daemon->Wait(milliseconds(5000)), 0)) << daemon->Stderr();
  }
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

// The node's record once it holds at least `count` messages.
inline bool AwaitMessages(const testing_util::NodeProcess& node, size_t count, wire_test::NodeRecord* record,
                          milliseconds timeout = milliseconds(5000)) {
  return WaitFor([&] { return node.ReadRecord(record) && record->messages.size() >= count; }, timeout);
}

// ------------------------------------------------------------------ roads
//
// Two real zantu_node processes (node 0 Native, node 1 Light) and the real
// daemon serving four GPUs on them, with indexes distinct from positions so
// a mix-up shows:
//   GPU 0: node 0 index 3    GPU 1: node 1 index 7
//   GPU 2: node 0 index 4    GPU 3: node 1 index 8

struct DaemonGpu {
  uint32_t node;
  uint32_t index;
};
inline const std::vector<DaemonGpu>& DaemonGpus() {
  static const std::vector<DaemonGpu> gpus = {{0, 3}, {1, 7}, {0, 4}, {1, 8}};
  return gpus;
}
constexpr uint16_t kNodePortBase = 7000;  // node n is announced with port 7000 + n

// The daemon's arguments for DaemonGpus(), node 1 reached at `light_port`.
inline std::vector<std::string> RoadArgs(const testing_util::NodeProcess& native, uint16_t light_port) {
  std::vector<std::string> args;
  for (const DaemonGpu& gpu : DaemonGpus()) {
    const bool on_native = gpu.node == 0;
    const std::vector<std::string> group = {
        std::to_string(gpu.node),  "127.0.0.1", on_native ? "native" : "light",
        std::to_string(on_native ? native.send_port() : 0),
        std::to_string(on_native ? native.recv_port() : light_port),
        std::to_string(kNodePortBase + gpu.node), std::to_string(gpu.index)};
    args.insert(args.end(), group.begin(), group.end());
  }
  return args;
}

using testing_util::ExpectValues;
using testing_util::Finished;
using testing_util::Value;

// The road of the end-to-end tests: node 1 drops a tenth of the daemon's
// datagrams on arrival, and clients are e2e_client processes that register
// at load. It ends its nodes first, so the daemon ends itself and releases
// what it created; a daemon that does not, or that a test killed, has its
// rings and process bell removed here.
class Road {
 public:
  // Starts both nodes (recording what they receive when `record`) and the
  // daemon, and waits until it serves registrations. Null, with `*error`
  // saying why, on failure.
  static std::unique_ptr<Road> Start(bool record, std::string* error) {
    std::unique_ptr<Road> road(new Road());
    testing_util::NodeConfig native;
    native.record = record;
    testing_util::NodeConfig light;
    light.transport = "light";
    light.drop = 0.1;
    light.seed = 4242;
    light.record = record;
    road->nodes_[0] = testing_util::NodeProcess::Start(native, error);
    if (road->nodes_[0] == nullptr) return nullptr;
    road->nodes_[1] = testing_util::NodeProcess::Start(light, error);
    if (road->nodes_[1] == nullptr) return nullptr;
    road->daemon_ = StartServing(RoadArgs(*road->nodes_[0], road->nodes_[1]->recv_port()), error);
    if (road->daemon_ == nullptr) return nullptr;
    return road;
  }

  ~Road() {
    clients_.clear();
    const pid_t daemon = daemon_ ? daemon_->process().pid() : -1;
    nodes_[0].reset();
    nodes_[1].reset();
    if (daemon_ == nullptr) return;
    // With its nodes gone the daemon quits and removes what it created; a
    // sanitizer's report at its exit shows in its status.
    const int status = daemon_->Wait(milliseconds(5000));
    if (status == -1) {
      ADD_FAILURE() << "the daemon did not end when its nodes ended";
      KillDaemon();
    } else if (!killed_) {
      EXPECT_TRUE(testing_util::ExitedWith(status, 0)) << "daemon status " << status << "\n"
                                                       << daemon_->Stderr().substr(0, 8000);
    }
    daemon_.reset();
    if (killed_) testing_util::RemoveRingLeftovers(daemon, keys_);
  }

  Road(const Road&) = delete;
  Road& operator=(const Road&) = delete;

  Daemon& daemon() { return *daemon_; }
  testing_util::NodeProcess& node(int id) { return *nodes_[id]; }

  // Starts e2e_client with `args` and waits for its registration (its "R
  // key=" line), whose key the road remembers. Logging is on. Null if it
  // does not register.
  testing_util::ChildProcess* Client(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    auto client = testing_util::SpawnClient("e2e_client", args, env);
    if (client == nullptr) return nullptr;
    if (!client->WaitForOutput("R key=", milliseconds(20000))) {
      ADD_FAILURE() << "client did not start; stdout:\n" << client->Stdout() << "\nstderr:\n" << client->Stderr();
      return nullptr;
    }
    const std::string key = Value(client->Stdout(), "key");
    if (key.size() == kKeyChars) keys_.push_back(key);
    clients_.push_back(std::move(client));
    return clients_.back().get();
  }

  // SIGKILL to the daemon; returns when it has been reaped. Its leftovers
  // are removed when the road ends.
  void KillDaemon() {
    daemon_->process().Signal(SIGKILL);
    daemon_->Wait(milliseconds(5000));
    killed_ = true;
  }

 private:
  Road() = default;

  std::unique_ptr<testing_util::NodeProcess> nodes_[2];
  std::unique_ptr<Daemon> daemon_;
  std::vector<std::unique_ptr<testing_util::ChildProcess>> clients_;
  std::vector<std::string> keys_;  // of every client that registered
  bool killed_ = false;
};

// The real daemon on nodes started from `configs`: node i, announced with
// port 7000 + i, serves its GPUs 0 to `gpus` - 1. The road ends its nodes
// first; a daemon that does not follow them within 5 s is killed.
class DaemonOnNodes {
 public:
  static std::unique_ptr<DaemonOnNodes> Start(const std::vector<testing_util::NodeConfig>& configs, uint32_t gpus,
                                              std::string* error) {
    std::unique_ptr<DaemonOnNodes> road(new DaemonOnNodes());
    std::vector<std::string> args;
    for (uint32_t id = 0; id < configs.size(); ++id) {
      road->nodes_.push_back(testing_util::NodeProcess::Start(configs[id], error));
      if (road->nodes_.back() == nullptr) return nullptr;
      for (uint32_t index = 0; index < gpus; ++index) {
        const auto group = Group(id, *road->nodes_.back(), configs[id].transport,
                                 static_cast<uint16_t>(kNodePortBase + id), index);
        args.insert(args.end(), group.begin(), group.end());
      }
    }
    road->daemon_ = StartServing(args, error);
    if (road->daemon_ == nullptr) return nullptr;
    return road;
  }

  ~DaemonOnNodes() {
    nodes_.clear();  // the daemon ends when its nodes do
    if (daemon_ != nullptr && daemon_->Wait(milliseconds(5000)) == -1) daemon_->process().Signal(SIGKILL);
  }

  DaemonOnNodes(const DaemonOnNodes&) = delete;
  DaemonOnNodes& operator=(const DaemonOnNodes&) = delete;

  testing_util::NodeProcess& node(size_t id) { return *nodes_[id]; }
  Daemon& daemon() { return *daemon_; }

 private:
  DaemonOnNodes() = default;

  std::vector<std::unique_ptr<testing_util::NodeProcess>> nodes_;
  std::unique_ptr<Daemon> daemon_;
};

// The environment of a program that runs on our CUDA runtime library from
// `cudart_dir`, with `sanitizer_runtime` (may be empty) loaded first, logging
// off, then `env`.
inline std::vector<std::string> CudartEnv(const std::string& cudart_dir, const std::string& sanitizer_runtime,
                                          const std::vector<std::string>& env) {
  std::vector<std::string> full = {"LD_LIBRARY_PATH=" + cudart_dir, "ZANTU_DISABLE_LOG=1"};
  if (!sanitizer_runtime.empty()) full.push_back("LD_PRELOAD=" + sanitizer_runtime);
  full.insert(full.end(), env.begin(), env.end());
  return full;
}

// Runs sample program `path` to its end (at most `bound`) on our runtime
// library; "" when it exited 0 and said "<name>: PASSED", otherwise what it
// printed.
inline std::string RunSample(const std::string& path, const std::string& name, const std::vector<std::string>& args,
                             const std::vector<std::string>& env, std::chrono::milliseconds bound) {
  std::vector<std::string> argv = {path};
  argv.insert(argv.end(), args.begin(), args.end());
  auto app = testing_util::ChildProcess::Spawn(argv, env);
  if (app == nullptr) return name + ": fork failed";
  const int status = app->Wait(bound);
  const std::string out = app->Stdout();
  if (status == 0 && out.find(name + ": PASSED") != std::string::npos) return "";
  return name + " exited " + std::to_string(status) + ":\n" + out + app->Stderr();
}

}  // namespace daemon_test
