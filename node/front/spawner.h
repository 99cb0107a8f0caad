// The spawner: the clean parent of every worker process. It is forked from
// the node at start, before the node opens a socket, starts a thread or
// initialises a GPU driver, so a worker forked from it inherits nothing
// another client's worker or the front end holds: only the loaded kernel
// libraries (each worker gets its own copy of their variables) and the
// descriptor of its own control page. The spawner forks a worker for each
// request, kills one on request, reports every worker's start and end with
// its wait status, and when the node goes (its socket closes) kills the
// workers left and ends. Every worker and the spawner itself die with their
// parent (PR_SET_PDEATHSIG).
//
// Thread safety: Spawn and Kill from any thread; NextReport from one thread
// (the supervisor).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/records.h"
#include "node/backends/kernel_libraries.h"
#include "node/worker/worker_main.h"

namespace zantu_node {

#pragma pack(push, 1)
// Front end to spawner, one datagram each; a spawn carries the worker's
// control page as SCM_RIGHTS.
struct SpawnerRequest {
  uint32_t kind;  // kSpawnerSpawn or kSpawnerKill
  uint32_t slot;
  uint32_t backend;  // BackendKind
  uint32_t gpus;
  uint64_t memory_per_gpu;
  uint32_t test_module;
  char request_ring[64];  // NUL-terminated
  char response_ring[64];
};
// Spawner to front end.
struct SpawnerReport {
  uint32_t kind;  // kSpawnerStarted, kSpawnerEnded or kSpawnerFailed
  uint32_t slot;
  int32_t pid;
  int32_t status;  // ended: the wait status; failed: errno
};
#pragma pack(pop)
static_assert(sizeof(SpawnerRequest) == 156);
static_assert(offsetof(SpawnerRequest, memory_per_gpu) == 16);
static_assert(offsetof(SpawnerRequest, test_module) == 24);
static_assert(offsetof(SpawnerRequest, request_ring) == 28);
static_assert(offsetof(SpawnerRequest, response_ring) == 92);
static_assert(sizeof(SpawnerReport) == 16);
static_assert(offsetof(SpawnerReport, pid) == 8);
static_assert(offsetof(SpawnerReport, status) == 12);

constexpr uint32_t kSpawnerSpawn = 1;
constexpr uint32_t kSpawnerKill = 2;
constexpr uint32_t kSpawnerStarted = 1;
constexpr uint32_t kSpawnerEnded = 2;
constexpr uint32_t kSpawnerFailed = 3;

class Spawner {
 public:
  // Forks the spawner. The calling process must have one thread only.
  // `kernels` are what the workers inherit. Null with `*why` on failure.
  static std::unique_ptr<Spawner> Start(const KernelLibraries* kernels, std::string* why);
  // Closes the spawner's socket (it kills the workers left and ends) and
  // waits for it.
  ~Spawner();

  Spawner(const Spawner&) = delete;
  Spawner& operator=(const Spawner&) = delete;

  // Asks for a worker on `launch` (its control_fd is sent, not consumed).
  // False (logged) when the spawner has gone.
  [[nodiscard]] bool Spawn(const WorkerLaunch& launch);
  // Kills the worker of `slot`, if it runs. False when the spawner has gone.
  bool Kill(uint32_t slot);

  enum class Next { kReport, kWoken, kGone };
  // Waits for the spawner's next report, or for `wake_fd` (an eventfd) to
  // become readable (it is then drained).
  Next NextReport(int wake_fd, SpawnerReport* report);

 private:
  Spawner(pid_t pid, int fd) : pid_(pid), fd_(fd) {}

  const pid_t pid_;
  const int fd_;  // SOCK_SEQPACKET; each message is one whole record
};

}  // namespace zantu_node
