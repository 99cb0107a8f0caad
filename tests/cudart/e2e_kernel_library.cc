// The CPU twins of e2e_kernels.cuh for the emulated node (--kernels), on the
// kernel-library interface the node loads: zantu_kernel_launch and
// zantu_kernel_symbol with C linkage, and zantu_kernel_pointer_params, which
// lets the node check a launch's pointer before the kernel runs.
#include <cstdint>
#include <cstring>

namespace {
float bias = 0;
constexpr uint32_t kInvalidValue = 1;
constexpr uint32_t kInvalidConfiguration = 9;
constexpr uint32_t kInvalidDeviceFunction = 98;
}  // namespace

extern "C" __attribute__((visibility("default"))) uint32_t zantu_kernel_launch(
    const char* name, const uint32_t grid[3], const uint32_t block[3], uint64_t shared, const void* params,
    uint64_t params_size) {
  if (std::strcmp(name, "_Z9e2e_scalePffi") != 0) return kInvalidDeviceFunction;
  if (grid[0] == 0 || block[0] == 0 || uint64_t{block[0]} * block[1] * block[2] > 1024) return kInvalidConfiguration;
  if (params_size < 16) return kInvalidValue;
  float* data = nullptr;
  float factor = 0;
  int32_t n = 0;
  std::memcpy(&data, params, 8);
  std::memcpy(&factor, static_cast<const char*>(params) + 8, 4);
  std::memcpy(&n, static_cast<const char*>(params) + 12, 4);
  const uint64_t threads = uint64_t{grid[0]} * block[0];
  for (uint64_t i = 0; i < threads && i < static_cast<uint64_t>(n); ++i) data[i] = data[i] * factor + bias;
  return 0;
}

extern "C" __attribute__((visibility("default"))) void* zantu_kernel_symbol(const char* name, uint64_t* size) {
  if (std::strcmp(name, "e2e_bias") != 0) return nullptr;
  *size = sizeof(bias);
  return &bias;
}

extern "C" __attribute__((visibility("default"))) int32_t zantu_kernel_pointer_params(const char* name,
                                                                                   uint32_t* offsets,
                                                                                   uint32_t capacity) {
  if (std::strcmp(name, "_Z9e2e_scalePffi") != 0) return -1;
  if (capacity > 0) offsets[0] = 0;  // data
  return 1;
}
