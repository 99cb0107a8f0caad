// What the definitions of libtovrel share and do not export.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "client/tovrel.h"
#include "common/request_batch.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace tovrel {

// A written request reaches the response loop through another process (the
// daemon), which the thread sanitizer cannot see: these two calls tell it
// that everything the writer did to the request happens before the response
// loop touches it. They compile to nothing otherwise.
inline void HandOverToAnswer(Request* request) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(request);
#else
  (void)request;
#endif
}
inline void TakeOverForAnswer(Request* request) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(request);
#else
  (void)request;
#endif
}

// How long registration waits for the daemon's reply, in all: the bound for
// a daemon that is there but slow (an absent one is known at once). A crowd
// of a thousand programs starting on a small machine keeps a daemon busy for
// seconds.
constexpr int kReplyTimeoutMs = 30000;
// Pause before the pid datagram is sent again; it doubles with every attempt.
constexpr int kFirstResendMs = 100;

// Largest record a thread's deferred batch may take. Well below the ring's
// size, so a batch always fits once the daemon has drained the ring; a
// deferred request that would take the batch past it writes the batch first.
constexpr uint64_t kMaxPendingRecordBytes = uint64_t{16} << 20;
static_assert(kMaxPendingRecordBytes < kRingBufferSize);

// The calling process's id without a system call; right in a child forked
// with fork() (not with a raw clone).
pid_t CurrentPid();

// Pauses 1 ms, resuming after signals until the whole pause has passed.
void PauseOneMillisecond();

// Destroys a request's pieces and callback (without running it) and frees it.
inline void ReleaseRequest(Request* request) { delete request; }

// Nobody waits for the answer of a no-wait or deferred request: the response
// loop releases it.
inline bool SomebodyWaits(const Request* request) {
  return (request->header.flags & (kRequestNoWait | kRequestDeferrable)) == 0;
}

// Bytes that request takes in a request record: its header and its pieces.
inline uint64_t EntryBytes(const Request* request) { return RequestEntryBytes(request->header.size); }

}  // namespace tovrel
