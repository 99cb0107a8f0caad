// Plants a ring's state for tests, so that a ring starts at any position
// instead of replaying the history that would bring it there. The library
// declares this class a friend of RingBuffer and never defines it.
#pragma once

#include <atomic>
#include <cstdint>

#include "common/trellan.h"
#include "trellan/ring_layout.h"

class RingBufferTestPeer {
 public:
  // Moves an unused ring to `pos`, as if `pos` bytes had been written and
  // read. Call on the creating side before anything is written or read and
  // before the other side attaches: an attacher takes its positions from the
  // header.
  static void StartAt(RingBuffer* ring, uint64_t pos) {
    trellan::RingHeader* header = ring->header_;
    header->wrap_pos.store(pos, std::memory_order_relaxed);
    header->read_pos.store(pos, std::memory_order_relaxed);
    header->write_pos.store(pos, std::memory_order_release);
    ring->write_pos_ = pos;
    ring->read_seen_ = pos;
    ring->wrap_lap_ = pos & ~ring->mask_;
    ring->pad_start_ = pos;
    ring->read_pos_ = pos;
    ring->write_seen_ = pos;
  }

  static uint64_t WritePos(const RingBuffer& ring) {
    return ring.header_->write_pos.load(std::memory_order_acquire);
  }
};
