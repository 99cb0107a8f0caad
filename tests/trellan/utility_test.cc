// GenerateRandomString, GetExitedPids and GetCudaFunctionName.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
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
