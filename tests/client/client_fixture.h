// Tests of libtovrel from outside: each case starts tovrel_scenario (a real
// process linked against libtovrel) and plays the daemon's side of it through
// a DaemonStandIn in the test process.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "daemon_stand_in.h"
#include "process_harness.h"
#include "test_util.h"

namespace testing_util {

// Four GPUs on two nodes, indexes distinct from positions.
inline std::vector<GpuEntry> FourGpus() { return {{100, 0}, {101, 1}, {102, 0}, {103, 1}}; }

class ClientTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(stand_in_.Bind()) << "127.0.0.1:9979 stays taken by another program"; }

  // Starts a scenario process; the library inside registers at load.
  std::unique_ptr<ChildProcess> Spawn(const std::string& scenario, const std::vector<std::string>& env = {}) {
    std::vector<std::string> full_env = {"-ZANTU_DISABLE_LOG", "-CUDA_VISIBLE_DEVICES"};
    full_env.insert(full_env.end(), env.begin(), env.end());
    auto child = ChildProcess::Spawn({BinDir() + "/tovrel_scenario", scenario}, full_env);
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

  // Used by tests that run no stand-in of their own too.
 public:
  // Waits for the scenario to end; true when it exited with status 0.
  static bool Finished(ChildProcess& child, Millis timeout = Millis(20000)) {
    const int status = child.Wait(timeout);
    const bool ok = ExitedWith(status, 0);
    if (!ok) ADD_FAILURE() << "scenario status " << status << "\nstdout:\n" << child.Stdout() << "\nstderr:\n" << child.Stderr();
    return ok;
  }

  // The value of the scenario's line "R name=value"; "<missing>" if absent.
  static std::string Value(const ChildProcess& child, const std::string& name) {
    const std::string out = child.Stdout();
    const std::string tag = "R " + name + "=";
    size_t at = out.find(tag);
    if (at != 0) {
      at = out.find("\n" + tag);
      if (at == std::string::npos) return "<missing>";
      ++at;
    }
    at += tag.size();
    return out.substr(at, out.find('\n', at) - at);
  }

  static size_t Count(const std::string& text, const std::string& needle) { return CountOf(text, needle); }


 protected:
  DaemonStandIn stand_in_;
};

}  // namespace testing_util
