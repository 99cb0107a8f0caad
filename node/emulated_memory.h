// The memory of one emulated GPU: allocations in host memory, each owned by
// one client, with a capacity. Device pointers are the host addresses, so
// CPU kernels use them as they are; every copy, memset and free is checked
// against this table first.
//
// Thread safety: every method takes mutex_; a range that Check accepted stays
// valid until its owner frees it, and only the owner's worker frees it, so
// the caller may use it after the lock is gone.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "common/thread_annotations.h"

namespace zantu_node {

class EmulatedMemory {
 public:
  explicit EmulatedMemory(uint64_t capacity);
  ~EmulatedMemory();  // frees whatever is still allocated

  EmulatedMemory(const EmulatedMemory&) = delete;
  EmulatedMemory& operator=(const EmulatedMemory&) = delete;

  // kRtSuccess with the new pointer (0 for size 0), or kRtMemoryAllocation
  // when the capacity or the host runs out.
  uint32_t Allocate(uint32_t pid, uint64_t size, uint64_t* pointer);
  // kRtSuccess, or kRtInvalidValue when `pointer` is not the start of a live
  // allocation of `pid` (freed already, another client's, inside one).
  // Freeing 0 succeeds.
  uint32_t Free(uint32_t pid, uint64_t pointer);
  // True when [pointer, pointer + count) lies inside one live allocation of
  // `pid` (count may be 0, the pointer must still be inside one).
  bool Check(uint32_t pid, uint64_t pointer, uint64_t count) const;
  // Frees every allocation of `pid`.
  void FreeAll(uint32_t pid);

  uint64_t capacity() const { return capacity_; }
  uint64_t Available() const;

 private:
  struct Allocation {
    uint64_t size;  // as asked for; the capacity is charged this much
    uint32_t pid;
  };
  void Release(std::map<uint64_t, Allocation>::iterator it) REQUIRES(mutex_);

  const uint64_t capacity_;

  mutable zantu::Mutex mutex_;
  std::map<uint64_t, Allocation> allocations_ GUARDED_BY(mutex_);  // by start address
  uint64_t used_ GUARDED_BY(mutex_) = 0;
};

}  // namespace zantu_node
