#include "trellan/process_identity.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace trellan {
namespace {

// Whether the thread group of `pid` still has a thread other than its leader.
// A leader that called pthread_exit is a zombie while the rest of its process
// runs on; once the whole process has ended only the leader's entry is left
// (until it is reaped), or nothing.
bool OtherThreadsRemain(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%d/task", static_cast<int>(pid));
  DIR* dir = opendir(path);
  if (dir == nullptr) return false;
  bool found = false;
  while (dirent* entry = readdir(dir)) {
    char* end = nullptr;
    const long tid = std::strtol(entry->d_name, &end, 10);
    if (end != entry->d_name && *end == '\0' && tid > 0 && tid != pid) {
      found = true;
      break;
    }
  }
  closedir(dir);
  return found;
}

}  // namespace

ProcessState ReadProcessState(pid_t pid) {
  ProcessState state;
  if (pid <= 0) return state;
  char path[64];
  std::snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
  int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return state;
  char buf[1024];
  ssize_t n;
  do {
    n = ::read(fd, buf, sizeof(buf) - 1);
  } while (n < 0 && errno == EINTR);
  ::close(fd);
  if (n <= 0) return state;
  buf[n] = '\0';
  // The command name in parentheses may hold anything, ')' and blanks too:
  // the fields after it start after its last ')'.
  char* p = std::strrchr(buf, ')');
  if (p == nullptr || p[1] != ' ') return state;
  p += 2;
  char task_state = *p;
  if (task_state == 'X' || task_state == 'x') return state;
  if (task_state == 'Z' && !OtherThreadsRemain(pid)) return state;
  // p is at field 3 (state); the start time is field 22.
  for (int field = 3; field < 22; ++field) {
    p = std::strchr(p, ' ');
    if (p == nullptr) return state;
    ++p;
  }
  char* end = nullptr;
  unsigned long long start = std::strtoull(p, &end, 10);
  if (end == p) return state;
  state.running = true;
  state.start_time = start;
  return state;
}

int64_t MonotonicNanos() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace trellan
