// RingBuffer's writing side: where a record goes, its backing, its fill and
// its publication.
#include <atomic>

#include "common/trellan.h"
#include "trellan/doorbell.h"
#include "trellan/process_identity.h"
#include "trellan/ring_internal.h"
#include "trellan/ring_layout.h"

using trellan::MonotonicNanos;

namespace {

// How often a writer that finds the ring full asks whether its reader lives.
constexpr int64_t kLivenessIntervalNs = 100'000'000;

// Clears the writer's flag however the write ends (a throw of the fill
// callback too).
class ColdGuard {
 public:
  explicit ColdGuard(std::atomic<uint32_t>* flag) : flag_(flag) {}
  ~ColdGuard() {
    if (flag_ != nullptr) flag_->store(0, std::memory_order_release);
  }
  ColdGuard(const ColdGuard&) = delete;
  ColdGuard& operator=(const ColdGuard&) = delete;

 private:
  std::atomic<uint32_t>* flag_;
};

}  // namespace

RingBufferStatus RingBuffer::Write(size_t size, std::function<RingBufferStatus(void*)> fill) {
  if (size > capacity_) return kRingTooLarge;
  if (write_failure_ != kRingSuccess || Damaged()) return write_failure_;
  if (size == 0) return fill(data_ + (write_pos_ & mask_));

  uint64_t start = 0;
  RingBufferStatus status = PlaceRecord(size, &start);
  if (status != kRingSuccess) return status;
  const uint64_t offset = start & mask_;
  // A record beyond the hot bytes keeps the writer's flag raised until it is
  // published (or dropped): until then the reader's side sees nothing unread
  // and could give its pages back.
  const bool cold = offset + size > hot_bytes_;
  if (cold && !EnterCold()) return Full();
  ColdGuard guard(cold ? &header_->writer_in_cold : nullptr);
  status = FillRecord(offset, size, fill);
  if (status != kRingSuccess) return status;
  PublishRecord(start, size);
  return kRingSuccess;
}

RingBufferStatus RingBuffer::PlaceRecord(uint64_t size, uint64_t* start) {
  // The reader's position as last seen is never ahead of the real one, so a
  // place found with it is free. It is trusted only for a record that ends
  // in pages already backed: the reader's cache line then stays where it is
  // for most records. A fresh position may show room the cached one does not,
  // or an empty ring that restarts at offset 0 instead of reaching new pages.
  if (FindRoom(read_seen_, size, start) == kRoomBacked) return kRingSuccess;
  const uint64_t r = header_->read_pos.load(std::memory_order_acquire);
  // Behind its last position, or ahead of the writer: damaged.
  if (r - read_seen_ > write_pos_ - read_seen_) {
    write_failure_ = kRingCorrupt;
    return write_failure_;
  }
  read_seen_ = r;
  switch (FindRoom(r, size, start)) {
    case kRoomBacked:
    case kRoomUnbacked:
      return kRingSuccess;
    case kRoomNone:
      return Full();
    case kRoomReaderDamaged:
      break;
  }
  write_failure_ = kRingCorrupt;
  return write_failure_;
}

RingBuffer::Room RingBuffer::FindRoom(uint64_t r, uint64_t size, uint64_t* start) const {
  const uint64_t w = write_pos_;
  const uint64_t ow = w & mask_;
  const uint64_t lap_start = w - ow;
  const uint64_t unread = w - r;
  bool placed = false;
  if (unread <= ow) {
    // The reader is in this lap: the unread bytes are [r, w).
    const uint64_t read_offset = r & mask_;
    if (unread == 0) {
      // Empty: start over at offset 0 (a new lap, unless already there).
      *start = ow == 0 ? w : lap_start + capacity_;
      placed = true;
    } else {
      const bool fits_here = ow + size <= capacity_;
      // The next lap's start is free below the reader's offset. Going there
      // early keeps a ring whose reader keeps up inside its hot bytes. Only
      // then: from there on records fit only below the reader's offset until
      // it has read the rest of its lap, which must be little. A ring that
      // streams large records goes back to its start too once it is
      // kWarmLapBytes in: pages it has used are mapped and warm, while
      // fresh ones cost a fault each and, on a virtual machine, a first
      // touch of the host's memory (ten times slower than a copy into
      // memory already touched).
      const bool early = (ow + size > hot_bytes_ && unread <= hot_bytes_) || ow + size > trellan::kWarmLapBytes;
      if (size <= read_offset && (!fits_here || early)) {
        *start = lap_start + capacity_;
        placed = true;
      } else if (fits_here) {
        *start = w;
        placed = true;
      }
    }
  } else {
    // The reader is still in the previous lap, before or at its padding.
    const uint64_t pad = wrap_lap_ == lap_start ? pad_start_ : w;
    const uint64_t base = lap_start - capacity_;
    if (r - base > pad - base) {
      // Two laps apart only after a whole-ring record went to the start of a
      // lap while the reader sat at the previous lap's data end: full.
      const bool whole_ring_record = ow == 0 && w == wrap_lap_ + capacity_ && r == pad_start_;
      return whole_ring_record ? kRoomNone : kRoomReaderDamaged;
    }
    // Stop short of the lap end while the reader is a lap behind, so that the
    // writer is never two laps ahead.
    const uint64_t limit = r == pad ? capacity_ - 1 : (r & mask_);
    if (ow + size <= limit) {
      *start = w;
      placed = true;
    }
  }
  if (!placed) return kRoomNone;
  return (*start & mask_) + size <= hot_backed_ ? kRoomBacked : kRoomUnbacked;
}

bool RingBuffer::EnterCold() {
  // Pages beyond the hot bytes may be given back for an idle reader; the
  // flag and the reader's gate keep the two apart (see GiveBackColdPages).
  header_->writer_in_cold.store(1, std::memory_order_seq_cst);
  if (header_->trim_gate.load(std::memory_order_seq_cst) != 0) {
    header_->writer_in_cold.store(0, std::memory_order_release);
    return false;
  }
  const uint32_t epoch = header_->trim_epoch.load(std::memory_order_acquire);
  if (epoch != trim_epoch_seen_) {
    trim_epoch_seen_ = epoch;
    cold_lo_ = cold_hi_ = 0;
  }
  return true;
}

RingBufferStatus RingBuffer::FillRecord(uint64_t offset, uint64_t size,
                                        const std::function<RingBufferStatus(void*)>& fill) {
  RingBufferStatus status = EnsureBacking(offset, size);
  if (Damaged()) return kRingCorrupt;
  if (status != kRingSuccess) return status;
  status = fill(data_ + offset);
  // What the fill wrote may have gone to pages that replaced vanished ones.
  if (Damaged()) return kRingCorrupt;
  return status;
}

void RingBuffer::PublishRecord(uint64_t start, uint64_t size) {
  const uint64_t start_lap = start & ~mask_;
  if (start_lap != wrap_lap_) {
    // First record of a new lap: tell the reader where the last one ended.
    header_->wrap_pos.store(write_pos_, std::memory_order_relaxed);
    wrap_lap_ = start_lap;
    pad_start_ = write_pos_;
  }
  write_pos_ = start + size;
  // Release: the record's bytes and wrap_pos are visible before the position.
  header_->write_pos.store(write_pos_, std::memory_order_release);
  RingReaderBells();
}

RingBufferStatus RingBuffer::Full() {
  // A writer that attached keeps waiting for room only while the ring's
  // creator, its reader, is there to make it.
  if (!creator_) {
    const int64_t now = MonotonicNanos();
    if (now - liveness_checked_ns_ >= kLivenessIntervalNs) {
      liveness_checked_ns_ = now;
      if (PeerGone()) {
        write_failure_ = kRingPeerGone;
        return write_failure_;
      }
    }
  }
  return kRingFull;
}

void RingBuffer::RingReaderBells() {
  uint32_t bell = reader_bell_seen_;
  if (bell == trellan::kReaderBellUnknown) {
    // Set once by the reader; until then both bells ring, so no wake-up is
    // lost whichever bell the reader ends up on.
    bell = header_->reader_bell.load(std::memory_order_acquire);
    if (bell == trellan::kReaderBellRing || bell == trellan::kReaderBellCreator) reader_bell_seen_ = bell;
  }
  if (bell != trellan::kReaderBellCreator) trellan::RingBell(&header_->bell);
  if (bell != trellan::kReaderBellRing) trellan::RingBell(creator_bell_);
}
