// A two-GPU pipeline of the runtime's newer calls, every element checked:
// - the block size comes from the occupancy calculator for the kernel;
// - the host buffers are the program's own memory, registered (pinned);
// - GPU 0 computes y = a*x + y, the result moves to GPU 1 with
//   cudaMemcpyPeerAsync, GPU 1 applies it again;
// - a host function queued behind the copy back checks the result on a
//   library thread and refills the input that the next round's copy sends.
// Prints the peer copy's bandwidth and the host function's delay after its
// stream's work.
#include <atomic>
#include <cstring>

#include "saxpy_kernels.cuh"
#include "sample_util.h"

namespace {

constexpr int kN = 1 << 22;  // 16 MiB of floats per buffer
constexpr int kRounds = 4;

struct Round {
  const float* result = nullptr;
  float* input = nullptr;
  int round = 0;
  std::atomic<int> wrong{0};
  std::atomic<int> ran{0};
  double queued_at = 0;
  std::atomic<double> delay_ms{0};
};

// On the library's thread, after the round's work: y went through saxpy once
// on each GPU (a = 2, y = 1 at first), so y = 2x + (2x + 1). Then x for the
// next round.
void CheckAndRefill(void* data) {
  auto* r = static_cast<Round*>(data);
  r->delay_ms = (sample::Seconds() - r->queued_at) * 1e3;
  int wrong = 0;
  for (int i = 0; i < kN; ++i) {
    const float x = static_cast<float>((i + r->round) % 1000);
    wrong += r->result[i] != 4.0f * x + 1.0f;
  }
  r->wrong += wrong;
  for (int i = 0; i < kN; ++i) r->input[i] = static_cast<float>((i + r->round + 1) % 1000);
  ++r->ran;
}

}  // namespace

int main() {
  int count = 0;
  CHECK_CUDA(cudaGetDeviceCount(&count));
  if (count < 2) {
    std::printf("gpu_pipeline needs two GPUs, found %d\n", count);
    return sample::Finish("gpu_pipeline", false, "");
  }
  int min_grid = 0, block = 0;
  CHECK_CUDA(cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, saxpy));
  int blocks_per_sm = 0;
  CHECK_CUDA(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks_per_sm, saxpy, block, 0));
  std::printf("saxpy: block %d, grid of at least %d, %d blocks per multiprocessor\n", block, min_grid, blocks_per_sm);
  bool ok = block > 0 && block <= 1024 && min_grid > 0 && blocks_per_sm > 0;

  const size_t bytes = sizeof(float) * kN;
  std::vector<float> x(kN), y(kN), result(kN);
  for (int i = 0; i < kN; ++i) {
    x[i] = static_cast<float>(i % 1000);
    y[i] = 1.0f;
  }
  for (std::vector<float>* buffer : {&x, &y, &result}) {
    CHECK_CUDA(cudaHostRegister(buffer->data(), bytes, cudaHostRegisterDefault));
  }
  const float a = 2.0f;
  float *dx0 = nullptr, *dy0 = nullptr, *dx1 = nullptr, *dy1 = nullptr;
  cudaStream_t s0, s1;
  cudaEvent_t moved;
  CHECK_CUDA(cudaSetDevice(0));
  CHECK_CUDA(cudaMemcpyToSymbol(saxpy_a, &a, sizeof(a)));
  CHECK_CUDA(cudaMalloc(&dx0, bytes));
  CHECK_CUDA(cudaMalloc(&dy0, bytes));
  CHECK_CUDA(cudaStreamCreate(&s0));
  CHECK_CUDA(cudaEventCreate(&moved));
  CHECK_CUDA(cudaSetDevice(1));
  CHECK_CUDA(cudaMemcpyToSymbol(saxpy_a, &a, sizeof(a)));
  CHECK_CUDA(cudaMalloc(&dx1, bytes));
  CHECK_CUDA(cudaMalloc(&dy1, bytes));
  CHECK_CUDA(cudaStreamCreate(&s1));

  const int grid = min_grid;
  Round rounds[kRounds];
  double peer_seconds = 0;
  const double t0 = sample::Seconds();
  for (int r = 0; r < kRounds; ++r) {
    // This round's input is what the last round's host function wrote.
    if (r > 0) CHECK_CUDA(cudaStreamSynchronize(s1));
    // GPU 0: y0 = a*x + 1.
    CHECK_CUDA(cudaSetDevice(0));
    CHECK_CUDA(cudaMemcpyAsync(dx0, x.data(), bytes, cudaMemcpyHostToDevice, s0));
    CHECK_CUDA(cudaMemcpyAsync(dy0, y.data(), bytes, cudaMemcpyHostToDevice, s0));
    saxpy<<<grid, block, 0, s0>>>(kN, dx0, dy0);
    ++sample::Calls();
    CHECK_CUDA(cudaGetLastError());
    CHECK_CUDA(cudaEventRecord(moved, s0));
    CHECK_CUDA(cudaEventSynchronize(moved));
    // To GPU 1, then y1 = a*x + y0 there.
    const double p0 = sample::Seconds();
    CHECK_CUDA(cudaMemcpyPeerAsync(dy1, 1, dy0, 0, bytes, s1));
    CHECK_CUDA(cudaMemcpyPeerAsync(dx1, 1, dx0, 0, bytes, s1));
    CHECK_CUDA(cudaSetDevice(1));
    CHECK_CUDA(cudaStreamSynchronize(s1));
    peer_seconds += sample::Seconds() - p0;
    saxpy<<<grid, block, 0, s1>>>(kN, dx1, dy1);
    ++sample::Calls();
    CHECK_CUDA(cudaMemcpyAsync(result.data(), dy1, bytes, cudaMemcpyDeviceToHost, s1));
    rounds[r].result = result.data();
    rounds[r].input = x.data();
    rounds[r].round = r;
    rounds[r].queued_at = sample::Seconds();
    CHECK_CUDA(cudaLaunchHostFunc(s1, CheckAndRefill, &rounds[r]));
  }
  CHECK_CUDA(cudaSetDevice(1));
  CHECK_CUDA(cudaStreamSynchronize(s1));
  const double seconds = sample::Seconds() - t0;

  int wrong = 0, ran = 0;
  double slowest_delay = 0;
  for (const Round& r : rounds) {
    wrong += r.wrong;
    ran += r.ran;
    slowest_delay = r.delay_ms > slowest_delay ? r.delay_ms.load() : slowest_delay;
  }
  std::printf("%d rounds of %d elements on two GPUs, %d wrong, %d host functions ran; %.1f ms in all\n", kRounds, kN,
              wrong, ran, seconds * 1e3);
  ok = ok && wrong == 0 && ran == kRounds;

  for (std::vector<float>* buffer : {&x, &y, &result}) CHECK_CUDA(cudaHostUnregister(buffer->data()));
  CHECK_CUDA(cudaSetDevice(0));
  CHECK_CUDA(cudaFree(dx0));
  CHECK_CUDA(cudaFree(dy0));
  CHECK_CUDA(cudaEventDestroy(moved));
  CHECK_CUDA(cudaStreamDestroy(s0));
  CHECK_CUDA(cudaSetDevice(1));
  CHECK_CUDA(cudaFree(dx1));
  CHECK_CUDA(cudaFree(dy1));
  CHECK_CUDA(cudaStreamDestroy(s1));
  // Two buffers between the GPUs each round.
  return sample::Finish("gpu_pipeline", ok,
                        sample::Figure("peer_gbps", 2.0 * bytes * kRounds / peer_seconds / 1e9) +
                            sample::Figure("host_fn_delay_ms", slowest_delay));
}
