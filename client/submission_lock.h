// The lock that serialises registration and every write into the request
// ring, as clang's thread-safety analysis sees it.
//
// The lock itself is CudaTovrel::mutex_, a std::mutex: its type is part of the
// exported class in client/tovrel.h, and libstdc++'s std::mutex carries no
// capability annotation. `submission_mutex` is an empty capability that
// stands for it, and SubmissionLock, which takes the real mutex, acquires
// that capability, so that the analysis checks the library's REQUIRES and
// EXCLUDES on it. Library code takes CudaTovrel::mutex_ only through
// SubmissionLock.
#pragma once

#include <mutex>

#include "common/thread_annotations.h"

namespace tovrel {

class CAPABILITY("mutex") SubmissionMutex {};

// Stands for CudaTovrel::mutex_; holds no state.
extern SubmissionMutex submission_mutex;

class SCOPED_CAPABILITY SubmissionLock {
 public:
  // `mutex` must be CudaTovrel::mutex_.
  explicit SubmissionLock(std::mutex& mutex) ACQUIRE(submission_mutex) : lock_(mutex) {}
  ~SubmissionLock() RELEASE() {}
  SubmissionLock(const SubmissionLock&) = delete;
  SubmissionLock& operator=(const SubmissionLock&) = delete;

 private:
  std::lock_guard<std::mutex> lock_;
};

}  // namespace tovrel
