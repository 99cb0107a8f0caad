// RingBuffer's reading side: finding spans, releasing them, and waiting on
// the bell when every ring of a thread's round is empty.
#include <sched.h>

#include <algorithm>
#include <atomic>

#include "common/trellan.h"
#include "trellan/doorbell.h"
#include "trellan/process_identity.h"
#include "trellan/ring_internal.h"
#include "trellan/ring_layout.h"
#include "trellan/ring_trimmer.h"

using trellan::Bell;
using trellan::MonotonicNanos;

namespace {

constexpr int64_t kSpinNs = 20000;
constexpr int64_t kSleepNs = 100'000'000;
constexpr int64_t kMixedSleepNs = 1'000'000;

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// The reading thread's current round over the rings it polls. A round starts
// with the bell's sequence number taken as the key, before any ring is looked
// at, and ends when a record is read or the thread has slept.
struct ReadRound {
  uint64_t id = 0;
  bool active = false;
  bool mixed = false;  // rings of this round sleep on different bells
  Bell* bell = nullptr;
  uint32_t key = 0;
};

std::atomic<uint64_t> next_round_base{1};

ReadRound& ThisThreadsRound() {
  // Round ids are unique across threads, so a ring read by several threads in
  // turn never takes another thread's round for its own.
  thread_local ReadRound round{next_round_base.fetch_add(1, std::memory_order_relaxed) << 32};
  return round;
}

}  // namespace

RingBufferStatus RingBuffer::FindSpan(uint64_t* offset, uint64_t* length) {
  for (;;) {
    const uint64_t r = read_pos_;
    const uint64_t w = header_->write_pos.load(std::memory_order_acquire);
    if (w == r) return kRingEmpty;
    // Never behind its last position, never more than two laps ahead.
    if (w - write_seen_ > 2 * capacity_) return kRingCorrupt;
    write_seen_ = w;
    const uint64_t to_lap_end = capacity_ - (r & mask_);
    const uint64_t unread = w - r;
    if (unread <= to_lap_end) {
      *offset = r & mask_;
      *length = unread;
      return kRingSuccess;
    }
    // The writer has moved on to the next lap; the data of this lap ends at
    // wrap_pos.
    if (unread - to_lap_end > capacity_) return kRingCorrupt;
    const uint64_t data_end = header_->wrap_pos.load(std::memory_order_acquire);
    if (data_end - r > to_lap_end) return kRingCorrupt;
    if (data_end != r) {
      *offset = r & mask_;
      *length = data_end - r;
      return kRingSuccess;
    }
    // Only padding is left in this lap.
    read_pos_ = r + to_lap_end;
    header_->read_pos.store(read_pos_, std::memory_order_release);
  }
}

void RingBuffer::Release(uint64_t offset, uint64_t length) {
  const uint64_t end = offset + length;
  read_pos_ += length;
  // Before the position is stored: the trimming thread that sees it sees this.
  if (end > hot_bytes_) trellan::NoteColdRead(trim_slot_, end, read_pos_);
  // Release: the span's bytes are read before the writer may reuse them.
  header_->read_pos.store(read_pos_, std::memory_order_release);
}

void RingBuffer::WakeReader() { trellan::RingBell(creator_ ? creator_bell_ : &header_->bell); }

void RingBuffer::AwaitRecords(int64_t timeout_ns) {
  if (!reader_declared_) DeclareReader();
  Bell* bell = creator_ ? creator_bell_ : &header_->bell;
  // The key first: a record published after it moves the bell (see
  // doorbell.h), so looking at the ring after taking it misses nothing.
  const uint32_t key = bell->seq.load(std::memory_order_acquire);
  if (MayHaveRecords()) return;
  const int64_t spin_until = MonotonicNanos() + kSpinNs;
  for (unsigned i = 1; bell->seq.load(std::memory_order_acquire) == key; ++i) {
    if (i % 64 == 0) {
      if (MonotonicNanos() >= spin_until) {
        trellan::SleepOnBell(bell, key, timeout_ns);
        return;
      }
      sched_yield();
    }
    CpuRelax();
  }
}

void RingBuffer::DeclareReader() {
  // Tells writers which bell this reader sleeps on.
  header_->reader_bell.store(creator_ ? trellan::kReaderBellCreator : trellan::kReaderBellRing,
                             std::memory_order_release);
  reader_declared_ = true;
}

RingBufferStatus RingBuffer::ConsumeSpan(uint64_t offset, uint64_t length,
                                         const std::function<RingBufferStatus(void*, size_t, size_t*)>& consume) {
  size_t taken = 0;
  RingBufferStatus result = consume(data_ + offset, length, &taken);
  // The span may have been read from pages that replaced vanished ones.
  if (Damaged()) return kRingCorrupt;
  // What was not taken stays unread: the next span starts with it.
  if (taken > 0) Release(offset, std::min<uint64_t>(taken, length));
  return result;
}

bool RingBuffer::MayHaveRecords() {
  if (read_failure_ != kRingSuccess || Damaged()) return true;
  // Acquire as in FindSpan: a position seen here is one Read will see too.
  return header_->write_pos.load(std::memory_order_acquire) != read_pos_;
}

uint64_t RingBuffer::ReaderPosition() const { return header_->read_pos.load(std::memory_order_acquire); }

RingBufferStatus RingBuffer::Read(std::function<RingBufferStatus(void*, size_t)> consume) {
  return ReadPrefix([&consume](void* data, size_t length, size_t* taken) {
    *taken = length;
    return consume(data, length);
  });
}

RingBufferStatus RingBuffer::ReadPrefix(std::function<RingBufferStatus(void*, size_t, size_t*)> consume) {
  if (read_failure_ != kRingSuccess || Damaged()) return read_failure_;
  if (!reader_declared_) DeclareReader();
  Bell* bell = creator_ ? creator_bell_ : &header_->bell;
  ReadRound& round = ThisThreadsRound();
  bool waited = false;
  bool timed_out = false;
  for (;;) {
    uint64_t offset = 0;
    uint64_t length = 0;
    RingBufferStatus status = FindSpan(&offset, &length);
    if (status == kRingEmpty) {
      if (!round.active) {
        // A round starts at the first empty ring. Its key is taken now, so
        // this ring is looked at once more: a record published before the
        // key was taken must not be slept over.
        round.active = true;
        round.mixed = false;
        round.bell = bell;
        ++round.id;
        round.key = bell->seq.load(std::memory_order_acquire);
        status = FindSpan(&offset, &length);
      } else if (round.bell != bell) {
        round.mixed = true;
      }
    }
    if (status == kRingSuccess) {
      round.active = false;
      return ConsumeSpan(offset, length, consume);
    }
    // Damage found while looking (the other side shrank the ring) is
    // reported at once, not after a sleep.
    if (status != kRingEmpty || Damaged()) {
      read_failure_ = Damaged() ? kRingCorrupt : status;
      return read_failure_;
    }
    if (waited) {
      if (!creator_ && (header_->closed.load(std::memory_order_acquire) != 0 || (timed_out && PeerGone()))) {
        read_failure_ = kRingPeerGone;
        return read_failure_;
      }
      round_mark_ = round.id;
      return kRingEmpty;
    }
    if (round_mark_ != round.id) {
      round_mark_ = round.id;
      return kRingEmpty;
    }
    // Back at a ring already found empty in this round: every ring of the
    // round is empty. Sleep until any of them gets a record.
    timed_out = !WaitOnBell(bell, round.mixed, round.key);
    waited = true;
    round.active = false;
  }
}

bool RingBuffer::WaitOnBell(Bell* bell, bool mixed_round, uint32_t key) {
  if (mixed_round) {
    // The round's key belongs to another bell; a fresh key may miss a record
    // published just before it was taken, so the sleep is kept short.
    return trellan::SleepOnBell(bell, bell->seq.load(std::memory_order_acquire), kMixedSleepNs);
  }
  const int64_t spin_until = MonotonicNanos() + kSpinNs;
  for (unsigned i = 1;; ++i) {
    if (bell->seq.load(std::memory_order_acquire) != key) return true;
    if (i % 64 == 0) {
      if (MonotonicNanos() >= spin_until) break;
      // The writer may be waiting for this CPU; a spin must not keep it off.
      sched_yield();
    }
    CpuRelax();
  }
  return trellan::SleepOnBell(bell, key, kSleepNs);
}

