#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/thread_annotations.h"
#include "common/trellan.h"
#include "trellan/process_identity.h"

namespace {

// Past this many remembered pids, those not asked about in the current call
// are forgotten. Callers ask about the same set again and again, so an entry
// dropped this way is one nobody watches any longer.
constexpr size_t kMaxRemembered = 65536;

struct StartTimes {
  zantu::Mutex mutex;
  // pid -> start time at the first call that saw it running.
  std::unordered_map<unsigned long, uint64_t> by_pid GUARDED_BY(mutex);
};

StartTimes& TheStartTimes() {
  // Never destroyed: a thread may still ask while the process exits.
  static StartTimes* const start_times = new StartTimes;
  return *start_times;
}

}  // namespace

void RefreshExitedPidsState(unsigned long pid) {
  if (pid == 0 || pid > INT32_MAX) return;
  const trellan::ProcessState state = trellan::ReadProcessState(static_cast<pid_t>(pid));
  StartTimes& start_times = TheStartTimes();
  zantu::MutexLock lock(&start_times.mutex);
  if (state.running) {
    start_times.by_pid[pid] = state.start_time;
  } else {
    start_times.by_pid.erase(pid);
  }
}

std::unordered_set<unsigned long> GetExitedPids(std::unordered_set<unsigned long>& pids) {
  std::unordered_set<unsigned long> exited;
  // /proc is read outside the lock so callers do not queue behind each
  // other's file reads.
  std::vector<std::pair<unsigned long, trellan::ProcessState>> states;
  states.reserve(pids.size());
  for (unsigned long pid : pids) {
    if (pid == 0 || pid > INT32_MAX) {
      exited.insert(pid);  // not a process id at all
      continue;
    }
    states.emplace_back(pid, trellan::ReadProcessState(static_cast<pid_t>(pid)));
  }

  StartTimes& start_times = TheStartTimes();
  zantu::MutexLock lock(&start_times.mutex);
  auto& by_pid = start_times.by_pid;
  for (const auto& [pid, state] : states) {
    if (!state.running) {
      exited.insert(pid);
      by_pid.erase(pid);
      continue;
    }
    auto [it, first_sight] = by_pid.try_emplace(pid, state.start_time);
    if (!first_sight && it->second != state.start_time) {
      // Another process has the pid now. Forgetting the old start time lets a
      // later call see the newcomer as new.
      exited.insert(pid);
      by_pid.erase(it);
    }
  }
  if (by_pid.size() > kMaxRemembered) {
    for (auto it = by_pid.begin(); it != by_pid.end();) {
      it = pids.count(it->first) != 0 ? std::next(it) : by_pid.erase(it);
    }
  }
  return exited;
}
