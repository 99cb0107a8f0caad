// Lets the reading thread cut short a client's waits (the test module's
// delay) when the client has gone or the node stops.
//
// Thread safety: Cancel from any thread; SleepFor and cancelled from the
// worker that owns the token.
#pragma once

#include <chrono>
#include <condition_variable>

#include "common/thread_annotations.h"

namespace zantu_node {

class CancelToken {
 public:
  void Cancel() EXCLUDES(mutex_) {
    {
      zantu::MutexLock lock(&mutex_);
      cancelled_ = true;
    }
    cv_.notify_all();
  }

  bool cancelled() EXCLUDES(mutex_) {
    zantu::MutexLock lock(&mutex_);
    return cancelled_;
  }

  // Waits `duration`; false when cancelled before (or during) it.
  bool SleepFor(std::chrono::microseconds duration) {
    const auto deadline = std::chrono::steady_clock::now() + duration;
    zantu::MutexLock lock(&mutex_);
    while (!cancelled_) {
      if (cv_.wait_until(mutex_, deadline) == std::cv_status::timeout) break;
    }
    return !cancelled_;
  }

 private:
  zantu::Mutex mutex_;
  std::condition_variable_any cv_;  // signalled by Cancel
  bool cancelled_ GUARDED_BY(mutex_) = false;
};

}  // namespace zantu_node
