// A process that loads libtovrel while no daemon runs: it learns so at once
// instead of waiting for a reply, and the library stays loaded for good.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include "harness/stand_in.h"

namespace testing_util {
namespace {

// Nobody holds 127.0.0.1:9979 in this test. Registration fails within
// 100 ms, at load and when tried again; the whole process, start to end,
// within 2 s (it used to block 10 s at load).
TEST(NoDaemonTest, RegistrationFailsAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  auto child = ChildProcess::Spawn({BinDir() + "/tovrel_scenario", "no_daemon"},
                                   {"-ZANTU_DISABLE_LOG", "-CUDA_VISIBLE_DEVICES"});
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(Finished(*child, Millis(15000)));
  EXPECT_LT(std::chrono::steady_clock::now() - start, Millis(2000));
  EXPECT_LT(std::stoll(ClientTest::Value(*child, "initialize_us")), 100000);
  EXPECT_EQ(ClientTest::Value(*child, "result"), "999");
  EXPECT_EQ(ClientTest::Value(*child, "again"), "999");
  EXPECT_EQ(CountOf(child->Stdout(), "no daemon listens on 127.0.0.1:9979\n"), 2u) << child->Stdout();
  EXPECT_EQ(CountOf(child->Stderr(), "recv info from server failed=-1\n"), 2u) << child->Stderr();
}

// The response thread runs library code for the life of the process: a
// dlclose must not unload it. Loaded on a thread that ends before the
// dlclose, so that no thread-local object of the library holds it.
TEST(NoDaemonTest, TheLibraryIsNeverUnloaded) {
  setenv("ZANTU_DISABLE_LOG", "1", 1);
  const std::string path = BinDir() + "/libtovrel.so";
  void* library = nullptr;
  std::thread([&] { library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }).join();
  ASSERT_NE(library, nullptr) << dlerror();
  ASSERT_EQ(dlclose(library), 0);
  EXPECT_NE(dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "libtovrel was unloaded";
}

}  // namespace
}  // namespace testing_util
