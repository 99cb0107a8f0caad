// Entry points: what a program asks of its kernels (attributes, names,
// parameters), their cache and shared-memory settings, and occupancy.
//
// Attributes come from the fat binary (each cubin records a kernel's
// registers, static shared memory, stack frame and launch bounds) and the
// device's properties; occupancy is the toolkit's own arithmetic
// (cuda_occupancy.h) on those. Cache and shared-memory preferences are
// accepted and kept: on an emulated GPU they change nothing, and a real
// GPU treats them as hints too.
#include <cuda_occupancy.h>

#include <algorithm>
#include <atomic>

#include "cudart/api_common.h"
#include "cudart/device_cache.h"
#include "cudart/device_props.h"
#include "cudart/module_registry.h"

using namespace cudart;

namespace {

// Registers are given to warps in units of this many.
constexpr uint32_t kRegisterUnit = 256;

std::atomic<int> device_cache_config{cudaFuncCachePreferNone};

// The properties of the calling thread's GPU; a runtime status.
int CurrentProps(cudaDeviceProp* prop) {
  const int gpu = CurrentGpu();
  int status = Usable(gpu);
  if (status != 0) return status;
  DeviceInfo info;
  status = DeviceCache::Get().Info(gpu, &info);
  if (status == 0) FillDeviceProp(info, prop);
  return status;
}

// The largest block a launch of `resources` may have on `prop`: launch
// bounds, the device's limit, and the registers a block of warps takes.
int MaxThreadsPerBlock(const KernelResources& resources, const cudaDeviceProp& prop) {
  int threads = prop.maxThreadsPerBlock;
  if (resources.max_threads != 0) threads = std::min<int>(threads, static_cast<int>(resources.max_threads));
  if (resources.registers != 0 && prop.warpSize > 0) {
    const uint32_t per_warp =
        (resources.registers * prop.warpSize + kRegisterUnit - 1) / kRegisterUnit * kRegisterUnit;
    threads = std::min<int>(threads, static_cast<int>(prop.regsPerBlock / per_warp) * prop.warpSize);
  }
  return threads;
}

void FillAttributes(const Function& function, const cudaDeviceProp& prop, cudaFuncAttributes* attr) {
  const KernelResources& resources = function.layout.resources;
  *attr = cudaFuncAttributes{};
  attr->sharedSizeBytes = resources.shared_bytes;
  attr->localSizeBytes = resources.local_bytes;
  attr->numRegs = static_cast<int>(resources.registers);
  attr->maxThreadsPerBlock = MaxThreadsPerBlock(resources, prop);
  // A kernel known from PTX alone is compiled for the device it runs on.
  const int device_version = prop.major * 10 + prop.minor;
  attr->binaryVersion = resources.binary_version != 0 ? static_cast<int>(resources.binary_version) : device_version;
  attr->ptxVersion = attr->binaryVersion;
  const int set_dynamic = function.max_dynamic_shared.load(std::memory_order_relaxed);
  const int default_dynamic = static_cast<int>(prop.sharedMemPerBlock) - static_cast<int>(resources.shared_bytes);
  attr->maxDynamicSharedSizeBytes = set_dynamic >= 0 ? set_dynamic : std::max(default_dynamic, 0);
  attr->preferredShmemCarveout = function.shared_carveout.load(std::memory_order_relaxed);
}

// The kernel of `func` with the attributes it has on the current GPU.
int Attributes(const void* func, Function** function, cudaDeviceProp* prop, cudaFuncAttributes* attr) {
  *function = ModuleRegistry::Get().FindFunction(func);
  if (*function == nullptr || !(*function)->has_layout) return kRtInvalidDeviceFunction;
  const int status = CurrentProps(prop);
  if (status == 0) FillAttributes(**function, *prop, attr);
  return status;
}

int SetAttribute(const void* func, cudaFuncAttribute attribute, int value) {
  Function* function = nullptr;
  cudaDeviceProp prop;
  cudaFuncAttributes attr;
  const int status = Attributes(func, &function, &prop, &attr);
  if (status != 0) return status;
  switch (attribute) {
    case cudaFuncAttributeMaxDynamicSharedMemorySize:
      if (value < 0 || static_cast<size_t>(value) + attr.sharedSizeBytes > prop.sharedMemPerBlockOptin) {
        return kRtInvalidValue;
      }
      function->max_dynamic_shared.store(value, std::memory_order_relaxed);
      return kRtSuccess;
    case cudaFuncAttributePreferredSharedMemoryCarveout:
      if (value < -1 || value > 100) return kRtInvalidValue;
      function->shared_carveout.store(value, std::memory_order_relaxed);
      return kRtSuccess;
    case cudaFuncAttributeRequiredClusterWidth:
    case cudaFuncAttributeRequiredClusterHeight:
    case cudaFuncAttributeRequiredClusterDepth:
    case cudaFuncAttributeNonPortableClusterSizeAllowed:
    case cudaFuncAttributeClusterSchedulingPolicyPreference:
      return cudaErrorNotSupported;  // no device here claims cluster launches
    default:
      return kRtInvalidValue;
  }
}

int MaxActiveBlocks(int* blocks, const void* func, int block_size, size_t dynamic_shared, unsigned int flags) {
  if (blocks == nullptr || block_size <= 0 ||
      (flags & ~static_cast<unsigned int>(cudaOccupancyDisableCachingOverride)) != 0) {
    return kRtInvalidValue;
  }
  Function* function = nullptr;
  cudaDeviceProp prop;
  cudaFuncAttributes attr;
  const int status = Attributes(func, &function, &prop, &attr);
  if (status != 0) return status;
  // A block larger than the kernel allows never runs.
  if (block_size > attr.maxThreadsPerBlock) {
    *blocks = 0;
    return kRtSuccess;
  }
  const cudaOccDeviceProp occ_prop(prop);
  const cudaOccFuncAttributes occ_attr(attr);
  cudaOccDeviceState state;
  state.carveoutConfig = attr.preferredShmemCarveout;
  cudaOccResult result;
  if (cudaOccMaxActiveBlocksPerMultiprocessor(&result, &occ_prop, &occ_attr, &state, block_size, dynamic_shared) !=
      CUDA_OCC_SUCCESS) {
    return kRtInvalidValue;
  }
  *blocks = result.activeBlocksPerMultiprocessor;
  return kRtSuccess;
}

int AvailableDynamicShared(size_t* bytes, const void* func, int blocks, int block_size) {
  if (bytes == nullptr || blocks <= 0 || block_size <= 0) return kRtInvalidValue;
  Function* function = nullptr;
  cudaDeviceProp prop;
  cudaFuncAttributes attr;
  const int status = Attributes(func, &function, &prop, &attr);
  if (status != 0) return status;
  const cudaOccDeviceProp occ_prop(prop);
  const cudaOccFuncAttributes occ_attr(attr);
  cudaOccDeviceState state;
  state.carveoutConfig = attr.preferredShmemCarveout;
  if (cudaOccAvailableDynamicSMemPerBlock(bytes, &occ_prop, &occ_attr, &state, blocks, block_size) !=
      CUDA_OCC_SUCCESS) {
    return kRtInvalidValue;
  }
  return kRtSuccess;
}

bool KnownCacheConfig(cudaFuncCache config) {
  return config == cudaFuncCachePreferNone || config == cudaFuncCachePreferShared ||
         config == cudaFuncCachePreferL1 || config == cudaFuncCachePreferEqual;
}

}  // namespace

extern "C" {

cudaError_t cudaFuncGetAttributes(cudaFuncAttributes* attr, const void* func) {
  if (attr == nullptr) return Done(kRtInvalidValue);
  Function* function = nullptr;
  cudaDeviceProp prop;
  return Done(Attributes(func, &function, &prop, attr));
}

cudaError_t cudaFuncSetAttribute(const void* func, cudaFuncAttribute attr, int value) {
  return Done(SetAttribute(func, attr, value));
}

cudaError_t cudaFuncGetName(const char** name, const void* func) {
  if (name == nullptr) return Done(kRtInvalidValue);
  const Function* function = ModuleRegistry::Get().FindFunction(func);
  if (function == nullptr) return Done(kRtInvalidDeviceFunction);
  // Functions live until the process ends, and their names with them.
  *name = function->name.c_str();
  return Done(kRtSuccess);
}

cudaError_t cudaFuncGetParamInfo(const void* func, size_t index, size_t* offset, size_t* size) {
  const Function* function = ModuleRegistry::Get().FindFunction(func);
  if (function == nullptr || !function->has_layout) return Done(kRtInvalidDeviceFunction);
  if (offset == nullptr || size == nullptr || index >= function->layout.params.size()) return Done(kRtInvalidValue);
  *offset = function->layout.params[index].offset;
  *size = function->layout.params[index].size;
  return Done(kRtSuccess);
}

cudaError_t cudaFuncSetCacheConfig(const void* func, cudaFuncCache config) {
  if (ModuleRegistry::Get().FindFunction(func) == nullptr) return Done(kRtInvalidDeviceFunction);
  return Done(KnownCacheConfig(config) ? kRtSuccess : kRtInvalidValue);
}

cudaError_t cudaFuncSetSharedMemConfig(const void* func, cudaSharedMemConfig config) {
  if (ModuleRegistry::Get().FindFunction(func) == nullptr) return Done(kRtInvalidDeviceFunction);
  return Done(config <= cudaSharedMemBankSizeEightByte ? kRtSuccess : kRtInvalidValue);
}

cudaError_t cudaDeviceSetCacheConfig(cudaFuncCache config) {
  if (!KnownCacheConfig(config)) return Done(kRtInvalidValue);
  device_cache_config.store(config, std::memory_order_relaxed);
  return Done(kRtSuccess);
}

cudaError_t cudaDeviceGetCacheConfig(cudaFuncCache* config) {
  if (config == nullptr) return Done(kRtInvalidValue);
  *config = static_cast<cudaFuncCache>(device_cache_config.load(std::memory_order_relaxed));
  return Done(kRtSuccess);
}

cudaError_t cudaDeviceSetSharedMemConfig(cudaSharedMemConfig config) {
  return Done(config <= cudaSharedMemBankSizeEightByte ? kRtSuccess : kRtInvalidValue);
}

cudaError_t cudaDeviceGetSharedMemConfig(cudaSharedMemConfig* config) {
  if (config == nullptr) return Done(kRtInvalidValue);
  *config = cudaSharedMemBankSizeFourByte;
  return Done(kRtSuccess);
}

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessor(int* blocks, const void* func, int block_size,
                                                          size_t dynamic_shared) {
  return Done(MaxActiveBlocks(blocks, func, block_size, dynamic_shared, cudaOccupancyDefault));
}

cudaError_t cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(int* blocks, const void* func, int block_size,
                                                                   size_t dynamic_shared, unsigned int flags) {
  return Done(MaxActiveBlocks(blocks, func, block_size, dynamic_shared, flags));
}

cudaError_t cudaOccupancyAvailableDynamicSMemPerBlock(size_t* bytes, const void* func, int blocks, int block_size) {
  return Done(AvailableDynamicShared(bytes, func, blocks, block_size));
}

}  // extern "C"
