// Module and function numbers of forwarded API calls. The interposing layer
// puts them into every request (RequestHeader::module and ::api); nodes
// dispatch on them; GetCudaFunctionName turns them into names for log lines.
//
// Wire constraint: numbers are part of the node protocol. Append new functions
// at the end of a list; never renumber.
#pragma once

#include <cstdint>

constexpr uint8_t kModuleRuntime = 1;  // the runtime API
constexpr uint8_t kModuleDriver = 2;   // the driver API
constexpr uint8_t kModuleTest = 126;   // the reference node's test module

#define ZANTU_RUNTIME_API(X)          \
  X(cudaGetDeviceCount)               \
  X(cudaSetDevice)                    \
  X(cudaGetDevice)                    \
  X(cudaGetDeviceProperties)          \
  X(cudaDeviceSynchronize)            \
  X(cudaDeviceReset)                  \
  X(cudaMalloc)                       \
  X(cudaFree)                         \
  X(cudaMallocHost)                   \
  X(cudaFreeHost)                     \
  X(cudaMemcpy)                       \
  X(cudaMemcpyAsync)                  \
  X(cudaMemset)                       \
  X(cudaMemsetAsync)                  \
  X(cudaMemGetInfo)                   \
  X(cudaStreamCreate)                 \
  X(cudaStreamDestroy)                \
  X(cudaStreamSynchronize)            \
  X(cudaStreamWaitEvent)              \
  X(cudaEventCreate)                  \
  X(cudaEventRecord)                  \
  X(cudaEventSynchronize)             \
  X(cudaEventElapsedTime)             \
  X(cudaEventDestroy)                 \
  X(cudaLaunchKernel)                 \
  X(cudaGetLastError)                 \
  X(cudaPeekAtLastError)              \
  X(cudaGetErrorString)               \
  X(cudaFuncGetAttributes)            \
  X(cudaRuntimeGetVersion)            \
  X(cudaDriverGetVersion)             \
  X(cudaStreamQuery)                  \
  X(cudaEventQuery)                   \
  X(cudaGetSymbolAddress)             \
  X(zantuModuleLoad)                  \
  X(zantuFunctionRegister)            \
  X(zantuVarRegister)                 \
  X(zantuModuleUnload)                \
  X(cudaDeviceEnablePeerAccess)       \
  X(cudaDeviceDisablePeerAccess)

#define ZANTU_DRIVER_API(X)           \
  X(cuInit)                           \
  X(cuDeviceGet)                      \
  X(cuDeviceGetCount)                 \
  X(cuDeviceGetName)                  \
  X(cuDeviceGetAttribute)             \
  X(cuDeviceTotalMem)                 \
  X(cuCtxCreate)                      \
  X(cuCtxDestroy)                     \
  X(cuCtxSetCurrent)                  \
  X(cuCtxGetCurrent)                  \
  X(cuCtxSynchronize)                 \
  X(cuModuleLoadData)                 \
  X(cuModuleUnload)                   \
  X(cuModuleGetFunction)              \
  X(cuMemAlloc)                       \
  X(cuMemFree)                        \
  X(cuMemcpyHtoD)                     \
  X(cuMemcpyDtoH)                     \
  X(cuLaunchKernel)                   \
  X(cuStreamCreate)                   \
  X(cuStreamSynchronize)

// The reference node's test module; what each call does is described where
// the node implements it.
#define ZANTU_TEST_API(X)             \
  X(testEcho)                         \
  X(testFail)                         \
  X(testDelay)                        \
  X(testCompressed)

#define ZANTU_API_ENUM_ENTRY(name) k_##name,
enum RuntimeApi : uint32_t { ZANTU_RUNTIME_API(ZANTU_API_ENUM_ENTRY) kRuntimeApiCount };
enum DriverApi : uint32_t { ZANTU_DRIVER_API(ZANTU_API_ENUM_ENTRY) kDriverApiCount };
enum TestApi : uint32_t { ZANTU_TEST_API(ZANTU_API_ENUM_ENTRY) kTestApiCount };
#undef ZANTU_API_ENUM_ENTRY
