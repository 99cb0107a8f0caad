// The exported entry points of the driver stand-in (a test tool; see
// stand_in_driver.h). Each is defined under the plain name; cuda.h maps the
// ones that have versions to their versioned names (cuMemAlloc to
// cuMemAlloc_v2, ...), so the library exports exactly what a loader looks
// up, and every signature is checked against the toolkit's declaration.
#include <cuda.h>

#include <cstdio>

#include "tests/driver_stand_in/stand_in_driver.h"

#define ZANTU_STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using zantu_stand_in::StandInDriver;
using CopyKind = StandInDriver::CopyKind;

StandInDriver& D() { return StandInDriver::Get(); }

// Says, once per process, what was loaded in place of the driver.
__attribute__((constructor)) void AnnounceStandIn() {
  std::fprintf(stderr,
               "zantu test stand-in for libcuda.so.1: host memory and CPU kernel libraries, not a GPU driver\n");
}

}  // namespace

ZANTU_STAND_IN_EXPORT CUresult cuInit(unsigned int flags) { return D().Init(flags); }

ZANTU_STAND_IN_EXPORT CUresult cuDriverGetVersion(int* version) {
  if (version == nullptr) return CUDA_ERROR_INVALID_VALUE;
  *version = CUDA_VERSION;
  return CUDA_SUCCESS;
}

ZANTU_STAND_IN_EXPORT CUresult cuDeviceGetCount(int* count) { return D().DeviceCount(count); }
ZANTU_STAND_IN_EXPORT CUresult cuDeviceGet(CUdevice* device, int ordinal) { return D().DeviceGet(device, ordinal); }
ZANTU_STAND_IN_EXPORT CUresult cuDeviceGetName(char* name, int length, CUdevice device) {
  return D().DeviceName(name, length, device);
}
ZANTU_STAND_IN_EXPORT CUresult cuDeviceGetAttribute(int* value, CUdevice_attribute attribute, CUdevice device) {
  return D().DeviceAttribute(value, attribute, device);
}
ZANTU_STAND_IN_EXPORT CUresult cuDeviceTotalMem(size_t* bytes, CUdevice device) {
  return D().DeviceTotalMem(bytes, device);
}
ZANTU_STAND_IN_EXPORT CUresult cuDeviceGetUuid(CUuuid* uuid, CUdevice device) { return D().DeviceUuid(uuid, device); }

ZANTU_STAND_IN_EXPORT CUresult cuDevicePrimaryCtxRetain(CUcontext* context, CUdevice device) {
  return D().PrimaryRetain(context, device);
}
ZANTU_STAND_IN_EXPORT CUresult cuDevicePrimaryCtxRelease(CUdevice device) { return D().PrimaryRelease(device); }
ZANTU_STAND_IN_EXPORT CUresult cuDevicePrimaryCtxReset(CUdevice device) { return D().PrimaryReset(device); }
ZANTU_STAND_IN_EXPORT CUresult cuCtxSetCurrent(CUcontext context) { return D().SetCurrent(context); }
ZANTU_STAND_IN_EXPORT CUresult cuCtxSynchronize() { return D().Synchronize(); }
ZANTU_STAND_IN_EXPORT CUresult cuCtxEnablePeerAccess(CUcontext peer, unsigned int flags) {
  return D().PeerAccess(peer, flags, true);
}
ZANTU_STAND_IN_EXPORT CUresult cuCtxDisablePeerAccess(CUcontext peer) { return D().PeerAccess(peer, 0, false); }

ZANTU_STAND_IN_EXPORT CUresult cuMemAlloc(CUdeviceptr* pointer, size_t size) { return D().MemAlloc(pointer, size); }
ZANTU_STAND_IN_EXPORT CUresult cuMemFree(CUdeviceptr pointer) { return D().MemFree(pointer); }
ZANTU_STAND_IN_EXPORT CUresult cuMemGetInfo(size_t* free, size_t* total) { return D().MemGetInfo(free, total); }
ZANTU_STAND_IN_EXPORT CUresult cuMemcpyHtoDAsync(CUdeviceptr dst, const void* src, size_t count, CUstream stream) {
  return D().Copy(reinterpret_cast<void*>(dst), src, count, CopyKind::kHostToDevice, stream);
}
ZANTU_STAND_IN_EXPORT CUresult cuMemcpyDtoHAsync(void* dst, CUdeviceptr src, size_t count, CUstream stream) {
  return D().Copy(dst, reinterpret_cast<const void*>(src), count, CopyKind::kDeviceToHost, stream);
}
ZANTU_STAND_IN_EXPORT CUresult cuMemcpyDtoDAsync(CUdeviceptr dst, CUdeviceptr src, size_t count, CUstream stream) {
  return D().Copy(reinterpret_cast<void*>(dst), reinterpret_cast<const void*>(src), count,
                  CopyKind::kDeviceToDevice, stream);
}
ZANTU_STAND_IN_EXPORT CUresult cuMemsetD8Async(CUdeviceptr dst, unsigned char value, size_t count,
                                               CUstream stream) {
  return D().MemsetD8(dst, value, count, stream);
}

ZANTU_STAND_IN_EXPORT CUresult cuStreamCreate(CUstream* stream, unsigned int flags) {
  return D().StreamCreate(stream, flags);
}
ZANTU_STAND_IN_EXPORT CUresult cuStreamDestroy(CUstream stream) { return D().StreamDestroy(stream); }
ZANTU_STAND_IN_EXPORT CUresult cuStreamSynchronize(CUstream stream) { return D().StreamReady(stream); }
ZANTU_STAND_IN_EXPORT CUresult cuStreamQuery(CUstream stream) { return D().StreamReady(stream); }
ZANTU_STAND_IN_EXPORT CUresult cuStreamWaitEvent(CUstream stream, CUevent event, unsigned int flags) {
  return D().StreamWaitEvent(stream, event, flags);
}

ZANTU_STAND_IN_EXPORT CUresult cuEventCreate(CUevent* event, unsigned int flags) {
  return D().EventCreate(event, flags);
}
ZANTU_STAND_IN_EXPORT CUresult cuEventRecord(CUevent event, CUstream stream) { return D().EventRecord(event, stream); }
ZANTU_STAND_IN_EXPORT CUresult cuEventSynchronize(CUevent event) { return D().EventReady(event); }
ZANTU_STAND_IN_EXPORT CUresult cuEventQuery(CUevent event) { return D().EventReady(event); }
ZANTU_STAND_IN_EXPORT CUresult cuEventElapsedTime(float* ms, CUevent start, CUevent end) {
  return D().EventElapsedTime(ms, start, end);
}
ZANTU_STAND_IN_EXPORT CUresult cuEventDestroy(CUevent event) { return D().EventDestroy(event); }

ZANTU_STAND_IN_EXPORT CUresult cuModuleLoadData(CUmodule* module, const void* image) {
  return D().ModuleLoadData(module, image);
}
ZANTU_STAND_IN_EXPORT CUresult cuModuleUnload(CUmodule module) { return D().ModuleUnload(module); }
ZANTU_STAND_IN_EXPORT CUresult cuModuleGetFunction(CUfunction* function, CUmodule module, const char* name) {
  return D().ModuleGetFunction(function, module, name);
}
ZANTU_STAND_IN_EXPORT CUresult cuModuleGetGlobal(CUdeviceptr* pointer, size_t* bytes, CUmodule module,
                                                 const char* name) {
  return D().ModuleGetGlobal(pointer, bytes, module, name);
}
ZANTU_STAND_IN_EXPORT CUresult cuFuncSetAttribute(CUfunction function, CUfunction_attribute attribute, int value) {
  return D().FuncSetAttribute(function, attribute, value);
}
ZANTU_STAND_IN_EXPORT CUresult cuLaunchKernel(CUfunction function, unsigned int grid_x, unsigned int grid_y,
                                              unsigned int grid_z, unsigned int block_x, unsigned int block_y,
                                              unsigned int block_z, unsigned int shared, CUstream stream,
                                              void** kernel_params, void** extra) {
  const unsigned grid[3] = {grid_x, grid_y, grid_z};
  const unsigned block[3] = {block_x, block_y, block_z};
  return D().LaunchKernel(function, grid, block, shared, stream, kernel_params, extra);
}
