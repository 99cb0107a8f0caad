// The response loop's reading of the response ring: the records of one span
// the ring hands out, each answer handed to the request it names.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/trellan.h"

namespace tovrel {

// The ring's consume callback: walks the response records of one span of
// `length` bytes at `data`; every record must belong to process `pid`.
// Entries are checked against their record before anything in them is
// followed; an answer for an address that is not awaited is skipped. Always
// kRingSuccess: a malformed span is logged and skipped, never fatal.
// A function object, so that the assertion's log line names the function
// as it always has ("operator()").
//
// Thread safety: called by the response loop only; answers reach their
// requests through AwaitingRequests.
struct ChunkReader {
  RingBufferStatus operator()(void* data, size_t length) const;
  uint32_t pid;
};

}  // namespace tovrel
