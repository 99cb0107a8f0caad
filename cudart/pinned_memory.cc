#include "cudart/pinned_memory.h"

#include <cstdlib>

namespace cudart {

PinnedMemory& PinnedMemory::Get() {
  static PinnedMemory* const pinned = new PinnedMemory();  // lives until the process ends
  return *pinned;
}

void* PinnedMemory::Allocate(uint64_t size) {
  void* ptr = nullptr;
  if (posix_memalign(&ptr, 4096, size == 0 ? 1 : size) != 0) return nullptr;
  zantu::MutexLock lock(&mutex_);
  blocks_[reinterpret_cast<uintptr_t>(ptr)] = size;
  return ptr;
}

bool PinnedMemory::Free(void* ptr) {
  {
    zantu::MutexLock lock(&mutex_);
    if (blocks_.erase(reinterpret_cast<uintptr_t>(ptr)) == 0) return false;
  }
  std::free(ptr);
  return true;
}

bool PinnedMemory::Contains(const void* ptr, uint64_t count) const {
  const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
  zantu::MutexLock lock(&mutex_);
  // Pinned blocks are few and large; a scan is cheaper than keeping order.
  for (const auto& [base, size] : blocks_) {
    if (p >= base && p - base <= size && count <= size - (p - base)) return true;
  }
  return false;
}

}  // namespace cudart
