// Faults on the road of a call, with real processes: the real daemon, two
// real nodes (Native and Light) and real client processes. Each case states
// the bound within which every caller hears of the fault, and checks it.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness/daemon.h"

namespace daemon_test {
namespace {

using testing_util::ChildProcess;
using wire_test::NodeRecord;

constexpr const char* kAll999 = "999,999,999,999,999,999,999,999";

milliseconds Since(Clock::time_point start) { return std::chrono::duration_cast<milliseconds>(Clock::now() - start); }

// Starts an e2e_client whose eight threads wait in Delay calls of `micros`,
// two on each GPU, and returns once both nodes are running some of them.
ChildProcess* StartWaiters(Road& road, const std::string& micros) {
  ChildProcess* client = road.Client({"waiters", micros});
  if (client == nullptr) return nullptr;
  if (!WaitFor([&] { return CountOf(client->Stdout(), "R calling=") == 8; }, milliseconds(10000))) {
    ADD_FAILURE() << "the waiters did not start";
    return nullptr;
  }
  for (int node = 0; node < 2; ++node) {
    NodeRecord record;
    if (!WaitFor([&] { return road.node(node).ReadRecord(&record) && !RequestsOf(record, client->pid()).empty(); },
                 milliseconds(10000))) {
      ADD_FAILURE() << "node " << node << " got no call of the waiters";
      return nullptr;
    }
  }
  std::this_thread::sleep_for(milliseconds(300));
  return client;
}

// The daemon killed (SIGKILL) while eight threads wait for 30 s Delay answers
// on all four GPUs: no caller waits longer than 1 s after the kill, each gets
// 999, and every later call fails with 999 within 100 ms.
TEST(FaultMatrixTest, DaemonKilledWhileCallersWait) {
  std::string error;
  auto road = Road::Start(true, &error);
  ASSERT_NE(road, nullptr) << error;
  ChildProcess* client = StartWaiters(*road, "30000000");
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(client->Running());

  road->KillDaemon();
  const auto killed = Clock::now();
  ASSERT_TRUE(client->WaitForOutput("R results=", milliseconds(5000))) << client->Stdout();
  const milliseconds woke = Since(killed);
  EXPECT_LT(woke.count(), 1000);
  std::printf("waiting threads woke %lld ms after the daemon was killed\n", static_cast<long long>(woke.count()));
  ASSERT_TRUE(Finished(*client, milliseconds(10000)));
  const std::string out = client->Stdout();
  const std::string err = client->Stderr();
  EXPECT_EQ(Value(out, "results"), kAll999);
  EXPECT_GE(std::stoll(Value(out, "shortest_wait_ms")), 300);
  ExpectValues(out, {{"later", "999"}, {"later_deferred", "999"}, {"later_nowait", "999"}});
  EXPECT_LT(std::stoll(Value(out, "later_ms")), 100);
  // All eight were waiting for their answers (woken by the loop's end), none
  // was still on its way into the ring; the three later calls were refused.
  EXPECT_EQ(CountOf(err, "result=999 failed\n"), 8u) << err;
  EXPECT_EQ(CountOf(err, "send request error happened"), 0u) << err;
  EXPECT_EQ(CountOf(err, "response loop has ended, request api="), 3u) << err;
  EXPECT_EQ(CountOf(err, "read ring buffer failed=7\n"), 1u) << err;
}

// A node killed (SIGKILL), the Native one and then the Light one, while
// eight threads wait for 30 s Delay answers on both nodes. The daemon cannot
// serve without the node and ends: no caller waits longer than 3 s after the
// kill, each gets 999, and the daemon ends by itself (status 0) within 3 s.
TEST(FaultMatrixTest, NodeKilledWhileCallersWait) {
  for (const int node : {0, 1}) {
    SCOPED_TRACE(node == 0 ? "Native node killed" : "Light node killed");
    std::string error;
    auto road = Road::Start(true, &error);
    ASSERT_NE(road, nullptr) << error;
    ChildProcess* client = StartWaiters(*road, "30000000");
    ASSERT_NE(client, nullptr);

    road->node(node).process().Signal(SIGKILL);
    const auto killed = Clock::now();
    ASSERT_TRUE(client->WaitForOutput("R results=", milliseconds(3000)))
        << "callers still wait 3 s after the node was killed\n"
        << client->Stdout().substr(0, 4000) << "\ndaemon:\n"
        << road->daemon().Stderr().substr(0, 4000);
    const milliseconds woke = Since(killed);
    std::printf("node %d killed: waiting threads woke after %lld ms\n", node, static_cast<long long>(woke.count()));
    ASSERT_TRUE(Finished(*client, milliseconds(10000)));
    EXPECT_EQ(Value(client->Stdout(), "results"), kAll999);
    EXPECT_EQ(Value(client->Stdout(), "later"), "999");
    const int status = road->daemon().Wait(milliseconds(3000) - Since(killed));
    EXPECT_TRUE(testing_util::ExitedWith(status, 0)) << "daemon status " << status;
    EXPECT_GE(CountOf(road->daemon().Stderr(), "Error"), 1u);
  }
}

// A client killed (SIGKILL) while eight of its calls run on the nodes, their
// answers still to come, and while another client runs a mix of every kind
// of call. The daemon tells both nodes and releases the killed client's
// rings within 2 s; the other client finishes with every answer right, and a
// client started afterwards is served on every GPU.
TEST(FaultMatrixTest, ClientKilledWithAnswersInFlight) {
  std::string error;
  auto road = Road::Start(true, &error);
  ASSERT_NE(road, nullptr) << error;
  ChildProcess* victim = StartWaiters(*road, "700000");
  ASSERT_NE(victim, nullptr);
  ChildProcess* other = road->Client({"mix", "4000"});
  ASSERT_NE(other, nullptr);

  const std::string key = Value(victim->Stdout(), "key");
  const pid_t pid = victim->pid();
  victim->Signal(SIGKILL);
  const auto killed = Clock::now();
  ASSERT_NE(victim->Wait(milliseconds(5000)), -1);
  ASSERT_TRUE(WaitFor([&] { return RingsGone(key); }, milliseconds(2000) - Since(killed)))
      << "rings of the killed client still there 2 s after the kill";
  std::printf("killed client released after %lld ms\n", static_cast<long long>(Since(killed).count()));
  for (int node = 0; node < 2; ++node) {
    NodeRecord record;
    EXPECT_TRUE(WaitFor(
        [&] { return road->node(node).ReadRecord(&record) && ExitNoticesOf(record, pid) == 1; }, milliseconds(2000)))
        << "node " << node << " was not told that the client exited";
  }

  ASSERT_TRUE(Finished(*other, milliseconds(60000)));
  EXPECT_EQ(Value(other->Stdout(), "wrong"), "0") << Value(other->Stdout(), "first_wrong");
  ChildProcess* later = road->Client({"gpus"});
  ASSERT_NE(later, nullptr);
  ASSERT_TRUE(Finished(*later, milliseconds(20000)));
  for (const char* echo : {"echo0", "echo1", "echo2", "echo3"}) EXPECT_EQ(Value(later->Stdout(), echo), "0") << echo;
  EXPECT_TRUE(road->daemon().process().Running());
}

// One client's response hook blocks on its first answer while the answers
// of its 256 no-wait echoes of 64 KiB (16 MiB) pile up in its response ring.
// Meanwhile two other clients run 8 x 2000 mixed calls each: both finish
// within 60 s with every answer right, while the hook is still blocked. Once
// released, the stalled client handles all 256 answers, right, within 20 s.
TEST(FaultMatrixTest, StalledResponseHookAffectsNoOtherClient) {
  std::string error;
  auto road = Road::Start(false, &error);
  ASSERT_NE(road, nullptr) << error;
  const std::string release = "/tmp/" + testing_util::UniqueName("e2e_stall_release");
  ChildProcess* stalled = road->Client({"stall", "256"}, {"E2E_STALL_RELEASE=" + release});
  ASSERT_NE(stalled, nullptr);
  ASSERT_TRUE(stalled->WaitForOutput("R sent=256\n", milliseconds(20000))) << stalled->Stdout().substr(0, 4000);
  ASSERT_TRUE(stalled->WaitForOutput("R stalled=1\n", milliseconds(20000)));

  const auto start = Clock::now();
  ChildProcess* first = road->Client({"mix", "2000"});
  ChildProcess* second = road->Client({"mix", "2000"});
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  for (ChildProcess* other : {first, second}) {
    ASSERT_TRUE(Finished(*other, milliseconds(60000) - Since(start)));
    EXPECT_EQ(Value(other->Stdout(), "wrong"), "0") << Value(other->Stdout(), "first_wrong");
  }
  std::printf("two clients finished their mix in %lld ms beside a stalled one\n",
              static_cast<long long>(Since(start).count()));
  EXPECT_EQ(CountOf(stalled->Stdout(), "R released="), 0u) << "the stall ended before the others finished";

  { std::ofstream(release).put('1'); }
  const bool done = Finished(*stalled, milliseconds(20000));
  unlink(release.c_str());
  ASSERT_TRUE(done);
  EXPECT_EQ(Value(stalled->Stdout(), "handled"), "256");
  EXPECT_EQ(Value(stalled->Stdout(), "wrong"), "0");
  EXPECT_TRUE(road->daemon().process().Running());
}

// A start-up storm: 64 processes load the library at the same moment. Each
// registers (repeating its datagram if the daemon is slow to answer, and
// taking only the reply to its newest one) in time, and its calls reach
// every GPU.
TEST(FaultMatrixTest, StartUpStormRegistersEveryProcess) {
  constexpr int kProcesses = 64;
  std::string error;
  auto road = Road::Start(false, &error);
  ASSERT_NE(road, nullptr) << error;
  std::vector<std::unique_ptr<ChildProcess>> clients;
  for (int i = 0; i < kProcesses; ++i) {
    clients.push_back(ChildProcess::Spawn({testing_util::BinDir() + "/e2e_client", "gpus"},
                                          {"-ZANTU_DISABLE_LOG", "-CUDA_VISIBLE_DEVICES"}));
    ASSERT_NE(clients.back(), nullptr);
  }
  size_t set_aside = 0;
  std::vector<std::string> keys;
  for (auto& client : clients) {
    const bool finished = Finished(*client, milliseconds(30000));
    const std::string out = client->Stdout();
    keys.push_back(Value(out, "key"));
    if (!finished) continue;
    for (const char* echo : {"echo0", "echo1", "echo2", "echo3"}) EXPECT_EQ(Value(out, echo), "0") << echo;
    EXPECT_EQ(CountOf(client->Stderr(), "Error"), 0u) << client->Stderr();
    set_aside += CountOf(out, "set aside: a newer attempt supersedes it");
  }
  std::printf("%d processes registered; %zu replies to older attempts set aside\n", kProcesses, set_aside);
  EXPECT_EQ(CountOf(road->daemon().Stderr(), "Error"), 0u) << road->daemon().Stderr().substr(0, 4000);
  for (const std::string& key : keys) {
    EXPECT_TRUE(WaitFor([&] { return RingsGone(key); }, milliseconds(5000)))
        << "rings of key " << key << " outlive their client";
  }
}

}  // namespace
}  // namespace daemon_test
