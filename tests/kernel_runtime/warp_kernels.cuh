// Kernels of the dialect's device features, written as for nvcc: dynamic
// shared memory, warp shuffles and votes, cooperative groups, wrapping
// atomics and vector types. Included by test_kernels.cc.
#pragma once

#include <cooperative_groups.h>
#include <cooperative_groups/reduce.h>

namespace cg = cooperative_groups;

// The device's sizes and alignments of the vector types.
#define EXPECT_LAYOUT(T, size, align) static_assert(sizeof(T) == (size) && alignof(T) == (align), #T)
EXPECT_LAYOUT(char1, 1, 1);
EXPECT_LAYOUT(char2, 2, 2);
EXPECT_LAYOUT(char3, 3, 1);
EXPECT_LAYOUT(uchar4, 4, 4);
EXPECT_LAYOUT(short2, 4, 4);
EXPECT_LAYOUT(short3, 6, 2);
EXPECT_LAYOUT(ushort4, 8, 8);
EXPECT_LAYOUT(int1, 4, 4);
EXPECT_LAYOUT(int2, 8, 8);
EXPECT_LAYOUT(int3, 12, 4);
EXPECT_LAYOUT(uint4, 16, 16);
EXPECT_LAYOUT(long2, 16, 16);
EXPECT_LAYOUT(ulong3, 24, 8);
EXPECT_LAYOUT(longlong1, 8, 8);
EXPECT_LAYOUT(ulonglong2, 16, 16);
EXPECT_LAYOUT(float1, 4, 4);
EXPECT_LAYOUT(float2, 8, 8);
EXPECT_LAYOUT(float3, 12, 4);
EXPECT_LAYOUT(float4, 16, 16);
EXPECT_LAYOUT(double1, 8, 8);
EXPECT_LAYOUT(double2, 16, 16);
EXPECT_LAYOUT(double3, 24, 8);
EXPECT_LAYOUT(uint3, 12, 4);
#undef EXPECT_LAYOUT

// A second name of the one dynamic buffer, of another type, in a template.
template <typename T>
__device__ T* DynamicShared() {
  extern __shared__ int4 dynamic_words[];
  return reinterpret_cast<T*>(dynamic_words);
}

// Sums each block's slice of `in` through dynamic shared memory (a tree that
// works for any block size), after filling the whole of the `bytes` the
// launch asked for with a pattern, every thread its share, that the first
// and the last thread check. out[3 * block]:
// the sum, whether the pattern survived, whether the buffer is 16-aligned.
__global__ void blockSumDynamic(const int* in, int* out, unsigned int bytes) {
  extern __shared__ unsigned char dynamic_bytes[];
  const unsigned int t = threadIdx.x, n = blockDim.x;
  for (unsigned int i = t; i < bytes; i += n) dynamic_bytes[i] = static_cast<unsigned char>(i * 7 + blockIdx.x);
  __syncthreads();
  int intact = 1;
  for (unsigned int i = 0; i < bytes && (t == 0 || t == n - 1); ++i) {
    if (dynamic_bytes[i] != static_cast<unsigned char>(i * 7 + blockIdx.x)) intact = 0;
  }
  __syncthreads();
  int* sums = DynamicShared<int>();
  sums[t] = in[blockIdx.x * n + t];
  __syncthreads();
  for (unsigned int step = 1; step < n; step *= 2) {
    if (t % (2 * step) == 0 && t + step < n) sums[t] += sums[t + step];
    __syncthreads();
  }
  if (!intact) atomicExch(&out[3 * blockIdx.x + 1], 0);
  if (t == 0) {
    out[3 * blockIdx.x] = sums[0];
    atomicAnd(&out[3 * blockIdx.x + 1], 1);
    out[3 * blockIdx.x + 2] = reinterpret_cast<unsigned long long>(dynamic_bytes) % 16 == 0;
  }
}

// Per warp (blocks are whole warps): down[warp] the sum by __shfl_down_sync;
// every thread's xor[i] the sum by __shfl_xor_sync; scan[i] the inclusive
// prefix sum within its 16 lanes by __shfl_up_sync of width 16; first[i]
// lane 0's value broadcast as a 64-bit value by __shfl_sync.
__global__ void warpSums(const int* in, int* down, int* xor_sums, int* scan, long long* first) {
  const unsigned int i = blockIdx.x * blockDim.x + threadIdx.x;
  const unsigned int lane = threadIdx.x % 32;
  int v = in[i];
  int d = v, x = v, s = v;
  for (int offset = 16; offset > 0; offset /= 2) {
    d += __shfl_down_sync(0xffffffffu, d, offset);
    x += __shfl_xor_sync(0xffffffffu, x, offset);
  }
  for (unsigned int delta = 1; delta < 16; delta *= 2) {
    const int up = __shfl_up_sync(0xffffffffu, s, delta, 16);
    if (lane % 16 >= delta) s += up;
  }
  if (lane == 0) down[i / 32] = d;
  xor_sums[i] = x;
  scan[i] = s;
  first[i] = __shfl_sync(0xffffffffu, static_cast<long long>(v) << 33, 0);
}

// Votes of a block whose last warp is partial, after lane `exit_lane` of
// every warp has returned. out[4 * i]: the ballot, __all, __any and
// __activemask that thread i saw for the predicate in[i] != 0.
__global__ void warpVotes(const int* in, unsigned int* out, unsigned int exit_lane) {
  const unsigned int i = threadIdx.x;
  if (i % 32 == exit_lane) return;
  const int predicate = in[i] != 0;
  out[4 * i] = __ballot_sync(0xffffffffu, predicate);
  out[4 * i + 1] = __all_sync(0xffffffffu, predicate);
  out[4 * i + 2] = __any_sync(0xffffffffu, predicate);
  out[4 * i + 3] = __activemask();
}

// Tiles of 16: out[2 * tile] the sum and the maximum of the tile's values by
// cg::reduce, out_ranks[i] the thread's rank in its tile and tile index
// (rank + 100 * meta_group_rank) as the tile sees them after its shuffles;
// out8[i / 8] the sum of tiles of 8 made at run time, by shfl_down.
__global__ void tileSums(const int* in, int* out, int* out_ranks, int* out8) {
  cg::thread_block block = cg::this_thread_block();
  cg::thread_block_tile<16> tile = cg::tiled_partition<16>(block);
  const unsigned int i = block.thread_rank();
  const int v = in[blockIdx.x * block.size() + i];
  const int sum = cg::reduce(tile, v, cg::plus<int>());
  const int most = cg::reduce(tile, v, cg::greater<int>());
  tile.sync();
  const int rank = tile.shfl(static_cast<int>(tile.thread_rank()), static_cast<int>(tile.thread_rank()));
  cg::sync(block);
  const unsigned int tile_index = blockIdx.x * (block.size() / 16) + tile.meta_group_rank();
  if (tile.thread_rank() == 0) {
    out[2 * tile_index] = sum;
    out[2 * tile_index + 1] = most;
  }
  out_ranks[blockIdx.x * block.size() + i] = rank + 100 * static_cast<int>(tile.meta_group_rank());

  cg::thread_group eight = cg::tiled_partition(block, 8);
  int s = v;
  for (unsigned int delta = 4; delta > 0; delta /= 2) s += eight.shfl_down(s, delta);
  if (eight.thread_rank() == 0) out8[(blockIdx.x * block.size() + i) / 8] = s;
}

// Every thread counts both counters once: inc wraps at 9, dec at 9.
__global__ void wrapCounters(unsigned int* counters) {
  atomicInc(&counters[0], 9u);
  atomicDec(&counters[1], 9u);
  if (threadIdx.x == 0 && blockIdx.x == 0) atomicDec(&counters[2], 9u);
}

// Vector types by value: their parameter offsets are those of the device.
__global__ void vectorParameters(char c, float4 f, int2 i, double2 d, long long* out) {
  const float4 g = make_float4(f.x, f.y, f.z, f.w);
  out[0] = c;
  out[1] = static_cast<long long>(g.x + g.y + g.z + g.w);
  out[2] = make_int2(i.x, i.y).x * 1000 + i.y;
  out[3] = static_cast<long long>(d.x * d.y);
}
