// The whole road of a call for end-to-end tests of libtovrel: two real
// zantu_node processes (node 0 Native; node 1 Light, dropping a tenth of the
// daemon's datagrams on arrival), the real daemon serving four GPUs on them,
// and real client processes (e2e_client) that register at load.
//
// Daemon GPU table, with indexes distinct from positions so a mix-up shows:
//   GPU 0: node 0 index 3    GPU 1: node 1 index 7
//   GPU 2: node 0 index 4    GPU 3: node 1 index 8
//
// Nothing is left behind: the road ends its nodes first, so the daemon ends
// itself and releases what it created; a daemon that does not, or that a
// test killed, has its rings and process bell removed here.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/registration.h"
#include "node_harness.h"
#include "process_harness.h"
#include "server/server_harness.h"
#include "test_util.h"

namespace e2e_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct DaemonGpu {
  uint32_t node;
  uint32_t index;
};
inline const std::vector<DaemonGpu>& DaemonGpus() {
  static const std::vector<DaemonGpu> gpus = {{0, 3}, {1, 7}, {0, 4}, {1, 8}};
  return gpus;
}
constexpr uint16_t kNodePortBase = 7000;  // node n is announced with port 7000 + n

// The daemon has bound the registration port: it serves clients from now on
// (it binds only after its nodes are connected).
inline bool RegistrationPortBound() {
  char local[32];
  std::snprintf(local, sizeof(local), " 0100007F:%04X ", static_cast<unsigned>(kRegistrationPort));
  std::ifstream in("/proc/net/udp");
  std::stringstream table;
  table << in.rdbuf();
  return table.str().find(local) != std::string::npos;
}

// Waits up to 10 s for `daemon` to bind the registration port. False, with
// the daemon's stderr in `*error`, when it ends or the time runs out first.
inline bool WaitUntilServing(server_test::Daemon& daemon, std::string* error) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(10000);
  while (!RegistrationPortBound()) {
    if (!daemon.process().Running() || std::chrono::steady_clock::now() >= deadline) {
      *error = "the daemon does not serve registrations; its stderr:\n" + daemon.Stderr();
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// The value of a client's line "R name=value"; "<missing>" if absent.
inline std::string Value(const std::string& out, const std::string& name) {
  const std::string tag = "R " + name + "=";
  size_t at = out.rfind("\n" + tag);
  if (at == std::string::npos) {
    if (out.compare(0, tag.size(), tag) != 0) return "<missing>";
    at = 0;
  } else {
    ++at;
  }
  at += tag.size();
  return out.substr(at, out.find('\n', at) - at);
}

inline size_t Count(const std::string& text, const std::string& needle) {
  return server_test::CountOf(text, needle);
}

// What a daemon that did not end normally leaves: the rings of the clients
// it served and its process bell.
inline void RemoveDaemonLeftovers(pid_t daemon, const std::vector<std::string>& keys) {
  std::vector<std::string> rings;
  for (const std::string& key : keys) {
    rings.push_back(std::string(kRequestRingPrefix) + key);
    rings.push_back(std::string(kResponseRingPrefix) + key);
  }
  testing_util::RemoveShmLeftovers(daemon, rings);
}

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
    std::vector<std::string> args;
    for (const DaemonGpu& gpu : DaemonGpus()) {
      const std::string type = gpu.node == 0 ? "native" : "light";
      const auto group = server_test::Group(gpu.node, *road->nodes_[gpu.node], type,
                                            static_cast<uint16_t>(kNodePortBase + gpu.node), gpu.index);
      args.insert(args.end(), group.begin(), group.end());
    }
    road->daemon_ = server_test::Daemon::Start(args);
    if (road->daemon_ == nullptr) {
      *error = "fork failed";
      return nullptr;
    }
    if (!WaitUntilServing(*road->daemon_, error)) return nullptr;
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
      daemon_->process().Signal(SIGKILL);
      daemon_->Wait(milliseconds(5000));
      killed_ = true;
    } else if (!killed_) {
      EXPECT_TRUE(testing_util::ExitedWith(status, 0)) << "daemon status " << status << "\n"
                                                       << daemon_->Stderr().substr(0, 8000);
    }
    daemon_.reset();
    if (killed_) RemoveDaemonLeftovers(daemon, keys_);
  }

  Road(const Road&) = delete;
  Road& operator=(const Road&) = delete;

  server_test::Daemon& daemon() { return *daemon_; }
  testing_util::NodeProcess& node(int id) { return *nodes_[id]; }

  // Starts e2e_client with `args` and waits for its registration (its "R
  // key=" line), whose key the road remembers. Logging is on. Null if it
  // does not register.
  testing_util::ChildProcess* Client(const std::vector<std::string>& args, const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {testing_util::BinDir() + "/e2e_client"};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> full_env = {"-ZANTU_DISABLE_LOG", "-CUDA_VISIBLE_DEVICES"};
    full_env.insert(full_env.end(), env.begin(), env.end());
    auto client = testing_util::ChildProcess::Spawn(argv, full_env);
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
  std::unique_ptr<server_test::Daemon> daemon_;
  std::vector<std::unique_ptr<testing_util::ChildProcess>> clients_;
  std::vector<std::string> keys_;  // of every client that registered
  bool killed_ = false;
};

// Requests of `pid` a node received (client-exit notices left out).
inline std::vector<testing_util::RecordedMessage> RequestsOf(const testing_util::NodeRecord& record, pid_t pid) {
  std::vector<testing_util::RecordedMessage> requests;
  for (const auto& message : record.messages) {
    if (message.pid == static_cast<uint32_t>(pid) && message.flags == 0) requests.push_back(message);
  }
  return requests;
}

inline size_t ExitNoticesOf(const testing_util::NodeRecord& record, pid_t pid) {
  size_t notices = 0;
  for (const auto& message : record.messages) {
    if (message.pid == static_cast<uint32_t>(pid) && message.flags == kLinkClientExit) ++notices;
  }
  return notices;
}

// Waits for a client to end; true when it exited with status 0.
inline bool Finished(testing_util::ChildProcess& client, milliseconds timeout) {
  const int status = client.Wait(timeout);
  if (testing_util::ExitedWith(status, 0)) return true;
  ADD_FAILURE() << "client status " << status << "\nstdout:\n"
                << client.Stdout().substr(0, 20000) << "\nstderr:\n"
                << client.Stderr().substr(0, 20000);
  return false;
}

}  // namespace e2e_test
