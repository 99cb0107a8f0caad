// The liveness check: twice a second, drops exited processes from clients_.
// The pause between checks is a wait that Quit ends at once.
// The request worker releases their rings once it has drained them.
#include <chrono>
#include <mutex>
#include <unordered_set>

#include "server/zantu.h"

namespace {
constexpr long kCheckIntervalNs = 500000000;  // 500 ms
}  // namespace

void Zantu::IsClientActiveCheck() {
  while (!Quitting()) {
    std::unordered_set<unsigned long> clients;
    {
      zantu::MutexLock lock(&clients_mutex_);
      clients = clients_;
      fresh_clients_.clear();
    }
    // No lock while /proc is read.
    std::unordered_set<unsigned long> exited = GetExitedPids(clients);
    if (!exited.empty()) {
      zantu::MutexLock lock(&clients_mutex_);
      for (unsigned long pid : exited) {
        // A pid registered since the copy may belong to a new process.
        if (fresh_clients_.count(pid) == 0) clients_.erase(pid);
      }
    }
    zantu::MutexLock lock(&check_mutex_);
    check_cv_.wait_for(check_mutex_, std::chrono::nanoseconds(kCheckIntervalNs), [this] { return Quitting(); });
  }
}
