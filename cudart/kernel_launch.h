// Kernel launches as every entry point makes them (<<<>>>, cudaLaunchKernel,
// graph kernel nodes): the configuration checked, the parameters packed as
// the fat binary lays them out, and one deferred entry queued on the stream,
// or a kernel node added where the stream is being captured.
#pragma once

#include <cuda_runtime_api.h>

#include <cstddef>
#include <string>

namespace cudart {

struct Function;

// Whether the grid and block shapes are within the device's limits.
bool ValidLaunchConfig(dim3 grid, dim3 block);

// The packed parameter buffer of `function` from one pointer per parameter;
// a runtime status.
int PackParams(const Function& function, void** args, std::string* params);

// Launches `function` with an already packed parameter buffer; a runtime
// status.
int LaunchPacked(Function* function, dim3 grid, dim3 block, const std::string& params, size_t shared,
                 cudaStream_t stream, bool per_thread);

}  // namespace cudart
