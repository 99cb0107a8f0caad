// Host memory from cudaMallocHost and cudaHostAlloc. It stays in this
// process (the node's GPU cannot map it); copies from it may be sent without
// a copy of their own.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "common/thread_annotations.h"

namespace cudart {

// Thread safety: all members may be called at once; mutex_ guards the map.
class PinnedMemory {
 public:
  static PinnedMemory& Get();

  // Allocates `size` bytes (at least one) aligned for any use; null when out
  // of memory.
  void* Allocate(uint64_t size);
  // Frees an allocation of Allocate; false when `ptr` is none.
  [[nodiscard]] bool Free(void* ptr);
  // True when [ptr, ptr + count) lies inside one allocation.
  bool Contains(const void* ptr, uint64_t count) const;

 private:
  PinnedMemory() = default;

  mutable zantu::Mutex mutex_;
  std::unordered_map<uintptr_t, uint64_t> blocks_ GUARDED_BY(mutex_);  // base -> size
};

}  // namespace cudart
