// Bells: futex words in shared memory on which ring readers sleep.
//
// A reader that attached a ring sleeps on the ring's own bell. A process
// that created rings and reads them (the daemon reads every client's request
// ring on one thread) sleeps on one bell of its own, the process bell, which
// every writer of those rings rings, so one sleep covers all of its rings.
//
// The process bell is a small shared-memory object of its own, created on
// first use and named in the header of every ring the process creates; the
// attaching side maps it by that name. The name is unlinked when the creating
// process exits normally.
//
// Wake-up protocol (no lost wake-ups): a writer publishes its record, then
// increments `seq` (a full barrier) and then reads `sleepers`. A reader takes
// `seq` as its key before it looks at its rings; to sleep it increments
// `sleepers` (a full barrier), then sleeps only if `seq` still equals the
// key. Either the writer sees the sleeper and wakes it, or the reader sees the
// new `seq` and does not sleep.
#pragma once

#include <sys/stat.h>
#include <cstdint>
#include <string>

#include "trellan/ring_layout.h"

namespace trellan {

// The calling process's bell, created on first call; its name is stored in
// `*name`. Null (errno set) if it cannot be created. Never unmapped.
Bell* LocalBell(std::string* name);

// The process bell, if this process has one; null otherwise.
Bell* LocalBellIfCreated();

// Maps the bell called `name`; `*mapping` receives what UnmapBell releases.
// Null if the object is missing or is not a bell.
Bell* MapBell(const char* name, void** mapping);
void UnmapBell(void* mapping);

// Whether `name`, an entry of the shared-memory directory open as `dir_fd`,
// is a process bell whose creator no longer runs (or whose pid now belongs to
// a process started at another time). False for anything that is not a bell
// by its name, size and magic.
bool IsOrphanBell(int dir_fd, const char* name);

// Whether a shared-memory object has not changed for a minute: one without
// its magic by then was left half made by a creator that died making it.
bool LongUnchanged(const struct stat& st);

// After a publish: bumps the bell and wakes its sleepers, if any.
void RingBell(Bell* bell);

// Sleeps until `seq` differs from `key` or `timeout_ns` pass. False when it
// timed out.
bool SleepOnBell(Bell* bell, uint32_t key, int64_t timeout_ns);

}  // namespace trellan
