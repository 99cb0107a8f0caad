// The ring buffer between real processes over real shared memory.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/trellan.h"
#include "ring_test_peer.h"
#include "harness/processes.h"
#include "trellan/ring_layout.h"

namespace {

using namespace testing_util;

std::string RingName() { return UniqueName("trellan_ring_test"); }

// Blocks actually allocated to the ring's shared-memory object.
int64_t AllocatedBytes(const std::string& name) {
  struct stat st;
  std::string path = "/dev/shm/" + name;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_blocks) * 512;
}

RingBufferStatus WriteBytes(RingBuffer& ring, const std::string& bytes) {
  return ring.Write(bytes.size(), [&](void* dst) {
    std::memcpy(dst, bytes.data(), bytes.size());
    return kRingSuccess;
  });
}

// Reads until a span arrives or `timeout_ms` pass; the span's bytes, or "" on
// timeout. Any status other than success or empty is reported in `*status`.
std::string ReadSpan(RingBuffer& ring, int timeout_ms = 2000, RingBufferStatus* status = nullptr) {
  std::string got;
  const int64_t deadline = NowNs() + int64_t{timeout_ms} * 1000000;
  while (NowNs() < deadline) {
    RingBufferStatus st = ring.Read([&](void* data, size_t len) {
      got.assign(static_cast<char*>(data), len);
      return kRingSuccess;
    });
    if (st == kRingSuccess) return got;
    if (st != kRingEmpty) {
      if (status != nullptr) *status = st;
      return "";
    }
  }
  return "";
}

// Forks a child that attaches to ring `name` as its writer, sleeps
// `delay_us` and then writes the time of that moment as one record.
pid_t WriteTimeAfter(std::string name, useconds_t delay_us) {
  return ForkChild([&] {
    RingBuffer writer(name, 1 << 20, false);
    usleep(delay_us);
    const int64_t sent = NowNs();
    return WriteBytes(writer, std::string(reinterpret_cast<const char*>(&sent), sizeof(sent))) == kRingSuccess ? 0 : 1;
  });
}

// Nanoseconds since the time in the record at `data`.
int64_t Since(const void* data) {
  int64_t sent;
  std::memcpy(&sent, data, sizeof(sent));
  return NowNs() - sent;
}

TEST(RingBufferWake, SleepingReaderWakesWhenARecordArrives) {
  std::string name = RingName();
  RingBuffer reader(name, 1 << 20, true);
  pid_t child = WriteTimeAfter(name, 300000);  // the reader is asleep by then
  int64_t latency = -1;
  int empty_reads = 0;
  const int64_t deadline = NowNs() + 5000000000;
  while (latency < 0 && NowNs() < deadline) {
    RingBufferStatus st = reader.Read([&](void* data, size_t) {
      latency = Since(data);
      return kRingSuccess;
    });
    if (st == kRingEmpty) ++empty_reads;
  }
  EXPECT_TRUE(ExitedWith(WaitChild(child), 0));
  ASSERT_GE(latency, 0);
  // Woken by the writer, not by the end of a 100 ms sleep.
  EXPECT_LT(latency, 50 * 1000000);
  // 300 ms of waiting took a handful of 100 ms sleeps, not a spin.
  EXPECT_LT(empty_reads, 20);
}

// One thread polls 64 rings the way the daemon does. While all are idle it
// sleeps; a record written into any one of them is picked up at once.
TEST(RingBufferWake, OneReaderPollingManyRingsSleepsAndWakesOnAnyRing) {
  constexpr int kRings = 64;
  std::vector<std::string> names;
  std::vector<std::unique_ptr<RingBuffer>> rings;
  for (int i = 0; i < kRings; ++i) {
    names.push_back(RingName());
    rings.push_back(std::make_unique<RingBuffer>(names.back(), 1 << 20, true));
  }
  pid_t child = WriteTimeAfter(names[37], 500000);
  int64_t latency = -1;
  int64_t reads = 0;
  const int64_t deadline = NowNs() + 5000000000;
  while (latency < 0 && NowNs() < deadline) {
    for (auto& ring : rings) {
      ++reads;
      ring->Read([&](void* data, size_t) {
        latency = Since(data);
        return kRingSuccess;
      });
    }
  }
  EXPECT_TRUE(ExitedWith(WaitChild(child), 0));
  ASSERT_GE(latency, 0);
  EXPECT_LT(latency, 50 * 1000000);
  // Half a second idle: a few passes per 100 ms sleep, not a spin.
  EXPECT_LT(reads, 64 * 40);
}

TEST(RingBufferContract, FullRingTooLargeRecordAndEmptyRecord) {
  constexpr size_t kCapacity = 64 * 1024;
  std::string name = RingName();
  RingBuffer reader(name, kCapacity, true);
  RingBuffer writer(name, kCapacity, false);
  std::string quarter(kCapacity / 4, 'q');
  for (int i = 0; i < 4; ++i) ASSERT_EQ(WriteBytes(writer, quarter), kRingSuccess);
  bool ran = false;
  EXPECT_EQ(writer.Write(16, [&](void*) {
    ran = true;
    return kRingSuccess;
  }),
            kRingFull);
  EXPECT_FALSE(ran);

  // Larger than the ring: fails at once, full or not, without the fill.
  RingBufferStatus too_large = writer.Write(kCapacity + 1, [&](void*) {
    ran = true;
    return kRingSuccess;
  });
  EXPECT_NE(too_large, kRingSuccess);
  EXPECT_NE(too_large, kRingFull);
  EXPECT_NE(too_large, kRingEmpty);
  EXPECT_FALSE(ran);

  // The reader makes room: one span with all four records.
  EXPECT_EQ(ReadSpan(reader), quarter + quarter + quarter + quarter);
  EXPECT_EQ(WriteBytes(writer, "after"), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader), "after");

  // A record of the ring's whole size fits an empty ring.
  EXPECT_EQ(WriteBytes(writer, std::string(kCapacity, 'w')), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader).size(), kCapacity);

  // Size 0: the fill runs once, nothing is published.
  int runs = 0;
  EXPECT_EQ(writer.Write(0, [&](void*) {
    ++runs;
    return kRingSuccess;
  }),
            kRingSuccess);
  EXPECT_EQ(runs, 1);
  EXPECT_EQ(reader.Read([](void*, size_t) { return kRingSuccess; }), kRingEmpty);

  // A failing fill publishes nothing and its status comes back unchanged.
  EXPECT_EQ(writer.Write(8, [](void* dst) {
    std::memset(dst, 'x', 8);
    return kRingRecvFailed;
  }),
            kRingRecvFailed);
  EXPECT_EQ(WriteBytes(writer, "next"), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader), "next");
}

// At position 0, and planted in the last lap before the positions pass 2^64.
TEST(RingBufferContract, RecordsNeverStraddleTheEndAndSpansEndAtThePadding) {
  constexpr size_t kCapacity = 4096;
  for (uint64_t lap_start : {uint64_t{0}, 0 - uint64_t{kCapacity}}) {
    SCOPED_TRACE(lap_start);
    std::string name = RingName();
    RingBuffer reader(name, kCapacity, true);
    RingBufferTestPeer::StartAt(&reader, lap_start);
    RingBuffer writer(name, kCapacity, false);
    ASSERT_EQ(WriteBytes(writer, std::string(1000, 'a')), kRingSuccess);
    // While the reader holds "a", the writer appends 2500 bytes after it.
    std::string got;
    ASSERT_EQ(reader.Read([&](void* data, size_t len) {
      got.assign(static_cast<char*>(data), len);
      return WriteBytes(writer, std::string(2500, 'b'));
    }),
              kRingSuccess);
    EXPECT_EQ(got, std::string(1000, 'a'));
    // 3500 of 4096 used, the reader at 1000: 700 bytes do not fit before the
    // end, so they start the next lap; 400 more would overrun the reader.
    ASSERT_EQ(WriteBytes(writer, std::string(700, 'c')), kRingSuccess);
    EXPECT_EQ(RingBufferTestPeer::WritePos(writer), lap_start + kCapacity + 700);
    ASSERT_EQ(WriteBytes(writer, std::string(400, 'd')), kRingFull);
    EXPECT_EQ(ReadSpan(reader), std::string(2500, 'b')) << "a span ends where the padding starts";
    EXPECT_EQ(ReadSpan(reader), std::string(700, 'c'));
    ASSERT_EQ(WriteBytes(writer, std::string(400, 'd')), kRingSuccess);
    EXPECT_EQ(ReadSpan(reader), std::string(400, 'd'));
  }
}

// A reader that takes only the first records of each span: the rest is
// handed out again at the start of the next span, also across the end of the
// ring, and the writer gets back only the bytes taken. At position 0, and in
// the last lap before the positions pass 2^64.
TEST(RingBufferPrefix, UntakenRecordsAreHandedOutAgainAcrossTheWrap) {
  constexpr size_t kCapacity = 4096;
  for (uint64_t lap_start : {uint64_t{0}, 0 - uint64_t{kCapacity}}) {
    SCOPED_TRACE(lap_start);
    std::string name = RingName();
    RingBuffer reader(name, kCapacity, true);
    RingBufferTestPeer::StartAt(&reader, lap_start);
    RingBuffer writer(name, kCapacity, false);
    const std::string a(1000, 'a'), b(1000, 'b'), c(1000, 'c'), d(1000, 'd'), e(900, 'e'), f(2100, 'f');
    for (const std::string* record : {&a, &b, &c}) ASSERT_EQ(WriteBytes(writer, *record), kRingSuccess);
    // Takes `take` bytes of the span (and records it) with status `status`.
    std::string span;
    auto take = [&](size_t bytes, RingBufferStatus status = kRingSuccess) {
      return reader.ReadPrefix([&, bytes, status](void* data, size_t length, size_t* taken) {
        span.assign(static_cast<char*>(data), length);
        *taken = bytes;
        return status;
      });
    };

    ASSERT_EQ(take(1000), kRingSuccess);
    EXPECT_EQ(span, a + b + c);
    // A status other than success releases what was taken all the same.
    ASSERT_EQ(take(0, kRingRejected), kRingRejected);
    EXPECT_EQ(span, b + c);
    // d fills the lap; e starts the next one, in the 1000 bytes a gave back.
    ASSERT_EQ(WriteBytes(writer, d), kRingSuccess);
    ASSERT_EQ(WriteBytes(writer, e), kRingSuccess);
    EXPECT_EQ(RingBufferTestPeer::WritePos(writer), lap_start + kCapacity + 900);
    ASSERT_EQ(take(2000), kRingSuccess);
    EXPECT_EQ(span, b + c + d) << "a span ends where the padding starts";
    // The reader stands at d: 2200 bytes after e would overrun it, 2100 fit.
    ASSERT_EQ(WriteBytes(writer, std::string(2200, 'x')), kRingFull);
    ASSERT_EQ(WriteBytes(writer, f), kRingSuccess);
    ASSERT_EQ(take(0), kRingSuccess);
    EXPECT_EQ(span, d) << "nothing taken, nothing released";
    EXPECT_EQ(ReadSpan(reader), d) << "a plain Read takes the span left behind";
    // More than the span counts as all of it.
    ASSERT_EQ(take(kCapacity * 4), kRingSuccess);
    EXPECT_EQ(span, e + f);
    EXPECT_EQ(reader.Read([](void*, size_t) { return kRingSuccess; }), kRingEmpty);
  }
}

// Records of every size up to the whole ring go through many laps in one
// process, from position 0 and from a ring planted a few laps before its
// positions pass 2^64. Each span must be whole records, in order, byte for
// byte; a full ring must have something to read.
TEST(RingBufferPlanted, ManyLapsAndPositionsPast2To64) {
  constexpr size_t kCapacity = 4096;
  for (uint64_t start : {uint64_t{0}, 0 - 3 * uint64_t{kCapacity} + 5}) {
    SCOPED_TRACE(start);
    std::string name = RingName();
    RingBuffer reader(name, kCapacity, true);
    RingBufferTestPeer::StartAt(&reader, start);
    RingBuffer writer(name, kCapacity, false);
    std::deque<std::string> unread;
    auto read_one_span = [&] {
      std::string span = ReadSpan(reader, 1000);
      ASSERT_FALSE(span.empty());
      for (size_t at = 0; at < span.size(); unread.pop_front()) {
        ASSERT_FALSE(unread.empty());
        ASSERT_EQ(span.compare(at, unread.front().size(), unread.front()), 0);
        at += unread.front().size();
      }
    };
    std::minstd_rand random(7);
    for (uint64_t i = 0; i < 3000; ++i) {
      const size_t size = i % 500 == 499 ? kCapacity : 1 + random() % 1500;
      std::string record(size, static_cast<char>('a' + i % 26));
      std::memcpy(record.data(), &i, std::min(size, sizeof(i)));
      RingBufferStatus st;
      while ((st = WriteBytes(writer, record)) == kRingFull) {
        ASSERT_FALSE(unread.empty()) << "full with nothing to read, record " << i;
        read_one_span();
      }
      ASSERT_EQ(st, kRingSuccess) << "record " << i << " of " << size << " bytes";
      unread.push_back(record);
      if (random() % 3 == 0) read_one_span();
    }
    while (!unread.empty()) read_one_span();
    EXPECT_EQ(reader.Read([](void*, size_t) { return kRingSuccess; }), kRingEmpty);
    EXPECT_GT(RingBufferTestPeer::WritePos(writer) - start, 100 * kCapacity) << "the stream covers many laps";
  }
}

TEST(RingBufferNames, NameWithAndWithoutTrailingNulReachOneRing) {
  std::string base = RingName();
  std::string with_nul = base + std::string(1, '\0');
  RingBuffer created(with_nul, 1 << 16, true);
  RingBuffer attached(base, 1 << 16, false);
  ASSERT_EQ(WriteBytes(attached, "hello"), kRingSuccess);
  EXPECT_EQ(ReadSpan(created), "hello");
  EXPECT_GE(AllocatedBytes(base), 0) << "the object carries the name without the NUL";
}

TEST(RingBufferNames, AttachFailuresThrow) {
  std::string missing = RingName();
  EXPECT_THROW(RingBuffer(missing, 1 << 16, false), std::system_error);

  std::string name = RingName();
  RingBuffer created(name, 1 << 16, true);
  EXPECT_THROW(RingBuffer(name, 1 << 17, false), std::invalid_argument);  // size differs
  EXPECT_THROW(RingBuffer(name, 1 << 16, true), std::system_error);       // exists

  // An object of the right size that is not a ring.
  std::string foreign = RingName();
  int fd = shm_open(("/" + foreign).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, 4096 + (1 << 16)), 0);
  close(fd);
  EXPECT_THROW(RingBuffer(foreign, 1 << 16, false), std::invalid_argument);
  shm_unlink(("/" + foreign).c_str());

  std::string bad = "a/b";
  EXPECT_THROW(RingBuffer(bad, 1 << 16, true), std::invalid_argument);
  std::string ok = RingName();
  EXPECT_THROW(RingBuffer(ok, 5000, true), std::invalid_argument);  // not a power of two
}

TEST(RingBufferLifecycle, OnlyTheCreatorUnlinks) {
  std::string name = RingName();
  auto created = std::make_unique<RingBuffer>(name, 1 << 16, true);
  { RingBuffer attached(name, 1 << 16, false); }
  EXPECT_GE(AllocatedBytes(name), 0) << "an attacher's destructor must not unlink";
  // A forked child's copy of the creator's object does not unlink either.
  pid_t child = ForkChild([&] {
    created.reset();
    return 0;
  });
  EXPECT_TRUE(ExitedWith(WaitChild(child), 0));
  EXPECT_GE(AllocatedBytes(name), 0);
  created.reset();
  EXPECT_EQ(AllocatedBytes(name), -1);
}

// A malicious peer scribbles over the positions: the other side reports a
// damaged ring and never touches memory outside it.
TEST(RingBufferUntrusted, ScribbledPositionsAreReportedNotFollowed) {
  constexpr size_t kCapacity = 1 << 16;
  std::string name = RingName();
  RingBuffer reader(name, kCapacity, true);
  RingBuffer writer(name, kCapacity, false);
  int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
  ASSERT_GE(fd, 0);
  void* map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(map, MAP_FAILED);
  auto* header = static_cast<trellan::RingHeader*>(map);

  ASSERT_EQ(WriteBytes(writer, "abc"), kRingSuccess);
  header->write_pos.store(uint64_t{5} * kCapacity);  // far beyond one lap
  EXPECT_EQ(reader.Read([](void*, size_t) { return kRingSuccess; }), kRingCorrupt);
  EXPECT_EQ(reader.Read([](void*, size_t) { return kRingSuccess; }), kRingCorrupt) << "sticky";

  // "Ahead" of the writer. The writer looks at the reader's position once the
  // one it saw last leaves no room.
  header->read_pos.store(uint64_t{0} - 7);
  EXPECT_EQ(WriteBytes(writer, std::string(kCapacity - 1, 'd')), kRingCorrupt);
  munmap(map, 4096);

  // The wrap position is checked too.
  std::string name2 = RingName();
  RingBuffer reader2(name2, 4096, true);
  RingBuffer writer2(name2, 4096, false);
  ASSERT_EQ(WriteBytes(writer2, std::string(3000, 'x')), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader2).size(), 3000u);
  ASSERT_EQ(WriteBytes(writer2, std::string(1200, 'y')), kRingSuccess);  // starts a new lap
  fd = shm_open(("/" + name2).c_str(), O_RDWR, 0);
  map = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  ASSERT_NE(map, MAP_FAILED);
  // The reader sits at 3000; a data end behind it is impossible.
  header = static_cast<trellan::RingHeader*>(map);
  uint64_t r = header->read_pos.load();
  header->wrap_pos.store(r - 1);
  EXPECT_EQ(reader2.Read([](void*, size_t) { return kRingSuccess; }), kRingCorrupt);
  munmap(map, 4096);
}

TEST(RingBufferUntrusted, WriterDyingInsideFillLeavesNoPartialRecord) {
  std::string name = RingName();
  RingBuffer reader(name, 1 << 16, true);
  pid_t child = ForkChild([&] {
    RingBuffer writer(name, 1 << 16, false);
    writer.Write(1000, [](void* dst) {
      std::memset(dst, 'z', 500);
      raise(SIGKILL);
      return kRingSuccess;
    });
    return 0;
  });
  int status = WaitChild(child);
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(reader.Read([](void*, size_t) { return kRingSuccess; }), kRingEmpty);
  EXPECT_EQ(reader.Read([](void*, size_t) { return kRingSuccess; }), kRingEmpty);

  child = ForkChild([&] {
    RingBuffer writer(name, 1 << 16, false);
    return WriteBytes(writer, "whole") == kRingSuccess ? 0 : 1;
  });
  EXPECT_TRUE(ExitedWith(WaitChild(child), 0));
  EXPECT_EQ(ReadSpan(reader), "whole");
}

TEST(RingBufferPeer, AttachedReaderLearnsThatTheCreatorIsGone) {
  // The creator ends without releasing the ring (as when it is killed).
  std::string name = RingName();
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  pid_t creator = ForkChild([&] {
    new RingBuffer(name, 1 << 16, true);  // deliberately never released
    char c = 1;
    if (write(ready[1], &c, 1) != 1) return 1;
    usleep(300000);
    return 0;
  });
  char c;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  RingBuffer reader(name, 1 << 16, false);
  RingBufferStatus status = kRingSuccess;
  const int64_t start = NowNs();
  ReadSpan(reader, 3000, &status);
  EXPECT_EQ(status, kRingPeerGone);
  EXPECT_LT(NowNs() - start, int64_t{1500} * 1000000);
  WaitChild(creator);
  close(ready[0]);
  close(ready[1]);
  shm_unlink(("/" + name).c_str());

  // The creator releases the ring: the reader learns at once.
  std::string name2 = RingName();
  auto created = std::make_unique<RingBuffer>(name2, 1 << 16, true);
  RingBuffer attached(name2, 1 << 16, false);
  ASSERT_EQ(WriteBytes(*created, "last"), kRingSuccess);
  created.reset();
  status = kRingSuccess;
  EXPECT_EQ(ReadSpan(attached, 1000, &status), "last") << "what was written is still delivered";
  ReadSpan(attached, 1000, &status);
  EXPECT_EQ(status, kRingPeerGone);
}

TEST(RingBufferMemory, ResidentMemoryFollowsUnreadBytes) {
  constexpr size_t kCapacity = size_t{64} << 20;
  std::string name = RingName();
  RingBuffer reader(name, kCapacity, true);
  RingBuffer writer(name, kCapacity, false);
  EXPECT_LE(AllocatedBytes(name), 8192) << "creation touches no data page";

  // Small records cycle through the first pages.
  for (int i = 0; i < 200000; ++i) {
    ASSERT_EQ(WriteBytes(writer, std::string(100, 'p')), kRingSuccess);
    ASSERT_EQ(ReadSpan(reader).size(), 100u);
  }
  EXPECT_LE(AllocatedBytes(name), 256 * 1024);

  // One large record is backed while unread and given back once the reader
  // has been idle for a while (ring_trim_test.cc: without another Read).
  ASSERT_EQ(writer.Write(size_t{32} << 20,
                         [](void* dst) {
                           std::memset(dst, 'L', size_t{32} << 20);
                           return kRingSuccess;
                         }),
            kRingSuccess);
  EXPECT_GE(AllocatedBytes(name), int64_t{32} << 20);
  ASSERT_EQ(ReadSpan(reader).size(), size_t{32} << 20);
  EXPECT_TRUE(WaitFor([&] { return AllocatedBytes(name) <= int64_t{2} << 20; }, std::chrono::milliseconds(3000)));

  // Writing again after the trim works and sees fresh, backed pages.
  ASSERT_EQ(WriteBytes(writer, std::string(3 << 20, 'n')), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader), std::string(3 << 20, 'n'));
}

// A reader that lags a few large records behind keeps the writer from
// going back to offset 0 when the ring empties; the writer still goes back
// once it is a few hundred MiB in, so a stream reuses pages it has used
// (mapped and warm) instead of marching through the whole ring.
TEST(RingBufferMemory, AStreamOfLargeRecordsKeepsToItsFirstPages) {
  constexpr size_t kCapacity = size_t{2} << 30;
  constexpr size_t kRecord = size_t{32} << 20;
  constexpr int kRecords = 40;  // 1.25 GiB in all
  std::string name = RingName();
  RingBuffer reader(name, kCapacity, true);
  RingBuffer writer(name, kCapacity, false);
  // Each record carries its number at both ends; the rest is left as the
  // pages come.
  auto write = [&writer](int n) {
    return writer.Write(kRecord, [n](void* dst) {
      std::memcpy(dst, &n, sizeof(n));
      std::memcpy(static_cast<char*>(dst) + kRecord - sizeof(n), &n, sizeof(n));
      return kRingSuccess;
    });
  };
  auto read = [&reader](int n) {
    int first = -1, last = -1;
    // A span may hold several records: take one.
    const RingBufferStatus status = reader.ReadPrefix([&](void* data, size_t length, size_t* taken) {
      if (length < kRecord) return kRingCorrupt;
      std::memcpy(&first, data, sizeof(first));
      std::memcpy(&last, static_cast<char*>(data) + kRecord - sizeof(last), sizeof(last));
      *taken = kRecord;
      return kRingSuccess;
    });
    return status == kRingSuccess && first == n && last == n;
  };
  ASSERT_EQ(write(0), kRingSuccess);
  ASSERT_EQ(write(1), kRingSuccess);
  for (int n = 2; n < kRecords; ++n) {
    ASSERT_EQ(write(n), kRingSuccess) << n;
    ASSERT_TRUE(read(n - 2)) << n - 2;
  }
  ASSERT_TRUE(read(kRecords - 2));
  ASSERT_TRUE(read(kRecords - 1));
  EXPECT_LE(AllocatedBytes(name), int64_t{400} << 20) << "the stream went past its first pages";
}

// With /dev/shm nearly full a write fails with a status instead of SIGBUS.
// The check runs in a fresh process (this binary again) inside a mount
// namespace of its own with a 4 MiB /dev/shm.
TEST(RingBufferMemory, FullSharedMemoryIsAStatusNotASignal) {
  pid_t child = ForkChild([] {
    if (unshare(CLONE_NEWNS) != 0) return 77;
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return 77;
    if (mount("trellan-test", "/dev/shm", "tmpfs", 0, "size=4m") != 0) return 77;
    setenv("TRELLAN_SMALL_SHM", "1", 1);
    execl("/proc/self/exe", "ring_buffer_test", "--gtest_filter=RingBufferSmallShm.*", nullptr);
    return 78;
  });
  int status = WaitChild(child);
  if (ExitedWith(status, 77)) GTEST_SKIP() << "cannot mount a private tmpfs here";
  EXPECT_TRUE(ExitedWith(status, 0)) << "status " << status;
}

TEST(RingBufferSmallShm, WriteBeyondTheSpaceFails) {
  if (std::getenv("TRELLAN_SMALL_SHM") == nullptr) GTEST_SKIP() << "runs only inside the test above";
  std::string name = "small_shm_ring";
  RingBuffer reader(name, size_t{64} << 20, true);
  RingBuffer writer(name, size_t{64} << 20, false);
  bool ran = false;
  EXPECT_EQ(writer.Write(size_t{16} << 20,
                         [&](void* dst) {
                           ran = true;
                           std::memset(dst, 1, size_t{16} << 20);
                           return kRingSuccess;
                         }),
            kRingNoMemory);
  EXPECT_FALSE(ran);
  EXPECT_EQ(WriteBytes(writer, "small"), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader), "small");
}

}  // namespace
