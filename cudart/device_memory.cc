#include "cudart/device_memory.h"

namespace cudart {
namespace {
bool ValidGpu(int gpu) { return gpu >= 0 && gpu < static_cast<int>(kMaxGpus); }
}  // namespace

DeviceMemory& DeviceMemory::Get() {
  static DeviceMemory* const memory = new DeviceMemory();  // lives until the process ends
  return *memory;
}

void DeviceMemory::Add(int gpu, uint64_t base, uint64_t size, bool freeable) {
  if (!ValidGpu(gpu)) return;
  zantu::MutexLock lock(&mutex_);
  regions_[gpu][base] = Region{size, freeable};
}

bool DeviceMemory::Remove(int gpu, uint64_t base) {
  if (!ValidGpu(gpu)) return false;
  zantu::MutexLock lock(&mutex_);
  auto it = regions_[gpu].find(base);
  if (it == regions_[gpu].end() || !it->second.freeable) return false;
  regions_[gpu].erase(it);
  return true;
}

bool DeviceMemory::ContainsLocked(int gpu, uint64_t ptr, uint64_t count) const {
  const std::map<uint64_t, Region>& regions = regions_[gpu];
  auto it = regions.upper_bound(ptr);
  if (it == regions.begin()) return false;
  --it;
  const uint64_t offset = ptr - it->first;
  // A zero-size allocation holds no byte, not even for an empty copy.
  return offset < it->second.size && count <= it->second.size - offset;
}

bool DeviceMemory::Contains(int gpu, uint64_t ptr, uint64_t count) const {
  if (!ValidGpu(gpu)) return false;
  zantu::MutexLock lock(&mutex_);
  return ContainsLocked(gpu, ptr, count);
}

int DeviceMemory::FindGpu(uint64_t ptr, int first) const {
  zantu::MutexLock lock(&mutex_);
  if (ValidGpu(first) && ContainsLocked(first, ptr, 1)) return first;
  for (int gpu = 0; gpu < static_cast<int>(kMaxGpus); ++gpu) {
    if (gpu != first && ContainsLocked(gpu, ptr, 1)) return gpu;
  }
  return -1;
}

void DeviceMemory::ClearGpu(int gpu) {
  if (!ValidGpu(gpu)) return;
  zantu::MutexLock lock(&mutex_);
  regions_[gpu].clear();
}

}  // namespace cudart
