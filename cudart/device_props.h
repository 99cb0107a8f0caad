// cudaDeviceProp from a node's device description: every field the runtime
// derives from a device attribute is filled from the attribute table.
#pragma once

#include <cuda_runtime_api.h>

#include "common/runtime_calls.h"

namespace cudart {

void FillDeviceProp(const DeviceInfo& info, cudaDeviceProp* prop);

// Makes every capability that this library does not serve read 0 (host
// memory the GPU maps, managed memory, stream priorities, cooperative and
// cluster launches, memory pools, interprocess and interop handles), and
// host registration, which it serves, read 1, whatever the node's GPU can
// do: a program then takes the path it has for a GPU without them instead
// of meeting cudaErrorNotSupported.
void WithdrawUnserved(DeviceInfo* info);

}  // namespace cudart
