// Entry points: pitched allocations, and copies and memsets of 2D and 3D
// regions (through CopyEngine's pitched forms).
#include "cudart/api_common.h"
#include "cudart/copy_engine.h"

using namespace cudart;

namespace {

// Rows start on this boundary, as the device's texture pitch alignment asks.
constexpr size_t kPitchAlignment = 512;

size_t PitchOf(size_t width) { return (width + kPitchAlignment - 1) / kPitchAlignment * kPitchAlignment; }

int Set3D(cudaPitchedPtr ptr, int value, cudaExtent extent, cudaStream_t stream, bool async, bool per_thread) {
  if (extent.depth > 1 && ptr.ysize < extent.height) return kRtInvalidValue;
  for (size_t z = 0; z < extent.depth; ++z) {
    char* slice = static_cast<char*>(ptr.ptr) + z * ptr.pitch * ptr.ysize;
    const int status = CopyEngine::Set2D(slice, ptr.pitch, value, extent.width, extent.height, stream, async,
                                         per_thread);
    if (status != 0) return status;
  }
  return kRtSuccess;
}

int Copy3D(const cudaMemcpy3DParms* params, cudaStream_t stream, bool async, bool per_thread) {
  if (params == nullptr) return kRtInvalidValue;
  return CopyEngine::Copy3D(*params, stream, async, per_thread);
}

}  // namespace

extern "C" {

cudaError_t cudaMallocPitch(void** dev_ptr, size_t* pitch, size_t width, size_t height) {
  if (dev_ptr == nullptr || pitch == nullptr) return Done(kRtInvalidValue);
  *pitch = PitchOf(width);
  return cudaMalloc(dev_ptr, *pitch * height);
}

cudaError_t cudaMalloc3D(cudaPitchedPtr* ptr, cudaExtent extent) {
  if (ptr == nullptr) return Done(kRtInvalidValue);
  const size_t pitch = PitchOf(extent.width);
  void* base = nullptr;
  const cudaError_t status = cudaMalloc(&base, pitch * extent.height * extent.depth);
  if (status == cudaSuccess) *ptr = cudaPitchedPtr{base, pitch, extent.width, extent.height};
  return status;
}

cudaError_t cudaMemcpy2D(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                         cudaMemcpyKind kind) {
  return DoneOn(CurrentGpu(), CopyEngine::Copy2D(dst, dpitch, src, spitch, width, height, kind, nullptr, false, false));
}

cudaError_t cudaMemcpy2D_ptds(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                              cudaMemcpyKind kind) {
  return DoneOn(CurrentGpu(), CopyEngine::Copy2D(dst, dpitch, src, spitch, width, height, kind, nullptr, false, true));
}

cudaError_t cudaMemcpy2DAsync(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width, size_t height,
                              cudaMemcpyKind kind, cudaStream_t stream) {
  return DoneOn(CurrentGpu(), CopyEngine::Copy2D(dst, dpitch, src, spitch, width, height, kind, stream, true, false));
}

cudaError_t cudaMemcpy2DAsync_ptsz(void* dst, size_t dpitch, const void* src, size_t spitch, size_t width,
                                   size_t height, cudaMemcpyKind kind, cudaStream_t stream) {
  return DoneOn(CurrentGpu(), CopyEngine::Copy2D(dst, dpitch, src, spitch, width, height, kind, stream, true, true));
}

cudaError_t cudaMemcpy3D(const cudaMemcpy3DParms* params) {
  return DoneOn(CurrentGpu(), Copy3D(params, nullptr, false, false));
}

cudaError_t cudaMemcpy3D_ptds(const cudaMemcpy3DParms* params) {
  return DoneOn(CurrentGpu(), Copy3D(params, nullptr, false, true));
}

cudaError_t cudaMemcpy3DAsync(const cudaMemcpy3DParms* params, cudaStream_t stream) {
  return DoneOn(CurrentGpu(), Copy3D(params, stream, true, false));
}

cudaError_t cudaMemcpy3DAsync_ptsz(const cudaMemcpy3DParms* params, cudaStream_t stream) {
  return DoneOn(CurrentGpu(), Copy3D(params, stream, true, true));
}

cudaError_t cudaMemset2D(void* dst, size_t pitch, int value, size_t width, size_t height) {
  return Done(CopyEngine::Set2D(dst, pitch, value, width, height, nullptr, false, false));
}

cudaError_t cudaMemset2D_ptds(void* dst, size_t pitch, int value, size_t width, size_t height) {
  return Done(CopyEngine::Set2D(dst, pitch, value, width, height, nullptr, false, true));
}

cudaError_t cudaMemset2DAsync(void* dst, size_t pitch, int value, size_t width, size_t height, cudaStream_t stream) {
  return Done(CopyEngine::Set2D(dst, pitch, value, width, height, stream, true, false));
}

cudaError_t cudaMemset2DAsync_ptsz(void* dst, size_t pitch, int value, size_t width, size_t height,
                                   cudaStream_t stream) {
  return Done(CopyEngine::Set2D(dst, pitch, value, width, height, stream, true, true));
}

cudaError_t cudaMemset3D(cudaPitchedPtr ptr, int value, cudaExtent extent) {
  return Done(Set3D(ptr, value, extent, nullptr, false, false));
}

cudaError_t cudaMemset3D_ptds(cudaPitchedPtr ptr, int value, cudaExtent extent) {
  return Done(Set3D(ptr, value, extent, nullptr, false, true));
}

cudaError_t cudaMemset3DAsync(cudaPitchedPtr ptr, int value, cudaExtent extent, cudaStream_t stream) {
  return Done(Set3D(ptr, value, extent, stream, true, false));
}

cudaError_t cudaMemset3DAsync_ptsz(cudaPitchedPtr ptr, int value, cudaExtent extent, cudaStream_t stream) {
  return Done(Set3D(ptr, value, extent, stream, true, true));
}

}  // extern "C"
