// What the parts of RingBuffer (ring_buffer.cc: life cycle; ring_writer.cc;
// ring_reader.cc; ring_backing.cc: shared-memory pages) have in common.
// Internal to libtrellan.
#pragma once

#include <cstdint>

namespace trellan {

constexpr uint64_t kRingPage = 4096;
// The first MiB of data is allocated once and never given back: small records
// keep cycling through it, so it stays resident and warm in the cache.
constexpr uint64_t kRingHotBytes = uint64_t{1} << 20;
// A streaming writer goes back to the start of its ring once it would pass
// this offset, if the record fits below its reader there.
constexpr uint64_t kWarmLapBytes = uint64_t{256} << 20;
// Pages are allocated in chunks of this size as records reach them.
constexpr uint64_t kRingBackingChunk = uint64_t{64} << 10;

inline uint64_t RoundUp(uint64_t v, uint64_t to) { return (v + to - 1) & ~(to - 1); }
inline uint64_t RoundDown(uint64_t v, uint64_t to) { return v & ~(to - 1); }

// Allocates the shared memory under [at, at + length) of a mapping and maps
// it into this process: one call instead of a page fault per page while the
// fill callback copies, and a failure here (no memory, or an object the other
// side shrank) instead of SIGBUS later. The mapping is all it needs, so a ring
// keeps no descriptor. A kernel without the call leaves it to the faults.
bool BackPages(uint8_t* at, uint64_t length);

}  // namespace trellan
