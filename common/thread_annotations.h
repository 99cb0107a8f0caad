// Lock annotations that clang's -Wthread-safety checks (a clang build with
// ZANTU_THREAD_SAFETY=ON); other compilers see nothing.
#pragma once

#include <mutex>

#if defined(__clang__)
#define ZANTU_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZANTU_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZANTU_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZANTU_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZANTU_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZANTU_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) ZANTU_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) ZANTU_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) ZANTU_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) ZANTU_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZANTU_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) ZANTU_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) ZANTU_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) ZANTU_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS ZANTU_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zantu {

// std::mutex as clang's analysis sees it: libstdc++'s mutex carries no
// annotations, so guarded members name this wrapper instead.
class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { mutex_.lock(); }
  void unlock() RELEASE() { mutex_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // For std::condition_variable, which waits on a std::unique_lock<std::mutex>.
  std::mutex& native() RETURN_CAPABILITY(this) { return mutex_; }

 private:
  std::mutex mutex_;
};

// A scoped guard the analysis understands (std::lock_guard is not annotated
// in libstdc++).
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_->lock(); }
  ~MutexLock() RELEASE() { mutex_->unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* const mutex_;
};

}  // namespace zantu
