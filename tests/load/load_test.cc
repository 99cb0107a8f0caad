// Load: 64 client processes of 4 threads, each thread making 10 000 calls of
// every kind (synchronous, deferred, no-wait; 0 B to 1 MiB; compressed and
// not) over a Native node and a Light node that loses datagrams. Not one
// answer may be wrong or lost and nobody may hang; prints calls per second
// and the daemon's peak memory. Label "load": outside the default suite.
//
// ZANTU_LOAD_PROCESSES, ZANTU_LOAD_THREADS and ZANTU_LOAD_CALLS shrink (or
// grow) the run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "harness/links.h"

namespace link_test {
namespace {

using daemon_test::Clock;
using daemon_test::Value;
using std::chrono::milliseconds;

long long FromEnv(const char* name, long long fallback) {
  const char* text = std::getenv(name);
  return text != nullptr && *text != '\0' ? std::atoll(text) : fallback;
}

// A line of /proc/PID/status in kB ("VmHWM:" and the like); -1 if absent.
long long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, field.size(), field) == 0) return std::atoll(line.c_str() + field.size());
  }
  return -1;
}

TEST(LoadTest, SixtyFourProcessesOfFourThreadsOverNativeAndLossyLight) {
  const long long processes = FromEnv("ZANTU_LOAD_PROCESSES", 64);
  const long long threads = FromEnv("ZANTU_LOAD_THREADS", 4);
  const long long calls = FromEnv("ZANTU_LOAD_CALLS", 10000);
  std::string error;
  auto road = LossyRoad::Start({.drop = 0.05, .duplicate = 0.02, .delay = 0.05, .seed = 64}, &error);
  ASSERT_NE(road, nullptr) << error;

  // Every client must be done within this bound; one that is not is hung.
  const auto bound = milliseconds(FromEnv("ZANTU_LOAD_BOUND_MS", 900000));
  const auto start = Clock::now();
  std::vector<testing_util::ChildProcess*> clients;
  for (long long i = 0; i < processes; ++i) {
    clients.push_back(road->Client(
        "load_client", {std::to_string(threads), std::to_string(calls), std::to_string(1 << 20)}, false));
    ASSERT_NE(clients.back(), nullptr);
  }
  long long made = 0, wrong = 0, lost = 0, hung = 0, failed = 0;
  for (testing_util::ChildProcess* client : clients) {
    const auto left = std::chrono::duration_cast<milliseconds>(start + bound - Clock::now());
    const int status = client->Wait(std::max(left, milliseconds(0)));
    if (status == -1) {
      ++hung;
      continue;
    }
    const std::string out = client->Stdout();
    if (!testing_util::ExitedWith(status, 0)) {
      ++failed;
      ADD_FAILURE() << "client status " << status << "\n" << out << client->Stderr().substr(0, 4000);
    }
    if (Value(out, "calls") == "<missing>") continue;
    made += std::stoll(Value(out, "calls"));
    wrong += std::stoll(Value(out, "wrong"));
    lost += std::stoll(Value(out, "lost"));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const pid_t daemon = road->daemon().process().pid();
  const long long peak_kb = StatusKb(daemon, "VmHWM:");
  // Of what it holds at the end: its own memory, and client ring pages it
  // has touched (shared, counted in the peak too).
  const long long anon_kb = StatusKb(daemon, "RssAnon:");
  const long long shared_kb = StatusKb(daemon, "RssShmem:");
  const auto stats = road->relay().stats();
  std::printf("load: %lld processes x %lld threads: %lld calls in %.1f s = %.0f calls/s; wrong %lld, lost %lld, "
              "hung %lld; daemon peak memory (VmHWM) %lld kB, at the end %lld kB own + %lld kB ring pages; relay dropped "
              "%llu of %llu datagrams\n",
              processes, threads, made, seconds, static_cast<double>(made) / seconds, wrong, lost, hung, peak_kb,
              anon_kb, shared_kb,
              static_cast<unsigned long long>(stats.dropped), static_cast<unsigned long long>(stats.received));
  EXPECT_EQ(hung, 0);
  EXPECT_EQ(failed, 0);
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(lost, 0);
  EXPECT_GE(made, processes * threads * calls);
  EXPECT_GT(stats.dropped, 0u);
  EXPECT_TRUE(road->daemon().process().Running());
  EXPECT_EQ(testing_util::CountOf(road->daemon().Stderr(), "Error"), 0u) << road->daemon().Stderr().substr(0, 4000);
}

}  // namespace
}  // namespace link_test
