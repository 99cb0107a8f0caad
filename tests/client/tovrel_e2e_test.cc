// libtovrel end to end: client processes on the sample layer, the real daemon
// and two real nodes (one Native, one Light that drops datagrams).
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "harness/daemon.h"

namespace daemon_test {
namespace {

using wire_test::NodeRecord;

constexpr const char* kMixCalls = "10000";  // per thread

// Lines only a fault on the road makes the library write.
void ExpectNoRoadFault(const std::string& client_stderr) {
  for (const char* fault : {"ASSERT", "Sanitizer", "unknown request", "runs past", "send request error", "skipped",
                            "response loop", "outside the"}) {
    EXPECT_EQ(CountOf(client_stderr, fault), 0u) << fault << " in:\n" << client_stderr.substr(0, 4000);
  }
}

// Eight threads each make (at least) 10 000 calls: synchronous, deferred
// (batches flushed by synchronous calls, cut by GPU switches, and written at
// thread exit) and no-wait; echoes of up to 70 000 bytes, failures,
// compressed answers, GPU switches for one call, and calls the layer answers
// itself, spread over all four GPUs. The client checks every answer: echoed
// bytes byte for byte (also those that land after the call returned),
// statuses, patterns, and the number of answers nobody waited for.
TEST(EndToEndTest, EightThreadsMixingEveryKindOfCallOverBothTransports) {
  std::string error;
  auto road = Road::Start(false, &error);
  ASSERT_NE(road, nullptr) << error;
  testing_util::ChildProcess* client = road->Client({"mix", kMixCalls});
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(Finished(*client, milliseconds(90000)));
  const std::string out = client->Stdout();
  EXPECT_EQ(Value(out, "wrong"), "0") << Value(out, "first_wrong");
  EXPECT_GE(std::stoll(Value(out, "calls")), 8 * std::stoll(kMixCalls));
  EXPECT_EQ(Value(out, "unwaited"), Value(out, "unwaited_expected"));
  EXPECT_EQ(Value(out, "unwaited_failures"), Value(out, "unwaited_failures_expected"));
  EXPECT_GT(std::stoll(Value(out, "unwaited_failures")), 0);
  ExpectNoRoadFault(client->Stderr());
  std::printf("mix: %s calls in %s ms, %s answers to nobody (%s failures) complete after %s ms\n",
              Value(out, "calls").c_str(), Value(out, "calls_ms").c_str(), Value(out, "unwaited").c_str(),
              Value(out, "unwaited_failures").c_str(), Value(out, "answers_ms").c_str());
  // The daemon served it all without a fault and is still serving.
  EXPECT_TRUE(road->daemon().process().Running());
  EXPECT_EQ(CountOf(road->daemon().Stderr(), "Error"), 0u) << road->daemon().Stderr().substr(0, 4000);
}

// The process sees the daemon's table unchanged without CUDA_VISIBLE_DEVICES;
// its call for each GPU reaches that GPU's node with that GPU's index. Once
// it exits, the daemon tells both nodes and releases its rings within about
// a second (liveness check every 500 ms, then the next forwarding pass).
TEST(EndToEndTest, CallsReachEachGpuAndAnExitedClientIsReleased) {
  std::string error;
  auto road = Road::Start(true, &error);
  ASSERT_NE(road, nullptr) << error;
  testing_util::ChildProcess* client = road->Client({"gpus"});
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(Finished(*client, milliseconds(20000)));
  const auto exited = Clock::now();
  const std::string out = client->Stdout();
  const pid_t pid = client->pid();
  ExpectValues(out, {{"gpu_count", "4"}, {"indexes", "3,7,4,8"}, {"nodes", "0,1,0,1"},
      {"node_table", "127.0.0.1:7000,127.0.0.1:7001"}});
  ExpectNoRoadFault(client->Stderr());

  const std::string key = Value(out, "key");
  ASSERT_TRUE(WaitFor([&] { return RingsGone(key); }, milliseconds(5000)))
      << "rings of an exited client still there";
  const auto released = std::chrono::duration_cast<milliseconds>(Clock::now() - exited);
  EXPECT_LT(released.count(), 1500);
  std::printf("rings released %lld ms after the client exited\n", static_cast<long long>(released.count()));

  for (uint32_t node = 0; node < 2; ++node) {
    NodeRecord record;
    ASSERT_TRUE(WaitFor(
        [&] { return road->node(node).ReadRecord(&record) && ExitNoticesOf(record, pid) == 1; }, milliseconds(5000)))
        << "node " << node << " got no client-exit notice";
    const auto requests = RequestsOf(record, pid);
    ASSERT_EQ(requests.size(), 2u) << "node " << node;
    for (const auto& request : requests) {
      const uint32_t gpu = request.device == DaemonGpus()[node].index ? node : node + 2;
      EXPECT_EQ(request.node, node);
      EXPECT_EQ(request.device, DaemonGpus()[gpu].index);
      EXPECT_NE(request.bytes.find("marker-of-process-gpu-" + std::to_string(gpu) + "-pid-"), std::string::npos)
          << "node " << node << " device " << request.device;
    }
  }
}

// CUDA_VISIBLE_DEVICES "2,1" leaves the process daemon GPUs 1 and 2, in the
// daemon's order: process GPU 0 is node 1 index 7, process GPU 1 is node 0
// index 4.
TEST(EndToEndTest, VisibleDevicesSelectTheNodeAndIndexThatCallsReach) {
  std::string error;
  auto road = Road::Start(true, &error);
  ASSERT_NE(road, nullptr) << error;
  testing_util::ChildProcess* client = road->Client({"gpus"}, {"CUDA_VISIBLE_DEVICES=2,1"});
  ASSERT_NE(client, nullptr);
  ASSERT_TRUE(Finished(*client, milliseconds(20000)));
  const std::string out = client->Stdout();
  ExpectValues(out, {{"gpu_count", "2"}, {"indexes", "7,4"}, {"nodes", "1,0"}, {"echo0", "0"}, {"echo1", "0"}});

  struct Expected {
    uint32_t node;
    uint32_t device;
    std::string marker;
  };
  for (const Expected& expected : {Expected{1, 7, "marker-of-process-gpu-0-pid-"},
                                   Expected{0, 4, "marker-of-process-gpu-1-pid-"}}) {
    NodeRecord record;
    ASSERT_TRUE(WaitFor(
        [&] { return road->node(expected.node).ReadRecord(&record) && !RequestsOf(record, client->pid()).empty(); },
        milliseconds(5000)));
    const auto requests = RequestsOf(record, client->pid());
    ASSERT_EQ(requests.size(), 1u) << "node " << expected.node;
    EXPECT_EQ(requests[0].node, expected.node);
    EXPECT_EQ(requests[0].device, expected.device);
    EXPECT_NE(requests[0].bytes.find(expected.marker), std::string::npos) << "node " << expected.node;
  }
}

}  // namespace
}  // namespace daemon_test
