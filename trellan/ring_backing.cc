#include <errno.h>
#include <sys/mman.h>

#include <algorithm>

#include "common/trellan.h"
#include "trellan/ring_internal.h"
#include "trellan/ring_layout.h"
#include "trellan/ring_trimmer.h"

using trellan::BackPages;
using trellan::kRingBackingChunk;
using trellan::kRingPage;
using trellan::RingHeader;
using trellan::RoundDown;
using trellan::RoundUp;
using trellan::TrimSlot;

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

bool trellan::BackPages(uint8_t* at, uint64_t length) {
  int rc;
  do {
    rc = madvise(at, length, MADV_POPULATE_WRITE);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno == EINVAL;
}

// Writer side: makes sure [offset, offset + length) is allocated, remembering
// what is known to be so (the hot bytes from the start, one range beyond).
RingBufferStatus RingBuffer::EnsureBacking(uint64_t offset, uint64_t length) {
  const uint64_t end = offset + length;
  if (offset < hot_bytes_) {
    const uint64_t hot_end = std::min(end, hot_bytes_);
    if (hot_end > hot_backed_) {
      const uint64_t to = std::min(hot_bytes_, RoundUp(hot_end, kRingBackingChunk));
      if (!BackPages(data_ + hot_backed_, to - hot_backed_)) return kRingNoMemory;
      hot_backed_ = to;
    }
  }
  if (end <= hot_bytes_) return kRingSuccess;

  const uint64_t lo = RoundDown(std::max(offset, hot_bytes_), kRingPage);
  const uint64_t needed_hi = RoundUp(end, kRingPage);
  const uint64_t hi = std::min(capacity_, RoundUp(end, kRingBackingChunk));
  const bool known = cold_hi_ > cold_lo_;
  if (known && lo >= cold_lo_ && needed_hi <= cold_hi_) return kRingSuccess;
  if (known && lo <= cold_hi_ && hi >= cold_lo_) {
    if (lo < cold_lo_) {
      if (!BackPages(data_ + lo, cold_lo_ - lo)) return kRingNoMemory;
      cold_lo_ = lo;
    }
    if (hi > cold_hi_) {
      if (!BackPages(data_ + cold_hi_, hi - cold_hi_)) return kRingNoMemory;
      cold_hi_ = hi;
    }
    return kRingSuccess;
  }
  if (!BackPages(data_ + lo, hi - lo)) return kRingNoMemory;
  cold_lo_ = lo;
  cold_hi_ = hi;
  return kRingSuccess;
}

// The trimming thread, for the reader (ring_trimmer.h).
bool trellan::GiveBackColdPages(TrimSlot* slot) {
  RingHeader* header = slot->header;
  bool given = false;
  // The gate and the writer's flag exclude each other (each side sets its
  // own, then reads the other's, all sequentially consistent): pages are
  // given back only while no record beyond the hot bytes is being placed and
  // none is unread. The reader touches those pages only for an unread record,
  // so it needs no part in this.
  header->trim_gate.store(1, std::memory_order_seq_cst);
  if (header->writer_in_cold.load(std::memory_order_seq_cst) == 0 &&
      header->write_pos.load(std::memory_order_acquire) == header->read_pos.load(std::memory_order_acquire)) {
    const uint64_t read_hi = slot->cold_hi.load(std::memory_order_relaxed);
    const uint64_t to = std::min(slot->capacity, RoundUp(read_hi, kRingBackingChunk));
    if (to > slot->hot_bytes) madvise(slot->data + slot->hot_bytes, to - slot->hot_bytes, MADV_REMOVE);
    slot->cold_hi.store(0, std::memory_order_relaxed);
    // The writer forgets what it knew was allocated beyond the hot bytes.
    header->trim_epoch.store(header->trim_epoch.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    given = true;
  }
  header->trim_gate.store(0, std::memory_order_release);
  return given;
}
