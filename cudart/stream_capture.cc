#include "cudart/stream_capture.h"

#include <algorithm>
#include <unordered_set>

#include "common/runtime_calls.h"

namespace cudart {

thread_local cudaStreamCaptureMode StreamCapture::thread_mode_ = cudaStreamCaptureModeGlobal;

StreamCapture& StreamCapture::Get() {
  static StreamCapture* capture = new StreamCapture();
  return *capture;
}

bool StreamCapture::Find(int gpu, uint64_t wire) const {
  zantu::MutexLock lock(&mutex_);
  return streams_.count({gpu, wire}) != 0;
}

int StreamCapture::Begin(int gpu, uint64_t wire, cudaStreamCaptureMode mode) {
  if (mode != cudaStreamCaptureModeGlobal && mode != cudaStreamCaptureModeThreadLocal &&
      mode != cudaStreamCaptureModeRelaxed) {
    return kRtInvalidValue;
  }
  // The default streams synchronize with others implicitly: not capturable.
  if (wire == 0 || wire == kPerThreadStream) return cudaErrorStreamCaptureUnsupported;
  zantu::MutexLock lock(&mutex_);
  if (streams_.count({gpu, wire}) != 0) return cudaErrorIllegalState;
  auto capture = std::make_shared<Capture>();
  capture->id = next_id_++;
  capture->graph = GraphRegistry::Get().NewGraph();
  capture->mode = mode;
  capture->owner = std::this_thread::get_id();
  capture->origin = {gpu, wire};
  streams_[{gpu, wire}] = Captured{capture, {}};
  active_.fetch_add(1, std::memory_order_release);
  return kRtSuccess;
}

int StreamCapture::Add(int gpu, uint64_t wire, NodeWork work) {
  zantu::MutexLock lock(&mutex_);
  auto it = streams_.find({gpu, wire});
  if (it == streams_.end()) return cudaErrorIllegalState;
  Captured& captured = it->second;
  if (captured.capture->invalidated) return cudaErrorStreamCaptureInvalidated;
  cudaGraphNode_t node = nullptr;
  const int status = AddNode(captured.capture->graph, captured.tail.data(), captured.tail.size(), std::move(work),
                             &node);
  if (status != 0) {
    captured.capture->invalidated = true;
    return status;
  }
  captured.tail.assign(1, node);
  return kRtSuccess;
}

bool StreamCapture::Joined(const Capture& capture) const {
  const auto origin = streams_.find(capture.origin);
  // Everything the origin's tail depends on.
  std::unordered_set<cudaGraphNode_t> reached;
  std::vector<cudaGraphNode_t> todo = origin->second.tail;
  while (!todo.empty()) {
    cudaGraphNode_t node = todo.back();
    todo.pop_back();
    if (!reached.insert(node).second) continue;
    todo.insert(todo.end(), node->deps.begin(), node->deps.end());
  }
  for (const auto& [key, captured] : streams_) {
    if (captured.capture.get() != &capture || key == capture.origin) continue;
    for (cudaGraphNode_t node : captured.tail) {
      if (reached.count(node) == 0) return false;
    }
  }
  return true;
}

void StreamCapture::Forget(const Capture& capture) {
  for (auto it = streams_.begin(); it != streams_.end();) {
    it = it->second.capture.get() == &capture ? streams_.erase(it) : std::next(it);
  }
  for (auto it = events_.begin(); it != events_.end();) {
    it = it->second.capture.get() == &capture ? events_.erase(it) : std::next(it);
  }
  active_.fetch_sub(1, std::memory_order_release);
}

int StreamCapture::End(int gpu, uint64_t wire, cudaGraph_t* graph) {
  if (graph == nullptr) return kRtInvalidValue;
  zantu::MutexLock lock(&mutex_);
  auto it = streams_.find({gpu, wire});
  if (it == streams_.end()) return cudaErrorIllegalState;
  const std::shared_ptr<Capture> capture = it->second.capture;
  if (capture->origin != StreamKey{gpu, wire}) return cudaErrorStreamCaptureUnmatched;
  if (capture->mode != cudaStreamCaptureModeRelaxed && capture->owner != std::this_thread::get_id()) {
    return cudaErrorStreamCaptureWrongThread;
  }
  const bool joined = capture->invalidated || Joined(*capture);
  Forget(*capture);
  if (capture->invalidated || !joined) {
    GraphRegistry::Get().DestroyGraph(capture->graph);
    *graph = nullptr;
    return capture->invalidated ? cudaErrorStreamCaptureInvalidated : cudaErrorStreamCaptureUnjoined;
  }
  *graph = capture->graph;
  return kRtSuccess;
}

int StreamCapture::Info(int gpu, uint64_t wire, cudaStreamCaptureStatus* status, unsigned long long* id,
                        cudaGraph_t* graph, const cudaGraphNode_t** deps, size_t* count) {
  if (status == nullptr) return kRtInvalidValue;
  zantu::MutexLock lock(&mutex_);
  auto it = streams_.find({gpu, wire});
  if (it == streams_.end()) {
    *status = cudaStreamCaptureStatusNone;
    return kRtSuccess;
  }
  const Captured& captured = it->second;
  *status = captured.capture->invalidated ? cudaStreamCaptureStatusInvalidated : cudaStreamCaptureStatusActive;
  if (id != nullptr) *id = captured.capture->id;
  if (graph != nullptr) *graph = captured.capture->graph;
  // Valid until the stream's next captured call, as CUDA's are.
  if (deps != nullptr) *deps = captured.tail.data();
  if (count != nullptr) *count = captured.tail.size();
  return kRtSuccess;
}

bool StreamCapture::RecordEvent(int gpu, uint64_t wire, uint64_t event, int* status) {
  if (active_.load(std::memory_order_acquire) == 0) return false;
  zantu::MutexLock lock(&mutex_);
  auto it = streams_.find({gpu, wire});
  if (it == streams_.end()) {
    events_.erase(event);
    return false;
  }
  events_[event] = RecordedEvent{it->second.capture, it->second.tail};
  *status = it->second.capture->invalidated ? static_cast<int>(cudaErrorStreamCaptureInvalidated) : 0;
  return true;
}

bool StreamCapture::WaitEvent(int gpu, uint64_t wire, uint64_t event, int* status) {
  if (active_.load(std::memory_order_acquire) == 0) return false;
  zantu::MutexLock lock(&mutex_);
  auto stream = streams_.find({gpu, wire});
  auto recorded = events_.find(event);
  if (recorded == events_.end()) {
    // An event of ordinary work: its work was queued before the capture's
    // graph can run, so the captured stream has nothing to add.
    if (stream == streams_.end()) return false;
    *status = kRtSuccess;
    return true;
  }
  *status = kRtSuccess;
  if (stream == streams_.end()) {
    // The stream joins the capture, after the event's nodes.
    streams_[{gpu, wire}] = Captured{recorded->second.capture, recorded->second.nodes};
    return true;
  }
  if (stream->second.capture != recorded->second.capture) {
    // Two captures may not be merged.
    stream->second.capture->invalidated = true;
    recorded->second.capture->invalidated = true;
    *status = cudaErrorStreamCaptureIsolation;
    return true;
  }
  std::vector<cudaGraphNode_t>& tail = stream->second.tail;
  for (cudaGraphNode_t node : recorded->second.nodes) {
    if (std::find(tail.begin(), tail.end(), node) == tail.end()) tail.push_back(node);
  }
  return true;
}

int StreamCapture::CheckStreamSync(int gpu, uint64_t wire) {
  if (active_.load(std::memory_order_acquire) == 0) return kRtSuccess;
  zantu::MutexLock lock(&mutex_);
  auto it = streams_.find({gpu, wire});
  if (it == streams_.end()) return kRtSuccess;
  it->second.capture->invalidated = true;
  return cudaErrorStreamCaptureUnsupported;
}

int StreamCapture::CheckUnsafeSlow() {
  if (thread_mode_ == cudaStreamCaptureModeRelaxed) return kRtSuccess;
  zantu::MutexLock lock(&mutex_);
  bool refused = false;
  for (auto& [key, captured] : streams_) {
    Capture& capture = *captured.capture;
    const bool sees = capture.mode == cudaStreamCaptureModeGlobal ||
                      (capture.mode == cudaStreamCaptureModeThreadLocal &&
                       capture.owner == std::this_thread::get_id());
    // A thread in thread-local mode disturbs only its own captures.
    const bool own = capture.owner == std::this_thread::get_id();
    if (sees && (thread_mode_ == cudaStreamCaptureModeGlobal || own)) {
      capture.invalidated = true;
      refused = true;
    }
  }
  return refused ? static_cast<int>(cudaErrorStreamCaptureUnsupported) : 0;
}

int StreamCapture::ExchangeMode(cudaStreamCaptureMode* mode) {
  if (mode == nullptr) return kRtInvalidValue;
  if (*mode != cudaStreamCaptureModeGlobal && *mode != cudaStreamCaptureModeThreadLocal &&
      *mode != cudaStreamCaptureModeRelaxed) {
    return kRtInvalidValue;
  }
  std::swap(*mode, thread_mode_);
  return kRtSuccess;
}

}  // namespace cudart
