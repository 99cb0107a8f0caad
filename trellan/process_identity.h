// What identifies a running process across pid reuse: its start time.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace trellan {

struct ProcessState {
  bool running = false;     // exists and has a thread that has not exited
  uint64_t start_time = 0;  // clock ticks after boot; 0 when not running
};

// Reads /proc/<pid>/stat. A pid without an entry, a dead task (X) and a
// zombie (Z) with no other thread left are not running; a zombie leader whose
// other threads still run (it called pthread_exit) is running. The start time
// is the leader's, which its process keeps to the end.
ProcessState ReadProcessState(pid_t pid);

// CLOCK_MONOTONIC in nanoseconds.
int64_t MonotonicNanos();

}  // namespace trellan
