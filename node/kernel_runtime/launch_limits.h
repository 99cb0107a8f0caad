// What a kernel launch may ask for on an emulated GPU, checked where the
// launch is queued (the node, to answer at once as a GPU does) and where it
// runs (the kernel library, for callers that go straight to it).
#pragma once

#include <cstdint>

#include "common/runtime_calls.h"

namespace zantu {

// The bytes of dynamic shared memory a launch may ask for, as the device
// allows a block at most.
constexpr uint64_t kMaxDynamicSharedBytes = 227 * 1024;

// kRtInvalidConfiguration for a zero or too large grid or block (more than
// 1024 threads, x or y over 1024, z over 64, grid x over 2^31 - 1, y or z
// over 65535), else 0.
inline uint32_t LaunchShapeStatus(const uint32_t grid[3], const uint32_t block[3]) {
  for (int i = 0; i < 3; ++i) {
    if (grid[i] == 0 || block[i] == 0) return kRtInvalidConfiguration;
  }
  const uint64_t threads = uint64_t{block[0]} * block[1] * block[2];
  if (block[0] > 1024 || block[1] > 1024 || block[2] > 64 || threads > 1024) return kRtInvalidConfiguration;
  if (grid[0] > 0x7fffffffu || grid[1] > 65535 || grid[2] > 65535) return kRtInvalidConfiguration;
  return 0;
}

}  // namespace zantu
