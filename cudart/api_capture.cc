// Entry points: stream capture (cudart/stream_capture.h).
#include "cudart/api_common.h"
#include "cudart/stream_capture.h"

using namespace cudart;

namespace {

StreamCapture& Capture() { return StreamCapture::Get(); }

int Begin(cudaStream_t stream, cudaStreamCaptureMode mode, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  const int status = ResolveHandle(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  return Capture().Begin(gpu, wire, mode);
}

int End(cudaStream_t stream, cudaGraph_t* graph, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  const int status = ResolveHandle(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  return Capture().End(gpu, wire, graph);
}

int Info(cudaStream_t stream, cudaStreamCaptureStatus* capture_status, unsigned long long* id, cudaGraph_t* graph,
         const cudaGraphNode_t** deps, const cudaGraphEdgeData** edges, size_t* count, bool per_thread) {
  int gpu = -1;
  uint64_t wire = 0;
  const int status = ResolveHandle(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  // Captured edges carry no data.
  if (edges != nullptr) *edges = nullptr;
  return Capture().Info(gpu, wire, capture_status, id, graph, deps, count);
}

}  // namespace

extern "C" {

cudaError_t cudaStreamBeginCapture(cudaStream_t stream, cudaStreamCaptureMode mode) {
  return Done(Begin(stream, mode, false));
}

cudaError_t cudaStreamBeginCapture_ptsz(cudaStream_t stream, cudaStreamCaptureMode mode) {
  return Done(Begin(stream, mode, true));
}

cudaError_t cudaStreamEndCapture(cudaStream_t stream, cudaGraph_t* graph) { return Done(End(stream, graph, false)); }

cudaError_t cudaStreamEndCapture_ptsz(cudaStream_t stream, cudaGraph_t* graph) {
  return Done(End(stream, graph, true));
}

cudaError_t cudaStreamIsCapturing(cudaStream_t stream, cudaStreamCaptureStatus* status) {
  return Done(Info(stream, status, nullptr, nullptr, nullptr, nullptr, nullptr, false));
}

cudaError_t cudaStreamIsCapturing_ptsz(cudaStream_t stream, cudaStreamCaptureStatus* status) {
  return Done(Info(stream, status, nullptr, nullptr, nullptr, nullptr, nullptr, true));
}

cudaError_t cudaStreamGetCaptureInfo(cudaStream_t stream, cudaStreamCaptureStatus* status, unsigned long long* id,
                                     cudaGraph_t* graph, const cudaGraphNode_t** deps,
                                     const cudaGraphEdgeData** edges, size_t* count) {
  return Done(Info(stream, status, id, graph, deps, edges, count, false));
}

cudaError_t cudaStreamGetCaptureInfo_ptsz(cudaStream_t stream, cudaStreamCaptureStatus* status,
                                          unsigned long long* id, cudaGraph_t* graph, const cudaGraphNode_t** deps,
                                          const cudaGraphEdgeData** edges, size_t* count) {
  return Done(Info(stream, status, id, graph, deps, edges, count, true));
}

cudaError_t cudaThreadExchangeStreamCaptureMode(cudaStreamCaptureMode* mode) {
  return Done(StreamCapture::ExchangeMode(mode));
}

}  // extern "C"
