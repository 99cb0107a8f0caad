// The road of the loss and load tests: a Native node, a Light node reached
// through a LossyRelay, and the real daemon serving four GPUs on them
// (GPU 0: node 0 index 3, GPU 1: node 1 index 7, GPU 2: node 0 index 4,
// GPU 3: node 1 index 8). Clients are started by the test.
//
// Nothing is left behind: the road ends its nodes first (the daemon then
// quits and releases what it created) and only then its relay.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "client/e2e_road.h"
#include "load/lossy_relay.h"
#include "node_harness.h"
#include "server/server_harness.h"

namespace load_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Lines only a fault on the road makes the client library write (a call's
// own failure status is logged too, and is no fault).
inline void ExpectNoRoadFault(const std::string& client_stderr) {
  for (const char* fault : {"ASSERT", "Sanitizer", "unknown request", "runs past", "send request error", "skipped",
                            "response loop", "outside the", "dropped"}) {
    EXPECT_EQ(e2e_test::Count(client_stderr, fault), 0u) << fault << " in:\n" << client_stderr.substr(0, 4000);
  }
}

class LossyRoad {
 public:
  static std::unique_ptr<LossyRoad> Start(const testing_util::LossyRelay::Faults& faults, std::string* error) {
    std::unique_ptr<LossyRoad> road(new LossyRoad());
    testing_util::NodeConfig native;
    testing_util::NodeConfig light;
    light.transport = "light";
    road->nodes_[0] = testing_util::NodeProcess::Start(native, error);
    if (road->nodes_[0] == nullptr) return nullptr;
    road->nodes_[1] = testing_util::NodeProcess::Start(light, error);
    if (road->nodes_[1] == nullptr) return nullptr;
    road->relay_ = testing_util::LossyRelay::Start(road->nodes_[1]->recv_port(), faults, error);
    if (road->relay_ == nullptr) return nullptr;

    std::vector<std::string> args;
    for (const auto& gpu : e2e_test::DaemonGpus()) {
      const bool native_node = gpu.node == 0;
      const uint16_t recv = native_node ? road->nodes_[0]->recv_port() : road->relay_->port();
      const uint16_t send = native_node ? road->nodes_[0]->send_port() : 0;
      for (const std::string& arg :
           {std::to_string(gpu.node), std::string("127.0.0.1"), std::string(native_node ? "native" : "light"),
            std::to_string(send), std::to_string(recv), std::to_string(e2e_test::kNodePortBase + gpu.node),
            std::to_string(gpu.index)}) {
        args.push_back(arg);
      }
    }
    road->daemon_ = server_test::Daemon::Start(args);
    if (road->daemon_ == nullptr) {
      *error = "fork failed";
      return nullptr;
    }
    if (!e2e_test::WaitUntilServing(*road->daemon_, error)) return nullptr;
    return road;
  }

  ~LossyRoad() {
    clients_.clear();
    nodes_[0].reset();
    nodes_[1].reset();
    if (daemon_ != nullptr) {
      const int status = daemon_->Wait(milliseconds(10000));
      EXPECT_TRUE(testing_util::ExitedWith(status, 0)) << "daemon status " << status << "\n"
                                                       << daemon_->Stderr().substr(0, 8000);
      daemon_.reset();  // kills it by its pid if it still runs
    }
    relay_.reset();
  }

  LossyRoad(const LossyRoad&) = delete;
  LossyRoad& operator=(const LossyRoad&) = delete;

  server_test::Daemon& daemon() { return *daemon_; }
  testing_util::LossyRelay& relay() { return *relay_; }

  // Starts `program` (a name in the build's bin directory) with `args`, with
  // logging off unless `log`. Not waited for.
  testing_util::ChildProcess* Client(const std::string& program, const std::vector<std::string>& args,
                                     bool log = true) {
    std::vector<std::string> argv = {testing_util::BinDir() + "/" + program};
    argv.insert(argv.end(), args.begin(), args.end());
    auto client = testing_util::ChildProcess::Spawn(
        argv, {log ? "-ZANTU_DISABLE_LOG" : "ZANTU_DISABLE_LOG=1", "-CUDA_VISIBLE_DEVICES"});
    if (client == nullptr) return nullptr;
    clients_.push_back(std::move(client));
    return clients_.back().get();
  }

 private:
  LossyRoad() = default;

  std::unique_ptr<testing_util::NodeProcess> nodes_[2];
  std::unique_ptr<testing_util::LossyRelay> relay_;
  std::unique_ptr<server_test::Daemon> daemon_;
  std::vector<std::unique_ptr<testing_util::ChildProcess>> clients_;
};

}  // namespace load_test
