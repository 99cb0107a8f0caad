// cudaDeviceProp from a node's device description: every field the runtime
// derives from a device attribute is filled from the attribute table.
#pragma once

#include <cuda_runtime_api.h>

#include "common/runtime_calls.h"

namespace cudart {

void FillDeviceProp(const DeviceInfo& info, cudaDeviceProp* prop);

}  // namespace cudart
