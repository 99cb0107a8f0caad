// Limits that hold for every process of the system: the daemon, its clients
// and the runtime library size their tables by them.
#pragma once

#include <cstddef>
#include <cstdint>

// What a client can hold; the daemon refuses command lines with more nodes.
constexpr uint32_t kMaxGpus = 64;
constexpr uint32_t kMaxNodes = 32;

// Every client ring is created and attached with this size.
constexpr size_t kRingBufferSize = 2147483648UL;
