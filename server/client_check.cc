// The liveness check: drops exited processes from clients_; the request
// worker releases their rings once it has drained them.
//
// Each client is watched through a pidfd in one epoll set: a pidfd turns
// readable once every thread of the process has ended (a leader that called
// pthread_exit while others run does not count) and can never name a later
// process that reuses the pid, so an idle daemon does nothing per client.
// Where no pidfd can be had, the client is polled through /proc twice a
// second instead. The wait is bounded so that Quit is seen within 100 ms.
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <unordered_set>

#include "server/zantu.h"

namespace {
constexpr long kCheckIntervalNs = 500000000;  // 500 ms, the /proc polling cadence
constexpr int kQuitCheckMs = 100;
constexpr int kMaxEvents = 64;

// True when `pidfd`'s process has ended.
bool PidfdExited(int pidfd) {
  pollfd entry{pidfd, POLLIN, 0};
  return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}
}  // namespace

int Zantu::LivenessEpoll() {
  if (liveness_epoll_ < 0 && !liveness_ended_) liveness_epoll_ = epoll_create1(EPOLL_CLOEXEC);
  return liveness_ended_ ? -1 : liveness_epoll_;
}

void Zantu::WatchClient(uint64_t pid, int pidfd) {
  UnwatchClient(pid);
  const int epoll_fd = pidfd < 0 ? -1 : LivenessEpoll();
  if (epoll_fd >= 0) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = pid;
    if (epoll_ctl(epoll_fd, EPOLL_CTL_ADD, pidfd, &event) == 0) {
      pidfds_.emplace(pid, pidfd);
      return;
    }
  }
  if (pidfd >= 0) close(pidfd);
  polled_clients_.insert(pid);
}

void Zantu::UnwatchClient(uint64_t pid) {
  polled_clients_.erase(pid);
  auto it = pidfds_.find(pid);
  if (it == pidfds_.end()) return;
  // Closing the last reference takes it out of the epoll set.
  close(it->second);
  pidfds_.erase(it);
}

void Zantu::RemoveExitedClient(uint64_t pid) {
  clients_.erase(pid);
  UnwatchClient(pid);
  exited_clients_.push_back(pid);
  clients_generation_.fetch_add(1, std::memory_order_release);
}

void Zantu::AwaitPidfdExits(int epoll_fd, int timeout_ms) {
  epoll_event events[kMaxEvents];
  int n;
  do {
    n = epoll_wait(epoll_fd, events, kMaxEvents, timeout_ms);
  } while (n < 0 && errno == EINTR && !Quitting());
  if (n <= 0) return;
  zantu::MutexLock lock(&clients_mutex_);
  for (int i = 0; i < n; ++i) {
    const unsigned long pid = events[i].data.u64;
    // The pid may have registered again since the event was queued: only
    // its current pidfd counts.
    auto it = pidfds_.find(pid);
    if (it != pidfds_.end() && PidfdExited(it->second)) RemoveExitedClient(pid);
  }
}

void Zantu::PollUnwatchedClients() {
  std::unordered_set<unsigned long> clients;
  {
    zantu::MutexLock lock(&clients_mutex_);
    clients = polled_clients_;
    fresh_clients_.clear();
  }
  if (clients.empty()) return;
  // No lock while /proc is read.
  std::unordered_set<unsigned long> exited = GetExitedPids(clients);
  if (exited.empty()) return;
  zantu::MutexLock lock(&clients_mutex_);
  for (unsigned long pid : exited) {
    // A pid registered since the copy may belong to a new process.
    if (fresh_clients_.count(pid) == 0 && polled_clients_.count(pid) != 0) RemoveExitedClient(pid);
  }
}

void Zantu::EndLivenessWatch() {
  zantu::MutexLock lock(&clients_mutex_);
  for (auto& [pid, pidfd] : pidfds_) close(pidfd);
  pidfds_.clear();
  if (liveness_epoll_ >= 0) close(liveness_epoll_);
  liveness_epoll_ = -1;
  liveness_ended_ = true;
}

void Zantu::IsClientActiveCheck() {
  int epoll_fd;
  {
    // Never closed before EndLivenessWatch, so it can be used unlocked.
    zantu::MutexLock lock(&clients_mutex_);
    epoll_fd = LivenessEpoll();
  }
  auto next_poll = std::chrono::steady_clock::now();
  while (!Quitting()) {
    if (std::chrono::steady_clock::now() >= next_poll) {
      PollUnwatchedClients();
      next_poll = std::chrono::steady_clock::now() + std::chrono::nanoseconds(kCheckIntervalNs);
    }
    if (epoll_fd >= 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next_poll -
                                                                              std::chrono::steady_clock::now());
      AwaitPidfdExits(epoll_fd, static_cast<int>(std::max<int64_t>(0, std::min<int64_t>(left.count() + 1,
                                                                                         kQuitCheckMs))));
      continue;
    }
    zantu::MutexLock lock(&check_mutex_);
    check_cv_.wait_until(check_mutex_, next_poll, [this] { return Quitting(); });
  }
  EndLivenessWatch();
}
