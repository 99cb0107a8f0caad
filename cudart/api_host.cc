// Entry points: page-locked host memory the program registers, and the
// profiler's switches. Host memory stays in this process: it is pinned for
// the copy engine's sake, but no GPU can map it (canMapHostMemory reads 0).
#include <cuda_profiler_api.h>

#include "cudart/api_common.h"

using namespace cudart;

namespace {

// Flags that change nothing here beyond what the runtime promises: every
// registered range is pinned for copies and reachable from every GPU's copies.
constexpr unsigned int kServedRegisterFlags = cudaHostRegisterPortable | cudaHostRegisterMapped;
constexpr unsigned int kKnownRegisterFlags =
    kServedRegisterFlags | cudaHostRegisterIoMemory | cudaHostRegisterReadOnly;

int RegisterHost(void* ptr, size_t size, unsigned int flags) {
  if (ptr == nullptr || size == 0 || (flags & ~kKnownRegisterFlags) != 0) return kRtInvalidValue;
  // I/O memory and read-only ranges need the GPU to map host pages.
  if ((flags & ~kServedRegisterFlags) != 0) return cudaErrorNotSupported;
  // Registration belongs to a device context, as page-locked allocations do.
  const int status = Usable(CurrentGpu());
  if (status != 0) return status;
  if (PinnedMemory::Get().Register(ptr, size, flags) == PinnedMemory::Registered::kOverlaps) {
    return cudaErrorHostMemoryAlreadyRegistered;
  }
  return kRtSuccess;
}

}  // namespace

extern "C" {

// Nothing here collects a profile; a program that brackets its work with
// these goes on as under a profiler that is not attached.
cudaError_t cudaProfilerStart(void) { return Done(kRtSuccess); }
cudaError_t cudaProfilerStop(void) { return Done(kRtSuccess); }

cudaError_t cudaHostRegister(void* ptr, size_t size, unsigned int flags) {
  return Done(RegisterHost(ptr, size, flags));
}

cudaError_t cudaHostUnregister(void* ptr) {
  if (ptr == nullptr) return Done(kRtInvalidValue);
  if (!PinnedMemory::Get().Unregister(ptr)) return Done(cudaErrorHostMemoryNotRegistered);
  return Done(kRtSuccess);
}

cudaError_t cudaHostGetFlags(unsigned int* flags, void* host) {
  if (flags == nullptr || host == nullptr) return Done(kRtInvalidValue);
  return Done(PinnedMemory::Get().FlagsOf(host, flags) ? kRtSuccess : kRtInvalidValue);
}

// No GPU here can reach host memory: there is no device pointer to give.
cudaError_t cudaHostGetDevicePointer(void** device, void* host, unsigned int flags) {
  if (device == nullptr || host == nullptr || flags != 0) return Done(kRtInvalidValue);
  unsigned int host_flags = 0;
  if (!PinnedMemory::Get().FlagsOf(host, &host_flags)) return Done(kRtInvalidValue);
  return Done(cudaErrorNotSupported);
}

}  // extern "C"
