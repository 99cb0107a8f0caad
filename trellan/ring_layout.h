// Layout of a ring in shared memory: one header page, then `capacity` data
// bytes. Both processes map the same object; every field the other side can
// write is checked before use.
//
// Positions are 64-bit byte counts that only grow and are compared only
// through unsigned differences, so they may wrap past 2^64; capacity is a
// power of two, so a position's offset is `pos & (capacity - 1)`.
//
// Invariants (as kept by an honest writer; the reader checks them):
// - read_pos <= write_pos; records lie between them back to back.
// - A record never straddles the end of the data area. When the next record
//   goes to the start of a new lap, the bytes from the previous lap's data end
//   to the lap end are padding; wrap_pos holds that data end. wrap_pos is
//   stored before a write_pos beyond the reader's lap is published and stays
//   unchanged until the reader has entered the new lap.
// - The writer never writes over unread bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace trellan {

// Bumped whenever the header's layout changes, so that a process built with
// another layout refuses the ring instead of misreading it.
constexpr uint64_t kRingMagic = 0x3247'4e49'524c'5254ULL;  // "TRLRING2"
constexpr size_t kRingHeaderBytes = 4096;
constexpr size_t kBellNameSize = 64;

// A futex word and the number of threads asleep on it. Writers bump `seq`
// after every publish and call FUTEX_WAKE only when `sleepers` is non-zero.
struct Bell {
  std::atomic<uint32_t> seq;
  std::atomic<uint32_t> sleepers;
};

// Which bell the reader of a ring sleeps on (RingHeader::reader_bell).
enum ReaderBell : uint32_t {
  kReaderBellUnknown = 0,  // no reader yet: writers ring both
  kReaderBellRing = 1,     // the ring's own bell: the reader attached
  kReaderBellCreator = 2,  // the creating process's bell: the reader created
};

struct RingHeader {
  // Written by the creator before `magic` is published; constant afterwards.
  std::atomic<uint64_t> magic;
  uint64_t capacity;
  uint64_t creator_start_time;  // clock ticks after boot, from /proc
  uint32_t creator_pid;
  std::atomic<uint32_t> closed;       // set once by the creator's destructor
  std::atomic<uint32_t> reader_bell;  // ReaderBell, set once by the reader
  uint32_t reserved0;
  char bell_name[kBellNameSize];      // the creator's process bell

  // Written by the writer. The writer's and the reader's words lie 128 bytes
  // apart: the CPU fetches cache lines in pairs, and a store of one side
  // would otherwise take the other side's line away from it.
  alignas(128) std::atomic<uint64_t> write_pos;
  std::atomic<uint64_t> wrap_pos;
  std::atomic<uint32_t> writer_in_cold;  // 1 while a record beyond the hot bytes is placed

  // Written by the reader.
  alignas(128) std::atomic<uint64_t> read_pos;
  std::atomic<uint32_t> trim_epoch;  // bumped after pages were given back
  std::atomic<uint32_t> trim_gate;   // 1 while the reader gives pages back

  // The bell of a reader that attached.
  alignas(128) Bell bell;
};

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(sizeof(std::atomic<uint64_t>) == 8 && sizeof(std::atomic<uint32_t>) == 4);
static_assert(offsetof(RingHeader, magic) == 0);
static_assert(offsetof(RingHeader, capacity) == 8);
static_assert(offsetof(RingHeader, creator_start_time) == 16);
static_assert(offsetof(RingHeader, creator_pid) == 24);
static_assert(offsetof(RingHeader, closed) == 28);
static_assert(offsetof(RingHeader, reader_bell) == 32);
static_assert(offsetof(RingHeader, bell_name) == 40);
static_assert(offsetof(RingHeader, write_pos) == 128);
static_assert(offsetof(RingHeader, wrap_pos) == 136);
static_assert(offsetof(RingHeader, writer_in_cold) == 144);
static_assert(offsetof(RingHeader, read_pos) == 256);
static_assert(offsetof(RingHeader, trim_epoch) == 264);
static_assert(offsetof(RingHeader, trim_gate) == 268);
static_assert(offsetof(RingHeader, bell) == 384);
static_assert(sizeof(RingHeader) <= kRingHeaderBytes);

}  // namespace trellan
