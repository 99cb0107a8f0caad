#include <cstring>

#include "common/runtime_calls.h"
#include "cudart/api_common.h"
#include "cudart/copy_engine.h"

// The per-thread form of the stream synchronize a synchronous pitched copy
// ends with (defined in api_stream.cc; the toolkit's header names it only
// for programs built for per-thread streams).
extern "C" cudaError_t cudaStreamSynchronize_ptsz(cudaStream_t stream);

namespace cudart {
namespace {

int AwaitStream(cudaStream_t stream, bool per_thread) {
  return per_thread ? cudaStreamSynchronize_ptsz(stream) : cudaStreamSynchronize(stream);
}

// Byte address of row (y, z) of a pitched pointer, from position `pos`.
char* RowAddress(const cudaPitchedPtr& ptr, const cudaPos& pos, size_t y, size_t z) {
  return static_cast<char*>(ptr.ptr) + ((pos.z + z) * ptr.ysize + pos.y + y) * ptr.pitch + pos.x;
}

}  // namespace

int CopyEngine::Copy2D(void* dst, size_t dst_pitch, const void* src, size_t src_pitch, size_t width,
                       size_t height, cudaMemcpyKind kind, cudaStream_t stream, bool async, bool per_thread) {
  if (width == 0 || height == 0) return kRtSuccess;
  if (dst == nullptr || src == nullptr) return kRtInvalidValue;
  if (width > dst_pitch || width > src_pitch) return cudaErrorInvalidPitchValue;
  if (dst_pitch == width && src_pitch == width) {
    return Copy(dst, src, width * height, kind, stream, async, per_thread);
  }
  for (size_t y = 0; y < height; ++y) {
    const int status = Copy(static_cast<char*>(dst) + y * dst_pitch, static_cast<const char*>(src) + y * src_pitch,
                            width, kind, stream, true, per_thread);
    if (status != 0) return status;
  }
  if (async) return kRtSuccess;
  return AwaitStream(stream, per_thread);
}

int CopyEngine::Copy3D(const cudaMemcpy3DParms& params, cudaStream_t stream, bool async, bool per_thread) {
  if (params.srcArray != nullptr || params.dstArray != nullptr) return kRtNotSupported;
  const cudaExtent& extent = params.extent;
  if (extent.width == 0 || extent.height == 0 || extent.depth == 0) return kRtSuccess;
  if (params.srcPtr.ptr == nullptr || params.dstPtr.ptr == nullptr) return kRtInvalidValue;
  if (extent.width > params.srcPtr.pitch || extent.width > params.dstPtr.pitch) return cudaErrorInvalidPitchValue;
  // Every slice spans ysize rows of its pointer.
  if (extent.depth > 1 && (params.srcPtr.ysize < extent.height || params.dstPtr.ysize < extent.height)) {
    return kRtInvalidValue;
  }
  for (size_t z = 0; z < extent.depth; ++z) {
    for (size_t y = 0; y < extent.height; ++y) {
      const int status = Copy(RowAddress(params.dstPtr, params.dstPos, y, z),
                              RowAddress(params.srcPtr, params.srcPos, y, z), extent.width, params.kind, stream,
                              true, per_thread);
      if (status != 0) return status;
    }
  }
  if (async) return kRtSuccess;
  return AwaitStream(stream, per_thread);
}

int CopyEngine::Set2D(void* dst, size_t pitch, int value, size_t width, size_t height, cudaStream_t stream,
                      bool async, bool per_thread) {
  if (width == 0 || height == 0) return kRtSuccess;
  if (width > pitch) return cudaErrorInvalidPitchValue;
  if (pitch == width) return Set(dst, value, width * height, stream, async, per_thread);
  for (size_t y = 0; y < height; ++y) {
    const int status = Set(static_cast<char*>(dst) + y * pitch, value, width, stream, async, per_thread);
    if (status != 0) return status;
  }
  return kRtSuccess;
}

}  // namespace cudart
