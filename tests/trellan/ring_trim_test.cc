// Pages of an idle ring are given back without another Read: a writer
// process streams records beyond the hot bytes, the reader reads them all and
// then stops calling; the ring's object shrinks to its hot bytes within a
// bound, while unread records keep their pages.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/trellan.h"
#include "harness/processes.h"

namespace {

using namespace testing_util;
using std::chrono::milliseconds;

constexpr size_t kCapacity = size_t{64} << 20;
constexpr size_t kRecord = size_t{3} << 20;  // always beyond the hot bytes
constexpr int kStreamRecords = 40;           // 120 MiB: the ring wraps
constexpr int64_t kHotBytes = int64_t{1} << 20;
// The hot bytes, the chunk that backs their last record, and the header page.
constexpr int64_t kIdleBound = kHotBytes + (int64_t{64} << 10) + 4096;

int64_t AllocatedBytes(const std::string& name) {
  struct stat st;
  if (stat(("/dev/shm/" + name).c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_blocks) * 512;
}

// Threads of this process called "trellan_trim": the ring trimming thread.
int TrimThreads() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (dirent* entry = readdir(dir)) {
      if (entry->d_name[0] == '.') continue;
      count += ReadWholeFile(std::string("/proc/self/task/") + entry->d_name + "/comm") == "trellan_trim\n";
    }
    closedir(dir);
  }
  return count;
}

RingBufferStatus WriteFilled(RingBuffer& ring, char fill) {
  for (;;) {
    RingBufferStatus status = ring.Write(kRecord, [fill](void* to) {
      std::memset(to, fill, kRecord);
      return kRingSuccess;
    });
    if (status != kRingFull) return status;
    std::this_thread::yield();
  }
}

// Reads whole records until `records` have arrived; false on a failure, a
// record that is not one fill byte, or after 20 s.
bool ReadRecords(RingBuffer& ring, int records, char first_fill) {
  const int64_t deadline = NowNs() + int64_t{20} * 1000000000;
  int got = 0;
  bool intact = true;
  while (got < records && intact && NowNs() < deadline) {
    RingBufferStatus status = ring.Read([&](void* data, size_t length) {
      const char* bytes = static_cast<const char*>(data);
      for (size_t at = 0; at + kRecord <= length; at += kRecord, ++got) {
        const char fill = static_cast<char>(first_fill + got);
        intact = intact && bytes[at] == fill && bytes[at + kRecord / 2] == fill && bytes[at + kRecord - 1] == fill;
      }
      return kRingSuccess;
    });
    if (status != kRingSuccess && status != kRingEmpty) return false;
  }
  return got == records && intact;
}

// The writer's side, in a child: attaches (or creates) the ring, tells the
// parent on `ready`, streams kStreamRecords records, then writes one more
// when `go` delivers a byte, and stays until `go` ends.
int StreamWriter(std::string name, bool create, int ready, int go) {
  RingBuffer ring(name, kCapacity, create);
  const char one = 1;
  if (write(ready, &one, 1) != 1) return 2;
  for (int i = 0; i < kStreamRecords; ++i) {
    if (WriteFilled(ring, static_cast<char>('A' + i)) != kRingSuccess) return 3;
  }
  char byte;
  if (read(go, &byte, 1) != 1) return 4;
  if (WriteFilled(ring, 'z') != kRingSuccess) return 5;
  while (read(go, &byte, 1) > 0) {
  }
  return 0;
}

// Both ways a ring is read: by its creator (the daemon's request rings) and by
// a process that attached it (a client's response ring).
TEST(RingBufferTrim, IdleRingShrinksToItsHotBytesWithoutAnotherRead) {
  for (const bool reader_creates : {true, false}) {
    SCOPED_TRACE(reader_creates ? "the reader created the ring" : "the reader attached the ring");
    std::string name = UniqueName("trellan_trim_test");
    int ready[2], go[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(go), 0);
    std::unique_ptr<RingBuffer> created;
    if (reader_creates) created = std::make_unique<RingBuffer>(name, kCapacity, true);
    const pid_t writer = ForkChild([&] {
      close(go[1]);
      return StreamWriter(name, !reader_creates, ready[1], go[0]);
    });
    close(go[0]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    std::unique_ptr<RingBuffer> attached;
    if (!reader_creates) attached = std::make_unique<RingBuffer>(name, kCapacity, false);
    RingBuffer& reader = reader_creates ? *created : *attached;

    // The stream, then at once one record that stays unread for 1.5 s: the
    // ring has pages to give back all the while, but not that record's.
    ASSERT_TRUE(ReadRecords(reader, kStreamRecords, 'A'));
    EXPECT_GE(TrimThreads(), 1) << "the reader's pages beyond the hot bytes wait for the trimming thread";
    ASSERT_EQ(write(go[1], "w", 1), 1);
    std::this_thread::sleep_for(milliseconds(1500));
    EXPECT_GE(AllocatedBytes(name), static_cast<int64_t>(kRecord)) << "pages of an unread record were given back";
    ASSERT_TRUE(ReadRecords(reader, 1, 'z')) << "the unread record lost its bytes";

    // No Read from here on.
    const int64_t last_read = NowNs();
    const int64_t after_read = AllocatedBytes(name);
    EXPECT_GE(after_read, static_cast<int64_t>(kRecord)) << "the last record was resident when it was read";
    EXPECT_TRUE(WaitFor([&] { return AllocatedBytes(name) <= kIdleBound; }, milliseconds(3000)))
        << AllocatedBytes(name) << " bytes still allocated 3 s after the last read";
    std::printf("%s: %.2f MiB allocated at the last read, %.2f MiB %lld ms later\n",
                reader_creates ? "creator reads" : "attacher reads", after_read / 1048576.0,
                AllocatedBytes(name) / 1048576.0, static_cast<long long>((NowNs() - last_read) / 1000000));

    // With nothing left to give back, the trimming thread ends.
    EXPECT_TRUE(WaitFor([&] { return TrimThreads() == 0; }, milliseconds(3000)));
    close(go[1]);
    EXPECT_TRUE(ExitedWith(WaitChild(writer), 0));
    close(ready[0]);
    close(ready[1]);
  }
}

}  // namespace
