// What the nodes tell of their GPUs, asked once per process GPU and kept:
// the device description (cudaGetDeviceProperties, cudaDeviceGetAttribute)
// and the driver version.
//
// Thread safety: all members may be called at once. mutex_ guards the
// tables; a lookup that misses asks the node while holding it, so each GPU
// is asked once.
#pragma once

#include <cstdint>
#include <mutex>

#include "common/thread_annotations.h"
#include "common/registration.h"
#include "common/runtime_calls.h"

namespace cudart {

class DeviceCache {
 public:
  static DeviceCache& Get();

  // The description of process GPU `gpu` into `*info`; a runtime status.
  int Info(int gpu, DeviceInfo* info);
  // The driver version of the first GPU's node; a runtime status.
  int DriverVersion(int* version);
  // cudaDeviceReset does not change what a GPU is: nothing to forget.

 private:
  DeviceCache() = default;

  zantu::Mutex mutex_;
  bool known_[kMaxGpus] GUARDED_BY(mutex_) = {};
  DeviceInfo infos_[kMaxGpus] GUARDED_BY(mutex_);
  bool driver_known_ GUARDED_BY(mutex_) = false;
  int32_t driver_version_ GUARDED_BY(mutex_) = 0;
};

}  // namespace cudart
