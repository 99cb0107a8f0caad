// Host functions that a program queues on a stream (cudaLaunchHostFunc,
// cudaStreamAddCallback). Each runs on this library's callback thread once
// the stream's earlier work has finished: a private event recorded on the
// stream behind that work is waited for, then the function runs.
//
// Later work on the stream must not start before the function has run (it
// may fill host memory that a later copy reads, and a copy's host data is
// taken when it is called): a call on a stream with functions pending waits
// until they have run (AwaitStream). The legacy default stream and the
// other streams of its GPU wait for each other's functions as they wait for
// each other's work. A query says "not ready" meanwhile without waiting.
//
// Thread safety: all members may be called at once. mutex_ guards the queue
// and the counts. Host functions must not call the runtime (as CUDA says);
// one that does may wait for itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "common/registration.h"
#include "common/thread_annotations.h"

namespace cudart {

class HostCallbacks {
 public:
  // Runs `function(data, status)` after the work queued so far on stream
  // `wire` of `gpu`; `status` is that work's first error, or 0.
  using Function = void (*)(void* data, int status, void* context);

  static HostCallbacks& Get();

  // Queues the function; a runtime status (the private event's creation).
  int Enqueue(int gpu, uint64_t wire, Function function, void* data, void* context) EXCLUDES(mutex_);
  // Returns once no function is pending that work on `wire` of `gpu` must
  // wait for.
  void AwaitStream(int gpu, uint64_t wire) EXCLUDES(mutex_);
  // Returns once no function is pending on any stream of `gpu`.
  void AwaitGpu(int gpu) EXCLUDES(mutex_);
  // Whether a function is pending on `wire` of `gpu`.
  bool Pending(int gpu, uint64_t wire) EXCLUDES(mutex_);

 private:
  struct Entry {
    int gpu;
    uint64_t wire;
    uint64_t event;  // recorded on the stream behind the earlier work
    Function function;
    void* data;
    void* context;
  };
  using StreamKey = std::pair<int, uint64_t>;

  HostCallbacks() = default;
  void Run() EXCLUDES(mutex_);
  // Whether work on `wire` of `gpu` must still wait.
  bool Blocked(int gpu, uint64_t wire) const REQUIRES(mutex_);

  zantu::Mutex mutex_;
  std::condition_variable_any changed_;  // an entry queued or run
  std::deque<Entry> queue_ GUARDED_BY(mutex_);
  std::map<StreamKey, int> pending_ GUARDED_BY(mutex_);  // queued or running, per stream
  int pending_per_gpu_[kMaxGpus] GUARDED_BY(mutex_) = {};
  bool started_ GUARDED_BY(mutex_) = false;
  // Functions queued or running: the calls of a program that queues none
  // take no lock here.
  std::atomic<int> total_pending_{0};
};

}  // namespace cudart
