// The memory of one emulated GPU as one client's worker sees it: allocations
// in host memory, each owned by one client, charged to the GPU's budget
// (shared with every other client of the node). Device pointers are the host
// addresses, so CPU kernels use them as they are; every copy, memset and free
// is checked against this table first.
//
// Thread safety: every method takes mutex_; a range that Check accepted stays
// valid until its owner frees it, and only the owner's worker frees it, so
// the caller may use it after the lock is gone.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "common/thread_annotations.h"
#include "node/backends/memory_budget.h"

namespace zantu_node {

class EmulatedMemory {
 public:
  // `budget` must outlive the memory; `gpu` is this GPU's number in it.
  EmulatedMemory(uint32_t gpu, uint64_t capacity, MemoryBudget* budget);
  ~EmulatedMemory();  // frees whatever is still allocated

  EmulatedMemory(const EmulatedMemory&) = delete;
  EmulatedMemory& operator=(const EmulatedMemory&) = delete;

  // kRtSuccess with the new pointer (0 for size 0), or kRtMemoryAllocation
  // when the GPU's budget, the client's allocation limit or the host runs
  // out.
  uint32_t Allocate(uint32_t pid, uint64_t size, uint64_t* pointer);
  // kRtSuccess, or kRtInvalidValue when `pointer` is not the start of a live
  // allocation of `pid` (freed already, another client's, inside one).
  // Freeing 0 succeeds.
  uint32_t Free(uint32_t pid, uint64_t pointer);
  // True when [pointer, pointer + count) lies inside one live allocation of
  // `pid` (count may be 0, the pointer must still be inside one).
  bool Check(uint32_t pid, uint64_t pointer, uint64_t count) const;
  // True when `pointer` lies inside a live allocation of `pid` or just past
  // its end, as a kernel's end pointer may.
  bool Reaches(uint32_t pid, uint64_t pointer) const;
  // Frees every allocation of `pid`.
  void FreeAll(uint32_t pid);

  uint64_t capacity() const { return capacity_; }
  // Bytes left in the GPU's budget, across all its clients.
  uint64_t Available() const;

  // Live allocations one client may hold on one GPU: each is a host
  // allocation, and the table must stay small enough to search.
  static constexpr size_t kMaxAllocations = size_t{1} << 20;

 private:
  struct Allocation {
    uint64_t size;  // as asked for; the budget is charged this much
    uint32_t pid;
  };
  void Release(std::map<uint64_t, Allocation>::iterator it) REQUIRES(mutex_);
  std::map<uint64_t, Allocation>::const_iterator Containing(uint64_t pointer) const REQUIRES(mutex_);

  const uint32_t gpu_;
  const uint64_t capacity_;
  MemoryBudget* const budget_;

  mutable zantu::Mutex mutex_;
  std::map<uint64_t, Allocation> allocations_ GUARDED_BY(mutex_);  // by start address
};

}  // namespace zantu_node
