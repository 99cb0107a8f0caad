// Our runtime library through its public interface, on a stand-in for
// libtovrel that runs every request in this process on the node's executor
// and emulated GPUs (tests/cudart/fake_tovrel): the copy engine against a
// host reference over many shapes, the requests it sends, and the error
// rules with failures planted where the node would report them. No nvcc, no
// daemon, no node process.
#include <cuda_runtime_api.h>
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "common/api_numbers.h"
#include "common/runtime_calls.h"
#include "tests/cudart/fake_tovrel/fake_node.h"

namespace {

constexpr size_t kChunk = size_t{4} << 20;  // the copy engine's pipelined chunk

std::vector<unsigned char> Pattern(size_t size, unsigned seed) {
  std::vector<unsigned char> bytes(size);
  std::mt19937 random(seed);
  for (unsigned char& b : bytes) b = static_cast<unsigned char>(random());
  return bytes;
}

size_t Count(const std::vector<RequestHeader>& log, uint32_t api, uint32_t flag = 0) {
  size_t n = 0;
  for (const RequestHeader& h : log) n += h.api == api && (flag == 0 || (h.flags & flag) != 0);
  return n;
}

// Every test starts with no error pending and ends with the GPUs' contexts
// whole.
class FakeLayer : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    cudaGetLastError();
    fake_tovrel::TakeLog();
  }
  void TearDown() override {
    for (int gpu = 0; gpu < static_cast<int>(fake_tovrel::kGpus); ++gpu) {
      cudaSetDevice(gpu);
      cudaDeviceReset();
    }
    cudaGetLastError();
  }
};

TEST_F(FakeLayer, LargeCopiesTravelInChunksAndComeBackWhole) {
  const size_t size = 2 * kChunk + 12345;  // two whole chunks and a tail
  const std::vector<unsigned char> up = Pattern(size, 1);
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, size), cudaSuccess);
  fake_tovrel::TakeLog();
  ASSERT_EQ(cudaMemcpy(device, up.data(), size, cudaMemcpyHostToDevice), cudaSuccess);
  std::vector<unsigned char> down(size);
  ASSERT_EQ(cudaMemcpy(down.data(), device, size, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_TRUE(down == up);
  const std::vector<RequestHeader> log = fake_tovrel::TakeLog();
  EXPECT_EQ(Count(log, k_cudaMemcpy), 6u) << "three chunks each way";

  // Async into pageable memory, then a sync: the answers land before it
  // returns. cudaMemcpyDefault finds the direction from the pointers.
  std::vector<unsigned char> again(size);
  ASSERT_EQ(cudaMemcpyAsync(again.data(), device, size, cudaMemcpyDefault, 0), cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(0), cudaSuccess);
  EXPECT_TRUE(again == up);

  // Offsets inside the allocation; ranges past it are refused whole.
  ASSERT_EQ(cudaMemcpy(static_cast<char*>(device) + 7, up.data() + 100, 1000, cudaMemcpyHostToDevice), cudaSuccess);
  std::vector<unsigned char> part(1000);
  ASSERT_EQ(cudaMemcpy(part.data(), static_cast<char*>(device) + 7, 1000, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_EQ(std::memcmp(part.data(), up.data() + 100, 1000), 0);
  fake_tovrel::TakeLog();
  EXPECT_EQ(cudaMemcpy(static_cast<char*>(device) + size - 10, up.data(), 11, cudaMemcpyHostToDevice),
            cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(part.data(), device, 0, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_TRUE(fake_tovrel::TakeLog().empty()) << "refused and empty copies travel nowhere";
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(device), cudaSuccess);
}

// A 2D copy or memset against the same operation on host arrays.
struct Shape {
  size_t width, height, src_pitch, dst_pitch;
};

void Reference2D(unsigned char* dst, size_t dst_pitch, const unsigned char* src, size_t src_pitch, size_t width,
                 size_t height) {
  for (size_t row = 0; row < height; ++row) std::memcpy(dst + row * dst_pitch, src + row * src_pitch, width);
}

TEST_F(FakeLayer, PitchedCopiesAndMemsetsMatchAHostReference) {
  std::mt19937 random(7);
  for (int round = 0; round < 40; ++round) {
    Shape s{};
    s.width = 1 + random() % 700;
    s.height = 1 + random() % 40;
    s.src_pitch = s.width + random() % 64;
    s.dst_pitch = s.width + random() % 64;
    SCOPED_TRACE(testing::Message() << "width " << s.width << " height " << s.height << " pitches " << s.src_pitch
                                    << "/" << s.dst_pitch);
    void* device = nullptr;
    size_t pitch = 0;
    ASSERT_EQ(cudaMallocPitch(&device, &pitch, s.width, s.height), cudaSuccess);
    ASSERT_GE(pitch, s.width);
    const std::vector<unsigned char> host = Pattern(s.src_pitch * s.height, round);
    std::vector<unsigned char> image = Pattern(pitch * s.height, 1000 + round);  // what the device holds
    ASSERT_EQ(cudaMemcpy(device, image.data(), image.size(), cudaMemcpyHostToDevice), cudaSuccess);

    // Up with the source pitch, a memset of an inner rectangle, a copy on
    // the device, down with the destination pitch.
    ASSERT_EQ(cudaMemcpy2D(device, pitch, host.data(), s.src_pitch, s.width, s.height, cudaMemcpyHostToDevice),
              cudaSuccess);
    Reference2D(image.data(), pitch, host.data(), s.src_pitch, s.width, s.height);
    const size_t inner_width = s.width / 2, inner_height = s.height / 2;
    ASSERT_EQ(cudaMemset2DAsync(static_cast<char*>(device) + 1, pitch, 0xA5, inner_width, inner_height, 0),
              cudaSuccess);
    for (size_t row = 0; row < inner_height; ++row) std::memset(image.data() + row * pitch + 1, 0xA5, inner_width);
    // On the device into a second allocation with a pitch of its own.
    void* copy = nullptr;
    size_t copy_pitch = 0;
    ASSERT_EQ(cudaMallocPitch(&copy, &copy_pitch, s.width + 3, s.height), cudaSuccess);
    ASSERT_EQ(cudaMemcpy2D(copy, copy_pitch, device, pitch, s.width, s.height, cudaMemcpyDeviceToDevice), cudaSuccess);
    std::vector<unsigned char> down = Pattern(s.dst_pitch * s.height, 2000 + round);
    std::vector<unsigned char> expected = down;
    ASSERT_EQ(cudaMemcpy2D(down.data(), s.dst_pitch, copy, copy_pitch, s.width, s.height, cudaMemcpyDeviceToHost),
              cudaSuccess);
    Reference2D(expected.data(), s.dst_pitch, image.data(), pitch, s.width, s.height);
    ASSERT_TRUE(down == expected) << "bytes between rows must stay as they were";
    ASSERT_EQ(cudaFree(device), cudaSuccess);
    ASSERT_EQ(cudaFree(copy), cudaSuccess);
  }
  // A width wider than a pitch is refused.
  void* device = nullptr;
  size_t pitch = 0;
  ASSERT_EQ(cudaMallocPitch(&device, &pitch, 64, 4), cudaSuccess);
  std::vector<unsigned char> host(1024);
  EXPECT_EQ(cudaMemcpy2D(device, pitch, host.data(), 32, 64, 4, cudaMemcpyHostToDevice), cudaErrorInvalidPitchValue);
  EXPECT_EQ(cudaFree(device), cudaSuccess);
}

TEST_F(FakeLayer, CopiesBetweenTwoGpusGoThroughTheProcess) {
  const size_t size = kChunk + 999;
  const std::vector<unsigned char> data = Pattern(size, 3);
  void *on0 = nullptr, *on1 = nullptr;
  ASSERT_EQ(cudaMalloc(&on0, size), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(on0, data.data(), size, cudaMemcpyHostToDevice), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  ASSERT_EQ(cudaMalloc(&on1, size), cudaSuccess);
  ASSERT_EQ(cudaMemcpyPeer(on1, 1, on0, 0, size), cudaSuccess);
  std::vector<unsigned char> back(size);
  ASSERT_EQ(cudaMemcpy(back.data(), on1, size, cudaMemcpyDeviceToHost), cudaSuccess);
  EXPECT_TRUE(back == data);
  EXPECT_EQ(cudaMemcpyPeer(on1, 1, on0, 0, size + 1), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyPeer(on1, 1, on0, 7, 16), cudaErrorInvalidDevice);
  cudaGetLastError();
}

TEST_F(FakeLayer, PlantedFailuresFollowCudasErrorRules) {
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, 4096), cudaSuccess);

  // Out of memory: that call's error and the last error, nothing sticky.
  fake_tovrel::Plant(k_cudaMalloc, kRtMemoryAllocation);
  void* more = nullptr;
  EXPECT_EQ(cudaMalloc(&more, 64), cudaErrorMemoryAllocation);
  EXPECT_EQ(more, nullptr);
  EXPECT_EQ(cudaGetLastError(), cudaErrorMemoryAllocation);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&more, 64), cudaSuccess);

  // A deferred memset that failed on the node: returned at once, reported
  // by the next synchronizing call only, once.
  fake_tovrel::Plant(k_cudaMemsetAsync, kRtInvalidValue);
  EXPECT_EQ(cudaMemsetAsync(device, 1, 4096, 0), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaSuccess);
  cudaGetLastError();

  // A chunk of a large copy down that failed: the copy fails.
  const size_t size = 3 * kChunk;
  void* big = nullptr;
  ASSERT_EQ(cudaMalloc(&big, size), cudaSuccess);
  std::vector<unsigned char> down(size);
  fake_tovrel::Plant(k_cudaMemcpy, kRtInvalidValue);
  EXPECT_EQ(cudaMemcpy(down.data(), big, size, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(down.data(), big, size, cudaMemcpyDeviceToHost), cudaSuccess);
  cudaGetLastError();

  // An illegal address breaks this GPU's context: every call on it answers
  // the error until a reset, the other GPU serves on.
  fake_tovrel::Plant(k_cudaMemsetAsync, kRtIllegalAddress);
  EXPECT_EQ(cudaMemsetAsync(device, 0, 16, 0), cudaSuccess);
  EXPECT_EQ(cudaDeviceSynchronize(), cudaErrorIllegalAddress);
  EXPECT_EQ(cudaMalloc(&more, 64), cudaErrorIllegalAddress);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress);
  EXPECT_EQ(cudaGetLastError(), cudaErrorIllegalAddress) << "sticky";
  ASSERT_EQ(cudaSetDevice(1), cudaSuccess);
  void* elsewhere = nullptr;
  EXPECT_EQ(cudaMalloc(&elsewhere, 64), cudaSuccess);
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  EXPECT_EQ(cudaDeviceReset(), cudaSuccess);
  EXPECT_EQ(cudaMalloc(&more, 64), cudaSuccess);
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
}

TEST_F(FakeLayer, StreamsAndEventsAreCheckedAndTimed) {
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
  cudaEvent_t start = nullptr, end = nullptr, untimed = nullptr;
  ASSERT_EQ(cudaEventCreate(&start), cudaSuccess);
  ASSERT_EQ(cudaEventCreate(&end), cudaSuccess);
  ASSERT_EQ(cudaEventCreateWithFlags(&untimed, cudaEventDisableTiming), cudaSuccess);
  float ms = -1;
  EXPECT_EQ(cudaEventElapsedTime(&ms, start, end), cudaErrorInvalidResourceHandle) << "never recorded";
  ASSERT_EQ(cudaEventRecord(start, stream), cudaSuccess);
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, kChunk), cudaSuccess);
  ASSERT_EQ(cudaMemsetAsync(device, 3, kChunk, stream), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(end, stream), cudaSuccess);
  ASSERT_EQ(cudaEventRecord(untimed, stream), cudaSuccess);
  ASSERT_EQ(cudaEventSynchronize(end), cudaSuccess);
  EXPECT_EQ(cudaEventQuery(end), cudaSuccess);
  // The record after `end` may still be queued.
  ASSERT_EQ(cudaEventSynchronize(untimed), cudaSuccess);
  EXPECT_EQ(cudaStreamQuery(stream), cudaSuccess);
  EXPECT_EQ(cudaEventElapsedTime(&ms, start, end), cudaSuccess);
  EXPECT_GE(ms, 0.0f);
  EXPECT_EQ(cudaEventElapsedTime(&ms, start, untimed), cudaErrorInvalidResourceHandle);
  cudaGetLastError();

  // Events on one GPU cannot time another's; destroyed handles are refused
  // by the library before anything travels.
  ASSERT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  ASSERT_EQ(cudaEventDestroy(end), cudaSuccess);
  fake_tovrel::TakeLog();
  EXPECT_EQ(cudaStreamSynchronize(stream), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventQuery(end), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaEventDestroy(end), cudaErrorInvalidResourceHandle);
  EXPECT_TRUE(fake_tovrel::TakeLog().empty());
  cudaGetLastError();
  EXPECT_EQ(cudaEventDestroy(start), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(untimed), cudaSuccess);
  EXPECT_EQ(cudaFree(device), cudaSuccess);
}

}  // namespace
