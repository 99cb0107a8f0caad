#include "cudart/copy_engine.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "common/api_numbers.h"
#include "cudart/api_common.h"
#include "cudart/copy_completion.h"
#include "cudart/device_memory.h"
#include "cudart/graph.h"
#include "cudart/stream_capture.h"

namespace cudart {
namespace {

// A copy whose memory is on another GPU than its stream's goes to that GPU,
// on its legacy stream (or the thread's own stream there).
void MoveToGpu(int memory_gpu, int* gpu, uint64_t* wire) {
  if (memory_gpu < 0 || memory_gpu == *gpu) return;
  *gpu = memory_gpu;
  if (*wire != kPerThreadStream) *wire = 0;
}

// What a capture makes of a copy or memset: kNotCaptured when it runs as
// usual. A synchronous one may not run while it is captured or sees a
// capture (its mode decides); an async one on a captured stream becomes a
// node.
constexpr int kNotCaptured = -1;

// `make` fills the node's work from the call's arguments (a status).
template <typename Make>
int Capture(int gpu, uint64_t wire, bool async, Make make) {
  StreamCapture& capture = StreamCapture::Get();
  if (!async) {
    const int status = capture.CheckUnsafeCall();
    return status != 0 ? status : kNotCaptured;
  }
  if (!capture.Capturing(gpu, wire)) return kNotCaptured;
  NodeWork work;
  const int status = make(&work);
  return status != 0 ? status : capture.Add(gpu, wire, std::move(work));
}

int CaptureCopy(void* dst, const void* src, size_t count, cudaMemcpyKind kind, int gpu, uint64_t wire, bool async) {
  return Capture(gpu, wire, async, [&](NodeWork* work) { return CopyWork1D(dst, src, count, kind, work); });
}

int CaptureSet(void* dst, int value, size_t count, int gpu, uint64_t wire, bool async) {
  return Capture(gpu, wire, async, [&](NodeWork* work) {
    cudaMemsetParams params{};
    params.dst = dst;
    params.value = static_cast<uint8_t>(value);
    params.elementSize = 1;
    params.width = count;
    params.height = 1;
    return SetWork(&params, work);
  });
}

}  // namespace

int CopyEngine::CopyChunk(int gpu, uint64_t dst, uint64_t src, uint64_t count, uint64_t kind, uint64_t stream,
                          bool async) {
  CallPlan plan;
  plan.sink.gpu = gpu;
  std::string copy;
  if (kind == kCopyHostToDevice) {
    if (async && count < kSmallAsyncCopy) {
      // The caller may reuse its buffer once we return: keep a copy.
      plan.mode = CallMode::kDeferred;
      copy.assign(reinterpret_cast<const char*>(src), count);
      plan.owned = &copy;
    } else {
      plan.mode = async ? CallMode::kNoWait : CallMode::kSync;
      plan.borrowed = reinterpret_cast<const void*>(src);
      plan.borrowed_size = count;
    }
  } else if (kind == kCopyDeviceToHost) {
    plan.mode = async ? CallMode::kNoWait : CallMode::kSync;
  } else {
    plan.mode = async ? CallMode::kDeferred : CallMode::kSync;
  }
  if (async) return Layer().Send<k_cudaMemcpyAsync>(gpu, plan, dst, src, count, kind, stream);
  return Layer().Send<k_cudaMemcpy>(gpu, plan, dst, src, count, kind, stream);
}

int CopyEngine::CopyPipelined(int gpu, uint64_t dst, uint64_t src, uint64_t count, uint64_t kind, uint64_t stream) {
  CopyCompletion completion;
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min<uint64_t>(count - done, kPipelinedChunk);
    CallPlan plan;
    plan.mode = CallMode::kNoWait;
    if (kind == kCopyHostToDevice) {
      // Copied into the ring before Call returns.
      plan.borrowed = reinterpret_cast<const void*>(src + done);
      plan.borrowed_size = n;
    }
    plan.sink.gpu = gpu;
    plan.sink.ticket = completion.NewTicket();
    const int status = Layer().Send<k_cudaMemcpy>(gpu, plan, dst + done, src + done, n, kind, stream);
    if (status != 0) {
      // Not written: nothing of it will be answered.
      completion.Fail(status);
      break;
    }
    done += n;
  }
  const int status = completion.Wait();
  // As any synchronizing call, report a failure of an earlier no-wait call.
  const int async = ErrorState::TakeAsyncFailure(gpu);
  return status != 0 ? status : async;
}

int CopyEngine::CopyBetweenGpus(uint64_t dst, int dst_gpu, uint64_t src, int src_gpu, uint64_t count,
                                int stream_gpu, uint64_t wire, bool async) {
  for (int gpu : {dst_gpu, src_gpu}) {
    const int status = Usable(gpu);
    if (status != 0) return status;
  }
  const uint64_t src_wire = src_gpu == stream_gpu ? wire : 0;
  const uint64_t dst_wire = dst_gpu == stream_gpu ? wire : 0;
  // The async copy to the destination has taken the chunk's bytes when it
  // returns, so one staging buffer serves every chunk.
  std::string staging(std::min<uint64_t>(count, kPipelinedChunk), '\0');
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min<uint64_t>(count - done, kPipelinedChunk);
    int status = CopyChunk(src_gpu, Word(staging.data()), src + done, n, kCopyDeviceToHost, src_wire, false);
    if (status == 0) status = CopyChunk(dst_gpu, dst + done, Word(staging.data()), n, kCopyHostToDevice, dst_wire, true);
    if (status != 0) return status;
    done += n;
  }
  if (async) return kRtSuccess;
  return Layer().Send<k_cudaStreamSynchronize>(dst_gpu, CallPlan{}, dst_wire);
}

int CopyEngine::CopyPeer(void* dst, int dst_gpu, const void* src, int src_gpu, size_t count, cudaStream_t stream,
                         bool async, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  const int count_gpus = Layer().gpu_count();
  if (dst_gpu < 0 || dst_gpu >= count_gpus || src_gpu < 0 || src_gpu >= count_gpus) return kRtInvalidDevice;
  if (count == 0) return kRtSuccess;
  DeviceMemory& memory = DeviceMemory::Get();
  if (!memory.Contains(dst_gpu, Word(dst), count) || !memory.Contains(src_gpu, Word(src), count)) {
    return kRtInvalidValue;
  }
  if (dst_gpu == src_gpu) {
    return CopyChunks(dst_gpu, Word(dst), Word(src), count, kCopyDeviceToDevice, dst_gpu == gpu ? wire : 0, async);
  }
  return CopyBetweenGpus(Word(dst), dst_gpu, Word(src), src_gpu, count, gpu, wire, async);
}

int CopyEngine::Copy(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream, bool async,
                     bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  status = CaptureCopy(dst, src, count, kind, gpu, wire, async);
  if (status != kNotCaptured) return status;
  if (count == 0) return kRtSuccess;
  if (dst == nullptr || src == nullptr) return kRtInvalidValue;
  DeviceMemory& memory = DeviceMemory::Get();
  uint64_t direction = 0;
  switch (kind) {
    case cudaMemcpyHostToHost:
      std::memmove(dst, src, count);
      return kRtSuccess;
    // Unified addressing: a device pointer names its GPU, whichever is
    // current.
    case cudaMemcpyHostToDevice:
      direction = kCopyHostToDevice;
      MoveToGpu(memory.FindGpu(Word(dst), gpu), &gpu, &wire);
      break;
    case cudaMemcpyDeviceToHost:
      direction = kCopyDeviceToHost;
      MoveToGpu(memory.FindGpu(Word(src), gpu), &gpu, &wire);
      break;
    case cudaMemcpyDeviceToDevice: {
      const int dst_gpu = memory.FindGpu(Word(dst), gpu);
      const int src_gpu = memory.FindGpu(Word(src), gpu);
      if (dst_gpu >= 0 && src_gpu >= 0 && dst_gpu != src_gpu) {
        if (!memory.Contains(dst_gpu, Word(dst), count) || !memory.Contains(src_gpu, Word(src), count)) {
          return kRtInvalidValue;
        }
        return CopyBetweenGpus(Word(dst), dst_gpu, Word(src), src_gpu, count, gpu, wire, async);
      }
      direction = kCopyDeviceToDevice;
      if (dst_gpu >= 0 && dst_gpu == src_gpu) MoveToGpu(dst_gpu, &gpu, &wire);
      break;
    }
    case cudaMemcpyDefault: {
      const int dst_gpu = memory.FindGpu(Word(dst), gpu);
      const int src_gpu = memory.FindGpu(Word(src), gpu);
      if (dst_gpu < 0 && src_gpu < 0) {
        std::memmove(dst, src, count);
        return kRtSuccess;
      }
      if (dst_gpu >= 0 && src_gpu >= 0 && dst_gpu != src_gpu) {
        if (!memory.Contains(dst_gpu, Word(dst), count) || !memory.Contains(src_gpu, Word(src), count)) {
          return kRtInvalidValue;
        }
        return CopyBetweenGpus(Word(dst), dst_gpu, Word(src), src_gpu, count, gpu, wire, async);
      }
      direction = src_gpu < 0 ? kCopyHostToDevice : dst_gpu < 0 ? kCopyDeviceToHost : kCopyDeviceToDevice;
      MoveToGpu(src_gpu >= 0 ? src_gpu : dst_gpu, &gpu, &wire);
      break;
    }
    default:
      return kRtInvalidMemcpyDirection;
  }
  // The copy may have moved to the GPU of its memory.
  status = Usable(gpu);
  if (status != 0) return status;
  const bool dst_on_device = direction != kCopyDeviceToHost;
  const bool src_on_device = direction != kCopyHostToDevice;
  if ((dst_on_device && !memory.Contains(gpu, Word(dst), count)) ||
      (src_on_device && !memory.Contains(gpu, Word(src), count))) {
    return kRtInvalidValue;
  }
  if (!async && direction != kCopyDeviceToDevice && count > kPipelinedChunk) {
    return CopyPipelined(gpu, Word(dst), Word(src), count, direction, wire);
  }
  return CopyChunks(gpu, Word(dst), Word(src), count, direction, wire, async);
}

int CopyEngine::CopyChunks(int gpu, uint64_t dst, uint64_t src, uint64_t count, uint64_t kind, uint64_t stream,
                           bool async) {
  // Between host and device in records of a few MiB, so that the daemon and
  // the node can serve other clients between them.
  const uint64_t chunk = kind == kCopyDeviceToDevice ? kMaxCopyChunk : kPipelinedChunk;
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min<uint64_t>(count - done, chunk);
    const int status = CopyChunk(gpu, dst + done, src + done, n, kind, stream, async);
    if (status != 0) return status;
    done += n;
  }
  return kRtSuccess;
}

int CopyEngine::Set(void* dst, int value, size_t count, cudaStream_t stream, bool async, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  status = CaptureSet(dst, value, count, gpu, wire, async);
  if (status != kNotCaptured) return status;
  if (count == 0) return kRtSuccess;
  if (!DeviceMemory::Get().Contains(gpu, Word(dst), count)) return kRtInvalidValue;
  CallPlan plan;
  plan.mode = CallMode::kDeferred;
  const uint64_t byte = static_cast<uint8_t>(value);  // the runtime sets bytes to the low 8 bits
  for (uint64_t done = 0; done < count;) {
    const uint64_t n = std::min<uint64_t>(count - done, kMaxCopyChunk);
    status = async ? Layer().Send<k_cudaMemsetAsync>(gpu, plan, Word(dst) + done, byte, n, wire)
                   : Layer().Send<k_cudaMemset>(gpu, plan, Word(dst) + done, byte, n, wire);
    if (status != 0) return status;
    done += n;
  }
  return kRtSuccess;
}

}  // namespace cudart
