// The driver API entry points the cuda backend uses, taken from
// libcuda.so.1 at run time, so that the node starts (and falls back to the
// emulated GPUs) where no driver is installed. Types come from the toolkit's
// cuda.h; each entry point is looked up under the versioned name that cuda.h
// maps it to.
//
// Thread safety: constant after Load.
#pragma once

#include <cuda.h>

#include <string>

namespace zantu_node {

#define ZANTU_CUDA_DRIVER_ENTRIES(X) \
  X(cuInit)                          \
  X(cuDriverGetVersion)              \
  X(cuDeviceGetCount)                \
  X(cuDeviceGet)                     \
  X(cuDeviceGetName)                 \
  X(cuDeviceGetAttribute)            \
  X(cuDeviceTotalMem)                \
  X(cuDeviceGetUuid)                 \
  X(cuDevicePrimaryCtxRetain)        \
  X(cuDevicePrimaryCtxRelease)       \
  X(cuDevicePrimaryCtxReset)         \
  X(cuCtxSetCurrent)                 \
  X(cuCtxSynchronize)                \
  X(cuCtxEnablePeerAccess)           \
  X(cuCtxDisablePeerAccess)          \
  X(cuMemAlloc)                      \
  X(cuMemFree)                       \
  X(cuMemGetInfo)                    \
  X(cuMemcpyHtoDAsync)               \
  X(cuMemcpyDtoHAsync)               \
  X(cuMemcpyDtoDAsync)               \
  X(cuMemsetD8Async)                 \
  X(cuStreamCreate)                  \
  X(cuStreamDestroy)                 \
  X(cuStreamSynchronize)             \
  X(cuStreamQuery)                   \
  X(cuStreamWaitEvent)               \
  X(cuEventCreate)                   \
  X(cuEventRecord)                   \
  X(cuEventSynchronize)              \
  X(cuEventQuery)                    \
  X(cuEventElapsedTime)              \
  X(cuEventDestroy)                  \
  X(cuModuleLoadData)                \
  X(cuModuleUnload)                  \
  X(cuModuleGetFunction)             \
  X(cuModuleGetGlobal)               \
  X(cuFuncSetAttribute)              \
  X(cuLaunchKernel)

class CudaDriver {
 public:
  CudaDriver() = default;
  ~CudaDriver();  // unloads the library

  CudaDriver(const CudaDriver&) = delete;
  CudaDriver& operator=(const CudaDriver&) = delete;

  // Loads libcuda.so.1 and every entry point. False with `*why` when the
  // library or an entry point is missing.
  [[nodiscard]] bool Load(std::string* why);

#define ZANTU_CUDA_DRIVER_MEMBER(name) decltype(&name) name##_fn = nullptr;
  ZANTU_CUDA_DRIVER_ENTRIES(ZANTU_CUDA_DRIVER_MEMBER)
#undef ZANTU_CUDA_DRIVER_MEMBER

 private:
  void* handle_ = nullptr;
};

}  // namespace zantu_node
