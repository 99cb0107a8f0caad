// A kernel library of cases the samples do not cover: parameters of mixed
// alignment, three-dimensional grids and blocks, a full block of barriers,
// a barrier that only some threads reach, and (warp_kernels.cuh) dynamic
// shared memory, warp operations, cooperative groups, wrapping atomics and
// vector types.
#include "node/kernel_runtime/kernel_registry.h"
#include "tests/kernel_runtime/warp_kernels.cuh"

struct Pair {
  int a;
  char b;
};

__global__ void echoParameters(char c, double d, short s, long long* out, float f, Pair p) {
  if (threadIdx.x == 0 && blockIdx.x == 0) {
    out[0] = c;
    out[1] = static_cast<long long>(d * 1000);
    out[2] = s;
    out[3] = static_cast<long long>(f * 1000);
    out[4] = p.a;
    out[5] = p.b;
  }
}

// Every thread of the grid adds one to its own slot.
__global__ void markThreads(unsigned int* slots) {
  const unsigned int block = (blockIdx.z * gridDim.y + blockIdx.y) * gridDim.x + blockIdx.x;
  const unsigned int thread = (threadIdx.z * blockDim.y + threadIdx.y) * blockDim.x + threadIdx.x;
  atomicAdd(&slots[block * (blockDim.x * blockDim.y * blockDim.z) + thread], 1u);
}

// Reverses each block's slice through shared memory, twice over.
template <unsigned int kBlock>
__global__ void reverseBlocks(int* data) {
  __shared__ int tile[kBlock];
  const unsigned int t = threadIdx.x;
  int* slice = data + blockIdx.x * kBlock;
  for (int round = 0; round < 2; ++round) {
    tile[t] = slice[t];
    __syncthreads();
    slice[t] = tile[kBlock - 1 - t];
    __syncthreads();
  }
  slice[t] += 1;
}

// Only odd threads reach the barrier.
__global__ void strayBarrier(int* out) {
  if (threadIdx.x % 2 == 1) __syncthreads();
  out[threadIdx.x] = 1;
}

__device__ int counterOfTests[4];

ZANTU_KERNELS(echoParameters, markThreads, reverseBlocks<1024>, strayBarrier);
ZANTU_KERNELS(blockSumDynamic, warpSums, warpVotes, tileSums, wrapCounters, vectorParameters);
ZANTU_SYMBOL(counterOfTests);
