#include "cudart/pinned_memory.h"

#include <cstdlib>

namespace cudart {

PinnedMemory& PinnedMemory::Get() {
  static PinnedMemory* const pinned = new PinnedMemory();  // lives until the process ends
  return *pinned;
}

void* PinnedMemory::Allocate(uint64_t size, unsigned int flags) {
  void* ptr = nullptr;
  if (posix_memalign(&ptr, 4096, size == 0 ? 1 : size) != 0) return nullptr;
  zantu::MutexLock lock(&mutex_);
  blocks_[reinterpret_cast<uintptr_t>(ptr)] = Block{size == 0 ? 1 : size, flags, false};
  return ptr;
}

bool PinnedMemory::Free(void* ptr) {
  {
    zantu::MutexLock lock(&mutex_);
    auto it = blocks_.find(reinterpret_cast<uintptr_t>(ptr));
    if (it == blocks_.end() || it->second.registered) return false;
    blocks_.erase(it);
  }
  std::free(ptr);
  return true;
}

PinnedMemory::Registered PinnedMemory::Register(void* ptr, uint64_t size, unsigned int flags) {
  const uintptr_t base = reinterpret_cast<uintptr_t>(ptr);
  zantu::MutexLock lock(&mutex_);
  // Blocks never overlap, so the first one at or after `base` and the one
  // before it are the only candidates.
  auto after = blocks_.lower_bound(base);
  if (after != blocks_.end() && after->first - base < size) return Registered::kOverlaps;
  if (Holding(base) != blocks_.end()) return Registered::kOverlaps;
  blocks_[base] = Block{size, flags, true};
  return Registered::kDone;
}

bool PinnedMemory::Unregister(void* ptr) {
  zantu::MutexLock lock(&mutex_);
  auto it = blocks_.find(reinterpret_cast<uintptr_t>(ptr));
  if (it == blocks_.end() || !it->second.registered) return false;
  blocks_.erase(it);
  return true;
}

std::map<uintptr_t, PinnedMemory::Block>::const_iterator PinnedMemory::Holding(uintptr_t p) const {
  auto it = blocks_.upper_bound(p);
  if (it == blocks_.begin()) return blocks_.end();
  --it;
  return p - it->first < it->second.size ? it : blocks_.end();
}

bool PinnedMemory::Contains(const void* ptr, uint64_t count) const {
  const uintptr_t p = reinterpret_cast<uintptr_t>(ptr);
  zantu::MutexLock lock(&mutex_);
  auto it = Holding(p);
  return it != blocks_.end() && count <= it->second.size - (p - it->first);
}

bool PinnedMemory::FlagsOf(const void* ptr, unsigned int* flags) const {
  zantu::MutexLock lock(&mutex_);
  auto it = Holding(reinterpret_cast<uintptr_t>(ptr));
  if (it == blocks_.end()) return false;
  *flags = it->second.flags;
  return true;
}

}  // namespace cudart
