// Chooses and builds the GPU backend the command line asks for.
#pragma once

#include <memory>
#include <string>

#include "node/gpu_backend.h"
#include "node/kernel_libraries.h"
#include "node/options.h"

namespace zantu_node {

// The backend for --backend (cuda, emulated, or by default cuda when the
// driver loads and reports a GPU, else emulated). `kernels` must outlive
// the backend. Null (logged) when the asked-for backend cannot start.
// `*note` says why the default fell back to the emulated GPUs.
std::unique_ptr<GpuBackend> MakeBackend(const NodeOptions& options, const KernelLibraries* kernels,
                                        std::string* note);

}  // namespace zantu_node
