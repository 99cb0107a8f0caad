// Long streams through the ring buffer, between two processes and between
// two threads: every byte and the order of a million records are checked.
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>

#include <gtest/gtest.h>

#include "common/trellan.h"
#include "harness/processes.h"

namespace {

using namespace testing_util;

std::string RingName() { return UniqueName("trellan_ring_stress"); }

uint64_t Mix(uint64_t x) {
  x ^= x >> 33;
  x *= 0xff51afd7ed558ccdULL;
  x ^= x >> 33;
  x *= 0xc4ceb9fe1a85ec53ULL;
  x ^= x >> 33;
  return x;
}

// Record i of the stress stream: mostly small, some up to 64 KiB, some empty.
size_t SizeOf(uint64_t i) {
  uint64_t h = Mix(i + 0x9e3779b97f4a7c15ULL);
  uint64_t pick = h % 100;
  uint64_t h2 = Mix(h);
  if (pick < 90) return h2 % 256;
  if (pick < 99) return 256 + h2 % 3840;
  return 4096 + h2 % (65536 - 4096 + 1);
}

void FillPattern(uint8_t* p, size_t size, uint64_t i) {
  for (size_t off = 0; off < size; off += 8) {
    uint64_t word = Mix((i << 20) ^ off);
    std::memcpy(p + off, &word, std::min<size_t>(8, size - off));
  }
}

bool CheckPattern(const uint8_t* p, size_t size, uint64_t i) {
  for (size_t off = 0; off < size; off += 8) {
    uint64_t word = Mix((i << 20) ^ off);
    if (std::memcmp(p + off, &word, std::min<size_t>(8, size - off)) != 0) return false;
  }
  return true;
}

// Checks the records from `*next` on that fill the span of `len` bytes at
// `p`, advancing `*next` past them; false at the first one that is missing,
// cut or wrong.
bool CheckSpan(const void* data, size_t len, uint64_t records, uint64_t* next) {
  const uint8_t* p = static_cast<const uint8_t*>(data);
  for (size_t pos = 0; pos < len;) {
    while (*next < records && SizeOf(*next) == 0) ++*next;
    const size_t size = SizeOf(*next);
    if (*next >= records || pos + size > len || !CheckPattern(p + pos, size, *next)) return false;
    pos += size;
    ++*next;
  }
  return true;
}

// A writer and a reader in two processes stream a million records of 0 to
// 64 KiB through a 2 MiB ring: hundreds of laps, early wraps, records beyond
// the hot bytes, idle trims in the middle. Every byte and the order are
// checked.
TEST(RingBufferStress, MillionRecordsBetweenTwoProcesses) {
  constexpr uint64_t kRecords = 1000000;
  constexpr size_t kCapacity = 2 << 20;
  std::string name = RingName();
  RingBuffer reader(name, kCapacity, true);

  pid_t child = ForkChild([&] {
    RingBuffer writer(name, kCapacity, false);
    for (uint64_t i = 0; i < kRecords; ++i) {
      if (i == kRecords / 3 || i == 2 * kRecords / 3) usleep(700000);  // let the reader's pages be trimmed
      const size_t size = SizeOf(i);
      int fill_runs = 0;
      for (;;) {
        RingBufferStatus st = writer.Write(size, [&](void* dst) {
          ++fill_runs;
          FillPattern(static_cast<uint8_t*>(dst), size, i);
          return kRingSuccess;
        });
        if (st == kRingSuccess) break;
        if (st != kRingFull || fill_runs != 0) return 10;
        sched_yield();
      }
      if (fill_runs != 1) return 11;
    }
    return 0;
  });

  uint64_t next = 0;
  uint64_t spans = 0;
  bool ok = true;
  const int64_t deadline = NowNs() + int64_t{240} * 1000000000;
  while (next < kRecords && ok && NowNs() < deadline) {
    while (next < kRecords && SizeOf(next) == 0) ++next;  // empty records publish nothing
    if (next == kRecords) break;
    RingBufferStatus st = reader.Read([&](void* data, size_t len) {
      if (!CheckSpan(data, len, kRecords, &next)) {
        ok = false;
        return kRingCorrupt;
      }
      ++spans;
      return kRingSuccess;
    });
    if (st != kRingSuccess && st != kRingEmpty) ok = false;
    if (spans % 4096 == 4095) usleep(3000);  // let the writer run ahead into the cold pages
  }
  EXPECT_TRUE(ok) << "record " << next << " wrong";
  EXPECT_EQ(next, kRecords);
  EXPECT_TRUE(ExitedWith(WaitChild(child, std::chrono::seconds(30)), 0));
  EXPECT_LT(spans, kRecords) << "spans should often carry several records";
}

// The same stream between two threads of one process, where the thread
// sanitizer sees every access to the shared header and the records.
TEST(RingBufferStress, ThreadsInOneProcess) {
  constexpr uint64_t kRecords = 200000;
  constexpr size_t kCapacity = 2 << 20;
  std::string name = RingName();
  RingBuffer reader(name, kCapacity, true);
  RingBuffer writer(name, kCapacity, false);
  std::atomic<bool> writer_ok{true};
  std::thread producer([&] {
    for (uint64_t i = 0; i < kRecords && writer_ok; ++i) {
      const size_t size = SizeOf(i);
      for (;;) {
        RingBufferStatus st = writer.Write(size, [&](void* dst) {
          FillPattern(static_cast<uint8_t*>(dst), size, i);
          return kRingSuccess;
        });
        if (st == kRingSuccess) break;
        if (st != kRingFull) writer_ok = false;
        std::this_thread::yield();
      }
    }
  });
  uint64_t next = 0;
  bool ok = true;
  const int64_t deadline = NowNs() + int64_t{120} * 1000000000;
  while (ok && NowNs() < deadline) {
    while (next < kRecords && SizeOf(next) == 0) ++next;
    if (next == kRecords) break;
    RingBufferStatus st = reader.Read([&](void* data, size_t len) {
      if (!CheckSpan(data, len, kRecords, &next)) {
        ok = false;
        return kRingCorrupt;
      }
      return kRingSuccess;
    });
    if (st != kRingSuccess && st != kRingEmpty) ok = false;
  }
  if (!ok) writer_ok = false;
  producer.join();
  EXPECT_TRUE(ok);
  EXPECT_TRUE(writer_ok);
  EXPECT_EQ(next, kRecords);
}

}  // namespace
