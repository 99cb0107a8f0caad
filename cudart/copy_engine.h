// Copies and memsets as the runtime does them, turned into wire entries:
// the direction made explicit (cudaMemcpyDefault from the allocation table),
// pointers checked against the process's allocations, large transfers split
// into chunks of at most kMaxCopyChunk, and each chunk sent in the mode that
// keeps the caller's contract:
//   host to device, sync      waits; data borrowed from the caller;
//                             large: pipelined as below
//   host to device, async     small: deferred with a copy of the data;
//                             large: no-wait chunks of kPipelinedChunk,
//                             borrowed (written before return)
//   device to host, sync      waits; the answer lands in the caller's buffer;
//                             large: no-wait chunks of kPipelinedChunk that
//                             the caller waits for together, so that one
//                             chunk is copied out while the next travels
//   device to host, async     no-wait chunks of kPipelinedChunk; each answer
//                             lands when it comes, before the answer of any
//                             later sync call
// Chunks of a few MiB let the daemon and the node serve other clients'
// calls between them: no client's copy holds a link for long.
//   device to device          sync waits; async deferred
//   between two GPUs          through this process, a chunk at a time: each
//                             read back from the source GPU (waits), then
//                             sent to the destination as an async copy; a
//                             sync copy ends with a synchronize there. The
//                             GPUs may sit on one node or on two.
// Every function returns a runtime status and records nothing.
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <cstdint>

namespace cudart {

class CopyEngine {
 public:
  // Async copies smaller than this travel deferred with a copy of their data.
  static constexpr size_t kSmallAsyncCopy = size_t{64} << 10;
  // Copies between host and device larger than this travel in chunks of
  // this size (synchronous ones pipelined).
  static constexpr size_t kPipelinedChunk = size_t{4} << 20;

  // cudaMemcpy (async false) and cudaMemcpyAsync; `per_thread` when stream 0
  // is the thread's own default stream.
  static int Copy(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream, bool async,
                  bool per_thread);
  // cudaMemcpyPeer (async false) and cudaMemcpyPeerAsync.
  static int CopyPeer(void* dst, int dst_gpu, const void* src, int src_gpu, size_t count, cudaStream_t stream,
                      bool async, bool per_thread);
  // cudaMemset and cudaMemsetAsync.
  static int Set(void* dst, int value, size_t count, cudaStream_t stream, bool async, bool per_thread);

  // Pitched copies and memsets (copy_pitched.cc): row by row through Copy
  // and Set, or as one piece where the rows are contiguous on both sides; a
  // synchronous one queues its rows and then waits for its stream once.
  static int Copy2D(void* dst, size_t dst_pitch, const void* src, size_t src_pitch, size_t width, size_t height,
                    cudaMemcpyKind kind, cudaStream_t stream, bool async, bool per_thread);
  // cudaMemcpy3D of pitched pointers (arrays are not served).
  static int Copy3D(const cudaMemcpy3DParms& params, cudaStream_t stream, bool async, bool per_thread);
  static int Set2D(void* dst, size_t pitch, int value, size_t width, size_t height, cudaStream_t stream,
                   bool async, bool per_thread);

 private:
  // An explicit-direction copy of any size on `gpu`, in chunks.
  static int CopyChunks(int gpu, uint64_t dst, uint64_t src, uint64_t count, uint64_t kind, uint64_t stream,
                        bool async);
  // One explicit-direction copy of at most kMaxCopyChunk bytes on `gpu`.
  static int CopyChunk(int gpu, uint64_t dst, uint64_t src, uint64_t count, uint64_t kind, uint64_t stream,
                       bool async);
  // A synchronous copy between host and device of any size as no-wait
  // chunks, each a synchronizing cudaMemcpy entry on the node. Returns the
  // first failure.
  static int CopyPipelined(int gpu, uint64_t dst, uint64_t src, uint64_t count, uint64_t kind, uint64_t stream);
  // A copy from `src` on `src_gpu` to `dst` on `dst_gpu`, both checked, on
  // stream `wire` of `stream_gpu` (the legacy stream of a GPU that is not
  // the stream's).
  static int CopyBetweenGpus(uint64_t dst, int dst_gpu, uint64_t src, int src_gpu, uint64_t count, int stream_gpu,
                             uint64_t wire, bool async);
};

}  // namespace cudart
