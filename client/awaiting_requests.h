// The requests of this process written into the request ring whose answer has
// not come yet.
#pragma once

#include <cstdint>
#include <vector>

#include "client/address_set.h"
#include "client/submission_lock.h"
#include "client/tovrel.h"
#include "common/thread_annotations.h"

namespace tovrel {

// The response loop finds answers only here, so it never follows an address
// the node sent that is not a live request of this process.
//
// Thread safety: every method may be called from any thread; mutex_ is taken
// after CudaTovrel::mutex_ (submission_mutex) where both are held, never
// before it.
class AwaitingRequests {
 public:
  // The process's one set; never destroyed (the detached response loop may
  // still run while static objects are torn down).
  static AwaitingRequests& Get();

  // Adds a request about to be written. False once the response loop has
  // ended: no answer could come any more.
  [[nodiscard]] bool Add(Request* request) EXCLUDES(mutex_);
  // Removes it again after a failed write.
  void Remove(Request* request) EXCLUDES(mutex_);
  // Removes and returns the request with that address; null if the address
  // names no awaited request.
  Request* Take(uint64_t address) EXCLUDES(mutex_);
  // Marks the loop ended and hands out everything still awaited.
  std::vector<Request*> EndAndTakeAll() EXCLUDES(mutex_);
  // True when no answer is awaited at this moment.
  bool Empty() EXCLUDES(mutex_);

 private:
  AwaitingRequests() = default;

  zantu::Mutex mutex_ ACQUIRED_AFTER(submission_mutex);
  AddressSet addresses_ GUARDED_BY(mutex_);
  bool ended_ GUARDED_BY(mutex_) = false;
};

}  // namespace tovrel
