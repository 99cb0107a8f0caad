// Buffers for request record bodies, kept for reuse: a large body (a 64 MiB
// copy) lands in memory whose pages are already mapped instead of in a fresh
// mapping that faults on every page.
//
// Thread safety: Take and Give from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "common/thread_annotations.h"

namespace zantu_node {

struct BodyBuffer {
  std::unique_ptr<char[]> data;
  uint64_t capacity = 0;
};

class BodyPool {
 public:
  BodyPool() = default;
  BodyPool(const BodyPool&) = delete;
  BodyPool& operator=(const BodyPool&) = delete;

  // A buffer of at least `size` bytes (contents undefined); `data` is null
  // when memory runs out.
  BodyBuffer Take(uint64_t size);
  // Returns a buffer; it is kept if the pool has room, else freed.
  void Give(BodyBuffer buffer);

 private:
  // Smaller buffers are cheap to make and are not kept.
  static constexpr uint64_t kMinKept = uint64_t{64} << 10;
  static constexpr size_t kMaxKept = 8;
  static constexpr uint64_t kMaxKeptBytes = uint64_t{256} << 20;

  zantu::Mutex mutex_;
  std::vector<BodyBuffer> free_ GUARDED_BY(mutex_);
  uint64_t free_bytes_ GUARDED_BY(mutex_) = 0;
};

}  // namespace zantu_node
