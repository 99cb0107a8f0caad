#include "node/front/spawner_process.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "node/front/spawner.h"
#include "node/worker/worker_channel.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ZANTU_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define ZANTU_SANITIZED 1
#endif
#endif

namespace zantu_node {
namespace {

// Address space a worker may hold beyond its channel's rings and its GPUs'
// memory: code, stacks of kernel fibers, answers being built.
constexpr uint64_t kWorkerSpareAddressSpace = uint64_t{4} << 30;

// Dies with the process that forked the caller; false when that one has
// already gone.
bool DieWithParent(pid_t parent) {
  prctl(PR_SET_PDEATHSIG, SIGKILL, 0, 0, 0);
  return getppid() == parent;
}

// A worker's limits: no core file for a kernel's crash, and (emulated GPUs,
// where its memory is host memory) an address space a runaway client cannot
// grow past; there an allocation fails and its record gets CUDA's error.
void LimitWorker(const SpawnerRequest& request) {
  const struct rlimit no_core = {0, 0};
  setrlimit(RLIMIT_CORE, &no_core);
#ifndef ZANTU_SANITIZED
  if (request.backend == static_cast<uint32_t>(BackendKind::kEmulated)) {
    const uint64_t bytes = kWorkerRequestRingBytes + kWorkerResponseRingBytes +
                           uint64_t{request.gpus} * request.memory_per_gpu + kWorkerSpareAddressSpace;
    const struct rlimit space = {bytes, bytes};
    setrlimit(RLIMIT_AS, &space);
  }
#endif
}

WorkerLaunch LaunchOf(const SpawnerRequest& request, int control_fd) {
  WorkerLaunch launch;
  launch.slot = request.slot;
  launch.request_ring.assign(request.request_ring, strnlen(request.request_ring, sizeof(request.request_ring)));
  launch.response_ring.assign(request.response_ring, strnlen(request.response_ring, sizeof(request.response_ring)));
  launch.control_fd = control_fd;
  launch.plan.kind = static_cast<BackendKind>(request.backend);
  launch.plan.gpus = request.gpus;
  launch.plan.memory_per_gpu = request.memory_per_gpu;
  launch.test_module = request.test_module != 0;
  return launch;
}

class SpawnerLoop {
 public:
  SpawnerLoop(int fd, const KernelLibraries* kernels) : fd_(fd), kernels_(kernels) {}
  int Run();

 private:
  // False when the front end has gone.
  bool ServeRequest();
  void Fork(const SpawnerRequest& request, int control_fd);
  void ReapChildren();
  void Report(uint32_t kind, uint32_t slot, pid_t pid, int status);
  void KillAll();

  const int fd_;
  const KernelLibraries* const kernels_;
  int signal_fd_ = -1;
  sigset_t children_mask_;
  std::map<uint32_t, pid_t> children_;  // by slot
};

int SpawnerLoop::Run() {
  prctl(PR_SET_NAME, "zantu_spawner", 0, 0, 0);
  sigemptyset(&children_mask_);
  sigaddset(&children_mask_, SIGCHLD);
  sigprocmask(SIG_BLOCK, &children_mask_, nullptr);
  signal_fd_ = signalfd(-1, &children_mask_, SFD_CLOEXEC);
  if (signal_fd_ < 0) return 1;
  for (;;) {
    struct pollfd fds[2] = {{fd_, POLLIN, 0}, {signal_fd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if ((fds[1].revents & POLLIN) != 0) ReapChildren();
    if ((fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && !ServeRequest()) break;
  }
  KillAll();
  return 0;
}

bool SpawnerLoop::ServeRequest() {
  SpawnerRequest request{};
  struct iovec iov = {&request, sizeof(request)};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr message {};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  const ssize_t got = recvmsg(fd_, &message, MSG_CMSG_CLOEXEC);
  if (got < 0) return errno == EINTR || errno == EAGAIN;
  if (got == 0) return false;
  int control_fd = -1;
  for (struct cmsghdr* c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS) std::memcpy(&control_fd, CMSG_DATA(c), sizeof(int));
  }
  if (got == static_cast<ssize_t>(sizeof(request)) && request.kind == kSpawnerSpawn && control_fd >= 0) {
    Fork(request, control_fd);
  } else if (got == static_cast<ssize_t>(sizeof(request)) && request.kind == kSpawnerKill) {
    auto it = children_.find(request.slot);
    if (it != children_.end()) kill(it->second, SIGKILL);
  }
  if (control_fd >= 0) close(control_fd);
  return true;
}

void SpawnerLoop::Fork(const SpawnerRequest& request, int control_fd) {
  const pid_t spawner = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    Report(kSpawnerFailed, request.slot, -1, errno);
    return;
  }
  if (pid == 0) {
    // The worker keeps its control page and the standard streams, nothing
    // of the spawner.
    close(fd_);
    close(signal_fd_);
    sigprocmask(SIG_UNBLOCK, &children_mask_, nullptr);
    if (!DieWithParent(spawner)) _exit(kWorkerExitChannelFailed);
    LimitWorker(request);
    _exit(RunWorker(LaunchOf(request, control_fd), kernels_));
  }
  children_[request.slot] = pid;
  Report(kSpawnerStarted, request.slot, pid, 0);
}

void SpawnerLoop::ReapChildren() {
  struct signalfd_siginfo info;
  while (read(signal_fd_, &info, sizeof(info)) == static_cast<ssize_t>(sizeof(info))) {
    // Several ends may come with one signal: waitpid finds them all.
    break;
  }
  for (;;) {
    int status = 0;
    const pid_t pid = waitpid(-1, &status, WNOHANG);
    if (pid <= 0) return;
    for (auto it = children_.begin(); it != children_.end(); ++it) {
      if (it->second != pid) continue;
      Report(kSpawnerEnded, it->first, pid, status);
      children_.erase(it);
      break;
    }
  }
}

void SpawnerLoop::Report(uint32_t kind, uint32_t slot, pid_t pid, int status) {
  const SpawnerReport report{kind, slot, pid, status};
  ssize_t sent;
  do {
    sent = send(fd_, &report, sizeof(report), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
}

void SpawnerLoop::KillAll() {
  for (const auto& [slot, pid] : children_) kill(pid, SIGKILL);
  for (const auto& [slot, pid] : children_) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  children_.clear();
}

}  // namespace

int RunSpawner(int fd, pid_t parent, const KernelLibraries* kernels) {
  if (!DieWithParent(parent)) return 1;
  SpawnerLoop loop(fd, kernels);
  return loop.Run();
}

}  // namespace zantu_node
