// The CUDA dialect for the host compiler: kernel source kept in its own file
// compiles unchanged with nvcc (into the program) and, after this header,
// with the host compiler (into a CPU kernel library the emulated node loads).
//
// What it supplies: the qualifiers (__global__ kernels get default
// visibility, so that the library can find their mangled names);
// __shared__ as storage per OS thread, which is block-shared because an OS
// thread runs one block at a time; dynamic shared memory (`extern
// __shared__ T name[]`, see below); threadIdx, blockIdx, blockDim, gridDim;
// __syncthreads, the block's threads being fibers on one OS thread; the warp
// intrinsics (zantu_kernel_warp.h: __shfl*_sync, __ballot_sync,
// __all_sync, __any_sync, __activemask, __syncwarp, __popc, __ffs, __clz,
// __brev); the vector types and their make_ functions
// (zantu_kernel_vector.h); the common atomics (truly atomic: several node
// threads may run kernels at once); min and max; warpSize. Cooperative
// groups come from <cooperative_groups.h>, which the host compiler finds in
// dialect/ (zantu_kernel_groups.h).
//
// Dynamic shared memory: `__shared__` is `thread_local`, so `extern
// __shared__ float sdata[];` declares a thread-local array that no source
// defines. The kernel library's build (zantu_kernel_library) finds every such
// undefined thread-local name in the kernel objects and defines it as an
// alias of one per-OS-thread area of kMaxDynamicSharedBytes, 16-byte
// aligned: all such declarations of a kernel alias the same buffer, as on
// the device, whatever their names and types. A declaration's name must not
// also be defined (a sized `__shared__` array of that name elsewhere would be
// that array instead).
//
// Not supplied: textures, surfaces, device-side launch, grid-wide groups,
// __match_*_sync.
//
// Under nvcc this header is empty.
#pragma once

#ifndef __CUDACC__

#include <cmath>
#include <cstdint>

#define __global__ __attribute__((visibility("default")))
#define __device__
#define __host__
#define __forceinline__ inline __attribute__((always_inline))
#define __noinline__ __attribute__((noinline))
#define __constant__
// At block scope thread_local implies static; an extern declaration stays
// extern (see dynamic shared memory above).
#define __shared__ thread_local
#define __launch_bounds__(...)

#include "node/kernel_runtime/zantu_kernel_vector.h"

struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
  constexpr dim3(uint3 v) : x(v.x), y(v.y), z(v.z) {}
};

// Set by the block runner of the kernel library: the grid and block shape
// for the whole launch, blockIdx per block, threadIdx before each thread runs
// or resumes. (Not initial-exec: that would put the library's whole TLS
// block, __shared__ arrays included, into the small static room a loaded
// library gets.)
extern thread_local uint3 threadIdx;
extern thread_local uint3 blockIdx;
extern thread_local dim3 blockDim;
extern thread_local dim3 gridDim;

constexpr int warpSize = 32;

#include "node/kernel_runtime/launch_limits.h"

namespace zantu {
// Suspends the calling thread of the block until every thread of the block
// that has not ended has reached a barrier.
void SyncThreads();
}  // namespace zantu

inline void __syncthreads() { ::zantu::SyncThreads(); }
inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline void __threadfence_block() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }

// Atomics: relaxed, as the device's are.
#define ZANTU_INTEGER_ATOMICS(T)                                                                      \
  inline T atomicAdd(T* a, T v) { return __atomic_fetch_add(a, v, __ATOMIC_RELAXED); }               \
  inline T atomicSub(T* a, T v) { return __atomic_fetch_sub(a, v, __ATOMIC_RELAXED); }               \
  inline T atomicExch(T* a, T v) { return __atomic_exchange_n(a, v, __ATOMIC_RELAXED); }             \
  inline T atomicAnd(T* a, T v) { return __atomic_fetch_and(a, v, __ATOMIC_RELAXED); }               \
  inline T atomicOr(T* a, T v) { return __atomic_fetch_or(a, v, __ATOMIC_RELAXED); }                 \
  inline T atomicXor(T* a, T v) { return __atomic_fetch_xor(a, v, __ATOMIC_RELAXED); }               \
  inline T atomicCAS(T* a, T expected, T desired) {                                                   \
    __atomic_compare_exchange_n(a, &expected, desired, false, __ATOMIC_RELAXED, __ATOMIC_RELAXED);    \
    return expected;                                                                                  \
  }                                                                                                   \
  inline T atomicMin(T* a, T v) {                                                                     \
    T old = __atomic_load_n(a, __ATOMIC_RELAXED);                                                     \
    while (v < old && !__atomic_compare_exchange_n(a, &old, v, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) { \
    }                                                                                                 \
    return old;                                                                                       \
  }                                                                                                   \
  inline T atomicMax(T* a, T v) {                                                                     \
    T old = __atomic_load_n(a, __ATOMIC_RELAXED);                                                     \
    while (v > old && !__atomic_compare_exchange_n(a, &old, v, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) { \
    }                                                                                                 \
    return old;                                                                                       \
  }
ZANTU_INTEGER_ATOMICS(int)
ZANTU_INTEGER_ATOMICS(unsigned int)
ZANTU_INTEGER_ATOMICS(unsigned long long)
#undef ZANTU_INTEGER_ATOMICS

namespace zantu {
// Floating-point read-modify-write through a compare-and-swap on the bits.
template <typename F, typename Bits, typename Op>
inline F FloatAtomic(F* a, Op op) {
  Bits* word = reinterpret_cast<Bits*>(a);
  Bits old = __atomic_load_n(word, __ATOMIC_RELAXED);
  for (;;) {
    F before;
    __builtin_memcpy(&before, &old, sizeof(F));
    const F after = op(before);
    Bits desired;
    __builtin_memcpy(&desired, &after, sizeof(F));
    if (__atomic_compare_exchange_n(word, &old, desired, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) return before;
  }
}
}  // namespace zantu

inline float atomicAdd(float* a, float v) {
  return ::zantu::FloatAtomic<float, uint32_t>(a, [v](float x) { return x + v; });
}
inline double atomicAdd(double* a, double v) {
  return ::zantu::FloatAtomic<double, uint64_t>(a, [v](double x) { return x + v; });
}
inline float atomicExch(float* a, float v) {
  return ::zantu::FloatAtomic<float, uint32_t>(a, [v](float) { return v; });
}
// Counters that wrap: atomicInc counts up to `limit` and then from 0 again;
// atomicDec counts down to 0 and then from `limit` again (and jumps to
// `limit` from anything above it).
inline unsigned int atomicInc(unsigned int* a, unsigned int limit) {
  unsigned int old = __atomic_load_n(a, __ATOMIC_RELAXED);
  while (!__atomic_compare_exchange_n(a, &old, old >= limit ? 0 : old + 1, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
  }
  return old;
}
inline unsigned int atomicDec(unsigned int* a, unsigned int limit) {
  unsigned int old = __atomic_load_n(a, __ATOMIC_RELAXED);
  while (!__atomic_compare_exchange_n(a, &old, (old == 0 || old > limit) ? limit : old - 1, true, __ATOMIC_RELAXED,
                                      __ATOMIC_RELAXED)) {
  }
  return old;
}

// The device's min and max overloads.
#define ZANTU_MIN_MAX(T)                               \
  inline T min(T a, T b) { return b < a ? b : a; }     \
  inline T max(T a, T b) { return a < b ? b : a; }
ZANTU_MIN_MAX(int)
ZANTU_MIN_MAX(unsigned int)
ZANTU_MIN_MAX(long long)
ZANTU_MIN_MAX(unsigned long long)
ZANTU_MIN_MAX(float)
ZANTU_MIN_MAX(double)
#undef ZANTU_MIN_MAX

inline float rsqrtf(float x) { return 1.0f / std::sqrt(x); }
inline float __fdividef(float a, float b) { return a / b; }

#include "node/kernel_runtime/zantu_kernel_warp.h"

#endif  // !__CUDACC__
