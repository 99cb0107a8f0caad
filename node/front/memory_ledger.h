// The node's GPU memory budgets for emulated GPUs, one per GPU across all its
// clients, as a real GPU's memory is: each worker charges what it allocates
// (worker/channel_budget.h) to its account, and a worker's account is
// closed, everything in it given back, when the worker ends.
//
// Thread safety: every method from any thread.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "common/thread_annotations.h"

namespace zantu_node {

class MemoryLedger {
 public:
  MemoryLedger(uint32_t gpus, uint64_t capacity_per_gpu);

  MemoryLedger(const MemoryLedger&) = delete;
  MemoryLedger& operator=(const MemoryLedger&) = delete;

  // Charges `bytes` on `gpu` to `account`. False when they do not fit (or
  // there is no such GPU); nothing is charged then. `*used` is the GPU's
  // charged bytes afterwards.
  bool Charge(uint32_t account, uint32_t gpu, uint64_t bytes, uint64_t* used);
  // Gives back up to `bytes` that `account` holds on `gpu`.
  void Refund(uint32_t account, uint32_t gpu, uint64_t bytes);
  // Gives back everything `account` holds.
  void Close(uint32_t account);

  uint64_t capacity() const { return capacity_; }
  uint64_t Used(uint32_t gpu);

 private:
  const uint64_t capacity_;
  zantu::Mutex mutex_;
  std::vector<uint64_t> used_ GUARDED_BY(mutex_);  // per GPU
  std::unordered_map<uint32_t, std::vector<uint64_t>> accounts_ GUARDED_BY(mutex_);  // per GPU too
};

}  // namespace zantu_node
