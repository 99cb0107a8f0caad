// The properties an emulated GPU reports: plausible values of a current
// data-centre GPU, with the memory size of the emulated device.
#pragma once

#include <cstdint>

#include "common/runtime_calls.h"

namespace zantu_node {

void FillEmulatedDeviceInfo(uint32_t gpu, uint64_t total_mem, DeviceInfo* info);

}  // namespace zantu_node
