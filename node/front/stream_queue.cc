#include "node/front/stream_queue.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace zantu_node {

void StreamQueue::Push(std::string chunk) {
  if (chunk.empty()) return;
  {
    zantu::MutexLock lock(&mutex_);
    chunks_.push_back(std::move(chunk));
  }
  cv_.notify_one();
}

void StreamQueue::End() {
  {
    zantu::MutexLock lock(&mutex_);
    ended_ = true;
  }
  cv_.notify_one();
}

void StreamQueue::Abort() {
  {
    zantu::MutexLock lock(&mutex_);
    aborted_ = true;
  }
  cv_.notify_one();
}

StreamRead StreamQueue::Read(void* data, size_t length) {
  char* out = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    if (current_pos_ < current_.size()) {
      const size_t n = std::min(length - done, current_.size() - current_pos_);
      std::memcpy(out + done, current_.data() + current_pos_, n);
      current_pos_ += n;
      done += n;
      continue;
    }
    zantu::MutexLock lock(&mutex_);
    while (chunks_.empty() && !ended_ && !aborted_) cv_.wait(mutex_);
    if (aborted_) return StreamRead::kEnded;
    if (chunks_.empty()) return done == 0 ? StreamRead::kEnded : StreamRead::kTruncated;
    current_ = std::move(chunks_.front());
    chunks_.pop_front();
    current_pos_ = 0;
  }
  return StreamRead::kComplete;
}

}  // namespace zantu_node
