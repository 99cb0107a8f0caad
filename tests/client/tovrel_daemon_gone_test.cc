// Threads blocked on answers when the daemon's side goes away: all of them
// wake with 999 and every later call fails at once.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>

#include <chrono>

#include "harness/stand_in.h"

namespace testing_util {
namespace {

constexpr const char* kAll999 = "999,999,999,999,999,999,999,999";

// Reads exactly `n` bytes from `fd` within `timeout`.
bool ReadExactly(int fd, char* to, size_t n, Millis timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (n > 0) {
    const auto left = std::chrono::duration_cast<Millis>(deadline - std::chrono::steady_clock::now());
    pollfd pfd{fd, POLLIN, 0};
    if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) != 1) return false;
    const ssize_t got = read(fd, to, n);
    if (got <= 0) return false;
    to += got;
    n -= static_cast<size_t>(got);
  }
  return true;
}

void ExpectAllWokeWithFailure(ChildProcess& child, std::chrono::steady_clock::time_point gone) {
  ASSERT_TRUE(child.WaitForOutput("R results=", Millis(5000))) << child.Stdout();
  const auto woke = std::chrono::steady_clock::now() - gone;
  EXPECT_LT(woke, std::chrono::milliseconds(1000));
  ASSERT_TRUE(Finished(child));
  ClientTest::ExpectValues(child, {{"results", kAll999}, {"later", "999"}, {"later_deferred", "999"}});
  EXPECT_LT(std::stoi(ClientTest::Value(child, "later_ms")), 100);
  EXPECT_EQ(CountOf(child.Stderr(), "read ring buffer failed=7\n"), 1u) << child.Stderr();
  EXPECT_EQ(CountOf(child.Stdout(), "response loop end\n"), 1u);
  EXPECT_EQ(CountOf(child.Stderr(), "response loop has ended, request api="), 2u);
}

TEST(DaemonGoneTest, WaitingThreadsWakeWhenTheDaemonDies) {
  int pipe_fds[2];
  ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
  const pid_t stand_in = ForkChild([&]() -> int {
    close(pipe_fds[0]);
    DaemonStandIn daemon;
    if (!daemon.Bind()) return 1;
    if (write(pipe_fds[1], "B", 1) != 1) return 2;
    if (daemon.Register(FourGpus(), 2) < 0) return 3;
    if (write(pipe_fds[1], daemon.key().data(), kKeyChars) != static_cast<ssize_t>(kKeyChars)) return 4;
    size_t waiting = 0;
    while (waiting < 8) {
      std::optional<RequestRecord> record = daemon.NextRecord(Millis(20000));
      if (!record) return 5;
      waiting += record->entries.size();
    }
    if (write(pipe_fds[1], "W", 1) != 1) return 6;
    for (;;) pause();
  });
  ASSERT_GT(stand_in, 0);
  close(pipe_fds[1]);
  char bound = 0;
  std::unique_ptr<ChildProcess> child;
  char key[kKeyChars + 1] = {};
  char waiting = 0;
  if (ReadExactly(pipe_fds[0], &bound, 1, Millis(40000))) {
    child = ChildProcess::Spawn({BinDir() + "/tovrel_scenario", "waiters"}, {"-ZANTU_DISABLE_LOG"});
  }
  const bool registered = child != nullptr && ReadExactly(pipe_fds[0], key, kKeyChars, Millis(20000));
  const bool all_waiting = registered && ReadExactly(pipe_fds[0], &waiting, 1, Millis(20000));
  close(pipe_fds[0]);
  kill(stand_in, SIGKILL);
  const auto gone = std::chrono::steady_clock::now();
  WaitChild(stand_in, Millis(5000));
  RemoveRingLeftovers(stand_in, {key});  // a stand-in killed by SIGKILL unlinks nothing
  ASSERT_TRUE(all_waiting) << "stand-in did not see eight waiting calls";
  ExpectAllWokeWithFailure(*child, gone);
}

using DaemonGoneFixtureTest = ClientTest;

TEST_F(DaemonGoneFixtureTest, WaitingThreadsWakeWhenTheRingsAreReleased) {
  auto child = Start("waiters");
  ASSERT_NE(child, nullptr);
  size_t waiting = 0;
  while (waiting < 8) {
    std::optional<RequestRecord> record = stand_in_.NextRecord(Millis(10000));
    ASSERT_TRUE(record.has_value());
    waiting += record->entries.size();
  }
  stand_in_.ReleaseRings();
  ExpectAllWokeWithFailure(*child, std::chrono::steady_clock::now());
}

}  // namespace
}  // namespace testing_util
