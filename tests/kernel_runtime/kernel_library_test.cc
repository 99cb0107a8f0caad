// CPU kernel libraries as the emulated node uses them: loaded with dlopen,
// kernels launched by mangled name with packed parameter buffers built here
// by hand, from several threads at once.
#include <dlfcn.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/runtime_calls.h"
#include "node/kernel_runtime/kernel_library.h"

namespace {

class Library {
 public:
  explicit Library(const std::string& path) {
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) return;
    launch_ = reinterpret_cast<ZantuKernelLaunchFn>(dlsym(handle_, "zantu_kernel_launch"));
    symbol_ = reinterpret_cast<ZantuKernelSymbolFn>(dlsym(handle_, "zantu_kernel_symbol"));
  }
  bool ok() const { return launch_ != nullptr && symbol_ != nullptr; }
  uint32_t Launch(const char* name, std::vector<uint32_t> grid, std::vector<uint32_t> block, const std::string& params,
                  uint64_t dynamic_shared_bytes = 0) {
    return launch_(name, grid.data(), block.data(), dynamic_shared_bytes, params.data(), params.size());
  }
  void* Symbol(const char* name, uint64_t* size) { return symbol_(name, size); }

 private:
  void* handle_ = nullptr;  // kept loaded: kernels' TLS lives as long as the threads
  ZantuKernelLaunchFn launch_ = nullptr;
  ZantuKernelSymbolFn symbol_ = nullptr;
};

std::string BinDir() {
  const char* dir = std::getenv("ZANTU_BIN_DIR");
  return dir != nullptr ? dir : ".";
}

// A packed parameter buffer: each value at the given offset.
class Params {
 public:
  template <typename T>
  Params& At(size_t offset, T value) {
    if (bytes_.size() < offset + sizeof(T)) bytes_.resize(offset + sizeof(T), '\0');
    std::memcpy(&bytes_[offset], &value, sizeof(T));
    return *this;
  }
  const std::string& bytes() const { return bytes_; }

 private:
  std::string bytes_;
};

// Every sample kernel, with its results checked; run by several threads at
// once, each with its own data.
void RunSampleKernels(Library& lib, int seed, std::string* failure) {
  auto fail = [failure](const std::string& what) {
    if (failure->empty()) *failure = what;
  };
  const int n = 100000 + seed;
  std::vector<float> a(n), b(n), c(n, 0);
  for (int i = 0; i < n; ++i) {
    a[i] = static_cast<float>(i % 100 + seed);
    b[i] = static_cast<float>(i % 7);
  }
  Params add;
  add.At(0, a.data()).At(8, b.data()).At(16, c.data()).At(24, n);
  if (lib.Launch("_Z9vectorAddPKfS0_Pfi", {(n + 255) / 256u, 1, 1}, {256, 1, 1}, add.bytes()) != 0) fail("vectorAdd");
  for (int i = 0; i < n; ++i) {
    if (c[i] != a[i] + b[i]) return fail("vectorAdd result at " + std::to_string(i));
  }

  unsigned int marks = 0;
  for (int i = 0; i < 1000; ++i) {
    if (lib.Launch("_Z11countLaunchPj", {1, 1, 1}, {32, 1, 1}, Params().At(0, &marks).bytes()) != 0) fail("countLaunch");
  }
  if (marks != 1000) fail("countLaunch counted " + std::to_string(marks));

  std::vector<int> in(1 << 20);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int>(i % 13) - 6 + (i == 5 ? seed : 0);
  const long long expected = std::accumulate(in.begin(), in.end(), 0LL);
  std::vector<int> partial(64, 0);
  int sum = 0, total = 0;
  const unsigned int count = static_cast<unsigned int>(in.size());
  if (lib.Launch("_Z9reduceSumILj256EEvPKiPij", {64, 1, 1}, {256, 1, 1},
                 Params().At(0, in.data()).At(8, partial.data()).At(16, count).bytes()) != 0 ||
      lib.Launch("_Z9reduceSumILj256EEvPKiPij", {1, 1, 1}, {256, 1, 1},
                 Params().At(0, partial.data()).At(8, &sum).At(16, 64u).bytes()) != 0 ||
      lib.Launch("_Z12reduceAtomicILj256EEvPKiPij", {64, 1, 1}, {256, 1, 1},
                 Params().At(0, in.data()).At(8, &total).At(16, count).bytes()) != 0) {
    fail("reduce launch");
  }
  if (sum != expected || total != expected) {
    fail("reduce " + std::to_string(sum) + " " + std::to_string(total) + " vs " + std::to_string(expected));
  }
}

TEST(KernelLibrary, SampleKernelsGiveRightResultsFromSeveralThreads) {
  Library lib(BinDir() + "/libzantu_sample_kernels.so");
  ASSERT_TRUE(lib.ok()) << dlerror();

  // The factor of saxpy is a device variable set through its storage.
  uint64_t size = 0;
  auto* factor = static_cast<float*>(lib.Symbol("saxpy_a", &size));
  ASSERT_NE(factor, nullptr);
  ASSERT_EQ(size, sizeof(float));
  *factor = 3.0f;
  std::vector<float> x(5000), y(5000, 1.0f);
  std::iota(x.begin(), x.end(), 0.0f);
  Params saxpy;
  saxpy.At(0, 5000).At(8, x.data()).At(16, y.data());
  ASSERT_EQ(lib.Launch("_Z5saxpyiPKfPf", {4, 1, 1}, {128, 1, 1}, saxpy.bytes()), 0u);
  for (int i = 0; i < 5000; ++i) ASSERT_EQ(y[i], 3.0f * i + 1.0f) << i;

  std::vector<std::string> failures(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) threads.emplace_back([&, t] { RunSampleKernels(lib, t, &failures[t]); });
  for (auto& t : threads) t.join();
  for (const std::string& f : failures) EXPECT_EQ(f, "");
}

TEST(KernelLibrary, LayoutIndexingAndBarriers) {
  Library lib(BinDir() + "/libzantu_test_kernels.so");
  ASSERT_TRUE(lib.ok()) << dlerror();

  // char at 0, double 8, short 16, pointer 24, float 32, {int, char} 36: 44 bytes.
  long long out[6] = {};
  Params p;
  p.At(0, 'x').At(8, 2.5).At(16, short{-7}).At(24, &out[0]).At(32, 0.25f).At(36, 123456).At(40, 'q').At(43, '\0');
  ASSERT_EQ(lib.Launch("_Z14echoParameterscdsPxf4Pair", {1, 1, 1}, {1, 1, 1}, p.bytes()), 0u);
  EXPECT_EQ(out[0], 'x');
  EXPECT_EQ(out[1], 2500);
  EXPECT_EQ(out[2], -7);
  EXPECT_EQ(out[3], 250);
  EXPECT_EQ(out[4], 123456);
  EXPECT_EQ(out[5], 'q');
  EXPECT_EQ(lib.Launch("_Z14echoParameterscdsPxf4Pair", {1, 1, 1}, {1, 1, 1}, p.bytes().substr(0, 43)),
            kRtInvalidValue);

  // Every thread of a 3-D grid of 3-D blocks runs exactly once.
  std::vector<unsigned int> slots(3 * 2 * 2 * (4 * 3 * 2), 0);
  ASSERT_EQ(lib.Launch("_Z11markThreadsPj", {3, 2, 2}, {4, 3, 2}, Params().At(0, slots.data()).bytes()), 0u);
  for (size_t i = 0; i < slots.size(); ++i) ASSERT_EQ(slots[i], 1u) << i;

  // Blocks of 1024 threads meeting four barriers, twice (fibers are reused).
  std::vector<int> data(3 * 1024);
  for (int launch = 0; launch < 2; ++launch) {
    std::iota(data.begin(), data.end(), 0);
    ASSERT_EQ(lib.Launch("_Z13reverseBlocksILj1024EEvPi", {3, 1, 1}, {1024, 1, 1}, Params().At(0, data.data()).bytes()),
              0u);
    for (size_t i = 0; i < data.size(); ++i) ASSERT_EQ(data[i], static_cast<int>(i) + 1) << i;
  }

  // A barrier that the block's first thread never meets fails the launch.
  std::vector<int> stray(64, 0);
  EXPECT_EQ(lib.Launch("_Z12strayBarrierPi", {1, 1, 1}, {64, 1, 1}, Params().At(0, stray.data()).bytes()),
            kRtLaunchFailure);

  uint64_t size = 0;
  EXPECT_NE(lib.Symbol("counterOfTests", &size), nullptr);
  EXPECT_EQ(size, 4 * sizeof(int));
}

TEST(KernelLibrary, RejectsWhatCannotRun) {
  Library lib(BinDir() + "/libzantu_sample_kernels.so");
  ASSERT_TRUE(lib.ok()) << dlerror();
  unsigned int marks = 0;
  const std::string params = Params().At(0, &marks).bytes();
  EXPECT_EQ(lib.Launch("_Z8noSuchKernelPj", {1, 1, 1}, {1, 1, 1}, params), kRtInvalidDeviceFunction);
  EXPECT_EQ(lib.Launch("countLaunch", {1, 1, 1}, {1, 1, 1}, params), kRtInvalidDeviceFunction);
  EXPECT_EQ(lib.Launch("_Z11countLaunchPj", {0, 1, 1}, {1, 1, 1}, params), kRtInvalidConfiguration);
  EXPECT_EQ(lib.Launch("_Z11countLaunchPj", {1, 1, 1}, {1025, 1, 1}, params), kRtInvalidConfiguration);
  EXPECT_EQ(lib.Launch("_Z11countLaunchPj", {1, 1, 1}, {32, 32, 2}, params), kRtInvalidConfiguration);
  EXPECT_EQ(lib.Launch("_Z11countLaunchPj", {1, 65536, 1}, {1, 1, 1}, params), kRtInvalidConfiguration);
  EXPECT_EQ(lib.Launch("_Z11countLaunchPj", {1, 1, 1}, {1, 1, 1}, params.substr(0, 7)), kRtInvalidValue);
  EXPECT_EQ(marks, 0u);
  EXPECT_EQ(lib.Symbol("no_such_variable", nullptr), nullptr);
}

// Block sums through `extern __shared__` sized at launch, for blocks that are
// not whole warps too, one launch after another on the same OS thread with
// different sizes (and from a second thread at once); the whole of the size
// asked for is written and read back, and a size over the bound is refused.
TEST(KernelLibrary, DynamicSharedMemoryIsOneBufferPerBlockOfTheLaunchSize) {
  Library lib(BinDir() + "/libzantu_test_kernels.so");
  ASSERT_TRUE(lib.ok()) << dlerror();
  auto run = [&lib](uint32_t threads, uint32_t bytes, uint32_t blocks, int seed) -> std::string {
    std::vector<int> in(threads * blocks);
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<int>((i * 31 + seed) % 97) - 40;
    std::vector<int> out(3 * blocks, 1);
    const std::string params = Params().At(0, in.data()).At(8, out.data()).At(16, bytes).bytes();
    if (lib.Launch("_Z15blockSumDynamicPKiPij", {blocks, 1, 1}, {threads, 1, 1}, params, bytes) != 0) return "launch";
    for (uint32_t b = 0; b < blocks; ++b) {
      const int expected = std::accumulate(in.begin() + b * threads, in.begin() + (b + 1) * threads, 0);
      const std::string where = " threads " + std::to_string(threads) + " block " + std::to_string(b);
      if (out[3 * b] != expected) return "sum " + std::to_string(out[3 * b]) + " != " + std::to_string(expected) + where;
      if (out[3 * b + 1] != 1) return "pattern lost" + where;
      if (out[3 * b + 2] != 1) return "misaligned" + where;
    }
    return "";
  };
  // threads, bytes, blocks
  const uint32_t sizes[][3] = {{1, 4, 3}, {33, 200, 3}, {100, 400, 2}, {300, 4000, 1}, {257, 64 * 1024, 2}, {32, 128, 3}};
  std::string other;
  std::thread beside([&] {
    for (int i = 0; i < 2 && other.empty(); ++i) other = run(96, 227 * 1024, 2, 7);
  });
  for (const auto& s : sizes) EXPECT_EQ(run(s[0], s[1], s[2], static_cast<int>(s[1])), "");
  beside.join();
  EXPECT_EQ(other, "");

  int out[3] = {1, 1, 1};
  const std::string params = Params().At(0, out).At(8, out).At(16, 0u).bytes();
  EXPECT_EQ(lib.Launch("_Z15blockSumDynamicPKiPij", {1, 1, 1}, {1, 1, 1}, params, 227 * 1024 + 1), kRtInvalidValue);
}

// Warp shuffles: sums by __shfl_down_sync and __shfl_xor_sync, a prefix sum
// by __shfl_up_sync of width 16 and a 64-bit broadcast, over several blocks
// of several warps (a lane that read a value of another round would be off).
TEST(KernelLibrary, WarpShufflesMoveInLockStep) {
  Library lib(BinDir() + "/libzantu_test_kernels.so");
  ASSERT_TRUE(lib.ok()) << dlerror();
  const uint32_t blocks = 3, threads = 96, n = blocks * threads;
  std::vector<int> in(n), down(n / 32, 0), xor_sums(n, 0), scan(n, 0);
  std::vector<long long> first(n, 0);
  for (uint32_t i = 0; i < n; ++i) in[i] = static_cast<int>(i * i % 101) - 50;
  const std::string params =
      Params().At(0, in.data()).At(8, down.data()).At(16, xor_sums.data()).At(24, scan.data()).At(32, first.data()).bytes();
  ASSERT_EQ(lib.Launch("_Z8warpSumsPKiPiS1_S1_Px", {blocks, 1, 1}, {threads, 1, 1}, params), 0u);
  for (uint32_t w = 0; w < n / 32; ++w) {
    const int sum = std::accumulate(in.begin() + 32 * w, in.begin() + 32 * (w + 1), 0);
    EXPECT_EQ(down[w], sum) << w;
    for (uint32_t l = 0; l < 32; ++l) {
      const uint32_t i = 32 * w + l;
      EXPECT_EQ(xor_sums[i], sum) << i;
      EXPECT_EQ(scan[i], std::accumulate(in.begin() + (i & ~15u), in.begin() + i + 1, 0)) << i;
      EXPECT_EQ(first[i], static_cast<long long>(in[32 * w]) << 33) << i;
    }
  }
}

// Votes in a block of 48 (its second warp has 16 lanes) after one lane of
// each warp has returned: the absent and the ended lanes are inactive. Lane
// 0 returning sends the first warp operation down the straight-through path.
TEST(KernelLibrary, WarpVotesSeeOnlyActiveLanes) {
  Library lib(BinDir() + "/libzantu_test_kernels.so");
  ASSERT_TRUE(lib.ok()) << dlerror();
  const uint32_t threads = 48;
  std::vector<int> in(threads);
  for (uint32_t i = 0; i < threads; ++i) in[i] = i < 32 ? (i % 3 != 1) : 1;
  for (uint32_t exit_lane : {5u, 0u}) {
    std::vector<unsigned int> out(4 * threads, 0xdeadu);
    ASSERT_EQ(lib.Launch("_Z9warpVotesPKiPjj", {1, 1, 1}, {threads, 1, 1},
                         Params().At(0, in.data()).At(8, out.data()).At(16, exit_lane).bytes()),
              0u);
    for (uint32_t w = 0; w < 2; ++w) {
      const uint32_t lanes = w == 0 ? 32 : 16;
      unsigned int active = 0, ballot = 0;
      for (uint32_t l = 0; l < lanes; ++l) {
        if (l == exit_lane) continue;
        active |= 1u << l;
        if (in[32 * w + l] != 0) ballot |= 1u << l;
      }
      for (uint32_t l = 0; l < lanes; ++l) {
        const uint32_t i = 32 * w + l;
        if (l == exit_lane) {
          EXPECT_EQ(out[4 * i], 0xdeadu) << i;
          continue;
        }
        EXPECT_EQ(out[4 * i], ballot) << "exit " << exit_lane << " thread " << i;
        EXPECT_EQ(out[4 * i + 1], ballot == active ? 1u : 0u) << "exit " << exit_lane << " thread " << i;
        EXPECT_EQ(out[4 * i + 2], 1u) << i;
        EXPECT_EQ(out[4 * i + 3], active) << "exit " << exit_lane << " thread " << i;
      }
    }
  }
}

// Cooperative groups: tiles of 16 reduce with cg::reduce (sum and maximum)
// and see their ranks; then the wrapping counters and vector parameters.
TEST(KernelLibrary, TilesAtomicsAndVectorTypes) {
  Library lib(BinDir() + "/libzantu_test_kernels.so");
  ASSERT_TRUE(lib.ok()) << dlerror();
  const uint32_t blocks = 2, threads = 80, n = blocks * threads, tiles = n / 16;
  std::vector<int> in(n), out(2 * tiles, 0), ranks(n, -1), out8(n / 8, 0);
  for (uint32_t i = 0; i < n; ++i) in[i] = static_cast<int>((i * 37) % 89) - 30;
  ASSERT_EQ(lib.Launch("_Z8tileSumsPKiPiS1_S1_", {blocks, 1, 1}, {threads, 1, 1},
                       Params().At(0, in.data()).At(8, out.data()).At(16, ranks.data()).At(24, out8.data()).bytes()),
            0u);
  for (uint32_t t = 0; t < n / 8; ++t) {
    EXPECT_EQ(out8[t], std::accumulate(in.begin() + 8 * t, in.begin() + 8 * (t + 1), 0)) << t;
  }
  for (uint32_t t = 0; t < tiles; ++t) {
    EXPECT_EQ(out[2 * t], std::accumulate(in.begin() + 16 * t, in.begin() + 16 * (t + 1), 0)) << t;
    EXPECT_EQ(out[2 * t + 1], *std::max_element(in.begin() + 16 * t, in.begin() + 16 * (t + 1))) << t;
  }
  for (uint32_t i = 0; i < n; ++i) EXPECT_EQ(ranks[i], static_cast<int>(i % 16 + 100 * ((i % threads) / 16))) << i;

  // 25 threads from inc 0 and dec 3: 25 % 10 = 5 and (3 - 25) mod 10 = 8;
  // dec from 100 (over the limit) restarts at the limit.
  unsigned int counters[3] = {0, 3, 100};
  ASSERT_EQ(lib.Launch("_Z12wrapCountersPj", {1, 1, 1}, {25, 1, 1}, Params().At(0, &counters[0]).bytes()), 0u);
  EXPECT_EQ(counters[0], 5u);
  EXPECT_EQ(counters[1], 8u);
  EXPECT_EQ(counters[2], 9u);

  // char at 0, float4 at 16, int2 at 32, double2 at 48, pointer at 64.
  long long values[4] = {};
  const std::array<float, 4> f = {1.5f, 2.5f, 3.0f, 4.0f};
  const std::array<int, 2> i2 = {12, 34};
  const std::array<double, 2> d = {2.5, 4.0};
  Params p;
  p.At(0, 'v').At(16, f).At(32, i2).At(48, d).At(64, &values[0]);
  ASSERT_EQ(lib.Launch("_Z16vectorParametersc6float44int27double2Px", {1, 1, 1}, {1, 1, 1}, p.bytes()), 0u);
  EXPECT_EQ(values[0], 'v');
  EXPECT_EQ(values[1], 11);
  EXPECT_EQ(values[2], 12034);
  EXPECT_EQ(values[3], 10);
  EXPECT_EQ(lib.Launch("_Z16vectorParametersc6float44int27double2Px", {1, 1, 1}, {1, 1, 1}, p.bytes().substr(0, 71)),
            kRtInvalidValue);
}

}  // namespace
