// The interface of our libcudart.so.13 as the loader sees it: exactly the
// generated list of names, all under the version node libcudart.so.13; and
// a process without a daemon gets clear errors at once, never a hang or a
// crash, from a subset function as from a stub.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "tests/harness/exports.h"

namespace {

TEST(CudartExports, ExactlyTheGeneratedNamesUnderOneVersionNode) {
  const std::set<std::string> expected = exports_test::ReadNames(ZANTU_EXPORTED_NAMES);
  ASSERT_GT(expected.size(), 400u);
  const exports_test::Exported exported = exports_test::ExportedUnder(ZANTU_CUDART_LIB, "libcudart.so.13");
  ASSERT_TRUE(exported.ok);
  EXPECT_TRUE(exported.node_defined);
  EXPECT_TRUE(exported.outside.empty()) << *exported.outside.begin() << " is not under the version node";
  EXPECT_EQ(exported.names, expected);
}

TEST(CudartExports, WithoutDaemonCallsFailClearlyAndAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  void* library = dlopen(ZANTU_CUDART_LIB, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  using CountFn = int (*)(int*);
  using MallocFn = int (*)(void**, size_t);
  using StubFn = int (*)();
  using NameFn = const char* (*)(int);
  auto count_fn = reinterpret_cast<CountFn>(dlsym(library, "cudaGetDeviceCount"));
  auto malloc_fn = reinterpret_cast<MallocFn>(dlsym(library, "cudaMalloc"));
  auto stub_fn = reinterpret_cast<StubFn>(dlsym(library, "cudaMallocArray"));
  auto name_fn = reinterpret_cast<NameFn>(dlsym(library, "cudaGetErrorName"));
  ASSERT_TRUE(count_fn && malloc_fn && stub_fn && name_fn);
  int count = -1;
  EXPECT_EQ(count_fn(&count), 100);  // cudaErrorNoDevice
  EXPECT_EQ(count, 0);
  void* pointer = nullptr;
  EXPECT_EQ(malloc_fn(&pointer, 64), 100);
  EXPECT_EQ(stub_fn(), 801);  // cudaErrorNotSupported
  EXPECT_EQ(stub_fn(), 801);
  EXPECT_STREQ(name_fn(801), "cudaErrorNotSupported");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

}  // namespace
