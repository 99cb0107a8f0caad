// Helpers shared by the tests: child processes bounded in time, unique names,
// counting in output, and removing what a killed process left in /dev/shm.
#pragma once

#include <dirent.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace testing_util {

// Runs `body` in a forked child, which ends with _exit(body's result) so that
// nothing of the parent's test state runs twice.
inline pid_t ForkChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 1;
    try {
      rc = body();
    } catch (...) {
      rc = 99;
    }
    _exit(rc);
  }
  return pid;
}

// Waits for the child; kills it (by its pid) once `timeout` has passed.
// Returns the raw wait status, or -1 if it had to be killed.
inline int WaitChild(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0) return -2;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline bool ExitedWith(int status, int code) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

// A name no other test run on this machine uses.
inline std::string UniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1)) + "_" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
}

// The directory that holds the built programs.
inline std::string BinDir() {
  if (const char* dir = std::getenv("ZANTU_BIN_DIR")) return dir;
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

// How often `needle` occurs in `text`, overlapping occurrences included.
inline size_t CountOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// Removes what a process killed before it could clean up leaves in /dev/shm:
// the shared-memory objects `names` (without their leading slash) and the
// process bell of `owner` (trellan.bell.<pid>.*).
inline void RemoveShmLeftovers(pid_t owner, const std::vector<std::string>& names) {
  for (const std::string& name : names) shm_unlink(("/" + name).c_str());
  const std::string bell = "trellan.bell." + std::to_string(owner) + ".";
  if (DIR* dir = opendir("/dev/shm")) {
    while (dirent* entry = readdir(dir)) {
      if (std::strncmp(entry->d_name, bell.c_str(), bell.size()) == 0) {
        shm_unlink(("/" + std::string(entry->d_name)).c_str());
      }
    }
    closedir(dir);
  }
}

}  // namespace testing_util
