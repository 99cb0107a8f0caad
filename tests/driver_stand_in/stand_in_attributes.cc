#include "tests/driver_stand_in/stand_in_driver.h"

namespace zantu_stand_in {
namespace {

// What every stand-in GPU reports: the emulated node's GPU (a current
// data-centre part, compute capability 8.0), so that what a program computes
// from them (occupancy, launch bounds) is the same on either backend. The
// PCI bus id tells the devices apart; unlisted attributes are 0.
int AttributeValue(CUdevice_attribute attribute, CUdevice device) {
  switch (attribute) {
    case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_BLOCK: return 1024;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_X: return 1024;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Y: return 1024;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCK_DIM_Z: return 64;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_X: return 2147483647;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Y: return 65535;
    case CU_DEVICE_ATTRIBUTE_MAX_GRID_DIM_Z: return 65535;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK: return kDefaultDynamicShared;
    case CU_DEVICE_ATTRIBUTE_TOTAL_CONSTANT_MEMORY: return 64 << 10;
    case CU_DEVICE_ATTRIBUTE_WARP_SIZE: return 32;
    case CU_DEVICE_ATTRIBUTE_MAX_PITCH: return 2147483647;
    case CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_BLOCK: return 65536;
    case CU_DEVICE_ATTRIBUTE_CLOCK_RATE: return 1500000;
    case CU_DEVICE_ATTRIBUTE_TEXTURE_ALIGNMENT: return 512;
    case CU_DEVICE_ATTRIBUTE_GPU_OVERLAP: return 1;
    case CU_DEVICE_ATTRIBUTE_MULTIPROCESSOR_COUNT: return 16;
    case CU_DEVICE_ATTRIBUTE_CONCURRENT_KERNELS: return 1;
    case CU_DEVICE_ATTRIBUTE_PCI_BUS_ID: return device + 1;
    case CU_DEVICE_ATTRIBUTE_MEMORY_CLOCK_RATE: return 2600000;
    case CU_DEVICE_ATTRIBUTE_GLOBAL_MEMORY_BUS_WIDTH: return 5120;
    case CU_DEVICE_ATTRIBUTE_L2_CACHE_SIZE: return 50 << 20;
    case CU_DEVICE_ATTRIBUTE_MAX_THREADS_PER_MULTIPROCESSOR: return 2048;
    case CU_DEVICE_ATTRIBUTE_ASYNC_ENGINE_COUNT: return 2;
    case CU_DEVICE_ATTRIBUTE_UNIFIED_ADDRESSING: return 1;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR: return 8;
    case CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MINOR: return 0;
    case CU_DEVICE_ATTRIBUTE_GLOBAL_L1_CACHE_SUPPORTED: return 1;
    case CU_DEVICE_ATTRIBUTE_LOCAL_L1_CACHE_SUPPORTED: return 1;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_MULTIPROCESSOR: return 164 << 10;
    case CU_DEVICE_ATTRIBUTE_MAX_REGISTERS_PER_MULTIPROCESSOR: return 65536;
    case CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK_OPTIN: return kOptinShared;
    case CU_DEVICE_ATTRIBUTE_MAX_BLOCKS_PER_MULTIPROCESSOR: return 32;
    case CU_DEVICE_ATTRIBUTE_RESERVED_SHARED_MEMORY_PER_BLOCK: return 1 << 10;
    default: return 0;
  }
}

}  // namespace

CUresult StandInDriver::DeviceAttribute(int* value, CUdevice_attribute attribute, CUdevice device) {
  if (value == nullptr || attribute <= 0 || attribute >= CU_DEVICE_ATTRIBUTE_MAX) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  if (const CUresult result = CheckDevice(device); result != CUDA_SUCCESS) return result;
  *value = AttributeValue(attribute, device);
  return CUDA_SUCCESS;
}

}  // namespace zantu_stand_in
