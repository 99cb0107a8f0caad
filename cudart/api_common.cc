#include "cudart/api_common.h"

#include <atomic>

#include "common/log.h"
#include "cudart/host_callbacks.h"

namespace cudart {

HandleTable& Streams() {
  // Stream and event numbers never coincide, so one passed for the other is
  // refused.
  static HandleTable* const streams = new HandleTable(0x1000);  // lives until the process ends
  return *streams;
}

HandleTable& Events() {
  static HandleTable* const events = new HandleTable(0x1008);  // lives until the process ends
  return *events;
}

int Usable(int gpu) {
  const int count = Layer().gpu_count();
  if (count == 0) {
    static std::atomic<bool> said{false};
    if (!said.exchange(true, std::memory_order_relaxed)) {
      ZANTU_ERROR("no GPU: this process is not registered with the zantu daemon (is zantu_server running?)");
    }
    return kRtNoDevice;
  }
  if (gpu < 0 || gpu >= count) return kRtInvalidDevice;
  return ErrorState::Sticky(gpu);
}

int ResolveHandle(cudaStream_t stream, bool per_thread, int* gpu, uint64_t* wire) {
  const uint64_t handle = Word(stream);
  if (handle == 0 || handle == Word(cudaStreamLegacy) || handle == Word(cudaStreamPerThread)) {
    *gpu = CurrentGpu();
    const bool thread_stream = handle == Word(cudaStreamPerThread) || (handle == 0 && per_thread);
    *wire = thread_stream ? kPerThreadStream : 0;
    return Usable(*gpu);
  }
  *gpu = Streams().Find(handle);
  if (*gpu < 0) return kRtInvalidResourceHandle;
  *wire = handle;
  return Usable(*gpu);
}

int ResolveStream(cudaStream_t stream, bool per_thread, int* gpu, uint64_t* wire) {
  const int status = ResolveHandle(stream, per_thread, gpu, wire);
  if (status == 0) HostCallbacks::Get().AwaitStream(*gpu, *wire);
  return status;
}

}  // namespace cudart
