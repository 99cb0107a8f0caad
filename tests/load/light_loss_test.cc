// Every answer right over a Light link that loses a fifth of the daemon's
// datagrams and duplicates, delays and reorders others (a relay in the
// test, since the kernel here has no netem), while a Native node serves the
// same clients beside it.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "harness/links.h"

namespace link_test {
namespace {

using daemon_test::Clock;
using daemon_test::Value;
using std::chrono::milliseconds;
using testing_util::CountOf;

// Two e2e_client processes, eight threads each, mix every kind of call
// (synchronous, deferred, no-wait; echoes up to 70 000 bytes, failures,
// compressed answers) over all four GPUs, half of them behind the relay.
// Each client checks every answer byte for byte; none may be wrong or
// missing, and nobody waits longer than the bound below.
TEST(LightLossTest, TwentyPercentLossWithReorderingGivesEveryAnswerRight) {
  std::string error;
  auto road = LossyRoad::Start({.drop = 0.2, .duplicate = 0.05, .delay = 0.1, .seed = 20}, &error);
  ASSERT_NE(road, nullptr) << error;

  const auto start = Clock::now();
  testing_util::ChildProcess* clients[2];
  for (auto& client : clients) {
    client = road->Client("e2e_client", {"mix", "5000"});
    ASSERT_NE(client, nullptr);
  }
  for (testing_util::ChildProcess* client : clients) {
    ASSERT_TRUE(testing_util::Finished(*client, milliseconds(150000)));
    const std::string out = client->Stdout();
    EXPECT_EQ(Value(out, "wrong"), "0") << Value(out, "first_wrong");
    EXPECT_GE(std::stoll(Value(out, "calls")), 8 * 5000);
    EXPECT_EQ(Value(out, "unwaited"), Value(out, "unwaited_expected"));
    EXPECT_EQ(Value(out, "unwaited_failures"), Value(out, "unwaited_failures_expected"));
    ExpectNoRoadFault(client->Stderr());
  }
  const long long ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();

  const auto stats = road->relay().stats();
  std::printf("relay: %llu datagrams, %llu dropped, %llu duplicated, %llu delayed, %llu overtaken; %lld ms\n",
              static_cast<unsigned long long>(stats.received), static_cast<unsigned long long>(stats.dropped),
              static_cast<unsigned long long>(stats.duplicated), static_cast<unsigned long long>(stats.delayed),
              static_cast<unsigned long long>(stats.overtaken), ms);
  // The faults really happened, at about the rates asked for.
  ASSERT_GT(stats.received, 1000u);
  EXPECT_NEAR(static_cast<double>(stats.dropped) / static_cast<double>(stats.received), 0.2, 0.03);
  EXPECT_GT(stats.duplicated, 0u);
  EXPECT_GT(stats.overtaken, 0u);
  // The daemon served it all without a fault and is still serving.
  EXPECT_TRUE(road->daemon().process().Running());
  EXPECT_EQ(CountOf(road->daemon().Stderr(), "Error"), 0u) << road->daemon().Stderr().substr(0, 4000);
}

}  // namespace
}  // namespace link_test
