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
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/trellan.h"
#include "test_util.h"
#include "trellan/ring_layout.h"

namespace {

using testing_util::ExitedWith;
using testing_util::ForkChild;
using testing_util::UniqueName;
using testing_util::WaitChild;

std::string RingName() { return UniqueName("trellan_ring_test"); }

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

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
      if (i == kRecords / 3 || i == 2 * kRecords / 3) usleep(250000);  // let the reader trim
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
      const uint8_t* p = static_cast<const uint8_t*>(data);
      size_t pos = 0;
      while (pos < len) {
        while (next < kRecords && SizeOf(next) == 0) ++next;
        const size_t size = SizeOf(next);
        if (next >= kRecords || pos + size > len || !CheckPattern(p + pos, size, next)) {
          ok = false;
          return kRingCorrupt;
        }
        pos += size;
        ++next;
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
      const uint8_t* p = static_cast<const uint8_t*>(data);
      for (size_t pos = 0; pos < len;) {
        while (next < kRecords && SizeOf(next) == 0) ++next;
        const size_t size = SizeOf(next);
        if (next >= kRecords || pos + size > len || !CheckPattern(p + pos, size, next)) {
          ok = false;
          return kRingCorrupt;
        }
        pos += size;
        ++next;
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

TEST(RingBufferWake, SleepingReaderWakesWhenARecordArrives) {
  std::string name = RingName();
  RingBuffer reader(name, 1 << 20, true);
  pid_t child = ForkChild([&] {
    RingBuffer writer(name, 1 << 20, false);
    usleep(300000);  // the reader is asleep by now
    int64_t sent = NowNs();
    return WriteBytes(writer, std::string(reinterpret_cast<char*>(&sent), sizeof(sent))) == kRingSuccess ? 0 : 1;
  });
  int64_t latency = -1;
  int empty_reads = 0;
  const int64_t deadline = NowNs() + 5000000000;
  while (latency < 0 && NowNs() < deadline) {
    RingBufferStatus st = reader.Read([&](void* data, size_t len) {
      int64_t sent;
      std::memcpy(&sent, data, sizeof(sent));
      latency = NowNs() - sent;
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
  pid_t child = ForkChild([&] {
    RingBuffer writer(names[37], 1 << 20, false);
    usleep(500000);
    int64_t sent = NowNs();
    return WriteBytes(writer, std::string(reinterpret_cast<char*>(&sent), sizeof(sent))) == kRingSuccess ? 0 : 1;
  });
  int64_t latency = -1;
  int64_t reads = 0;
  const int64_t deadline = NowNs() + 5000000000;
  while (latency < 0 && NowNs() < deadline) {
    for (auto& ring : rings) {
      ++reads;
      ring->Read([&](void* data, size_t) {
        int64_t sent;
        std::memcpy(&sent, data, sizeof(sent));
        latency = NowNs() - sent;
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

TEST(RingBufferContract, RecordsNeverStraddleTheEndAndSpansEndAtThePadding) {
  constexpr size_t kCapacity = 4096;
  std::string name = RingName();
  RingBuffer reader(name, kCapacity, true);
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
  ASSERT_EQ(WriteBytes(writer, std::string(400, 'd')), kRingFull);
  EXPECT_EQ(ReadSpan(reader), std::string(2500, 'b')) << "a span ends where the padding starts";
  EXPECT_EQ(ReadSpan(reader), std::string(700, 'c'));
  ASSERT_EQ(WriteBytes(writer, std::string(400, 'd')), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader), std::string(400, 'd'));
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

  header->read_pos.store(uint64_t{0} - 7);  // "ahead" of the writer
  EXPECT_EQ(WriteBytes(writer, "def"), kRingCorrupt);
  munmap(map, 4096);

  // The wrap position is checked too.
  std::string name2 = RingName();
  RingBuffer reader2(name2, 4096, true);
  RingBuffer writer2(name2, 4096, false);
  ASSERT_EQ(WriteBytes(writer2, std::string(3000, 'x')), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader2).size(), 3000u);
  ASSERT_EQ(WriteBytes(writer2, std::string(100, 'y')), kRingSuccess);  // starts a new lap
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
  // has been idle for a while.
  ASSERT_EQ(writer.Write(size_t{32} << 20,
                         [](void* dst) {
                           std::memset(dst, 'L', size_t{32} << 20);
                           return kRingSuccess;
                         }),
            kRingSuccess);
  EXPECT_GE(AllocatedBytes(name), int64_t{32} << 20);
  ASSERT_EQ(ReadSpan(reader).size(), size_t{32} << 20);
  for (int i = 0; i < 4; ++i) reader.Read([](void*, size_t) { return kRingSuccess; });
  EXPECT_LE(AllocatedBytes(name), int64_t{2} << 20);

  // Writing again after the trim works and sees fresh, backed pages.
  ASSERT_EQ(WriteBytes(writer, std::string(3 << 20, 'n')), kRingSuccess);
  EXPECT_EQ(ReadSpan(reader), std::string(3 << 20, 'n'));
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
