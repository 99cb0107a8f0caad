#include "node/backends/emulated_device_info.h"

#include <cstdio>
#include <cstring>

namespace zantu_node {
namespace {

// Device attribute numbers (the runtime's cudaDeviceAttr values).
enum Attr : size_t {
  kMaxThreadsPerBlock = 1,
  kMaxBlockDimX = 2,
  kMaxBlockDimY = 3,
  kMaxBlockDimZ = 4,
  kMaxGridDimX = 5,
  kMaxGridDimY = 6,
  kMaxGridDimZ = 7,
  kMaxSharedMemoryPerBlock = 8,
  kTotalConstantMemory = 9,
  kWarpSize = 10,
  kMaxPitch = 11,
  kMaxRegistersPerBlock = 12,
  kClockRate = 13,
  kTextureAlignment = 14,
  kGpuOverlap = 15,
  kMultiProcessorCount = 16,
  kCanMapHostMemory = 19,
  kConcurrentKernels = 31,
  kPciBusId = 33,
  kPciDeviceId = 34,
  kMemoryClockRate = 36,
  kGlobalMemoryBusWidth = 37,
  kL2CacheSize = 38,
  kMaxThreadsPerMultiProcessor = 39,
  kAsyncEngineCount = 40,
  kUnifiedAddressing = 41,
  kComputeCapabilityMajor = 75,
  kComputeCapabilityMinor = 76,
  kStreamPrioritiesSupported = 78,
  kGlobalL1CacheSupported = 79,
  kLocalL1CacheSupported = 80,
  kMaxSharedMemoryPerMultiprocessor = 81,
  kMaxRegistersPerMultiprocessor = 82,
  kManagedMemory = 83,
  kMaxSharedMemoryPerBlockOptin = 97,
  kMaxBlocksPerMultiprocessor = 106,
  kReservedSharedMemoryPerBlock = 111,
};

}  // namespace

void FillEmulatedDeviceInfo(uint32_t gpu, uint64_t total_mem, DeviceInfo* info) {
  std::memset(info, 0, sizeof(*info));
  std::snprintf(info->name, sizeof(info->name), "Zantu Emulated GPU");
  // A stable, distinct identity per GPU index.
  const char tag[] = "zantu-emulated";
  std::memcpy(info->uuid, tag, sizeof(tag) - 1);
  info->uuid[15] = static_cast<uint8_t>(gpu);
  info->total_mem = total_mem;
  const struct {
    Attr attr;
    int32_t value;
  } values[] = {
      {kMaxThreadsPerBlock, 1024},
      {kMaxBlockDimX, 1024},
      {kMaxBlockDimY, 1024},
      {kMaxBlockDimZ, 64},
      {kMaxGridDimX, 2147483647},
      {kMaxGridDimY, 65535},
      {kMaxGridDimZ, 65535},
      {kMaxSharedMemoryPerBlock, 48 << 10},
      {kTotalConstantMemory, 64 << 10},
      {kWarpSize, 32},
      {kMaxPitch, 2147483647},
      {kMaxRegistersPerBlock, 65536},
      {kClockRate, 1500000},
      {kTextureAlignment, 512},
      {kGpuOverlap, 1},
      {kMultiProcessorCount, 16},
      {kCanMapHostMemory, 0},  // no device pointer of host memory
      {kConcurrentKernels, 1},
      {kPciBusId, static_cast<int32_t>(gpu + 1)},
      {kMemoryClockRate, 2600000},
      {kGlobalMemoryBusWidth, 5120},
      {kL2CacheSize, 50 << 20},
      {kMaxThreadsPerMultiProcessor, 2048},
      {kAsyncEngineCount, 2},
      {kUnifiedAddressing, 1},
      {kComputeCapabilityMajor, 8},
      {kComputeCapabilityMinor, 0},
      {kStreamPrioritiesSupported, 0},  // streams run in order of arrival
      {kGlobalL1CacheSupported, 1},
      {kLocalL1CacheSupported, 1},
      {kMaxSharedMemoryPerMultiprocessor, 164 << 10},
      {kMaxRegistersPerMultiprocessor, 65536},
      {kManagedMemory, 0},
      {kMaxSharedMemoryPerBlockOptin, 163 << 10},
      {kMaxBlocksPerMultiprocessor, 32},
      {kReservedSharedMemoryPerBlock, 1 << 10},
  };
  for (const auto& v : values) info->attrs[v.attr] = v.value;
}

}  // namespace zantu_node
