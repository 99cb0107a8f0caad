// The body of a client's worker process: attaches the channel the node's
// front end made for it (worker_channel.h), opens the planned GPU backend,
// and runs its client's records in order, one answer each, until the front
// end goes. The process holds nothing of any other client: a fault in it
// (a signal in a CPU kernel, a broken context) costs this client alone, and
// the front end kills it when the client exits.
#pragma once

#include <cstdint>
#include <string>

#include "node/backends/backend_factory.h"
#include "node/backends/kernel_libraries.h"

namespace zantu_node {

struct WorkerLaunch {
  uint32_t slot = 0;
  std::string request_ring;   // names of the channel's rings
  std::string response_ring;
  int control_fd = -1;        // the control page; owned by the worker
  BackendPlan plan;
  bool test_module = false;   // serve the test module's calls
};

// Exit statuses of a worker process.
constexpr int kWorkerExitDone = 0;           // the front end went
constexpr int kWorkerExitChannelFailed = 1;  // the channel could not be attached or broke
constexpr int kWorkerExitNoBackend = 3;      // the planned backend would not open

// Runs the worker in the calling process (a fresh child of the spawner) and
// returns its exit status.
int RunWorker(const WorkerLaunch& launch, const KernelLibraries* kernels);

}  // namespace zantu_node
