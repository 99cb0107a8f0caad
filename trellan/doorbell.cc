#include "common/thread_annotations.h"
#include "trellan/doorbell.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "common/trellan.h"
#include "trellan/process_identity.h"

namespace trellan {
namespace {

constexpr uint64_t kBellMagic = 0x4c4c'4542'4c52'5254ULL;  // "TRLBELL"
constexpr size_t kBellPageBytes = 4096;
constexpr char kBellPrefix[] = "/trellan.bell.";

struct BellPage {
  std::atomic<uint64_t> magic;
  // Of the creating process, whose pid the name carries: together they tell
  // a bell left by a process that has gone (0 in bells of older builds).
  uint64_t creator_start_time;
  alignas(64) Bell bell;
};
static_assert(sizeof(BellPage) <= kBellPageBytes);
static_assert(offsetof(BellPage, magic) == 0 && offsetof(BellPage, creator_start_time) == 8);

// The process bell. Created once; the mapping lives until the process ends,
// since rings may ring it from static destructors.
struct ProcessBell {
  zantu::Mutex mutex;
  std::atomic<Bell*> bell{nullptr};  // written once under mutex
  std::string name GUARDED_BY(mutex);  // constant once bell is set
  pid_t owner = 0;
};

ProcessBell& TheProcessBell() {
  static ProcessBell* process_bell = new ProcessBell();  // never destroyed
  return *process_bell;
}

// Reads the name unlocked: it is constant once the bell is set, which is
// before this handler is registered.
void UnlinkProcessBellAtExit() NO_THREAD_SAFETY_ANALYSIS {
  ProcessBell& pb = TheProcessBell();
  // A forked child inherits the handler but not the bell's ownership.
  if (pb.owner == getpid() && !pb.name.empty()) shm_unlink(pb.name.c_str());
}

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value, const timespec* timeout) {
  // Not FUTEX_PRIVATE: the word is shared between processes.
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, timeout, nullptr, 0);
}

}  // namespace

Bell* LocalBellIfCreated() { return TheProcessBell().bell.load(std::memory_order_acquire); }

Bell* LocalBell(std::string* name) {
  ProcessBell& pb = TheProcessBell();
  zantu::MutexLock lock(&pb.mutex);
  if (Bell* bell = pb.bell.load(std::memory_order_acquire)) {
    *name = pb.name;
    return bell;
  }
  std::string shm_name = kBellPrefix + std::to_string(getpid()) + "." + GenerateRandomString(10);
  int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  // Writers of every client's rings ring this bell; when a root daemon hands
  // rings to other users, they must be able to reach it too.
  if (geteuid() == 0) fchmod(fd, 0666);
  void* map = MAP_FAILED;
  if (ftruncate(fd, kBellPageBytes) == 0 && fallocate(fd, 0, 0, kBellPageBytes) == 0) {
    map = mmap(nullptr, kBellPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  int saved = errno;
  close(fd);
  if (map == MAP_FAILED) {
    shm_unlink(shm_name.c_str());
    errno = saved;
    return nullptr;
  }
  auto* page = static_cast<BellPage*>(map);
  page->creator_start_time = ReadProcessState(getpid()).start_time;
  page->magic.store(kBellMagic, std::memory_order_release);
  pb.name = shm_name;
  pb.owner = getpid();
  std::atexit(UnlinkProcessBellAtExit);
  pb.bell.store(&page->bell, std::memory_order_release);
  *name = shm_name;
  return &page->bell;
}

Bell* MapBell(const char* name, void** mapping) {
  *mapping = nullptr;
  if (std::strncmp(name, kBellPrefix, sizeof(kBellPrefix) - 1) != 0) return nullptr;
  int fd = shm_open(name, O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  struct stat st;
  void* map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && st.st_size == static_cast<off_t>(kBellPageBytes)) {
    map = mmap(nullptr, kBellPageBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  }
  close(fd);
  if (map == MAP_FAILED) return nullptr;
  auto* page = static_cast<BellPage*>(map);
  if (page->magic.load(std::memory_order_acquire) != kBellMagic) {
    munmap(map, kBellPageBytes);
    return nullptr;
  }
  *mapping = map;
  return &page->bell;
}

bool IsOrphanBell(int dir_fd, const char* name) {
  // "trellan.bell.<pid>.<random>", as LocalBell names them.
  if (std::strncmp(name, kBellPrefix + 1, sizeof(kBellPrefix) - 2) != 0) return false;
  const char* after_prefix = name + sizeof(kBellPrefix) - 2;
  char* end = nullptr;
  const long pid = std::strtol(after_prefix, &end, 10);
  if (end == after_prefix || *end != '.' || pid <= 0 || pid > INT_MAX) return false;
  const int fd = openat(dir_fd, name, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st{};
  uint8_t head[16];
  const bool plain = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const bool whole = plain && st.st_size == static_cast<off_t>(kBellPageBytes) &&
                     pread(fd, head, sizeof(head), 0) == static_cast<ssize_t>(sizeof(head));
  close(fd);
  const ProcessState creator = ReadProcessState(static_cast<pid_t>(pid));
  // Half made (no size or no magic yet): its creator's, unless that is gone
  // and it has stayed so for long.
  uint64_t magic = 0, start_time = 0;
  if (whole) {
    std::memcpy(&magic, head + offsetof(BellPage, magic), sizeof(magic));
    std::memcpy(&start_time, head + offsetof(BellPage, creator_start_time), sizeof(start_time));
  }
  if (!whole || magic != kBellMagic) return plain && !creator.running && LongUnchanged(st);
  return !creator.running || (start_time != 0 && creator.start_time != start_time);
}

void UnmapBell(void* mapping) {
  if (mapping != nullptr) munmap(mapping, kBellPageBytes);
}

void RingBell(Bell* bell) {
  bell->seq.fetch_add(1, std::memory_order_seq_cst);
  if (bell->sleepers.load(std::memory_order_seq_cst) != 0) {
    Futex(&bell->seq, FUTEX_WAKE, INT_MAX, nullptr);
  }
}

bool SleepOnBell(Bell* bell, uint32_t key, int64_t timeout_ns) {
  const int64_t deadline = MonotonicNanos() + timeout_ns;
  bool woken = true;
  bell->sleepers.fetch_add(1, std::memory_order_seq_cst);
  while (bell->seq.load(std::memory_order_seq_cst) == key) {
    int64_t left = deadline - MonotonicNanos();
    if (left <= 0) {
      woken = false;
      break;
    }
    timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
    // EAGAIN (seq moved), EINTR and spurious returns all loop back to the check.
    Futex(&bell->seq, FUTEX_WAIT, key, &ts);
  }
  bell->sleepers.fetch_sub(1, std::memory_order_seq_cst);
  return woken;
}

}  // namespace trellan

void UnlinkOwnBell() { trellan::UnlinkProcessBellAtExit(); }
