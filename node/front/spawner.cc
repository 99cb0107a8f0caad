// The front end's side of the spawner: starting it, and the messages to and
// from it. The spawner's own loop is spawner_process.cc.
#include "node/front/spawner.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "common/log.h"
#include "node/front/spawner_process.h"

namespace zantu_node {

std::unique_ptr<Spawner> Spawner::Start(const KernelLibraries* kernels, std::string* why) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) {
    *why = std::string("spawner socket: ") + strerror(errno);
    return nullptr;
  }
  // Whatever is buffered must not be written twice.
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid < 0) {
    *why = std::string("spawner fork: ") + strerror(errno);
    close(fds[0]);
    close(fds[1]);
    return nullptr;
  }
  if (pid == 0) {
    close(fds[0]);
    _exit(RunSpawner(fds[1], parent, kernels));
  }
  close(fds[1]);
  return std::unique_ptr<Spawner>(new Spawner(pid, fds[0]));
}

Spawner::~Spawner() {
  shutdown(fd_, SHUT_RDWR);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  close(fd_);
}

bool Spawner::Spawn(const WorkerLaunch& launch) {
  SpawnerRequest request{};
  request.kind = kSpawnerSpawn;
  request.slot = launch.slot;
  request.backend = static_cast<uint32_t>(launch.plan.kind);
  request.gpus = launch.plan.gpus;
  request.memory_per_gpu = launch.plan.memory_per_gpu;
  request.test_module = launch.test_module ? 1 : 0;
  std::snprintf(request.request_ring, sizeof(request.request_ring), "%s", launch.request_ring.c_str());
  std::snprintf(request.response_ring, sizeof(request.response_ring), "%s", launch.response_ring.c_str());

  struct iovec iov = {&request, sizeof(request)};
  alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  struct msghdr message {};
  message.msg_iov = &iov;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof(control);
  struct cmsghdr* cmsg = CMSG_FIRSTHDR(&message);
  cmsg->cmsg_level = SOL_SOCKET;
  cmsg->cmsg_type = SCM_RIGHTS;
  cmsg->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(cmsg), &launch.control_fd, sizeof(int));
  ssize_t sent;
  do {
    sent = sendmsg(fd_, &message, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof(request))) {
    ZANTU_ERROR("the spawner cannot be asked for worker %u: %s", launch.slot, strerror(errno));
    return false;
  }
  return true;
}

bool Spawner::Kill(uint32_t slot) {
  SpawnerRequest request{};
  request.kind = kSpawnerKill;
  request.slot = slot;
  ssize_t sent;
  do {
    sent = send(fd_, &request, sizeof(request), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof(request));
}

Spawner::Next Spawner::NextReport(int wake_fd, SpawnerReport* report) {
  struct pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  int ready;
  do {
    ready = poll(fds, 2, -1);
  } while (ready < 0 && errno == EINTR);
  if (ready < 0) return Next::kGone;
  if ((fds[1].revents & POLLIN) != 0) {
    uint64_t drained = 0;
    (void)!read(wake_fd, &drained, sizeof(drained));
    return Next::kWoken;
  }
  ssize_t got;
  do {
    got = recv(fd_, report, sizeof(*report), 0);
  } while (got < 0 && errno == EINTR);
  return got == static_cast<ssize_t>(sizeof(*report)) ? Next::kReport : Next::kGone;
}

}  // namespace zantu_node
