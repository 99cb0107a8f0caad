// The C interface of a CPU kernel library: a shared object that the emulated
// node loads with --kernels and that runs kernels on the host's CPU, named by
// the mangled names the program's fat binary registers.
//
// A kernel library is built from kernel source files that also compile with
// nvcc (see zantu_kernel.h) and one registration file naming its kernels and
// device variables (see kernel_registry.h); it links the engine
// zantu_kernel_runtime, which defines the two functions below.
#pragma once

#include <cstdint>

#ifndef ZANTU_KERNEL_EXPORT
#define ZANTU_KERNEL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {

// Runs kernel `mangled_name` (e.g. _Z9vectorAddPKfS0_Pfi) over the grid on
// the calling thread, reading its arguments from `params`: the packed
// parameter buffer as the runtime library sends it, each parameter at its
// natural alignment, `params_size` bytes (it may be misaligned).
//
// Returns 0; kRtInvalidDeviceFunction (98) when the library has no such
// kernel; kRtInvalidConfiguration (9) for a zero or too large grid or block
// (more than 1024 threads, x or y over 1024, z over 64, grid y or z over
// 65535); kRtInvalidValue (1) when `params_size` is smaller than the kernel's
// parameters need, or when `dynamic_shared_bytes` is over 227 KiB
// (zantu::kMaxDynamicSharedBytes, what the device gives a block at most);
// kRtLaunchFailure (719) when a thread reached __syncthreads in a block whose
// first thread never does; kRtLaunchOutOfResources (701) when the fibers of
// a block's threads cannot be made.
//
// Dynamic shared memory: every `extern __shared__` array of the kernel
// sources is one area per OS thread of 227 KiB, 16-byte aligned, that the
// library defines (see zantu_kernel.h); a launch may use its first
// `dynamic_shared_bytes`. Its contents at the start of a block are undefined,
// as on the device.
//
// Thread safety: any number of threads may launch at once, the same kernel
// included; each runs its blocks itself, one block at a time. The kernel's
// pointers are dereferenced as they are: the caller checks the pointer
// parameters (zantu_kernel_pointer_params) and runs kernels in a process of
// their client's own, where a pointer computed past them can reach nothing
// but that client's memory.
ZANTU_KERNEL_EXPORT uint32_t zantu_kernel_launch(const char* mangled_name, const uint32_t grid[3],
                                                 const uint32_t block[3], uint64_t dynamic_shared_bytes,
                                                 const void* params, uint64_t params_size);

// The storage of device variable `device_name` (a __device__ or __constant__
// global of the kernel sources, registered with ZANTU_SYMBOL) and its size in
// `*size`, or null when the library has none. The storage is the library's
// one copy in the calling process (the node loads the library once and runs
// each client in a process forked from there, so each has a copy of its own).
ZANTU_KERNEL_EXPORT void* zantu_kernel_symbol(const char* device_name, uint64_t* size);

// The offsets in the packed parameter buffer of kernel `mangled_name`'s
// pointer parameters, the first `capacity` of them in `offsets`: how many
// the kernel has, or -1 when the library has no such kernel. Libraries built
// before this entry point existed lack it; their launches go unchecked.
ZANTU_KERNEL_EXPORT int32_t zantu_kernel_pointer_params(const char* mangled_name, uint32_t* offsets,
                                                        uint32_t capacity);

}  // extern "C"

// The types of the functions, for a loader that looks them up with dlsym.
using ZantuKernelLaunchFn = uint32_t (*)(const char*, const uint32_t*, const uint32_t*, uint64_t, const void*,
                                         uint64_t);
using ZantuKernelSymbolFn = void* (*)(const char*, uint64_t*);
using ZantuKernelPointerParamsFn = int32_t (*)(const char*, uint32_t*, uint32_t);
