// Sums 4 Mi integers on every visible GPU, twice: a shared-memory tree per
// block (with a barrier per level) then a second pass over the partial
// sums, and blocks adding their partial sums atomically. Both are checked
// against the host's sum.
#include "reduction_kernels.cuh"
#include "sample_util.h"

namespace {

constexpr unsigned int kN = 1u << 22;
constexpr unsigned int kBlock = 256;
constexpr unsigned int kBlocks = 256;

bool ReduceOn(int device, const std::vector<int>& host, long long expected, double* kernel_ms) {
  CHECK_CUDA(cudaSetDevice(device));
  int *in = nullptr, *partial = nullptr, *sum = nullptr, *total = nullptr;
  CHECK_CUDA(cudaMalloc(&in, sizeof(int) * kN));
  CHECK_CUDA(cudaMalloc(&partial, sizeof(int) * kBlocks));
  CHECK_CUDA(cudaMalloc(&sum, sizeof(int)));
  CHECK_CUDA(cudaMalloc(&total, sizeof(int)));
  CHECK_CUDA(cudaMemcpy(in, host.data(), sizeof(int) * kN, cudaMemcpyHostToDevice));
  CHECK_CUDA(cudaMemset(total, 0, sizeof(int)));
  cudaEvent_t start, stop;
  CHECK_CUDA(cudaEventCreate(&start));
  CHECK_CUDA(cudaEventCreate(&stop));
  CHECK_CUDA(cudaEventRecord(start, 0));
  reduceSum<kBlock><<<kBlocks, kBlock>>>(in, partial, kN);
  reduceSum<kBlock><<<1, kBlock>>>(partial, sum, kBlocks);
  CHECK_CUDA(cudaEventRecord(stop, 0));
  reduceAtomic<kBlock><<<kBlocks, kBlock>>>(in, total, kN);
  sample::Calls() += 3;
  CHECK_CUDA(cudaGetLastError());
  int tree = 0, atomic = 0;
  CHECK_CUDA(cudaMemcpy(&tree, sum, sizeof(int), cudaMemcpyDeviceToHost));
  CHECK_CUDA(cudaMemcpy(&atomic, total, sizeof(int), cudaMemcpyDeviceToHost));
  float ms = 0;
  CHECK_CUDA(cudaEventElapsedTime(&ms, start, stop));
  *kernel_ms = ms;
  CHECK_CUDA(cudaEventDestroy(start));
  CHECK_CUDA(cudaEventDestroy(stop));
  CHECK_CUDA(cudaFree(in));
  CHECK_CUDA(cudaFree(partial));
  CHECK_CUDA(cudaFree(sum));
  CHECK_CUDA(cudaFree(total));
  std::printf("GPU %d: tree %d, atomic %d, host %lld; tree passes %.3f ms\n", device, tree, atomic, expected, ms);
  return tree == expected && atomic == expected;
}

}  // namespace

int main() {
  std::vector<int> host(kN);
  long long expected = 0;
  for (unsigned int i = 0; i < kN; ++i) {
    host[i] = static_cast<int>((i * 7u) % 13u) - 5;
    expected += host[i];
  }
  int count = 0;
  CHECK_CUDA(cudaGetDeviceCount(&count));
  bool ok = count > 0;
  double ms = 0, slowest = 0;
  for (int d = 0; d < count; ++d) {
    ok = ReduceOn(d, host, expected, &ms) && ok;
    slowest = ms > slowest ? ms : slowest;
  }
  return sample::Finish("reduction", ok, sample::Figure("elements", kN) + sample::Figure("tree_ms", slowest));
}
