// Entry points: streams and events. Handles are the library's numbers; each
// call goes to the GPU its stream or event was created on.
#include "common/api_numbers.h"
#include "cudart/api_common.h"
#include "cudart/host_callbacks.h"
#include "cudart/graph.h"
#include "cudart/stream_capture.h"

using namespace cudart;

namespace {

CallPlan Deferred() {
  CallPlan plan;
  plan.mode = CallMode::kDeferred;
  return plan;
}

int CreateStream(cudaStream_t* stream, unsigned int flags) {
  if (stream == nullptr || (flags & ~static_cast<unsigned int>(cudaStreamNonBlocking)) != 0) return kRtInvalidValue;
  const int gpu = CurrentGpu();
  int status = Usable(gpu);
  if (status != 0) return status;
  const uint64_t handle = Streams().Create(gpu);
  status = Layer().Send<k_cudaStreamCreate>(gpu, Deferred(), handle, uint64_t{flags});
  if (status != 0) {
    Streams().Remove(handle);
    return status;
  }
  *stream = reinterpret_cast<cudaStream_t>(handle);
  return kRtSuccess;
}

// A sync call about stream `stream`: synchronize or query.
template <uint32_t kApi>
int StreamWait(cudaStream_t stream, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  status = StreamCapture::Get().CheckStreamSync(gpu, wire);
  if (status != 0) return status;
  return ErrorState::RecordOn(gpu, Layer().Send<kApi>(gpu, CallPlan{}, wire));
}

// A stream with host functions still to run is not ready: asked without
// waiting for them.
int QueryStream(cudaStream_t stream, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveHandle(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  status = StreamCapture::Get().CheckStreamSync(gpu, wire);
  if (status != 0) return status;
  if (HostCallbacks::Get().Pending(gpu, wire)) return cudaErrorNotReady;
  return StreamWait<k_cudaStreamQuery>(stream, per_thread);
}

int CreateEvent(cudaEvent_t* event, unsigned int flags) {
  constexpr unsigned int kKnown = cudaEventBlockingSync | cudaEventDisableTiming | cudaEventInterprocess;
  if (event == nullptr || (flags & ~kKnown) != 0) return kRtInvalidValue;
  const int gpu = CurrentGpu();
  int status = Usable(gpu);
  if (status != 0) return status;
  const uint64_t handle = Events().Create(gpu);
  status = Layer().Send<k_cudaEventCreate>(gpu, Deferred(), handle, uint64_t{flags});
  if (status != 0) {
    Events().Remove(handle);
    return status;
  }
  *event = reinterpret_cast<cudaEvent_t>(handle);
  return kRtSuccess;
}

int RecordEvent(cudaEvent_t event, cudaStream_t stream, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  const int event_gpu = Events().Find(Word(event));
  if (event_gpu < 0) return kRtInvalidResourceHandle;
  if (event_gpu != gpu) return kRtInvalidResourceHandle;  // an event records on its own GPU only
  if (StreamCapture::Get().RecordEvent(gpu, wire, Word(event), &status)) return status;
  return Layer().Send<k_cudaEventRecord>(gpu, Deferred(), Word(event), wire);
}

// A sync call about one event.
template <uint32_t kApi>
int EventWait(cudaEvent_t event) {
  const int gpu = Events().Find(Word(event));
  if (gpu < 0) return kRtInvalidResourceHandle;
  int status = Usable(gpu);
  if (status != 0) return status;
  return ErrorState::RecordOn(gpu, Layer().Send<kApi>(gpu, CallPlan{}, Word(event)));
}

int StreamDevice(cudaStream_t stream, int* device, bool per_thread) {
  if (device == nullptr) return kRtInvalidValue;
  int gpu = -1;
  uint64_t wire = 0;
  const int status = ResolveHandle(stream, per_thread, &gpu, &wire);
  if (status == 0) *device = gpu;
  return status;
}

int WaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  if (Events().Find(Word(event)) < 0) return kRtInvalidResourceHandle;
  if (StreamCapture::Get().WaitEvent(gpu, wire, Word(event), &status)) return status;
  return Layer().Send<k_cudaStreamWaitEvent>(gpu, Deferred(), wire, Word(event), uint64_t{flags});
}

// The adapters from a queued host function to what the program gave.
void RunHostFn(void* data, int, void* function) { reinterpret_cast<cudaHostFn_t>(function)(data); }

struct StreamCallback {
  cudaStreamCallback_t callback;
  cudaStream_t stream;
  void* data;
};

void RunStreamCallback(void* data, int status, void*) {
  auto* callback = static_cast<StreamCallback*>(data);
  callback->callback(callback->stream, static_cast<cudaError_t>(status), callback->data);
  delete callback;
}

int LaunchHostFunc(cudaStream_t stream, cudaHostFn_t function, void* data, bool per_thread) {
  if (function == nullptr) return kRtInvalidValue;
  int gpu = -1;
  uint64_t wire = 0;
  const int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  StreamCapture& capture = StreamCapture::Get();
  if (capture.Capturing(gpu, wire)) {
    const cudaHostNodeParams params{function, data};
    NodeWork work;
    HostWork(&params, &work);
    return capture.Add(gpu, wire, std::move(work));
  }
  return HostCallbacks::Get().Enqueue(gpu, wire, RunHostFn, data, reinterpret_cast<void*>(function));
}

int AddCallback(cudaStream_t stream, cudaStreamCallback_t callback, void* data, unsigned int flags,
                bool per_thread) {
  if (callback == nullptr || flags != 0) return kRtInvalidValue;
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  // Not capturable (CUDA's rule): cudaLaunchHostFunc is.
  status = StreamCapture::Get().CheckStreamSync(gpu, wire);
  if (status != 0) return status;
  auto* adapter = new StreamCallback{callback, stream, data};
  status = HostCallbacks::Get().Enqueue(gpu, wire, RunStreamCallback, adapter, nullptr);
  if (status != 0) delete adapter;
  return status;
}

}  // namespace

extern "C" {

cudaError_t cudaStreamCreate(cudaStream_t* stream) { return Done(CreateStream(stream, cudaStreamDefault)); }

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned int flags) {
  return Done(CreateStream(stream, flags));
}

// Priorities are hints the nodes do not take: every stream has the default.
cudaError_t cudaStreamCreateWithPriority(cudaStream_t* stream, unsigned int flags, int priority) {
  return Done(CreateStream(stream, flags));
}

cudaError_t cudaDeviceGetStreamPriorityRange(int* least, int* greatest) {
  if (least != nullptr) *least = 0;
  if (greatest != nullptr) *greatest = 0;
  return Done(kRtSuccess);
}

cudaError_t cudaStreamGetDevice(cudaStream_t stream, int* device) {
  return Done(StreamDevice(stream, device, false));
}

cudaError_t cudaStreamGetDevice_ptsz(cudaStream_t stream, int* device) {
  return Done(StreamDevice(stream, device, true));
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  const int gpu = Streams().Remove(Word(stream));
  if (gpu < 0) return Done(kRtInvalidResourceHandle);
  const int status = Usable(gpu);
  if (status != 0) return Done(status);
  return Done(Layer().Send<k_cudaStreamDestroy>(gpu, Deferred(), Word(stream)));
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  return Done(StreamWait<k_cudaStreamSynchronize>(stream, false));
}

cudaError_t cudaStreamSynchronize_ptsz(cudaStream_t stream) {
  return Done(StreamWait<k_cudaStreamSynchronize>(stream, true));
}

cudaError_t cudaStreamQuery(cudaStream_t stream) { return Done(QueryStream(stream, false)); }

cudaError_t cudaStreamQuery_ptsz(cudaStream_t stream) { return Done(QueryStream(stream, true)); }

cudaError_t cudaStreamWaitEvent(cudaStream_t stream, cudaEvent_t event, unsigned int flags) {
  return Done(WaitEvent(stream, event, flags, false));
}

cudaError_t cudaStreamWaitEvent_ptsz(cudaStream_t stream, cudaEvent_t event, unsigned int flags) {
  return Done(WaitEvent(stream, event, flags, true));
}

cudaError_t cudaEventCreate(cudaEvent_t* event) { return Done(CreateEvent(event, cudaEventDefault)); }

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned int flags) {
  return Done(CreateEvent(event, flags));
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
  return Done(RecordEvent(event, stream, false));
}

cudaError_t cudaEventRecord_ptsz(cudaEvent_t event, cudaStream_t stream) {
  return Done(RecordEvent(event, stream, true));
}

cudaError_t cudaEventRecordWithFlags(cudaEvent_t event, cudaStream_t stream, unsigned int flags) {
  if (flags != cudaEventRecordDefault) return Done(kRtNotSupported);  // external events only
  return Done(RecordEvent(event, stream, false));
}

cudaError_t cudaEventRecordWithFlags_ptsz(cudaEvent_t event, cudaStream_t stream, unsigned int flags) {
  if (flags != cudaEventRecordDefault) return Done(kRtNotSupported);
  return Done(RecordEvent(event, stream, true));
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) { return Done(EventWait<k_cudaEventSynchronize>(event)); }

cudaError_t cudaEventQuery(cudaEvent_t event) { return Done(EventWait<k_cudaEventQuery>(event)); }

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
  if (ms == nullptr) return Done(kRtInvalidValue);
  const int gpu = Events().Find(Word(start));
  if (gpu < 0 || Events().Find(Word(end)) != gpu) return Done(kRtInvalidResourceHandle);
  int status = Usable(gpu);
  if (status != 0) return Done(status);
  float answer = 0;
  CallPlan plan;
  plan.sink = AnswerSink{&answer, sizeof(answer), gpu};
  status = Layer().Send<k_cudaEventElapsedTime>(gpu, plan, Word(start), Word(end));
  if (status == 0) *ms = answer;
  return DoneOn(gpu, status);
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
  const int gpu = Events().Remove(Word(event));
  if (gpu < 0) return Done(kRtInvalidResourceHandle);
  const int status = Usable(gpu);
  if (status != 0) return Done(status);
  return Done(Layer().Send<k_cudaEventDestroy>(gpu, Deferred(), Word(event)));
}

cudaError_t cudaLaunchHostFunc(cudaStream_t stream, cudaHostFn_t function, void* data) {
  return Done(LaunchHostFunc(stream, function, data, false));
}

cudaError_t cudaLaunchHostFunc_ptsz(cudaStream_t stream, cudaHostFn_t function, void* data) {
  return Done(LaunchHostFunc(stream, function, data, true));
}

cudaError_t cudaStreamAddCallback(cudaStream_t stream, cudaStreamCallback_t callback, void* data,
                                  unsigned int flags) {
  return Done(AddCallback(stream, callback, data, flags, false));
}

cudaError_t cudaStreamAddCallback_ptsz(cudaStream_t stream, cudaStreamCallback_t callback, void* data,
                                       unsigned int flags) {
  return Done(AddCallback(stream, callback, data, flags, true));
}

}  // extern "C"
