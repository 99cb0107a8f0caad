#include "node/backends/backend_factory.h"

#include <sys/sysinfo.h>

#include "common/log.h"
#include "node/backends/emulated_backend.h"
#ifdef ZANTU_HAVE_CUDA_BACKEND
#include "node/backends/cuda_backend.h"
#endif

namespace zantu_node {
namespace {

constexpr uint32_t kDefaultEmulatedGpus = 4;

// Fills `plan` for the real GPUs; false with `*why` when there are none.
bool PlanCuda(const NodeOptions& options, BackendPlan* plan, std::string* why) {
#ifdef ZANTU_HAVE_CUDA_BACKEND
  uint32_t count = 0;
  if (!CudaBackend::Probe(options.gpus, &count, &plan->description, why)) return false;
  plan->kind = BackendKind::kCuda;
  plan->gpus = count;
  return true;
#else
  *why = "this build has no cuda backend (no toolkit headers)";
  return false;
#endif
}

void PlanEmulated(const NodeOptions& options, const KernelLibraries* kernels, BackendPlan* plan) {
  plan->kind = BackendKind::kEmulated;
  plan->gpus = options.gpus != 0 ? options.gpus : kDefaultEmulatedGpus;
  plan->memory_per_gpu = options.memory_per_gpu;
  // The GPUs are host memory: together they claim no more than the host has.
  const uint64_t host = HostMemoryBytes();
  const bool capped = host != 0 && plan->memory_per_gpu > host / plan->gpus;
  if (capped) plan->memory_per_gpu = (host / plan->gpus) & ~((uint64_t{1} << 20) - 1);
  plan->description = "backend=emulated gpus=" + std::to_string(plan->gpus) +
                      " memory=" + std::to_string(plan->memory_per_gpu >> 20) + "MiB" +
                      (capped ? " (capped to the host's " + std::to_string(host >> 20) + "MiB)" : "") +
                      " kernel_libraries=" + std::to_string(kernels->count());
}

}  // namespace

uint64_t HostMemoryBytes() {
  struct sysinfo info {};
  if (sysinfo(&info) != 0) return 0;
  return static_cast<uint64_t>(info.totalram) * info.mem_unit;
}

bool PlanBackend(const NodeOptions& options, const KernelLibraries* kernels, BackendPlan* plan, std::string* note) {
  if (options.backend != BackendKind::kEmulated) {
    std::string why;
    if (PlanCuda(options, plan, &why)) return true;
    if (options.backend == BackendKind::kCuda) {
      ZANTU_ERROR("the cuda backend cannot start: %s", why.c_str());
      return false;
    }
    *note = "no GPU found: " + why;
  }
  PlanEmulated(options, kernels, plan);
  return true;
}

std::unique_ptr<GpuBackend> OpenBackend(const BackendPlan& plan, const KernelLibraries* kernels,
                                        MemoryBudget* budget, std::string* why) {
  if (plan.kind == BackendKind::kEmulated) {
    return std::make_unique<EmulatedBackend>(plan.gpus, plan.memory_per_gpu, kernels, budget);
  }
#ifdef ZANTU_HAVE_CUDA_BACKEND
  return CudaBackend::Open(plan.gpus, why);
#else
  *why = "this build has no cuda backend";
  return nullptr;
#endif
}

}  // namespace zantu_node
