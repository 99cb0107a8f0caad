// Entry points: what nvcc-generated code calls to register device code and
// to launch kernels, cudaLaunchKernel, and the one local helper that returns
// a structure.
//
// A <<<>>> launch in nvcc 13 output: __cudaPushCallConfiguration, then in
// the kernel's stub __cudaGetKernel once (its handle is kept in a static),
// __cudaPopCallConfiguration and __cudaLaunchKernel with one pointer per
// parameter and no sizes; the sizes and offsets come from the fat binary.
#include <cstring>
#include <string>
#include <vector>

#include "common/api_numbers.h"
#include "cudart/api_common.h"
#include "cudart/kernel_launch.h"
#include "cudart/module_registry.h"
#include "cudart/stream_capture.h"

using namespace cudart;

namespace cudart {

bool ValidLaunchConfig(dim3 grid, dim3 block) {
  constexpr uint64_t kMaxThreads = 1024;
  constexpr uint32_t kMaxGridYZ = 65535;
  constexpr uint32_t kMaxBlockZ = 64;
  if (grid.x == 0 || grid.y == 0 || grid.z == 0 || block.x == 0 || block.y == 0 || block.z == 0) return false;
  if (grid.x > 0x7fffffffu || grid.y > kMaxGridYZ || grid.z > kMaxGridYZ) return false;
  if (block.x > kMaxThreads || block.y > kMaxThreads || block.z > kMaxBlockZ) return false;
  return uint64_t{block.x} * block.y * block.z <= kMaxThreads;
}

int PackParams(const Function& function, void** args, std::string* params) {
  if (!function.has_layout) return kRtNoKernelImageForDevice;
  const KernelLayout& layout = function.layout;
  if (args == nullptr && !layout.params.empty()) return kRtInvalidValue;
  // Parameters are at most kMaxParamBuffer bytes (the fat binary said so).
  params->assign(layout.buffer_bytes, '\0');
  for (size_t i = 0; i < layout.params.size(); ++i) {
    const KernelParam& p = layout.params[i];
    if (p.size != 0) std::memcpy(params->data() + p.offset, args[i], p.size);
  }
  return kRtSuccess;
}

namespace {

// The launch steps shared by every entry point: the parameters come packed
// (`packed`) or as one pointer per parameter (`args`), packed here once the
// stream and the configuration have been checked.
int LaunchWith(Function* function, dim3 grid, dim3 block, size_t shared, cudaStream_t stream, bool per_thread,
               void** args, const std::string* packed) {
  if (function == nullptr) return kRtInvalidDeviceFunction;
  int gpu = -1;
  uint64_t wire = 0;
  int status = ResolveStream(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  if (!function->has_layout) return kRtNoKernelImageForDevice;
  if (!ValidLaunchConfig(grid, block)) return kRtInvalidConfiguration;
  // Reused: most launches pack into a buffer of the thread's.
  thread_local std::string own;
  if (packed == nullptr) {
    status = PackParams(*function, args, &own);
    if (status != 0) return status;
    packed = &own;
  }
  if (packed->size() != function->layout.buffer_bytes) return kRtInvalidValue;
  StreamCapture& capture = StreamCapture::Get();
  if (capture.Capturing(gpu, wire)) {
    return capture.Add(gpu, wire, PackedKernelWork(function, grid, block, shared, *packed));
  }
  status = ModuleRegistry::Get().EnsureShipped(function->module, gpu);
  if (status != 0) return status;
  const uint64_t words[kLaunchArgc] = {function->id, grid.x, grid.y, grid.z, block.x, block.y, block.z,
                                       uint64_t{shared}, wire};
  return Layer().Launch(gpu, words, packed->data(), static_cast<uint32_t>(packed->size()));
}

}  // namespace

int LaunchPacked(Function* function, dim3 grid, dim3 block, const std::string& params, size_t shared,
                 cudaStream_t stream, bool per_thread) {
  return LaunchWith(function, grid, block, shared, stream, per_thread, nullptr, &params);
}

}  // namespace cudart

namespace {

struct LaunchConfig {
  dim3 grid;
  dim3 block;
  size_t shared;
  cudaStream_t stream;
};

// Configurations pushed by <<<>>> and not yet popped by the kernel's stub.
thread_local std::vector<LaunchConfig> configs;

// One deferred launch entry: function number, grid, block, shared bytes and
// stream as arguments, the packed parameter buffer as data.
int Launch(Function* function, dim3 grid, dim3 block, void** args, size_t shared, cudaStream_t stream,
           bool per_thread) {
  return LaunchWith(function, grid, block, shared, stream, per_thread, args, nullptr);
}

}  // namespace

extern "C" {

void** __cudaRegisterFatBinary(void* fat_cubin) {
  return reinterpret_cast<void**>(ModuleRegistry::Get().RegisterFatBinary(fat_cubin));
}

void __cudaRegisterFatBinaryEnd(void** handle) {}

void __cudaUnregisterFatBinary(void** handle) {
  ModuleRegistry::Get().Unregister(reinterpret_cast<Module*>(handle));
}

char __cudaInitModule(void** handle) { return 1; }

void __cudaRegisterFunction(void** handle, const char* host_function, char* device_function,
                            const char* device_name, int thread_limit, uint3* tid, uint3* bid, dim3* block_dim,
                            dim3* grid_dim, int* warp_size) {
  ModuleRegistry::Get().RegisterFunction(reinterpret_cast<Module*>(handle), host_function, device_name);
}

void __cudaRegisterVar(void** handle, char* host_variable, char* device_address, const char* device_name, int ext,
                       size_t size, int constant, int global) {
  ModuleRegistry::Get().RegisterVariable(reinterpret_cast<Module*>(handle), host_variable, device_name, size);
}

unsigned __cudaPushCallConfiguration(dim3 grid, dim3 block, size_t shared, struct CUstream_st* stream) {
  configs.push_back(LaunchConfig{grid, block, shared, stream});
  return 0;
}

cudaError_t __cudaPopCallConfiguration(dim3* grid, dim3* block, size_t* shared, void* stream) {
  if (configs.empty()) return Done(cudaErrorMissingConfiguration);
  const LaunchConfig& config = configs.back();
  *grid = config.grid;
  *block = config.block;
  *shared = config.shared;
  *static_cast<cudaStream_t*>(stream) = config.stream;
  configs.pop_back();
  return cudaSuccess;
}

cudaError_t __cudaGetKernel(cudaKernel_t* kernel, const void* host_function) {
  if (kernel == nullptr) return Done(kRtInvalidValue);
  Function* function = ModuleRegistry::Get().FindFunction(host_function);
  *kernel = reinterpret_cast<cudaKernel_t>(function);
  return Done(function == nullptr ? kRtInvalidDeviceFunction : kRtSuccess);
}

cudaError_t __cudaLaunchKernel(cudaKernel_t kernel, dim3 grid, dim3 block, void** args, size_t shared,
                               cudaStream_t stream) {
  return Done(Launch(reinterpret_cast<Function*>(kernel), grid, block, args, shared, stream, false));
}

cudaError_t __cudaLaunchKernel_ptsz(cudaKernel_t kernel, dim3 grid, dim3 block, void** args, size_t shared,
                                    cudaStream_t stream) {
  return Done(Launch(reinterpret_cast<Function*>(kernel), grid, block, args, shared, stream, true));
}

cudaError_t cudaLaunchKernel(const void* func, dim3 grid, dim3 block, void** args, size_t shared,
                             cudaStream_t stream) {
  return Done(Launch(ModuleRegistry::Get().FindFunction(func), grid, block, args, shared, stream, false));
}

cudaError_t cudaLaunchKernel_ptsz(const void* func, dim3 grid, dim3 block, void** args, size_t shared,
                                  cudaStream_t stream) {
  return Done(Launch(ModuleRegistry::Get().FindFunction(func), grid, block, args, shared, stream, true));
}

// Launch attributes (clusters, priorities, programmatic dependencies) are not
// carried to the nodes: a launch that asks for any is refused.
cudaError_t cudaLaunchKernelExC(const cudaLaunchConfig_t* config, const void* func, void** args) {
  if (config == nullptr) return Done(kRtInvalidValue);
  if (config->numAttrs != 0) return Done(kRtNotSupported);
  return Done(Launch(ModuleRegistry::Get().FindFunction(func), config->gridDim, config->blockDim, args,
                     config->dynamicSmemBytes, config->stream, false));
}

cudaError_t cudaLaunchKernelExC_ptsz(const cudaLaunchConfig_t* config, const void* func, void** args) {
  if (config == nullptr) return Done(kRtInvalidValue);
  if (config->numAttrs != 0) return Done(kRtNotSupported);
  return Done(Launch(ModuleRegistry::Get().FindFunction(func), config->gridDim, config->blockDim, args,
                     config->dynamicSmemBytes, config->stream, true));
}

struct cudaChannelFormatDesc cudaCreateChannelDesc(int x, int y, int z, int w, enum cudaChannelFormatKind f) {
  struct cudaChannelFormatDesc desc;
  desc.x = x;
  desc.y = y;
  desc.z = z;
  desc.w = w;
  desc.f = f;
  return desc;
}

}  // extern "C"
