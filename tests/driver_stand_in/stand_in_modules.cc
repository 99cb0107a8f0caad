// Modules, functions, variables and launches of the driver stand-in.
#include <cstring>

#include "tests/driver_stand_in/stand_in_driver.h"

namespace zantu_stand_in {
namespace {

constexpr uint32_t kFatBinaryMagic = 0xBA55ED50;
constexpr uint32_t kElfMagic = 0x464c457f;  // "\x7f" "ELF"
constexpr size_t kMaxParamBuffer = 32764;   // the most a launch's parameters may take

// The runtime error numbers a kernel library answers with.
constexpr uint32_t kKernelInvalidValue = 1;
constexpr uint32_t kKernelInvalidConfiguration = 9;
constexpr uint32_t kKernelNoSuchKernel = 98;
constexpr uint32_t kKernelIllegalAddress = 700;
constexpr uint32_t kKernelLaunchFailure = 719;

// A fat binary, an ELF cubin, or PTX text: what the driver's loader takes.
// The image comes without its length; only its first bytes are looked at.
bool LooksLikeImage(const void* image) {
  uint32_t magic = 0;
  std::memcpy(&magic, image, sizeof(magic));
  if (magic == kFatBinaryMagic || magic == kElfMagic) return true;
  const unsigned char first = *static_cast<const unsigned char*>(image);
  return first == '\n' || first == '\t' || first == '/' || first == '.' || (first >= ' ' && first < 0x7f);
}

bool ValidConfiguration(const unsigned grid[3], const unsigned block[3]) {
  if (grid[0] == 0 || grid[1] == 0 || grid[2] == 0 || block[0] == 0 || block[1] == 0 || block[2] == 0) return false;
  if (grid[0] > 2147483647u || grid[1] > 65535 || grid[2] > 65535) return false;
  if (block[0] > 1024 || block[1] > 1024 || block[2] > 64) return false;
  return uint64_t{block[0]} * block[1] * block[2] <= 1024;
}

// The packed parameter buffer that `extra` names: pointer and size, both
// required.
bool ParameterBuffer(void** extra, const void** buffer, uint64_t* size) {
  const void* pointer = nullptr;
  const size_t* bytes = nullptr;
  for (size_t i = 0; extra[i] != CU_LAUNCH_PARAM_END; i += 2) {
    if (extra[i] == CU_LAUNCH_PARAM_BUFFER_POINTER) {
      pointer = extra[i + 1];
    } else if (extra[i] == CU_LAUNCH_PARAM_BUFFER_SIZE) {
      bytes = static_cast<const size_t*>(extra[i + 1]);
    } else {
      return false;
    }
  }
  if (pointer == nullptr || bytes == nullptr || *bytes > kMaxParamBuffer) return false;
  *buffer = pointer;
  *size = *bytes;
  return true;
}

}  // namespace

CUresult StandInDriver::ModuleLoadData(CUmodule* module, const void* image) {
  if (module == nullptr || image == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (!LooksLikeImage(image)) return CUDA_ERROR_INVALID_IMAGE;
  auto loaded = std::make_unique<CUmod_st>();
  loaded->context = context;
  *module = loaded.get();
  context->modules.emplace(loaded.get(), std::move(loaded));
  return CUDA_SUCCESS;
}

CUresult StandInDriver::ModuleUnload(CUmodule module) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (context->modules.erase(module) == 0) return CUDA_ERROR_INVALID_HANDLE;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::ModuleGetFunction(CUfunction* function, CUmodule module, const char* name) {
  if (function == nullptr || name == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (context->modules.count(module) == 0) return CUDA_ERROR_INVALID_HANDLE;
  auto it = module->functions.find(name);
  if (it == module->functions.end()) {
    if (!kernels_.Has(name)) return CUDA_ERROR_NOT_FOUND;
    auto found = std::make_unique<CUfunc_st>();
    found->module = module;
    found->name = name;
    found->max_dynamic_shared = kDefaultDynamicShared;
    it = module->functions.emplace(name, std::move(found)).first;
  }
  *function = it->second.get();
  return CUDA_SUCCESS;
}

CUresult StandInDriver::ModuleGetGlobal(CUdeviceptr* pointer, size_t* bytes, CUmodule module, const char* name) {
  if (name == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (context->modules.count(module) == 0) return CUDA_ERROR_INVALID_HANDLE;
  uint64_t size = 0;
  void* storage = kernels_.Symbol(name, &size);
  if (storage == nullptr) return CUDA_ERROR_NOT_FOUND;
  // The library's one copy serves every context of the process: a real
  // GPU's contexts would each have their own.
  context->globals[reinterpret_cast<uint64_t>(storage)] = size;
  if (pointer != nullptr) *pointer = reinterpret_cast<CUdeviceptr>(storage);
  if (bytes != nullptr) *bytes = size;
  return CUDA_SUCCESS;
}

// Which module a function belongs to is checked against the current
// context's modules: a function of an unloaded module is an unknown handle.
CUresult StandInDriver::FuncSetAttribute(CUfunction function, CUfunction_attribute attribute, int value) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (function == nullptr || context->modules.count(function->module) == 0) return CUDA_ERROR_INVALID_HANDLE;
  switch (attribute) {
    case CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES:
      if (value < 0 || value > kOptinShared) return CUDA_ERROR_INVALID_VALUE;
      function->max_dynamic_shared = value;
      return CUDA_SUCCESS;
    case CU_FUNC_ATTRIBUTE_PREFERRED_SHARED_MEMORY_CARVEOUT:
      return value >= -1 && value <= 100 ? CUDA_SUCCESS : CUDA_ERROR_INVALID_VALUE;
    default:
      return CUDA_ERROR_INVALID_VALUE;
  }
}

CUresult StandInDriver::LaunchKernel(CUfunction function, const unsigned grid[3], const unsigned block[3],
                                     unsigned shared, CUstream stream, void** kernel_params, void** extra) {
  CheckedLaunch launch;
  {
    zantu::MutexLock lock(&mutex_);
    if (const CUresult result = CheckLaunch(function, stream, kernel_params, extra, &launch);
        result != CUDA_SUCCESS) {
      return result;
    }
    if (!ValidConfiguration(grid, block) || shared > static_cast<unsigned>(function->max_dynamic_shared)) {
      return CUDA_ERROR_INVALID_VALUE;
    }
    std::memcpy(launch.grid, grid, sizeof(launch.grid));
    std::memcpy(launch.block, block, sizeof(launch.block));
    launch.shared = shared;
    if (!PointersReach(*launch.context, launch)) {
      launch.context->sticky = CUDA_ERROR_ILLEGAL_ADDRESS;
      return CUDA_SUCCESS;  // the fault shows at the next call, as the GPU reports it
    }
  }
  // Kernels read their parameters at their natural alignment.
  alignas(64) char aligned[kMaxParamBuffer];
  if (launch.params_size != 0) std::memcpy(aligned, launch.params, launch.params_size);
  const uint32_t status = kernels_.Launch(launch.name.c_str(), launch.grid, launch.block, launch.shared, aligned,
                                          launch.params_size);
  return SettleLaunch(launch.context, status);
}

CUresult StandInDriver::CheckLaunch(CUfunction function, CUstream stream, void** kernel_params, void** extra,
                                    CheckedLaunch* launch) {
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (function == nullptr || context->modules.count(function->module) == 0) return CUDA_ERROR_INVALID_HANDLE;
  if (!Owns(*context, stream)) return CUDA_ERROR_INVALID_HANDLE;
  if (kernel_params != nullptr && extra != nullptr) return CUDA_ERROR_INVALID_VALUE;
  // Without the kernel's parameter layout, an array of parameter pointers
  // cannot be packed: launches here carry the packed buffer (or nothing).
  if (kernel_params != nullptr) return CUDA_ERROR_NOT_SUPPORTED;
  if (extra != nullptr && !ParameterBuffer(extra, &launch->params, &launch->params_size)) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  launch->context = context;
  launch->name = function->name;
  return CUDA_SUCCESS;
}

bool StandInDriver::PointersReach(const CUctx_st& context, const CheckedLaunch& launch) const {
  std::vector<uint32_t> offsets;
  if (!kernels_.PointerParameters(launch.name.c_str(), &offsets)) return true;  // nothing to check against
  for (uint32_t offset : offsets) {
    // A buffer too short for the parameter is the kernel library's to refuse.
    if (uint64_t{offset} + sizeof(uint64_t) > launch.params_size) continue;
    uint64_t pointer = 0;
    std::memcpy(&pointer, static_cast<const char*>(launch.params) + offset, sizeof(pointer));
    if (pointer == 0 || Inside(context, pointer, 0) || Inside(context, pointer - 1, 1)) continue;
    bool peer = false;
    for (const CUctx_st* other : context.peers) peer = peer || Inside(*other, pointer, 0);
    if (!peer) return false;
  }
  return true;
}

CUresult StandInDriver::SettleLaunch(CUctx_st* context, uint32_t kernel_status) {
  switch (kernel_status) {
    case 0: return CUDA_SUCCESS;
    case kKernelInvalidValue: case kKernelInvalidConfiguration: return CUDA_ERROR_INVALID_VALUE;
    case kKernelNoSuchKernel: return CUDA_ERROR_NOT_FOUND;
    default: break;
  }
  // A failure while the kernel ran: reported later, and for good.
  zantu::MutexLock lock(&mutex_);
  if (context->sticky == CUDA_SUCCESS) {
    context->sticky = kernel_status == kKernelIllegalAddress ? CUDA_ERROR_ILLEGAL_ADDRESS
                      : kernel_status == kKernelLaunchFailure ? CUDA_ERROR_LAUNCH_FAILED
                                                              : CUDA_ERROR_UNKNOWN;
  }
  return CUDA_SUCCESS;
}

}  // namespace zantu_stand_in
