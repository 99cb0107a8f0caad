// What identifies a running process across pid reuse: its start time.
#pragma once

#include <sys/types.h>

#include <cstdint>

namespace trellan {

struct ProcessState {
  bool running = false;     // exists and is not a zombie
  uint64_t start_time = 0;  // clock ticks after boot; 0 when not running
};

// Reads /proc/<pid>/stat. A pid without an entry, a zombie (Z) and a dead
// task (X) are not running.
ProcessState ReadProcessState(pid_t pid);

// CLOCK_MONOTONIC in nanoseconds.
int64_t MonotonicNanos();

}  // namespace trellan
