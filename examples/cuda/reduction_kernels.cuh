// Kernels of the reduction sample: a tree reduction in shared memory with a
// barrier per level.
#pragma once

// Sums `in` into one partial sum per block, out[blockIdx.x].
template <unsigned int kBlock>
__global__ void reduceSum(const int* in, int* out, unsigned int n) {
  __shared__ int partial[kBlock];
  const unsigned int tid = threadIdx.x;
  int sum = 0;
  for (unsigned int i = blockIdx.x * kBlock + tid; i < n; i += kBlock * gridDim.x) sum += in[i];
  partial[tid] = sum;
  __syncthreads();
  for (unsigned int s = kBlock / 2; s > 0; s >>= 1) {
    if (tid < s) partial[tid] += partial[tid + s];
    __syncthreads();
  }
  if (tid == 0) out[blockIdx.x] = partial[0];
}

// The same, with every block adding its partial sum into `*total`.
template <unsigned int kBlock>
__global__ void reduceAtomic(const int* in, int* total, unsigned int n) {
  __shared__ int partial[kBlock];
  const unsigned int tid = threadIdx.x;
  int sum = 0;
  for (unsigned int i = blockIdx.x * kBlock + tid; i < n; i += kBlock * gridDim.x) sum += in[i];
  partial[tid] = sum;
  __syncthreads();
  for (unsigned int s = kBlock / 2; s > 0; s >>= 1) {
    if (tid < s) partial[tid] += partial[tid + s];
    __syncthreads();
  }
  if (tid == 0) atomicAdd(total, partial[0]);
}
