// Warp intrinsics of the dialect (included by zantu_kernel.h, host compiler
// only): shuffles, votes, __syncwarp, __activemask and the bit helpers.
//
// A warp is 32 threads of consecutive linear rank (x + y * blockDim.x +
// z * blockDim.x * blockDim.y). Every warp operation is an exchange among
// the warp's lanes (zantu::WarpExchange): the lanes move through them in
// lock step, and a lane that has ended, or waits at __syncthreads, is
// inactive. A shuffle from a lane that is inactive or outside the mask gives
// back the caller's own value (the device leaves it undefined).
//
// Limits: lanes of one warp in different branches that both meet a warp
// operation meet in the same exchange, whatever the operation; each reads
// only lanes of its own mask, so branches with disjoint masks get what the
// device gives, and __activemask() there reports the lanes of both branches.
// Every warp operation suspends its thread's fiber until the whole block has
// stopped: a kernel that meets one in a hot loop runs far slower than one
// that meets none.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

namespace zantu {

// What a lane learns from a warp exchange: the value of the lane it asked
// for, the warp's lanes that took part (bit per lane) and those of them
// whose value was nonzero.
struct WarpResult {
  uint64_t value;
  uint32_t arrived;
  uint32_t ballot;
};

// Deposits `value`, suspends the calling thread until every active lane of
// its warp has reached a warp operation, and returns the value of
// `source_lane` (the caller's own when that lane is not in `mask` or not
// active; a source of 32 or more means the caller's own). When `gathered` is
// not null, gathered[l] receives the value of every active lane l.
WarpResult WarpExchange(uint64_t value, uint32_t source_lane, uint32_t mask, uint64_t* gathered);

inline unsigned int LaneId() {
  const unsigned int rank = threadIdx.x + threadIdx.y * blockDim.x + threadIdx.z * blockDim.x * blockDim.y;
  return rank % 32;
}

template <typename T>
inline uint64_t ToBits(const T& value) {
  static_assert(sizeof(T) <= sizeof(uint64_t) && std::is_trivially_copyable_v<T>, "a lane's value is one word");
  uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(T));
  return bits;
}

template <typename T>
inline T FromBits(uint64_t bits) {
  T value;
  std::memcpy(&value, &bits, sizeof(T));
  return value;
}

// Any trivially copyable value, a word at a time from the same source lane.
template <typename T>
inline T ShuffleFrom(unsigned int mask, const T& value, unsigned int source_lane) {
  if constexpr (sizeof(T) <= sizeof(uint64_t)) {
    return FromBits<T>(WarpExchange(ToBits(value), source_lane, mask, nullptr).value);
  } else {
    static_assert(std::is_trivially_copyable_v<T>, "shuffled values travel as bytes");
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    for (size_t at = 0; at < sizeof(T); at += sizeof(uint64_t)) {
      uint64_t word = 0;
      const size_t n = sizeof(T) - at < sizeof(uint64_t) ? sizeof(T) - at : sizeof(uint64_t);
      std::memcpy(&word, bytes + at, n);
      word = WarpExchange(word, source_lane, mask, nullptr).value;
      std::memcpy(bytes + at, &word, n);
    }
    T out;
    std::memcpy(&out, bytes, sizeof(T));
    return out;
  }
}

// The first lane of the caller's section of `width` lanes.
inline unsigned int SectionStart(unsigned int lane, int width) { return lane & ~static_cast<unsigned int>(width - 1); }

inline WarpResult Vote(unsigned int mask, int predicate) {
  return WarpExchange(predicate != 0 ? 1 : 0, 32, mask, nullptr);
}

}  // namespace zantu

template <typename T>
inline T __shfl_sync(unsigned int mask, T var, int src_lane, int width = 32) {
  const unsigned int lane = ::zantu::LaneId();
  const unsigned int source = ::zantu::SectionStart(lane, width) + (static_cast<unsigned int>(src_lane) & (width - 1));
  return ::zantu::ShuffleFrom(mask, var, source);
}

template <typename T>
inline T __shfl_up_sync(unsigned int mask, T var, unsigned int delta, int width = 32) {
  const unsigned int lane = ::zantu::LaneId();
  const bool inside = lane - ::zantu::SectionStart(lane, width) >= delta;
  return ::zantu::ShuffleFrom(mask, var, inside ? lane - delta : lane);
}

template <typename T>
inline T __shfl_down_sync(unsigned int mask, T var, unsigned int delta, int width = 32) {
  const unsigned int lane = ::zantu::LaneId();
  const bool inside = lane - ::zantu::SectionStart(lane, width) + delta < static_cast<unsigned int>(width);
  return ::zantu::ShuffleFrom(mask, var, inside ? lane + delta : lane);
}

// Earlier sections may be read; a later one gives back the caller's value.
template <typename T>
inline T __shfl_xor_sync(unsigned int mask, T var, int lane_mask, int width = 32) {
  const unsigned int lane = ::zantu::LaneId();
  const unsigned int source = lane ^ static_cast<unsigned int>(lane_mask);
  const bool inside = source < ::zantu::SectionStart(lane, width) + width;
  return ::zantu::ShuffleFrom(mask, var, inside ? source : lane);
}

inline unsigned int __ballot_sync(unsigned int mask, int predicate) {
  return ::zantu::Vote(mask, predicate).ballot & mask;
}
inline int __any_sync(unsigned int mask, int predicate) {
  return (::zantu::Vote(mask, predicate).ballot & mask) != 0;
}
inline int __all_sync(unsigned int mask, int predicate) {
  const ::zantu::WarpResult r = ::zantu::Vote(mask, predicate);
  return (r.arrived & mask & ~r.ballot) == 0;
}
inline unsigned int __activemask() { return ::zantu::WarpExchange(0, 32, 0, nullptr).arrived; }
inline void __syncwarp(unsigned int mask = 0xffffffffu) { ::zantu::WarpExchange(0, 32, mask, nullptr); }

inline int __popc(unsigned int x) { return __builtin_popcount(x); }
inline int __popcll(unsigned long long x) { return __builtin_popcountll(x); }
inline int __ffs(int x) { return __builtin_ffs(x); }
inline int __ffsll(long long x) { return __builtin_ffsll(x); }
inline int __clz(int x) { return x == 0 ? 32 : __builtin_clz(static_cast<unsigned int>(x)); }
inline int __clzll(long long x) { return x == 0 ? 64 : __builtin_clzll(static_cast<unsigned long long>(x)); }
inline unsigned int __brev(unsigned int x) {
  x = ((x >> 1) & 0x55555555u) | ((x & 0x55555555u) << 1);
  x = ((x >> 2) & 0x33333333u) | ((x & 0x33333333u) << 2);
  x = ((x >> 4) & 0x0f0f0f0fu) | ((x & 0x0f0f0f0fu) << 4);
  x = ((x >> 8) & 0x00ff00ffu) | ((x & 0x00ff00ffu) << 8);
  return (x >> 16) | (x << 16);
}
inline unsigned long long __brevll(unsigned long long x) {
  return (static_cast<unsigned long long>(__brev(static_cast<unsigned int>(x))) << 32) | __brev(static_cast<unsigned int>(x >> 32));
}
