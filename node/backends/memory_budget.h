// The memory budget of emulated GPUs: one per GPU, shared by every client of
// the node, as a real GPU's memory is. Each client runs in a process of its
// own, so the budget lives outside it: a worker charges it through the node's
// front end (worker/channel_budget.h); a program that drives a backend
// directly (benchmarks, tests) keeps it in-process with LocalMemoryBudget.
//
// Thread safety: implementations say.
#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

#include "common/thread_annotations.h"

namespace zantu_node {

class MemoryBudget {
 public:
  virtual ~MemoryBudget() = default;

  MemoryBudget() = default;
  MemoryBudget(const MemoryBudget&) = delete;
  MemoryBudget& operator=(const MemoryBudget&) = delete;

  // Charges `bytes` on `gpu`. False, with nothing charged, when the GPU's
  // budget cannot take them now.
  [[nodiscard]] virtual bool Charge(uint32_t gpu, uint64_t bytes) = 0;
  // Gives back bytes charged earlier on `gpu`.
  virtual void Refund(uint32_t gpu, uint64_t bytes) = 0;
  // The bytes charged on `gpu` by every client, and the GPU's capacity.
  virtual void Usage(uint32_t gpu, uint64_t* used, uint64_t* capacity) = 0;
};

// A budget kept in this process. Thread safety: every method from any thread.
class LocalMemoryBudget final : public MemoryBudget {
 public:
  LocalMemoryBudget(uint32_t gpus, uint64_t capacity_per_gpu) : capacity_(capacity_per_gpu), used_(gpus, 0) {}

  bool Charge(uint32_t gpu, uint64_t bytes) override {
    zantu::MutexLock lock(&mutex_);
    if (gpu >= used_.size() || bytes > capacity_ - used_[gpu]) return false;
    used_[gpu] += bytes;
    return true;
  }
  void Refund(uint32_t gpu, uint64_t bytes) override {
    zantu::MutexLock lock(&mutex_);
    if (gpu < used_.size()) used_[gpu] -= bytes < used_[gpu] ? bytes : used_[gpu];
  }
  void Usage(uint32_t gpu, uint64_t* used, uint64_t* capacity) override {
    zantu::MutexLock lock(&mutex_);
    *used = gpu < used_.size() ? used_[gpu] : 0;
    *capacity = capacity_;
  }

 private:
  const uint64_t capacity_;
  zantu::Mutex mutex_;
  std::vector<uint64_t> used_ GUARDED_BY(mutex_);
};

}  // namespace zantu_node
