// Chooses the GPU backend the command line asks for, and opens it.
//
// The node's front end plans the backend once (it probes the driver but opens
// no GPU context); every client's worker process opens the planned backend
// for itself, so each client has contexts and memory of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "node/backends/gpu_backend.h"
#include "node/backends/kernel_libraries.h"
#include "node/backends/memory_budget.h"
#include "node/options.h"

namespace zantu_node {

struct BackendPlan {
  BackendKind kind = BackendKind::kEmulated;  // never kDefault once planned
  uint32_t gpus = 0;
  uint64_t memory_per_gpu = 0;  // emulated: the capacity each GPU claims
  std::string description;      // for the ready line, e.g. "backend=emulated gpus=4 ..."
};

// The backend for --backend: cuda, emulated, or by default cuda when the
// driver loads and reports a GPU, else emulated (`*note` then says why).
// The emulated GPUs together claim at most the host's memory; a larger
// --memory is cut and the description says so. False (logged) when the
// asked-for backend cannot start.
[[nodiscard]] bool PlanBackend(const NodeOptions& options, const KernelLibraries* kernels, BackendPlan* plan,
                               std::string* note);

// Opens the planned backend for a worker. `kernels` and `budget` (emulated
// GPUs are charged to it) must outlive it. Null with `*why` on failure.
std::unique_ptr<GpuBackend> OpenBackend(const BackendPlan& plan, const KernelLibraries* kernels,
                                        MemoryBudget* budget, std::string* why);

// The host's memory in bytes (0 when it cannot be read).
uint64_t HostMemoryBytes();

}  // namespace zantu_node
