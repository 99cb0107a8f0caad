// Lets the reading thread cut short a client's waits (the test module's
// delay) when the client has gone or the node stops.
//
// Thread safety: Cancel from any thread; SleepFor and cancelled from the
// worker that owns the token.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zantu_node {

class CancelToken {
 public:
  void Cancel() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      cancelled_ = true;
    }
    cv_.notify_all();
  }

  bool cancelled() {
    std::lock_guard<std::mutex> lock(mutex_);
    return cancelled_;
  }

  // Waits `duration`; false when cancelled before (or during) it.
  bool SleepFor(std::chrono::microseconds duration) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !cv_.wait_for(lock, duration, [this] { return cancelled_; });
  }

 private:
  std::mutex mutex_;             // guards cancelled_
  std::condition_variable cv_;   // signalled by Cancel
  bool cancelled_ = false;
};

}  // namespace zantu_node
