// Stream or event handles of the process: numbers the library chooses (never
// 0, 1 or 2, which name default streams), each bound to the GPU that was
// current when it was created.
//
// Thread safety: all members may be called at once; mutex_ guards the map.
#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "common/thread_annotations.h"

namespace cudart {

class HandleTable {
 public:
  // Handles are first_handle, first_handle + 16, ...; tables with distinct
  // first handles modulo 16 never share a number.
  explicit HandleTable(uint64_t first_handle) : next_(first_handle) {}
  HandleTable(const HandleTable&) = delete;
  HandleTable& operator=(const HandleTable&) = delete;

  // A new handle on `gpu`.
  uint64_t Create(int gpu);
  // The GPU of `handle`; -1 when it names nothing.
  int Find(uint64_t handle) const;
  // Forgets `handle`; its GPU, or -1 when it named nothing.
  int Remove(uint64_t handle);
  // cudaDeviceReset: every handle of the GPU is gone.
  void ClearGpu(int gpu);

 private:
  mutable zantu::Mutex mutex_;
  uint64_t next_ GUARDED_BY(mutex_);
  std::unordered_map<uint64_t, int> handles_ GUARDED_BY(mutex_);  // handle -> GPU
};

}  // namespace cudart
