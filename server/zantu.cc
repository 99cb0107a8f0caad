#include "server/zantu.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <utility>

#include "common/log.h"

namespace zantu_internal {

void SleepNanos(long ns) {
  timespec left{ns / 1000000000, ns % 1000000000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

}  // namespace zantu_internal

Zantu::Zantu() = default;

Zantu::~Zantu() {
  if (!Quitting()) ZANTU_ERROR("call Quit() before delete it");
}

void Zantu::Run(std::vector<GPU>& gpus, std::map<unsigned int, Network*>& networks,
                std::map<unsigned int, unsigned short>& node_ports) {
  zstd_ = new ZSTDUtil(2, 1);
  gpus_ = std::move(gpus);
  gpus.clear();
  networks_ = std::move(networks);
  networks.clear();
  node_ports_ = std::move(node_ports);
  node_ports.clear();

  // Before any thread starts: should it fail, they get the default action.
  const bool watch_stop_signals = OpenStopSignals();
  server_thread_ = std::thread(&Zantu::Server, this);
  client_check_thread_ = std::thread(&Zantu::IsClientActiveCheck, this);
  request_thread_ = std::thread(&Zantu::RequestWorker, this);
  overflow_thread_ = std::thread(&Zantu::OverflowWorker, this);
  for (auto& [node, network] : networks_) {
    response_threads_.emplace_back(&Zantu::ResponseWorker, this, node, network);
  }
  if (watch_stop_signals) signal_thread_ = std::thread(&Zantu::WatchStopSignals, this);

  for (std::thread& thread : response_threads_) thread.join();
  overflow_thread_.join();
  request_thread_.join();
  client_check_thread_.join();
  server_thread_.join();
  if (signal_thread_.joinable()) signal_thread_.join();
  CloseStopSignals();

  // No thread is left that could touch what follows.
  delete zstd_;
  zstd_ = nullptr;
  gpus_.clear();
  for (auto& [node, network] : networks_) delete network;
  networks_.clear();
  {
    zantu::MutexLock table(&response_table_mutex_);
    for (auto& [pid, ring] : response_rbs_) delete ring;
    response_rbs_.clear();
  }
  {
    zantu::MutexLock lock(&request_mutex_);
    for (auto& [pid, ring] : request_rbs_) delete ring;
    request_rbs_.clear();
  }
}

void Zantu::Quit() {
  bool expected = false;
  if (!quit_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) return;
  // networks_ is constant while the threads run.
  for (auto& [node, network] : networks_) {
    if (network != nullptr) network->Shutdown();
  }
  {
    zantu::MutexLock lock(&server_socket_mutex_);
    // On a datagram socket this fails with ENOTCONN but still ends a
    // blocked receive, which then returns 0.
    if (server_socket_ != -1) shutdown(server_socket_, SHUT_RDWR);
  }
  RingBuffer::WakeLocalReaders();
  request_cv_.notify_all();
  WakeWaitersForQuit();
  {
    // Under the mutex: the liveness check cannot miss it between its test
    // of quit_ and its wait.
    zantu::MutexLock lock(&check_mutex_);
    check_cv_.notify_all();
  }
  if (quit_event_fd_ >= 0) {
    const uint64_t one = 1;
    // Only fails when the counter is full, which wakes the watcher as well.
    (void)!write(quit_event_fd_, &one, sizeof(one));
  }
}

bool Zantu::OpenStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  stop_signal_fd_ = signalfd(-1, &stop, SFD_CLOEXEC);
  quit_event_fd_ = stop_signal_fd_ < 0 ? -1 : eventfd(0, EFD_CLOEXEC);
  if (quit_event_fd_ >= 0) return true;
  ZANTU_ERROR("no signalfd for SIGTERM and SIGINT, failed=%d; they end the daemon at once", errno);
  CloseStopSignals();
  // Threads started from here on get the default action.
  pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
  return false;
}

void Zantu::WatchStopSignals() {
  pollfd fds[2] = {{stop_signal_fd_, POLLIN, 0}, {quit_event_fd_, POLLIN, 0}};
  while (!Quitting()) {
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      ZANTU_ERROR("wait for stop signals failed=%d", errno);
      return;
    }
    signalfd_siginfo info;
    if ((fds[0].revents & POLLIN) != 0 && read(stop_signal_fd_, &info, sizeof(info)) == sizeof(info)) {
      ZANTU_LOG("%s received, quitting", info.ssi_signo == SIGTERM ? "SIGTERM" : "SIGINT");
      if (!Quitting()) Quit();
    }
  }
}

void Zantu::CloseStopSignals() {
  for (int* fd : {&stop_signal_fd_, &quit_event_fd_}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}

zantu::Mutex& Zantu::ResponseMutex(uint64_t pid) {
  zantu::MutexLock table(&response_table_mutex_);
  return response_mutexes_[pid];
}

zantu::Mutex* Zantu::FindResponseMutex(uint64_t pid) {
  zantu::MutexLock table(&response_table_mutex_);
  auto it = response_mutexes_.find(pid);
  return it == response_mutexes_.end() ? nullptr : &it->second;
}

RingBuffer* Zantu::FindResponseRing(uint64_t pid) {
  zantu::MutexLock table(&response_table_mutex_);
  auto it = response_rbs_.find(pid);
  return it == response_rbs_.end() ? nullptr : it->second;
}

RingBuffer* Zantu::ExchangeResponseRing(uint64_t pid, RingBuffer* ring) {
  zantu::MutexLock table(&response_table_mutex_);
  auto it = response_rbs_.find(pid);
  RingBuffer* old = it == response_rbs_.end() ? nullptr : it->second;
  if (ring != nullptr) {
    response_rbs_[pid] = ring;
  } else if (it != response_rbs_.end()) {
    response_rbs_.erase(it);
  }
  return old;
}
