#include "node/body_pool.h"

#include <new>

namespace zantu_node {

BodyBuffer BodyPool::Take(uint64_t size) {
  {
    zantu::MutexLock lock(&mutex_);
    size_t best = free_.size();
    for (size_t i = 0; i < free_.size(); ++i) {
      if (free_[i].capacity >= size && (best == free_.size() || free_[i].capacity < free_[best].capacity)) best = i;
    }
    if (best != free_.size()) {
      BodyBuffer buffer = std::move(free_[best]);
      free_.erase(free_.begin() + static_cast<ptrdiff_t>(best));
      free_bytes_ -= buffer.capacity;
      return buffer;
    }
  }
  BodyBuffer buffer;
  const uint64_t capacity = size == 0 ? 1 : size;
  buffer.data.reset(new (std::nothrow) char[capacity]);
  buffer.capacity = buffer.data ? capacity : 0;
  return buffer;
}

void BodyPool::Give(BodyBuffer buffer) {
  if (!buffer.data || buffer.capacity < kMinKept || buffer.capacity > kMaxKeptBytes) return;
  zantu::MutexLock lock(&mutex_);
  if (free_.size() >= kMaxKept || free_bytes_ + buffer.capacity > kMaxKeptBytes) {
    // Keep the larger buffers: they are the expensive ones to make.
    size_t smallest = 0;
    for (size_t i = 1; i < free_.size(); ++i) {
      if (free_[i].capacity < free_[smallest].capacity) smallest = i;
    }
    if (free_.empty() || free_[smallest].capacity >= buffer.capacity) return;
    free_bytes_ -= free_[smallest].capacity;
    free_.erase(free_.begin() + static_cast<ptrdiff_t>(smallest));
    if (free_bytes_ + buffer.capacity > kMaxKeptBytes) return;
  }
  free_bytes_ += buffer.capacity;
  free_.push_back(std::move(buffer));
}

}  // namespace zantu_node
