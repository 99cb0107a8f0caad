#include "cudart/device_props.h"

#include <cstring>

namespace cudart {

void FillDeviceProp(const DeviceInfo& info, cudaDeviceProp* prop) {
  std::memset(prop, 0, sizeof(*prop));
  static_assert(sizeof(prop->name) == sizeof(info.name));
  std::memcpy(prop->name, info.name, sizeof(prop->name));
  prop->name[sizeof(prop->name) - 1] = '\0';
  std::memcpy(&prop->uuid, info.uuid, sizeof(prop->uuid));
  prop->totalGlobalMem = info.total_mem;
  auto a = [&info](cudaDeviceAttr attr) { return info.attrs[attr]; };
  prop->sharedMemPerBlock = static_cast<size_t>(a(cudaDevAttrMaxSharedMemoryPerBlock));
  prop->regsPerBlock = a(cudaDevAttrMaxRegistersPerBlock);
  prop->warpSize = a(cudaDevAttrWarpSize);
  prop->memPitch = static_cast<size_t>(a(cudaDevAttrMaxPitch));
  prop->maxThreadsPerBlock = a(cudaDevAttrMaxThreadsPerBlock);
  prop->maxThreadsDim[0] = a(cudaDevAttrMaxBlockDimX);
  prop->maxThreadsDim[1] = a(cudaDevAttrMaxBlockDimY);
  prop->maxThreadsDim[2] = a(cudaDevAttrMaxBlockDimZ);
  prop->maxGridSize[0] = a(cudaDevAttrMaxGridDimX);
  prop->maxGridSize[1] = a(cudaDevAttrMaxGridDimY);
  prop->maxGridSize[2] = a(cudaDevAttrMaxGridDimZ);
  prop->totalConstMem = static_cast<size_t>(a(cudaDevAttrTotalConstantMemory));
  prop->major = a(cudaDevAttrComputeCapabilityMajor);
  prop->minor = a(cudaDevAttrComputeCapabilityMinor);
  prop->textureAlignment = static_cast<size_t>(a(cudaDevAttrTextureAlignment));
  prop->texturePitchAlignment = static_cast<size_t>(a(cudaDevAttrTexturePitchAlignment));
  prop->multiProcessorCount = a(cudaDevAttrMultiProcessorCount);
  prop->integrated = a(cudaDevAttrIntegrated);
  prop->canMapHostMemory = a(cudaDevAttrCanMapHostMemory);
  prop->surfaceAlignment = static_cast<size_t>(a(cudaDevAttrSurfaceAlignment));
  prop->concurrentKernels = a(cudaDevAttrConcurrentKernels);
  prop->ECCEnabled = a(cudaDevAttrEccEnabled);
  prop->pciBusID = a(cudaDevAttrPciBusId);
  prop->pciDeviceID = a(cudaDevAttrPciDeviceId);
  prop->pciDomainID = a(cudaDevAttrPciDomainId);
  prop->tccDriver = a(cudaDevAttrTccDriver);
  prop->asyncEngineCount = a(cudaDevAttrAsyncEngineCount);
  prop->unifiedAddressing = a(cudaDevAttrUnifiedAddressing);
  prop->memoryBusWidth = a(cudaDevAttrGlobalMemoryBusWidth);
  prop->l2CacheSize = a(cudaDevAttrL2CacheSize);
  prop->persistingL2CacheMaxSize = a(cudaDevAttrMaxPersistingL2CacheSize);
  prop->maxThreadsPerMultiProcessor = a(cudaDevAttrMaxThreadsPerMultiProcessor);
  prop->streamPrioritiesSupported = a(cudaDevAttrStreamPrioritiesSupported);
  prop->globalL1CacheSupported = a(cudaDevAttrGlobalL1CacheSupported);
  prop->localL1CacheSupported = a(cudaDevAttrLocalL1CacheSupported);
  prop->sharedMemPerMultiprocessor = static_cast<size_t>(a(cudaDevAttrMaxSharedMemoryPerMultiprocessor));
  prop->regsPerMultiprocessor = a(cudaDevAttrMaxRegistersPerMultiprocessor);
  prop->managedMemory = a(cudaDevAttrManagedMemory);
  prop->isMultiGpuBoard = a(cudaDevAttrIsMultiGpuBoard);
  prop->multiGpuBoardGroupID = a(cudaDevAttrMultiGpuBoardGroupID);
  prop->hostNativeAtomicSupported = a(cudaDevAttrHostNativeAtomicSupported);
  prop->pageableMemoryAccess = a(cudaDevAttrPageableMemoryAccess);
  prop->concurrentManagedAccess = a(cudaDevAttrConcurrentManagedAccess);
  prop->computePreemptionSupported = a(cudaDevAttrComputePreemptionSupported);
  prop->canUseHostPointerForRegisteredMem = a(cudaDevAttrCanUseHostPointerForRegisteredMem);
  prop->cooperativeLaunch = a(cudaDevAttrCooperativeLaunch);
  prop->sharedMemPerBlockOptin = static_cast<size_t>(a(cudaDevAttrMaxSharedMemoryPerBlockOptin));
  prop->pageableMemoryAccessUsesHostPageTables = a(cudaDevAttrPageableMemoryAccessUsesHostPageTables);
  prop->directManagedMemAccessFromHost = a(cudaDevAttrDirectManagedMemAccessFromHost);
  prop->maxBlocksPerMultiProcessor = a(cudaDevAttrMaxBlocksPerMultiprocessor);
  prop->accessPolicyMaxWindowSize = a(cudaDevAttrMaxAccessPolicyWindowSize);
  prop->reservedSharedMemPerBlock = static_cast<size_t>(a(cudaDevAttrReservedSharedMemoryPerBlock));
  prop->hostRegisterSupported = a(cudaDevAttrHostRegisterSupported);
  prop->memoryPoolsSupported = a(cudaDevAttrMemoryPoolsSupported);
  prop->clusterLaunch = a(cudaDevAttrClusterLaunch);
}

void WithdrawUnserved(DeviceInfo* info) {
  static constexpr cudaDeviceAttr kUnserved[] = {
      cudaDevAttrCanMapHostMemory,
      cudaDevAttrCanUseHostPointerForRegisteredMem,
      cudaDevAttrHostNativeAtomicSupported,
      cudaDevAttrHostRegisterReadOnlySupported,
      cudaDevAttrManagedMemory,
      cudaDevAttrConcurrentManagedAccess,
      cudaDevAttrPageableMemoryAccess,
      cudaDevAttrPageableMemoryAccessUsesHostPageTables,
      cudaDevAttrDirectManagedMemAccessFromHost,
      cudaDevAttrStreamPrioritiesSupported,
      cudaDevAttrMaxAccessPolicyWindowSize,
      cudaDevAttrCooperativeLaunch,
      cudaDevAttrClusterLaunch,
      cudaDevAttrMemoryPoolsSupported,
      cudaDevAttrMemoryPoolSupportedHandleTypes,
      cudaDevAttrIpcEventSupport,
      cudaDevAttrGPUDirectRDMASupported,
      cudaDevAttrGPUDirectRDMAFlushWritesOptions,
      cudaDevAttrGPUDirectRDMAWritesOrdering,
      cudaDevAttrSparseCudaArraySupported,
      cudaDevAttrTimelineSemaphoreInteropSupported,
      cudaDevAttrDeferredMappingCudaArraySupported,
      cudaDevAttrHostNumaMultinodeIpcSupported,
      cudaDevAttrD3D12CigSupported,
  };
  for (cudaDeviceAttr attr : kUnserved) {
    static_assert(sizeof(info->attrs) / sizeof(info->attrs[0]) == kDeviceAttrSlots);
    if (static_cast<size_t>(attr) < kDeviceAttrSlots) info->attrs[attr] = 0;
  }
  info->attrs[cudaDevAttrHostRegisterSupported] = 1;
}

}  // namespace cudart
