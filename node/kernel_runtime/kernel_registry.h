// Registration of a kernel library's kernels and device variables. One file
// of the library, after including the kernel sources, names them once:
//
//   #include "node/kernel_runtime/kernel_registry.h"
//   #include "examples/cuda/reduction_kernels.cuh"
//   ZANTU_KERNELS(vectorAdd, reduceSum<256>, reduceSum<128>);
//   ZANTU_SYMBOL(saxpy_scale);
//
// A kernel is found by its mangled name, which the library reads from its
// own dynamic symbol table (kernels have default visibility through
// __global__; a kernel with internal linkage cannot be found). Its packed
// parameter buffer is unpacked by the parameter types, each parameter at its
// natural alignment, as the device's parameter layout places them. A device
// variable is found by the name it is declared with, which is the device name
// the program registers for a variable of the global namespace.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <tuple>
#include <type_traits>
#include <utility>

#include "node/kernel_runtime/zantu_kernel.h"

namespace zantu {

// Runs `body(args)` once for every thread of the grid, on the calling
// thread, with the builtins set for each. Returns 0, or the launch error of
// kernel_library.h (configuration, stray __syncthreads).
using ThreadBody = void (*)(const void* args);
uint32_t RunGrid(const uint32_t grid[3], const uint32_t block[3], ThreadBody body, const void* args);

// Checks the size of the parameter buffer, unpacks it and runs the grid.
using Launcher = uint32_t (*)(const uint32_t grid[3], const uint32_t block[3], const void* params,
                              uint64_t params_size);

// Writes the offsets in the packed parameter buffer of the kernel's pointer
// parameters into `offsets` (at most `capacity` of them) and returns how many
// the kernel has.
using PointerLister = uint32_t (*)(uint32_t* offsets, uint32_t capacity);

// Called by the registrations below while the library is being loaded.
void AddKernel(const void* function, Launcher launcher, PointerLister pointers);
void AddSymbol(const char* name, void* storage, uint64_t size);

// kRtInvalidValue of the wire protocol: the buffer is too short.
constexpr uint32_t kShortParameters = 1;

template <typename... A>
struct ParameterLayout {
  static constexpr std::array<size_t, sizeof...(A)> Offsets() {
    std::array<size_t, sizeof...(A)> offsets{};
    size_t at = 0;
    size_t i = 0;
    ((at = (at + alignof(A) - 1) / alignof(A) * alignof(A), offsets[i++] = at, at += sizeof(A)), ...);
    return offsets;
  }
  static constexpr size_t Size() {
    size_t at = 0;
    ((at = (at + alignof(A) - 1) / alignof(A) * alignof(A) + sizeof(A)), ...);
    return at;
  }
};

template <typename T>
T LoadParameter(const unsigned char* at) {
  std::array<unsigned char, sizeof(T)> raw;
  std::memcpy(raw.data(), at, sizeof(T));
  return std::bit_cast<T>(raw);
}

template <typename... A, size_t... I>
std::tuple<A...> UnpackParameters(const unsigned char* params, std::index_sequence<I...>) {
  constexpr auto offsets = ParameterLayout<A...>::Offsets();
  return std::tuple<A...>(LoadParameter<A>(params + offsets[I])...);
}

// Each thread gets its own copies of the parameters, as on the device.
template <auto K, typename... A>
void RunThread(const void* args) {
  std::apply(K, *static_cast<const std::tuple<A...>*>(args));
}

template <auto K, typename... A>
uint32_t LaunchWith(void (*)(A...), const uint32_t grid[3], const uint32_t block[3], const void* params,
                    uint64_t params_size) {
  static_assert((std::is_trivially_copyable_v<A> && ...), "kernel parameters travel as bytes");
  if (params_size < ParameterLayout<A...>::Size()) return kShortParameters;
  const std::tuple<A...> args =
      UnpackParameters<A...>(static_cast<const unsigned char*>(params), std::index_sequence_for<A...>{});
  return RunGrid(grid, block, &RunThread<K, A...>, &args);
}

template <auto K>
uint32_t Launch(const uint32_t grid[3], const uint32_t block[3], const void* params, uint64_t params_size) {
  return LaunchWith<K>(K, grid, block, params, params_size);
}

template <typename... A>
uint32_t ListPointersOf(void (*)(A...), uint32_t* offsets, uint32_t capacity) {
  constexpr auto at = ParameterLayout<A...>::Offsets();
  constexpr bool is_pointer[] = {std::is_pointer_v<A>..., false};
  uint32_t count = 0;
  for (size_t i = 0; i < sizeof...(A); ++i) {
    if (!is_pointer[i]) continue;
    if (count < capacity) offsets[count] = static_cast<uint32_t>(at[i]);
    ++count;
  }
  return count;
}

template <auto K>
uint32_t ListPointers(uint32_t* offsets, uint32_t capacity) {
  return ListPointersOf(K, offsets, capacity);
}

template <auto... K>
struct KernelRegistration {
  KernelRegistration() { (AddKernel(reinterpret_cast<const void*>(K), &Launch<K>, &ListPointers<K>), ...); }
};

struct SymbolRegistration {
  SymbolRegistration(const char* name, void* storage, uint64_t size) { AddSymbol(name, storage, size); }
};

}  // namespace zantu

#define ZANTU_CONCAT_INNER(a, b) a##b
#define ZANTU_CONCAT(a, b) ZANTU_CONCAT_INNER(a, b)
#define ZANTU_KERNELS(...) \
  static const ::zantu::KernelRegistration<__VA_ARGS__> ZANTU_CONCAT(zantu_kernels_, __LINE__)
#define ZANTU_SYMBOL(variable)                                                                              \
  static const ::zantu::SymbolRegistration ZANTU_CONCAT(zantu_symbol_, __LINE__)(#variable, (void*)&variable, \
                                                                                  sizeof(variable))
