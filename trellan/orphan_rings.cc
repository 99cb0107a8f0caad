// Removing the ring objects and process bells that processes which are gone
// left in the shared-memory directory (RemoveOrphanRings in trellan.h).
//
// A creator that ends normally unlinks what it made; one that is killed
// leaves it all behind, 4 KiB to 2 GiB per ring. Only the header of each
// candidate is read, never mapped, and nothing else is touched: a name
// without one of the given prefixes, a file that is not a plain one, shorter
// than a header or without the ring magic stays where it is.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/trellan.h"
#include "trellan/doorbell.h"
#include "trellan/process_identity.h"
#include "trellan/ring_layout.h"

namespace {

constexpr char kShmDirectory[] = "/dev/shm";

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
  const bool whole = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
                     st.st_size >= static_cast<off_t>(trellan::kRingHeaderBytes) &&
                     pread(fd, head, sizeof(head), 0) == static_cast<ssize_t>(sizeof(head));
  close(fd);
  if (!whole) return false;
  uint64_t magic, start_time;
  uint32_t pid;
  std::memcpy(&magic, head + offsetof(trellan::RingHeader, magic), sizeof(magic));
  std::memcpy(&start_time, head + offsetof(trellan::RingHeader, creator_start_time), sizeof(start_time));
  std::memcpy(&pid, head + offsetof(trellan::RingHeader, creator_pid), sizeof(pid));
  // A ring still being created has no magic yet: it is left alone too.
  if (magic != trellan::kRingMagic) return false;
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
