// Entry points: devices, versions and errors.
#include <cstring>

#include "common/api_numbers.h"
#include "cudart/api_common.h"
#include "cudart/host_callbacks.h"
#include "cudart/device_cache.h"
#include "cudart/device_memory.h"
#include "cudart/device_props.h"
#include "cudart/module_registry.h"
#include "cudart/stream_capture.h"

using namespace cudart;

namespace {

bool SameNode(int device, int peer) { return device != peer && Layer().node_of(device) == Layer().node_of(peer); }

// 0 when both GPUs exist; otherwise why not (a sticky error does not count:
// the question is about the devices, not their state).
int BothExist(int device, int peer) {
  for (int gpu : {device, peer}) {
    const int status = Usable(gpu);
    if (status == kRtNoDevice || status == kRtInvalidDevice) return status;
  }
  return kRtSuccess;
}

// cudaDeviceEnablePeerAccess / DisablePeerAccess from the current GPU; the
// node names the peer by its own index.
int PeerAccess(int peer, bool enable) {
  const int gpu = CurrentGpu();
  int status = Usable(gpu);
  if (status != 0) return status;
  status = Usable(peer);
  if (status == kRtNoDevice || status == kRtInvalidDevice) return status;
  if (peer == gpu) return kRtInvalidDevice;
  if (!SameNode(gpu, peer)) return kRtPeerAccessUnsupported;
  const uint64_t index = Layer().GetRegisterInfo()->gpu_indexes[peer];
  return enable ? Layer().Send<k_cudaDeviceEnablePeerAccess>(gpu, CallPlan{}, index)
                : Layer().Send<k_cudaDeviceDisablePeerAccess>(gpu, CallPlan{}, index);
}

// The toolkit release this library stands in for.
constexpr int kRuntimeVersion = 13000;

}  // namespace

extern "C" {

cudaError_t cudaGetDeviceCount(int* count) {
  if (count == nullptr) return Done(kRtInvalidValue);
  // Answered from the registration: no round trip.
  *count = Layer().gpu_count();
  return Done(*count == 0 ? Usable(0) : static_cast<int>(kRtSuccess));
}

cudaError_t cudaSetDevice(int device) {
  const int status = Usable(device);
  if (status == kRtNoDevice || status == kRtInvalidDevice) return Done(status);
  // A sticky error of the device is reported by the calls that use it.
  Layer().SetCurrentGpu(device);
  return Done(kRtSuccess);
}

// Scheduling flags decide how a host thread waits for its GPU; ours always
// waits for an answer, so they are kept and reported, nothing more.
thread_local unsigned int device_flags = 0;

cudaError_t cudaSetDeviceFlags(unsigned int flags) {
  constexpr unsigned int kKnown = cudaDeviceScheduleMask | cudaDeviceMapHost | cudaDeviceLmemResizeToMax |
                                  cudaDeviceSyncMemops;
  if ((flags & ~kKnown) != 0) return Done(kRtInvalidValue);
  const int status = Usable(CurrentGpu());
  if (status == kRtNoDevice || status == kRtInvalidDevice) return Done(status);
  device_flags = flags;
  return Done(kRtSuccess);
}

cudaError_t cudaGetDeviceFlags(unsigned int* flags) {
  if (flags == nullptr) return Done(kRtInvalidValue);
  const int status = Usable(CurrentGpu());
  if (status == kRtNoDevice || status == kRtInvalidDevice) return Done(status);
  *flags = device_flags;
  return Done(kRtSuccess);
}

cudaError_t cudaInitDevice(int device, unsigned int device_flags_in, unsigned int flags) {
  const int status = Usable(device);
  return Done(status == kRtNoDevice || status == kRtInvalidDevice ? status : static_cast<int>(kRtSuccess));
}

// Kernels may reach another GPU's memory where both GPUs sit on one node;
// GPUs of a process on different machines have no peer access (copies
// between them work all the same).
cudaError_t cudaDeviceCanAccessPeer(int* can_access, int device, int peer) {
  if (can_access == nullptr) return Done(kRtInvalidValue);
  if (const int status = BothExist(device, peer); status != 0) return Done(status);
  *can_access = SameNode(device, peer) ? 1 : 0;
  return Done(kRtSuccess);
}

cudaError_t cudaDeviceEnablePeerAccess(int peer, unsigned int flags) {
  if (flags != 0) return Done(kRtInvalidValue);
  return Done(PeerAccess(peer, true));
}

cudaError_t cudaDeviceDisablePeerAccess(int peer) { return Done(PeerAccess(peer, false)); }

cudaError_t cudaDeviceGetP2PAttribute(int* value, cudaDeviceP2PAttr attr, int device, int peer) {
  if (value == nullptr) return Done(kRtInvalidValue);
  if (const int status = BothExist(device, peer); status != 0) return Done(status);
  if (device == peer) return Done(kRtInvalidDevice);
  switch (attr) {
    case cudaDevP2PAttrAccessSupported:
    case cudaDevP2PAttrNativeAtomicSupported:
      *value = SameNode(device, peer) ? 1 : 0;
      break;
    case cudaDevP2PAttrPerformanceRank:
    case cudaDevP2PAttrCudaArrayAccessSupported:
      *value = 0;
      break;
    default:
      return Done(kRtInvalidValue);
  }
  return Done(kRtSuccess);
}

cudaError_t cudaGetDevice(int* device) {
  if (device == nullptr) return Done(kRtInvalidValue);
  if (Layer().gpu_count() == 0) return Done(Usable(0));
  *device = CurrentGpu();
  return Done(kRtSuccess);
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  if (prop == nullptr) return Done(kRtInvalidValue);
  DeviceInfo info;
  const int status = DeviceCache::Get().Info(device, &info);
  if (status != 0) return Done(status);
  FillDeviceProp(info, prop);
  return Done(kRtSuccess);
}

cudaError_t cudaDeviceGetAttribute(int* value, cudaDeviceAttr attr, int device) {
  if (value == nullptr || static_cast<int>(attr) <= 0 || static_cast<size_t>(attr) >= kDeviceAttrSlots) {
    return Done(kRtInvalidValue);
  }
  DeviceInfo info;
  const int status = DeviceCache::Get().Info(device, &info);
  if (status != 0) return Done(status);
  *value = info.attrs[attr];
  return Done(kRtSuccess);
}

cudaError_t cudaDeviceSynchronize(void) {
  const int gpu = CurrentGpu();
  int status = StreamCapture::Get().CheckUnsafeCall();
  if (status != 0) return Done(status);
  HostCallbacks::Get().AwaitGpu(gpu);
  status = Usable(gpu);
  if (status == 0) status = Layer().Send<k_cudaDeviceSynchronize>(gpu, CallPlan{});
  return DoneOn(gpu, status);
}

cudaError_t cudaDeviceReset(void) {
  const int gpu = CurrentGpu();
  const int count = Layer().gpu_count();
  if (count == 0 || gpu < 0 || gpu >= count) return Done(Usable(gpu));
  const int status = Layer().Send<k_cudaDeviceReset>(gpu, CallPlan{});
  // Whatever the node said, the program must not use the old handles again.
  DeviceMemory::Get().ClearGpu(gpu);
  ModuleRegistry::Get().ForgetGpu(gpu);
  Streams().ClearGpu(gpu);
  Events().ClearGpu(gpu);
  ErrorState::ClearGpu(gpu);
  return Done(status);
}

cudaError_t cudaRuntimeGetVersion(int* version) {
  if (version == nullptr) return Done(kRtInvalidValue);
  *version = kRuntimeVersion;
  return Done(kRtSuccess);
}

cudaError_t cudaDriverGetVersion(int* version) {
  if (version == nullptr) return Done(kRtInvalidValue);
  return Done(DeviceCache::Get().DriverVersion(version));
}

cudaError_t cudaGetLastError(void) { return static_cast<cudaError_t>(ErrorState::TakeLast(CurrentGpu())); }

cudaError_t cudaPeekAtLastError(void) { return static_cast<cudaError_t>(ErrorState::PeekLast(CurrentGpu())); }

}  // extern "C"
