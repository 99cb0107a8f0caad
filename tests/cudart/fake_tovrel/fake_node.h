// A stand-in for libtovrel, for tests only: it answers our runtime library's
// requests in the calling process, with the node's own executor on emulated
// GPUs, so the runtime library's error state, handle tables and copy engine
// run without nvcc, a daemon or a node process. Built as libtovrel.so with
// the real library's SONAME; a test that links it ahead of our
// libcudart.so.13 gets it in place of the real one.
//
// Every request is run when it is made, in call order (a deferred one too:
// the order is what a record keeps); a deferred request gets no answer, a
// no-wait one its answer at once, a waiting one its answer as its result.
// Tests can plant a result for the next request of a function and read the
// log of request headers.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <vector>

#include "common/records.h"

namespace fake_tovrel {

// The GPUs the stand-in offers, and each one's memory.
constexpr uint32_t kGpus = 2;
constexpr uint64_t kGpuMemory = uint64_t{256} << 20;

// The next request of runtime function `api` is answered with `result`
// without running (as a node that failed it would answer).
__attribute__((visibility("default"))) void Plant(uint32_t api, uint32_t result);

// The headers of the requests run since the last call, in order.
__attribute__((visibility("default"))) std::vector<RequestHeader> TakeLog();

}  // namespace fake_tovrel
