// Stream capture: while a stream is being captured, the work queued on it
// becomes nodes of a graph instead of running. Each captured stream keeps
// the nodes that its next work depends on (its tail). An event recorded on a
// captured stream remembers that stream's tail; another stream that waits
// for it joins the capture with that tail, which is how work forks to other
// streams and joins back. Ending the capture on the stream that began it
// hands over the graph, once every stream that joined has been joined back
// (its last work is something the origin's tail depends on).
//
// Modes: a call that may not run while work is captured (a synchronisation,
// an allocation) fails with cudaErrorStreamCaptureUnsupported and
// invalidates the captures it would disturb: in global mode those of every
// thread, in thread-local mode those begun by the calling thread, none in
// relaxed mode; the thread's own mode (cudaThreadExchangeStreamCaptureMode)
// relaxes what it may call. The default streams cannot be captured.
//
// Thread safety: all members may be called at once; mutex_ guards the
// captures. A program that captures nothing takes no lock here.
#pragma once

#include <cuda_runtime_api.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "common/thread_annotations.h"
#include "cudart/graph.h"

namespace cudart {

class StreamCapture {
 public:
  static StreamCapture& Get();

  // Whether stream `wire` of `gpu` is being captured (valid or invalidated).
  bool Capturing(int gpu, uint64_t wire) EXCLUDES(mutex_) {
    return active_.load(std::memory_order_acquire) != 0 && Find(gpu, wire);
  }
  // Adds `work` as a node after the stream's tail; the node becomes its tail.
  int Add(int gpu, uint64_t wire, NodeWork work) EXCLUDES(mutex_);

  int Begin(int gpu, uint64_t wire, cudaStreamCaptureMode mode) EXCLUDES(mutex_);
  int End(int gpu, uint64_t wire, cudaGraph_t* graph) EXCLUDES(mutex_);
  // cudaStreamGetCaptureInfo; any output may be null.
  int Info(int gpu, uint64_t wire, cudaStreamCaptureStatus* status, unsigned long long* id, cudaGraph_t* graph,
           const cudaGraphNode_t** deps, size_t* count) EXCLUDES(mutex_);

  // cudaEventRecord: true when the capture took the record over (the
  // stream is captured: the event now stands for the stream's tail). A
  // record outside any capture makes the event an ordinary one again.
  bool RecordEvent(int gpu, uint64_t wire, uint64_t event, int* status) EXCLUDES(mutex_);
  // cudaStreamWaitEvent: true when the capture took the wait over (the
  // event was recorded in a capture, or the stream is captured).
  bool WaitEvent(int gpu, uint64_t wire, uint64_t event, int* status) EXCLUDES(mutex_);

  // A call that synchronizes with or queries stream `wire` of `gpu`: 0, or
  // cudaErrorStreamCaptureUnsupported when the stream is captured (the
  // capture is then invalidated).
  int CheckStreamSync(int gpu, uint64_t wire) EXCLUDES(mutex_);
  // A call that may not run while the captures of the calling thread's
  // mode can see it (synchronizing the device, allocating): 0 or
  // cudaErrorStreamCaptureUnsupported.
  int CheckUnsafeCall() EXCLUDES(mutex_) {
    return active_.load(std::memory_order_acquire) == 0 ? 0 : CheckUnsafeSlow();
  }

  // cudaThreadExchangeStreamCaptureMode.
  static int ExchangeMode(cudaStreamCaptureMode* mode);

 private:
  using StreamKey = std::pair<int, uint64_t>;
  struct Capture {
    uint64_t id;
    cudaGraph_t graph;
    cudaStreamCaptureMode mode;
    std::thread::id owner;
    StreamKey origin;
    bool invalidated = false;
  };
  struct Captured {
    std::shared_ptr<Capture> capture;
    std::vector<cudaGraphNode_t> tail;
  };
  struct RecordedEvent {
    std::shared_ptr<Capture> capture;
    std::vector<cudaGraphNode_t> nodes;
  };

  StreamCapture() = default;
  bool Find(int gpu, uint64_t wire) const EXCLUDES(mutex_);
  int CheckUnsafeSlow() EXCLUDES(mutex_);
  // Whether every stream of `capture` but the origin has been joined back.
  bool Joined(const Capture& capture) const REQUIRES(mutex_);
  void Forget(const Capture& capture) REQUIRES(mutex_);

  mutable zantu::Mutex mutex_;
  std::map<StreamKey, Captured> streams_ GUARDED_BY(mutex_);
  std::map<uint64_t, RecordedEvent> events_ GUARDED_BY(mutex_);
  uint64_t next_id_ GUARDED_BY(mutex_) = 1;
  std::atomic<int> active_{0};  // captures begun and not ended
  static thread_local cudaStreamCaptureMode thread_mode_;
};

}  // namespace cudart
