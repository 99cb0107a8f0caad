#include "cudart/handle_table.h"

#include <iterator>

namespace cudart {

uint64_t HandleTable::Create(int gpu) {
  zantu::MutexLock lock(&mutex_);
  const uint64_t handle = next_;
  // Handles look like pointers to programs; keep them 16-byte spaced.
  next_ += 0x10;
  handles_[handle] = gpu;
  return handle;
}

int HandleTable::Find(uint64_t handle) const {
  zantu::MutexLock lock(&mutex_);
  auto it = handles_.find(handle);
  return it == handles_.end() ? -1 : it->second;
}

int HandleTable::Remove(uint64_t handle) {
  zantu::MutexLock lock(&mutex_);
  auto it = handles_.find(handle);
  if (it == handles_.end()) return -1;
  const int gpu = it->second;
  handles_.erase(it);
  return gpu;
}

void HandleTable::ClearGpu(int gpu) {
  zantu::MutexLock lock(&mutex_);
  for (auto it = handles_.begin(); it != handles_.end();) {
    it = it->second == gpu ? handles_.erase(it) : std::next(it);
  }
}

}  // namespace cudart
