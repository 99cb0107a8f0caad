#include "cudart/host_callbacks.h"

#include <cuda_runtime_api.h>

#include "common/api_numbers.h"
#include "common/log.h"
#include "cudart/api_common.h"

namespace cudart {
namespace {

CallPlan Deferred() {
  CallPlan plan;
  plan.mode = CallMode::kDeferred;
  return plan;
}

}  // namespace

HostCallbacks& HostCallbacks::Get() {
  static HostCallbacks* const callbacks = new HostCallbacks();  // lives until the process ends
  return *callbacks;
}

int HostCallbacks::Enqueue(int gpu, uint64_t wire, Function function, void* data, void* context) {
  const uint64_t event = Events().Create(gpu);
  // The record is written at once, behind the caller's deferred work: the
  // callback thread's wait for it may be written before the caller's next
  // record would carry it.
  CallPlan written;
  written.mode = CallMode::kNoWait;
  written.sink.gpu = gpu;
  int status = Layer().Send<k_cudaEventCreate>(gpu, Deferred(), event, uint64_t{cudaEventDisableTiming});
  if (status == 0) status = Layer().Send<k_cudaEventRecord>(gpu, written, event, wire);
  if (status != 0) {
    Events().Remove(event);
    return status;
  }
  zantu::MutexLock lock(&mutex_);
  if (!started_) {
    // Detached: it serves until the process ends, and a host function may
    // still be running when the program returns from main.
    std::thread([this] { Run(); }).detach();
    started_ = true;
  }
  queue_.push_back(Entry{gpu, wire, event, function, data, context});
  ++pending_[StreamKey{gpu, wire}];
  ++pending_per_gpu_[gpu];
  total_pending_.fetch_add(1, std::memory_order_seq_cst);
  changed_.notify_all();
  return kRtSuccess;
}

void HostCallbacks::Run() {
  for (;;) {
    Entry entry;
    {
      zantu::MutexLock lock(&mutex_);
      while (queue_.empty()) changed_.wait(mutex_);
      entry = queue_.front();
      queue_.pop_front();
    }
    // Functions run one at a time in the order they were queued, as on one
    // stream; a function on another stream behind a slow one waits for it.
    const int status = Layer().Send<k_cudaEventSynchronize>(entry.gpu, CallPlan{}, entry.event);
    entry.function(entry.data, status, entry.context);
    Events().Remove(entry.event);
    Layer().Send<k_cudaEventDestroy>(entry.gpu, Deferred(), entry.event);
    zantu::MutexLock lock(&mutex_);
    auto it = pending_.find(StreamKey{entry.gpu, entry.wire});
    if (--it->second == 0) pending_.erase(it);
    --pending_per_gpu_[entry.gpu];
    total_pending_.fetch_sub(1, std::memory_order_seq_cst);
    changed_.notify_all();
  }
}

bool HostCallbacks::Blocked(int gpu, uint64_t wire) const {
  if (gpu < 0 || gpu >= static_cast<int>(kMaxGpus) || pending_per_gpu_[gpu] == 0) return false;
  // The legacy default stream waits for every stream of its GPU, and every
  // stream for it.
  if (wire == 0) return true;
  return pending_.count(StreamKey{gpu, wire}) != 0 || pending_.count(StreamKey{gpu, 0}) != 0;
}

void HostCallbacks::AwaitStream(int gpu, uint64_t wire) {
  // A function queued by another thread after this load is not ordered
  // before this call anyway.
  if (total_pending_.load(std::memory_order_seq_cst) == 0) return;
  zantu::MutexLock lock(&mutex_);
  while (Blocked(gpu, wire)) changed_.wait(mutex_);
}

void HostCallbacks::AwaitGpu(int gpu) {
  if (gpu < 0 || gpu >= static_cast<int>(kMaxGpus)) return;
  if (total_pending_.load(std::memory_order_seq_cst) == 0) return;
  zantu::MutexLock lock(&mutex_);
  while (pending_per_gpu_[gpu] != 0) changed_.wait(mutex_);
}

bool HostCallbacks::Pending(int gpu, uint64_t wire) {
  if (total_pending_.load(std::memory_order_seq_cst) == 0) return false;
  zantu::MutexLock lock(&mutex_);
  return Blocked(gpu, wire);
}

}  // namespace cudart
