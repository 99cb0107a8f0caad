// Host memory that the runtime treats as page-locked: blocks of
// cudaMallocHost and cudaHostAlloc, and ranges of the program's own memory
// given to cudaHostRegister. It stays in this process (the node's GPU cannot
// map it: there is no device pointer of it); copies from it may be sent
// without a copy of their own.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "common/thread_annotations.h"

namespace cudart {

// Thread safety: all members may be called at once; mutex_ guards the map.
class PinnedMemory {
 public:
  static PinnedMemory& Get();

  // Allocates `size` bytes (at least one) aligned for any use, kept with the
  // cudaHostAlloc `flags`; null when out of memory.
  void* Allocate(uint64_t size, unsigned int flags);
  // Frees an allocation of Allocate; false when `ptr` is none (a registered
  // range is not freed here).
  [[nodiscard]] bool Free(void* ptr);

  enum class Registered { kDone, kOverlaps };
  // Keeps [ptr, ptr + size) of the program's memory (size > 0) as pinned;
  // kOverlaps when any byte of it is pinned already.
  Registered Register(void* ptr, uint64_t size, unsigned int flags);
  // Forgets the range registered at `ptr`; false when none starts there.
  [[nodiscard]] bool Unregister(void* ptr);

  // True when [ptr, ptr + count) lies inside one block or range.
  bool Contains(const void* ptr, uint64_t count) const;
  // The flags of the block or range holding `ptr`; false when none does.
  bool FlagsOf(const void* ptr, unsigned int* flags) const;

 private:
  struct Block {
    uint64_t size;
    unsigned int flags;
    bool registered;  // the program's memory: never freed here
  };
  PinnedMemory() = default;
  // The block holding byte `p`, or end().
  std::map<uintptr_t, Block>::const_iterator Holding(uintptr_t p) const REQUIRES(mutex_);

  mutable zantu::Mutex mutex_;
  std::map<uintptr_t, Block> blocks_ GUARDED_BY(mutex_);  // by base; never overlapping
};

}  // namespace cudart
