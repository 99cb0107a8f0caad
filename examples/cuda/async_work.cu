// The host and the GPU at work at the same time, every result checked:
// - the launch shape comes from the occupancy calculator and the kernel's
//   attributes;
// - a host buffer of the program's own (malloc) is registered, so that
//   copies from and into it may run asynchronously;
// - on the default stream: copy up, a long kernel, copy down, an event;
//   the host counts while an event after the kernel is not ready, as a
//   program that overlaps its own work with the GPU's does;
// - on a stream of its own, the same work followed by a host callback that
//   checks the copied-back data, then work queued after the callback;
// - where there are two GPUs, a copy from one to the other, with peer access
//   if the pair has it.
// With --expect-overlap the host must have counted while the GPU worked.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "async_kernels.cuh"
#include "sample_util.h"

namespace {

constexpr int kN = 1 << 20;
constexpr int kSteps = 96;

unsigned int Initial(int i) { return static_cast<unsigned int>(i) * 2654435761u; }

unsigned int Expected(int i, unsigned int step) {
  unsigned int v = Initial(i);
  for (int k = 0; k < kSteps; ++k) v = v * 3u + step;
  return v;
}

int Wrong(const unsigned int* data, unsigned int step) {
  int wrong = 0;
  for (int i = 0; i < kN; ++i) wrong += data[i] != Expected(i, step);
  return wrong;
}

struct CallbackCheck {
  const unsigned int* data = nullptr;
  unsigned int step = 0;
  int wrong = -1;
};

void CUDART_CB CheckOnHost(cudaStream_t, cudaError_t status, void* user) {
  auto* check = static_cast<CallbackCheck*>(user);
  check->wrong = status == cudaSuccess ? Wrong(check->data, check->step) : kN;
}

// Launch shape from the occupancy calculator; false when it is not sane.
bool Shape(int* blocks, int* threads) {
  cudaFuncAttributes attributes{};
  CHECK_CUDA(cudaFuncGetAttributes(&attributes, stepChain));
  int min_grid = 0;
  CHECK_CUDA(cudaOccupancyMaxPotentialBlockSize(&min_grid, threads, stepChain, 0, 0));
  int resident = 0;
  CHECK_CUDA(cudaOccupancyMaxActiveBlocksPerMultiprocessor(&resident, stepChain, *threads, 0));
  std::printf("stepChain: %d registers, up to %d threads a block; %d threads a block, %d blocks per SM\n",
              attributes.numRegs, attributes.maxThreadsPerBlock, *threads, resident);
  *blocks = (kN + *threads - 1) / *threads;
  return *threads > 0 && *threads <= attributes.maxThreadsPerBlock && resident > 0 && min_grid > 0;
}

// Copies `bytes` from GPU 0 to GPU 1 and back, through peer access where
// the pair has it; the number of wrong bytes.
int PeerRoundTrip(const unsigned int* host, size_t bytes, bool* peer) {
  int can = 0;
  CHECK_CUDA(cudaDeviceCanAccessPeer(&can, 0, 1));
  *peer = can != 0;
  if (*peer) CHECK_CUDA(cudaDeviceEnablePeerAccess(1, 0));
  void *on0 = nullptr, *on1 = nullptr;
  CHECK_CUDA(cudaMalloc(&on0, bytes));
  CHECK_CUDA(cudaMemcpy(on0, host, bytes, cudaMemcpyHostToDevice));
  CHECK_CUDA(cudaSetDevice(1));
  CHECK_CUDA(cudaMalloc(&on1, bytes));
  CHECK_CUDA(cudaMemcpyPeerAsync(on1, 1, on0, 0, bytes, 0));
  std::vector<unsigned int> back(bytes / sizeof(unsigned int));
  CHECK_CUDA(cudaMemcpy(back.data(), on1, bytes, cudaMemcpyDeviceToHost));
  CHECK_CUDA(cudaFree(on1));
  CHECK_CUDA(cudaSetDevice(0));
  CHECK_CUDA(cudaFree(on0));
  if (*peer) CHECK_CUDA(cudaDeviceDisablePeerAccess(1));
  return std::memcmp(back.data(), host, bytes) != 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool expect_overlap = argc > 1 && std::strcmp(argv[1], "--expect-overlap") == 0;
  int blocks = 0, threads = 0;
  bool ok = Shape(&blocks, &threads);

  // The program's own memory, registered.
  const size_t bytes = kN * sizeof(unsigned int);
  auto* host = static_cast<unsigned int*>(std::malloc(bytes));
  auto* back = static_cast<unsigned int*>(std::malloc(bytes));
  for (int i = 0; i < kN; ++i) host[i] = Initial(i);
  CHECK_CUDA(cudaHostRegister(host, bytes, cudaHostRegisterDefault));
  CHECK_CUDA(cudaHostRegister(back, bytes, cudaHostRegisterDefault));
  unsigned int* dev = nullptr;
  CHECK_CUDA(cudaMalloc(&dev, bytes));

  // The default stream, the host counting meanwhile.
  cudaEvent_t start, computed, stop;
  CHECK_CUDA(cudaEventCreate(&start));
  CHECK_CUDA(cudaEventCreate(&computed));
  CHECK_CUDA(cudaEventCreate(&stop));
  const double t0 = sample::Seconds();
  CHECK_CUDA(cudaEventRecord(start, 0));
  CHECK_CUDA(cudaMemcpyAsync(dev, host, bytes, cudaMemcpyHostToDevice, 0));
  stepChain<<<blocks, threads>>>(dev, 7u, kSteps, kN);
  CHECK_CUDA(cudaGetLastError());
  CHECK_CUDA(cudaEventRecord(computed, 0));
  const double issued = sample::Seconds() - t0;
  long long polls = 0;
  cudaError_t state;
  while ((state = cudaEventQuery(computed)) == cudaErrorNotReady) ++polls;
  CHECK_CUDA(state);
  CHECK_CUDA(cudaMemcpyAsync(back, dev, bytes, cudaMemcpyDeviceToHost, 0));
  CHECK_CUDA(cudaEventRecord(stop, 0));
  CHECK_CUDA(cudaEventSynchronize(stop));
  float gpu_ms = 0;
  CHECK_CUDA(cudaEventElapsedTime(&gpu_ms, start, stop));
  const int wrong_default = Wrong(back, 7u);
  std::printf("default stream: issued in %.2f ms, GPU busy %.2f ms, %lld polls meanwhile, %d wrong\n",
              issued * 1e3, gpu_ms, polls, wrong_default);
  ok = ok && wrong_default == 0 && (!expect_overlap || polls > 0);

  // A stream of its own, a callback after the copy down, work after it.
  cudaStream_t stream;
  CHECK_CUDA(cudaStreamCreate(&stream));
  CallbackCheck check{back, 11u};
  std::memset(back, 0, bytes);
  CHECK_CUDA(cudaMemcpyAsync(dev, host, bytes, cudaMemcpyHostToDevice, stream));
  stepChain<<<blocks, threads, 0, stream>>>(dev, 11u, kSteps, kN);
  CHECK_CUDA(cudaMemcpyAsync(back, dev, bytes, cudaMemcpyDeviceToHost, stream));
  CHECK_CUDA(cudaStreamAddCallback(stream, CheckOnHost, &check, 0));
  CHECK_CUDA(cudaMemsetAsync(dev, 0, bytes, stream));
  CHECK_CUDA(cudaStreamSynchronize(stream));
  CHECK_CUDA(cudaMemcpy(back, dev, sizeof(unsigned int), cudaMemcpyDeviceToHost));
  std::printf("own stream: the callback found %d wrong; the work after it %s\n", check.wrong,
              back[0] == 0 ? "ran after it" : "did not run");
  ok = ok && check.wrong == 0 && back[0] == 0;

  int gpus = 0;
  CHECK_CUDA(cudaGetDeviceCount(&gpus));
  bool peer = false;
  int peer_wrong = 0;
  if (gpus >= 2) {
    peer_wrong = PeerRoundTrip(host, bytes, &peer);
    std::printf("GPU 0 to GPU 1 (%s): %s\n", peer ? "peer access" : "no peer access",
                peer_wrong == 0 ? "same bytes" : "different bytes");
    ok = ok && peer_wrong == 0;
  }

  CHECK_CUDA(cudaStreamDestroy(stream));
  CHECK_CUDA(cudaEventDestroy(start));
  CHECK_CUDA(cudaEventDestroy(computed));
  CHECK_CUDA(cudaEventDestroy(stop));
  CHECK_CUDA(cudaFree(dev));
  CHECK_CUDA(cudaHostUnregister(host));
  CHECK_CUDA(cudaHostUnregister(back));
  std::free(host);
  std::free(back);
  return sample::Finish("async_work", ok,
                        sample::Figure("polls_while_busy", static_cast<double>(polls)) +
                            sample::Figure("gpu_ms", gpu_ms) + sample::Figure("issue_ms", issued * 1e3));
}
