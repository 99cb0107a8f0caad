// GenerateRandomString, GetExitedPids and GetCudaFunctionName.

#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "common/api_numbers.h"
#include "common/trellan.h"

namespace {

// ------------------------------------------------------------ random strings

bool InAlphabet(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); }

TEST(RandomString, ExactLengthFromAlphabet) {
  for (size_t n : {0, 1, 9, 31, 63, 64, 65, 10000}) {
    const std::string s = GenerateRandomString(n);
    ASSERT_EQ(s.size(), n);
    for (char c : s) ASSERT_TRUE(InAlphabet(c)) << "character " << int{c} << " in length " << n;
  }
}

TEST(RandomString, CallsDiffer) {
  std::unordered_set<std::string> seen;
  for (int i = 0; i < 100; ++i) EXPECT_TRUE(seen.insert(GenerateRandomString(31)).second);
  EXPECT_NE(GenerateRandomString(9), GenerateRandomString(9));
}

// Each of the 62 characters is expected 10000 times in 620000; the standard
// deviation is about 100. A byte taken modulo 62 without rejection favours
// eight characters by a quarter (about 12500 each).
TEST(RandomString, AllCharactersEquallyLikely) {
  const std::string s = GenerateRandomString(620000);
  std::map<char, int> counts;
  for (char c : s) ++counts[c];
  EXPECT_EQ(counts.size(), 62u);
  for (const auto& [c, count] : counts) {
    EXPECT_GT(count, 9400) << c;
    EXPECT_LT(count, 10600) << c;
  }
}

// ------------------------------------------------------------- exited pids

// A child of this test that pauses until ended. The destructor ends and
// reaps it if the test did not.
class Child {
 public:
  Child() {
    pid_ = fork();
    if (pid_ == 0) {
      for (;;) pause();
    }
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      Reap();
    }
  }
  pid_t pid() const { return pid_; }

  // Ends the child and waits until it is a zombie, without reaping it.
  bool KillLeavingZombie() {
    if (kill(pid_, SIGKILL) != 0) return false;
    siginfo_t info;
    return waitid(P_PID, pid_, &info, WEXITED | WNOWAIT) == 0;
  }

  bool Reap() {
    int status;
    pid_t r;
    do {
      r = waitpid(pid_, &status, 0);
    } while (r < 0 && errno == EINTR);
    reaped_ = r == pid_;
    return reaped_;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

std::unordered_set<unsigned long> Exited(std::unordered_set<unsigned long> pids) { return GetExitedPids(pids); }

TEST(ExitedPids, LiveProcessesKeepRunning) {
  Child child;
  ASSERT_GT(child.pid(), 0);
  const unsigned long self = static_cast<unsigned long>(getpid());
  const unsigned long pid = static_cast<unsigned long>(child.pid());
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(Exited({pid, self}).empty()) << "call " << i;
  EXPECT_TRUE(Exited({}).empty());
}

TEST(ExitedPids, ZombieThenReapedChildHasExited) {
  Child child;
  ASSERT_GT(child.pid(), 0);
  const unsigned long pid = static_cast<unsigned long>(child.pid());
  const unsigned long self = static_cast<unsigned long>(getpid());
  ASSERT_TRUE(Exited({pid, self}).empty());
  ASSERT_TRUE(child.KillLeavingZombie());
  EXPECT_EQ(Exited({pid, self}), std::unordered_set<unsigned long>{pid}) << "zombie";
  EXPECT_EQ(Exited({pid}), std::unordered_set<unsigned long>{pid}) << "zombie, asked again";
  ASSERT_TRUE(child.Reap());
  EXPECT_EQ(Exited({pid, self}), std::unordered_set<unsigned long>{pid}) << "reaped";
}

TEST(ExitedPids, ChildNeverSeenAliveHasExited) {
  Child child;
  ASSERT_GT(child.pid(), 0);
  kill(child.pid(), SIGKILL);
  ASSERT_TRUE(child.Reap());
  const unsigned long pid = static_cast<unsigned long>(child.pid());
  EXPECT_EQ(Exited({pid}), std::unordered_set<unsigned long>{pid});
}

TEST(ExitedPids, NumbersThatCannotBeProcesses) {
  const unsigned long self = static_cast<unsigned long>(getpid());
  const std::unordered_set<unsigned long> impossible = {0, uint64_t{INT32_MAX} + 1, uint64_t{UINT32_MAX},
                                                        uint64_t{UINT32_MAX} + 1 + self, ~0ul};
  std::unordered_set<unsigned long> asked = impossible;
  asked.insert(self);
  EXPECT_EQ(GetExitedPids(asked), impossible);
  // Beyond any pid_max, yet a valid pid_t.
  EXPECT_EQ(Exited({INT32_MAX}), std::unordered_set<unsigned long>{INT32_MAX});
}

TEST(ExitedPids, ConcurrentCallersAgree) {
  Child a;
  Child b;
  ASSERT_GT(a.pid(), 0);
  ASSERT_GT(b.pid(), 0);
  ASSERT_TRUE(b.KillLeavingZombie());
  const unsigned long live = static_cast<unsigned long>(a.pid());
  const unsigned long dead = static_cast<unsigned long>(b.pid());
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 200; ++i) {
        if (Exited({live, dead}) != std::unordered_set<unsigned long>{dead}) ++wrong;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

// The process that ProcessRunsUntilItsLastThreadEnds starts (it runs this
// binary again): its main thread ends as pthread_exit ends it, before main,
// while a second thread waits until the pipe named by the variable closes.
const bool kThreadExitChild = [] {
  const char* gate = std::getenv("TRELLAN_TEST_THREAD_EXIT_GATE");
  if (gate == nullptr) return false;
  auto wait_gate = [](void* fd) -> void* {
    char c;
    while (read(static_cast<int>(reinterpret_cast<intptr_t>(fd)), &c, 1) > 0) {
    }
    // Ends the process, also where a sanitizer keeps a thread of its own.
    _exit(0);
    return nullptr;
  };
  pthread_t thread;
  const intptr_t fd = std::atoi(gate);
  if (pthread_create(&thread, nullptr, wait_gate, reinterpret_cast<void*>(fd)) != 0) _exit(1);
  // The kernel's part of pthread_exit: only the calling thread ends.
  syscall(SYS_exit, 0);
  return true;
}();

// Such a process shows a zombie leader while its other thread runs: it is not
// exited until its last thread ends.
TEST(ExitedPids, ProcessRunsUntilItsLastThreadEnds) {
  int gate[2];
  ASSERT_EQ(pipe(gate), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    close(gate[1]);
    setenv("TRELLAN_TEST_THREAD_EXIT_GATE", std::to_string(gate[0]).c_str(), 1);
    execl("/proc/self/exe", "utility_test", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(gate[0]);
  const unsigned long child = static_cast<unsigned long>(pid);
  auto leader_state = [pid] {
    char path[64];
    std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) return '?';
    char buf[512] = {};
    const size_t n = std::fread(buf, 1, sizeof(buf) - 1, f);
    std::fclose(f);
    const char* paren = std::strrchr(buf, ')');
    return n > 0 && paren != nullptr ? paren[2] : '?';
  };
  bool zombie_leader = false;
  for (int i = 0; i < 1000 && !zombie_leader; ++i) {
    zombie_leader = leader_state() == 'Z';
    if (!zombie_leader) usleep(5000);
  }
  EXPECT_TRUE(zombie_leader);
  if (zombie_leader) {
    for (int i = 0; i < 3; ++i) EXPECT_TRUE(Exited({child}).empty()) << "call " << i;
  }

  close(gate[1]);
  bool exited = false;
  for (int i = 0; i < 1000 && !exited; ++i) {
    exited = Exited({child}) == std::unordered_set<unsigned long>{child};
    if (!exited) usleep(5000);
  }
  EXPECT_TRUE(exited);
  if (!exited) kill(pid, SIGKILL);
  int status;
  EXPECT_EQ(waitpid(pid, &status, 0), pid);
}

// Runs as init of a fresh pid namespace with its own /proc: makes a process,
// lets it end, gives its pid to a new one, and asks about the pid. 0 when the
// refreshed pid counts as running, 77 when the namespace cannot reuse pids.
int ReusedPidScenario() {
  const pid_t first = fork();
  if (first == 0) {
    for (;;) pause();
  }
  std::unordered_set<unsigned long> pids = {static_cast<unsigned long>(first)};
  if (!GetExitedPids(pids).empty()) return 2;
  usleep(30000);  // a later start time (clock ticks)
  kill(first, SIGKILL);
  waitpid(first, nullptr, 0);
  FILE* last = std::fopen("/proc/sys/kernel/ns_last_pid", "w");
  if (last == nullptr) return 77;
  std::fprintf(last, "%d", static_cast<int>(first) - 1);
  if (std::fclose(last) != 0) return 77;
  const pid_t second = fork();
  if (second == 0) {
    for (;;) pause();
  }
  int result = 3;
  if (second != first) {
    result = 77;
  } else {
    // Registration of the newcomer refreshes what is remembered of the pid.
    RefreshExitedPidsState(static_cast<unsigned long>(second));
    result = GetExitedPids(pids).empty() ? 0 : 4;
  }
  kill(second, SIGKILL);
  waitpid(second, nullptr, 0);
  return result;
}

TEST(ExitedPids, RefreshedPidIsNotTakenForTheProcessBeforeIt) {
  const pid_t outer = fork();
  ASSERT_GE(outer, 0);
  if (outer == 0) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWPID | CLONE_NEWNS) != 0) _exit(77);
    const pid_t init = fork();
    if (init == 0) {
      // Ending the namespace's init ends everything in it.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) _exit(77);
      if (mount("proc", "/proc", "proc", 0, nullptr) != 0) _exit(77);
      _exit(ReusedPidScenario());
    }
    int status = 0;
    if (init < 0 || waitpid(init, &status, 0) != init) _exit(77);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 99);
  }
  int status = 0;
  pid_t waited = 0;
  for (int i = 0; i < 2000 && waited == 0; ++i) {
    waited = waitpid(outer, &status, WNOHANG);
    if (waited == 0) usleep(5000);
  }
  if (waited == 0) {
    kill(outer, SIGKILL);
    waitpid(outer, &status, 0);
    FAIL() << "the scenario did not end within 10 s";
  }
  ASSERT_TRUE(WIFEXITED(status));
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private pid namespace with its own /proc here";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// ------------------------------------------------------------ function names

TEST(FunctionNames, KnownModules) {
  EXPECT_STREQ(GetCudaFunctionName(kModuleRuntime, k_cudaMalloc), "cudaMalloc");
  EXPECT_STREQ(GetCudaFunctionName(kModuleRuntime, k_cudaGetDeviceCount), "cudaGetDeviceCount");
  EXPECT_STREQ(GetCudaFunctionName(kModuleRuntime, k_cudaDriverGetVersion), "cudaDriverGetVersion");
  EXPECT_STREQ(GetCudaFunctionName(kModuleDriver, k_cuInit), "cuInit");
  EXPECT_STREQ(GetCudaFunctionName(kModuleDriver, kDriverApiCount - 1), "cuStreamSynchronize");
  EXPECT_STREQ(GetCudaFunctionName(kModuleTest, k_testEcho), "testEcho");
  EXPECT_STREQ(GetCudaFunctionName(kModuleTest, k_testCompressed), "testCompressed");
}

TEST(FunctionNames, UnknownNumbers) {
  EXPECT_STREQ(GetCudaFunctionName(3, 17), "unknown(3:17)");
  EXPECT_STREQ(GetCudaFunctionName(0, 0), "unknown(0:0)");
  EXPECT_STREQ(GetCudaFunctionName(255, UINT32_MAX), "unknown(255:4294967295)");
  const std::string past_runtime = "unknown(1:" + std::to_string(kRuntimeApiCount) + ")";
  EXPECT_STREQ(GetCudaFunctionName(kModuleRuntime, kRuntimeApiCount), past_runtime.c_str());
  const std::string past_driver = "unknown(2:" + std::to_string(kDriverApiCount) + ")";
  EXPECT_STREQ(GetCudaFunctionName(kModuleDriver, kDriverApiCount), past_driver.c_str());
  EXPECT_STREQ(GetCudaFunctionName(kModuleTest, kTestApiCount), "unknown(126:4)");
  for (unsigned module = 0; module < 256; ++module) {
    for (unsigned function : {0u, 1u, 40u, 1000u}) {
      ASSERT_NE(GetCudaFunctionName(static_cast<unsigned char>(module), function), nullptr);
    }
  }
}

// The text of an unknown name belongs to the calling thread: other threads
// formatting their own do not change it.
TEST(FunctionNames, UnknownTextIsPerThread) {
  const char* mine = GetCudaFunctionName(3, 17);
  std::thread other([] {
    for (unsigned i = 0; i < 1000; ++i) GetCudaFunctionName(200, 100000 + i);
  });
  other.join();
  EXPECT_STREQ(mine, "unknown(3:17)");
}

}  // namespace
