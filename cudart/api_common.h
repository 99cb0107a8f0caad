// What the runtime entry points (api_*.cc) share: the layer, the handle
// tables, and the steps every call takes (registered? sticky error? which
// GPU and wire stream?).
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>

#include "common/runtime_calls.h"
#include "cudart/error_state.h"
#include "cudart/handle_table.h"
#include "cudart/pinned_memory.h"
#include "cudart/runtime_layer.h"

namespace cudart {

inline RuntimeLayer& Layer() { return RuntimeLayer::Get(); }
inline int CurrentGpu() { return Layer().GetCurrentGpu(); }

HandleTable& Streams();
HandleTable& Events();

// The result a call hands its caller, recorded as the thread's last error.
inline cudaError_t Done(int status) { return static_cast<cudaError_t>(ErrorState::Record(status)); }
inline cudaError_t DoneOn(int gpu, int status) { return static_cast<cudaError_t>(ErrorState::RecordOn(gpu, status)); }

// 0 when calls may go to `gpu`; otherwise the status the call fails with:
// no device when the process is not registered with the daemon (logged
// once), an invalid device, or the GPU's sticky error.
int Usable(int gpu);

// The GPU and the wire stream of `stream`; `per_thread` when the program was
// built for per-thread default streams (stream 0 is then the thread's own).
// A runtime status.
int ResolveHandle(cudaStream_t stream, bool per_thread, int* gpu, uint64_t* wire);
// ResolveHandle for a call that queues work on the stream or waits for it:
// returns once the host functions that such work must follow have run.
int ResolveStream(cudaStream_t stream, bool per_thread, int* gpu, uint64_t* wire);

inline uint64_t Word(const void* p) { return reinterpret_cast<uint64_t>(p); }

}  // namespace cudart
