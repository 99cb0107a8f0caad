// The process id, cached: getpid is a system call, and every Dispatch asks
// whether it runs in the registered process or in a forked child.
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include "client/internal.h"

namespace tovrel {
namespace {

// Relaxed is enough: the value is set once per process image, before any
// other thread of that process exists (at load, and in a forked child,
// which starts with the forking thread alone).
std::atomic<pid_t> cached_pid{0};

void RefreshInChild() { cached_pid.store(getpid(), std::memory_order_relaxed); }

// Runs at load, before libtovrel's initialiser registers the process.
__attribute__((constructor(101))) void WatchForks() {
  cached_pid.store(getpid(), std::memory_order_relaxed);
  pthread_atfork(nullptr, nullptr, RefreshInChild);
}

}  // namespace

pid_t CurrentPid() {
  const pid_t pid = cached_pid.load(std::memory_order_relaxed);
  return pid != 0 ? pid : getpid();
}

}  // namespace tovrel
