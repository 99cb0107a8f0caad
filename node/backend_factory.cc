#include "node/backend_factory.h"

#include "common/log.h"
#include "node/emulated_backend.h"
#ifdef ZANTU_HAVE_CUDA_BACKEND
#include "node/cuda_backend.h"
#endif

namespace zantu_node {
namespace {

constexpr uint32_t kDefaultEmulatedGpus = 4;

}  // namespace

std::unique_ptr<GpuBackend> MakeBackend(const NodeOptions& options, const KernelLibraries* kernels,
                                        std::string* note) {
  if (options.backend != BackendKind::kEmulated) {
    std::string why;
#ifdef ZANTU_HAVE_CUDA_BACKEND
    std::unique_ptr<GpuBackend> cuda = CudaBackend::Open(options.gpus, &why);
    if (cuda) return cuda;
#else
    why = "this build has no cuda backend (no toolkit headers)";
#endif
    if (options.backend == BackendKind::kCuda) {
      ZANTU_ERROR("the cuda backend cannot start: %s", why.c_str());
      return nullptr;
    }
    *note = "no GPU found: " + why;
  }
  const uint32_t gpus = options.gpus != 0 ? options.gpus : kDefaultEmulatedGpus;
  return std::make_unique<EmulatedBackend>(gpus, options.memory_per_gpu, kernels);
}

}  // namespace zantu_node
