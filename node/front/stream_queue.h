// The daemon's stream as the Light receiver thread has put it back in order,
// waiting for the serving thread. One producer, one consumer; Abort from
// any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

#include "common/thread_annotations.h"
#include "node/front/node_link.h"

namespace zantu_node {

class StreamQueue {
 public:
  StreamQueue() = default;
  StreamQueue(const StreamQueue&) = delete;
  StreamQueue& operator=(const StreamQueue&) = delete;

  // Producer: appends the bytes of `chunk` (empty chunks are ignored).
  void Push(std::string chunk);

  // Producer (or the owner at shutdown): no byte follows what was pushed.
  void End();

  // Any thread: the consumer's reads end at once (kEnded), whatever is
  // still queued.
  void Abort();

  // Consumer: blocks until `length` bytes are copied into `data` or the
  // stream has ended. The copy runs outside the lock, so a large read never
  // holds up the producer.
  StreamRead Read(void* data, size_t length);

 private:
  zantu::Mutex mutex_;
  std::condition_variable_any cv_;  // signalled on every Push, on End and on Abort
  std::deque<std::string> chunks_ GUARDED_BY(mutex_);
  bool ended_ GUARDED_BY(mutex_) = false;
  bool aborted_ GUARDED_BY(mutex_) = false;

  // Consumer-private: the chunk being read.
  std::string current_;
  size_t current_pos_ = 0;
};

}  // namespace zantu_node
