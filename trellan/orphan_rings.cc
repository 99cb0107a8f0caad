// Removing the ring objects and process bells that processes which are gone
// left in the shared-memory directory (RemoveOrphanRings in trellan.h).
//
// A creator that ends normally unlinks what it made; one that is killed
// leaves it all behind, 4 KiB to 4 GiB per ring. Only the header of each
// candidate is read, never mapped, and nothing else is touched: a name
// without one of the given prefixes or a file that is not a plain one stays
// where it is, and so does a fresh one shorter than a header or without the
// ring magic (its creator may be making it this moment). One of those that
// has not changed for kAbandonedNs was left by a creator killed while making
// it: a pool of workers refilled as its node is killed leaves such objects.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "common/trellan.h"
#include "trellan/doorbell.h"
#include "trellan/process_identity.h"
#include "trellan/ring_layout.h"

namespace {

constexpr char kShmDirectory[] = "/dev/shm";

}  // namespace

namespace trellan {

// A creator writes an object's magic microseconds after it makes it.
constexpr int64_t kAbandonedNs = int64_t{60} * 1'000'000'000;

bool LongUnchanged(const struct stat& st) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  const int64_t changed = int64_t{st.st_mtim.tv_sec} * 1'000'000'000 + st.st_mtim.tv_nsec;
  return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec - changed > kAbandonedNs;
}

}  // namespace trellan

namespace {

using trellan::LongUnchanged;

bool HasAnyPrefix(const std::string& name, const std::vector<std::string>& prefixes) {
  for (const std::string& prefix : prefixes) {
    if (!prefix.empty() && name.compare(0, prefix.size(), prefix) == 0) return true;
  }
  return false;
}

// Whether `name` is a ring whose creator, as its header records it, no
// longer runs or is not the process that now holds its pid.
bool IsOrphanRing(int dir_fd, const std::string& name) {
  const int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st;
  uint8_t head[offsetof(trellan::RingHeader, closed)];
  const bool plain = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const bool whole = plain && st.st_size >= static_cast<off_t>(trellan::kRingHeaderBytes) &&
                     pread(fd, head, sizeof(head), 0) == static_cast<ssize_t>(sizeof(head));
  close(fd);
  if (!plain) return false;
  if (!whole) return LongUnchanged(st);
  uint64_t magic, start_time;
  uint32_t pid;
  std::memcpy(&magic, head + offsetof(trellan::RingHeader, magic), sizeof(magic));
  std::memcpy(&start_time, head + offsetof(trellan::RingHeader, creator_start_time), sizeof(start_time));
  std::memcpy(&pid, head + offsetof(trellan::RingHeader, creator_pid), sizeof(pid));
  // A ring still being created has no magic yet: it is left alone too.
  if (magic != trellan::kRingMagic) return LongUnchanged(st);
  const trellan::ProcessState creator = trellan::ReadProcessState(static_cast<pid_t>(pid));
  return !creator.running || creator.start_time != start_time;
}

std::vector<std::string> EntryNames(int dir_fd) {
  std::vector<std::string> names;
  const int listed_fd = dup(dir_fd);
  if (listed_fd < 0) return names;
  DIR* dir = fdopendir(listed_fd);
  if (dir == nullptr) {
    close(listed_fd);
    return names;
  }
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
  }
  closedir(dir);
  return names;
}

}  // namespace

size_t RemoveOrphanRings(const std::vector<std::string>& ring_prefixes, bool bells) {
  const int dir_fd = open(kShmDirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd < 0) return 0;
  size_t removed = 0;
  for (const std::string& name : EntryNames(dir_fd)) {
    const bool orphan = HasAnyPrefix(name, ring_prefixes) ? IsOrphanRing(dir_fd, name)
                                                          : bells && trellan::IsOrphanBell(dir_fd, name.c_str());
    // Only the directory's sticky bit decides whose objects may go.
    if (orphan && unlinkat(dir_fd, name.c_str(), 0) == 0) ++removed;
  }
  close(dir_fd);
  return removed;
}
