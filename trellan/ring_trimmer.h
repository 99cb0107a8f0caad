// Giving back the pages of idle rings, whether or not their reader calls Read
// again. Internal to libtrellan.
//
// Every ring object of a process is listed here from its construction to its
// destruction. Its reader notes how far beyond the hot bytes it has read
// since the last trim (TrimSlot::cold_hi); a ring with such bytes is
// "pending". A thread of the process, started when a reader first makes a
// ring pending and ended once no ring is pending, visits the pending rings
// every kTrimPeriodNs. A ring whose read position equals its write position
// and has not moved since the previous visit is idle: its pages beyond the
// hot bytes are given back (GiveBackColdPages), so within two periods of its
// last read.
//
// The thread never reads records and never moves a position; it gives pages
// back only while nothing is unread and no record beyond the hot bytes is
// being placed (the trim gate of ring_layout.h, which keeps it apart from the
// writer). The reader needs no lock: it never touches pages beyond the hot
// bytes unless a record there is unread, and the writer cannot place one
// while the gate is closed.
//
// A forked child starts with an empty list and no thread: rings it inherits
// are its parent's to trim. The thread is called "trellan_trim".
#pragma once

#include <atomic>
#include <cstdint>

#include "trellan/ring_layout.h"

namespace trellan {

// How often the thread visits pending rings; a ring is given back after it
// has been idle for a whole period, so within a second of its last read. A
// ring in steady use with pauses shorter than that keeps its pages: faulting
// a 64 MiB span in again costs about as much as copying it, and a program
// that alternates copies each way pauses each ring for a few hundred ms.
constexpr int64_t kTrimPeriodNs = 500'000'000;

struct TrimSlot {
  // Constant while listed.
  RingHeader* header = nullptr;
  uint8_t* data = nullptr;
  uint64_t capacity = 0;
  uint64_t hot_bytes = 0;

  // Written by the reading thread before it stores its position, read by the
  // trimming thread. cold_hi: the highest data offset beyond the hot bytes
  // released since the last trim, 0 when there is nothing to give back (set
  // to 0 by the trimming thread, only while no record beyond the hot bytes
  // can be released: all read, gate closed). cold_read_pos: the read position
  // after the last release beyond the hot bytes.
  alignas(64) std::atomic<uint64_t> cold_hi{0};
  std::atomic<uint64_t> cold_read_pos{0};

  // The trimming thread's own (under its mutex): cold_read_pos at its last
  // visit.
  alignas(64) uint64_t visited_cold_read_pos = 0;
  bool visited = false;
};

// Lists `slot` (filled in) for as long as its ring is mapped.
void ListForTrim(TrimSlot* slot);

// Takes `slot` off the list; once it returns, the trimming thread no longer
// touches the slot or the ring's memory.
void UnlistForTrim(TrimSlot* slot);

// Starts the trimming thread unless it runs; call after a ring turned pending.
void EnsureTrimmerRuns();

// Reading thread: records that a release up to data offset `end`, beyond the
// hot bytes, moves the read position to `read_pos`. Starts the trimming
// thread when the ring turns pending. A few plain loads and stores: no lock,
// no system call, no clock.
inline void NoteColdRead(TrimSlot* slot, uint64_t end, uint64_t read_pos) {
  slot->cold_read_pos.store(read_pos, std::memory_order_relaxed);
  const uint64_t hi = slot->cold_hi.load(std::memory_order_relaxed);
  if (end <= hi) return;
  if (hi != 0) {
    slot->cold_hi.store(end, std::memory_order_relaxed);
    return;
  }
  // Ordered against the thread's decision to end (see ring_trimmer.cc).
  slot->cold_hi.store(end, std::memory_order_seq_cst);
  EnsureTrimmerRuns();
}

// ring_backing.cc, on the trimming thread: if nothing is unread and no record
// beyond the hot bytes is being placed, gives back the pages beyond the hot
// bytes that were read, clears cold_hi and tells the writer. True if so.
bool GiveBackColdPages(TrimSlot* slot);

}  // namespace trellan
