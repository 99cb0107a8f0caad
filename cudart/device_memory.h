// The process's view of device memory: every allocation it holds per GPU
// (cudaMalloc) and the device variables whose addresses it has learnt. Lets
// a double free or a copy out of bounds fail at once with the runtime's code,
// and lets cudaMemcpyDefault tell device pointers from host pointers.
//
// Thread safety: all members may be called at once; mutex_ guards the tables.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

#include "common/thread_annotations.h"
#include "common/registration.h"

namespace cudart {

class DeviceMemory {
 public:
  static DeviceMemory& Get();

  // A region of `gpu`: an allocation (freeable) or a device variable.
  void Add(int gpu, uint64_t base, uint64_t size, bool freeable);
  // Forgets the allocation that starts exactly at `base`; false when there
  // is none (never allocated, already freed, or a variable).
  [[nodiscard]] bool Remove(int gpu, uint64_t base);
  // True when [ptr, ptr + count) lies inside one region of `gpu`.
  bool Contains(int gpu, uint64_t ptr, uint64_t count) const;
  // The GPU with a region holding `ptr`, trying `first` before the others;
  // -1 for none.
  int FindGpu(uint64_t ptr, int first) const;
  // cudaDeviceReset: the node has freed everything of the GPU.
  void ClearGpu(int gpu);

 private:
  struct Region {
    uint64_t size;
    bool freeable;
  };

  DeviceMemory() = default;
  bool ContainsLocked(int gpu, uint64_t ptr, uint64_t count) const REQUIRES(mutex_);

  mutable zantu::Mutex mutex_;
  std::map<uint64_t, Region> regions_[kMaxGpus] GUARDED_BY(mutex_);  // by base address
};

}  // namespace cudart
