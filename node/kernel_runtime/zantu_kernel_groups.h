// Cooperative groups of the dialect, host compiler only: what
// <cooperative_groups.h> and <cooperative_groups/reduce.h> give a kernel
// (the host compiler finds those names in dialect/, which include this).
//
// Supplied: this_thread_block(), tiled_partition<N>(group) and
// tiled_partition(group, n) for N a power of two up to 32, their sync,
// ranks, sizes, shuffles and votes, sync(group), reduce() with plus, less,
// greater, bit_and, bit_or and bit_xor. A tile is a section of N lanes of a
// warp; its operations are the warp operations of zantu_kernel_warp.h on
// the tile's lanes, so a tile's threads that have ended are inactive, and
// reduce() combines the values of the active ones only.
//
// Not supplied: grid and multi-grid groups, coalesced_threads(), tiles of
// more than 32 threads, memcpy_async.
#pragma once

#include "node/kernel_runtime/zantu_kernel.h"

#ifndef __CUDACC__

namespace cooperative_groups {

namespace details {
inline unsigned int BlockRank() {
  return threadIdx.x + threadIdx.y * blockDim.x + threadIdx.z * blockDim.x * blockDim.y;
}
inline unsigned int BlockThreads() { return blockDim.x * blockDim.y * blockDim.z; }
}  // namespace details

class thread_block {
 public:
  static void sync() { __syncthreads(); }
  static unsigned long long thread_rank() { return details::BlockRank(); }
  static unsigned long long size() { return details::BlockThreads(); }
  static unsigned long long num_threads() { return details::BlockThreads(); }
  static dim3 group_index() { return dim3(blockIdx.x, blockIdx.y, blockIdx.z); }
  static dim3 thread_index() { return dim3(threadIdx.x, threadIdx.y, threadIdx.z); }
  static dim3 group_dim() { return blockDim; }
  static dim3 dim_threads() { return blockDim; }
};

inline thread_block this_thread_block() { return thread_block(); }

// A section of `size` lanes (a power of two up to 32) of the caller's warp.
class thread_group {
 public:
  explicit thread_group(unsigned int size) : size_(size) {}

  unsigned long long thread_rank() const { return ::zantu::LaneId() & (size_ - 1); }
  unsigned long long size() const { return size_; }
  unsigned long long num_threads() const { return size_; }
  unsigned long long meta_group_rank() const { return details::BlockRank() / size_; }
  unsigned long long meta_group_size() const { return (details::BlockThreads() + size_ - 1) / size_; }
  void sync() const { __syncwarp(mask()); }

  // The tile's lanes in the warp.
  unsigned int mask() const {
    const unsigned int lanes = size_ == 32 ? 0xffffffffu : (1u << size_) - 1;
    return lanes << (::zantu::LaneId() & ~(size_ - 1));
  }

  template <typename T>
  T shfl(T var, int src_rank) const {
    return __shfl_sync(mask(), var, src_rank, static_cast<int>(size_));
  }
  template <typename T>
  T shfl_down(T var, unsigned int delta) const {
    return __shfl_down_sync(mask(), var, delta, static_cast<int>(size_));
  }
  template <typename T>
  T shfl_up(T var, unsigned int delta) const {
    return __shfl_up_sync(mask(), var, delta, static_cast<int>(size_));
  }
  template <typename T>
  T shfl_xor(T var, unsigned int lane_mask) const {
    return __shfl_xor_sync(mask(), var, static_cast<int>(lane_mask), static_cast<int>(size_));
  }
  int any(int predicate) const { return __any_sync(mask(), predicate); }
  int all(int predicate) const { return __all_sync(mask(), predicate); }
  // Bit r for the tile's rank r.
  unsigned int ballot(int predicate) const {
    return __ballot_sync(mask(), predicate) >> (::zantu::LaneId() & ~(size_ - 1));
  }

 private:
  unsigned int size_;
};

template <unsigned int Size, typename ParentT = void>
class thread_block_tile;

template <unsigned int Size>
class thread_block_tile<Size, void> : public thread_group {
  static_assert(Size >= 1 && Size <= 32 && (Size & (Size - 1)) == 0, "a tile is a power of two up to 32 threads");

 public:
  thread_block_tile() : thread_group(Size) {}
  static constexpr unsigned long long num_threads() { return Size; }
  static constexpr unsigned long long size() { return Size; }
};

template <unsigned int Size, typename ParentT>
class thread_block_tile : public thread_block_tile<Size, void> {};

template <unsigned int Size, typename ParentT>
thread_block_tile<Size, ParentT> tiled_partition(const ParentT&) {
  return thread_block_tile<Size, ParentT>();
}

// `size` must be a power of two up to 32 (as a tile of a warp).
template <typename ParentT>
thread_group tiled_partition(const ParentT&, unsigned int size) {
  return thread_group(size);
}

template <typename GroupT>
void sync(const GroupT& group) {
  group.sync();
}

template <typename T>
struct plus {
  T operator()(const T& a, const T& b) const { return a + b; }
};
template <typename T>
struct less {
  T operator()(const T& a, const T& b) const { return b < a ? b : a; }
};
template <typename T>
struct greater {
  T operator()(const T& a, const T& b) const { return a < b ? b : a; }
};
template <typename T>
struct bit_and {
  T operator()(const T& a, const T& b) const { return a & b; }
};
template <typename T>
struct bit_or {
  T operator()(const T& a, const T& b) const { return a | b; }
};
template <typename T>
struct bit_xor {
  T operator()(const T& a, const T& b) const { return a ^ b; }
};

// Every active thread of the tile gets `op` folded over the values of the
// tile's active threads, in rank order: one exchange, whichever threads have
// ended.
template <typename TyGroup, typename TyVal, typename TyOp>
TyVal reduce(const TyGroup& group, TyVal value, TyOp op) {
  uint64_t gathered[32];
  const unsigned int mask = group.mask();
  const unsigned int active = ::zantu::WarpExchange(::zantu::ToBits(value), 32, mask, gathered).arrived & mask;
  TyVal result{};
  bool first = true;
  for (unsigned int lane = 0; lane < 32; ++lane) {
    if (((active >> lane) & 1u) == 0) continue;
    const TyVal v = ::zantu::FromBits<TyVal>(gathered[lane]);
    result = first ? v : op(result, v);
    first = false;
  }
  return result;
}

}  // namespace cooperative_groups

#endif  // !__CUDACC__
