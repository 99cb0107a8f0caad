// Kernels of the reduction sample: a tree reduction in shared memory with a
// barrier per level.
#pragma once

// This block's share of `in`, summed by a tree over `partial` (kBlock ints
// of shared memory) with a barrier per level. Every thread of the block must
// call it; the sum is valid in thread 0.
template <unsigned int kBlock>
__device__ int BlockSum(const int* in, unsigned int n, int* partial) {
  const unsigned int tid = threadIdx.x;
  int sum = 0;
  for (unsigned int i = blockIdx.x * kBlock + tid; i < n; i += kBlock * gridDim.x) sum += in[i];
  partial[tid] = sum;
  __syncthreads();
  for (unsigned int s = kBlock / 2; s > 0; s >>= 1) {
    if (tid < s) partial[tid] += partial[tid + s];
    __syncthreads();
  }
  return partial[0];
}

// Sums `in` into one partial sum per block, out[blockIdx.x].
template <unsigned int kBlock>
__global__ void reduceSum(const int* in, int* out, unsigned int n) {
  __shared__ int partial[kBlock];
  const int sum = BlockSum<kBlock>(in, n, partial);
  if (threadIdx.x == 0) out[blockIdx.x] = sum;
}

// The same, with every block adding its partial sum into `*total`.
template <unsigned int kBlock>
__global__ void reduceAtomic(const int* in, int* total, unsigned int n) {
  __shared__ int partial[kBlock];
  const int sum = BlockSum<kBlock>(in, n, partial);
  if (threadIdx.x == 0) atomicAdd(total, sum);
}
