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

namespace {

std::set<std::string> ReadNames(const char* path) {
  std::ifstream in(path);
  std::set<std::string> names;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) names.insert(line);
  }
  return names;
}

TEST(CudartExports, ExactlyTheGeneratedNamesUnderOneVersionNode) {
  const std::set<std::string> expected = ReadNames(ZANTU_EXPORTED_NAMES);
  ASSERT_GT(expected.size(), 400u);
  const std::string command = std::string("nm -D --defined-only ") + ZANTU_CUDART_LIB;
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::set<std::string> exported;
  std::array<char, 512> line;
  bool version_node = false;
  while (fgets(line.data(), line.size(), pipe) != nullptr) {
    char kind = 0;
    std::array<char, 400> name{};
    if (sscanf(line.data(), "%*s %c %399s", &kind, name.data()) != 2) continue;
    const std::string text(name.data());
    if (kind == 'A') {
      version_node = text == "libcudart.so.13";
      continue;
    }
    const size_t at = text.find("@@libcudart.so.13");
    EXPECT_NE(at, std::string::npos) << text << " is not under the version node";
    exported.insert(text.substr(0, at));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_TRUE(version_node);
  EXPECT_EQ(exported, expected);
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
