// The registry of a kernel library and its C interface.
//
// Thread safety: registrations run while the library is being loaded, on the
// loading thread, before anyone can call in. The name tables are built once,
// on the first lookup (std::call_once), and are read-only afterwards.
#include <dlfcn.h>

#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/runtime_calls.h"
#include "node/kernel_runtime/block_runner.h"
#include "node/kernel_runtime/kernel_library.h"
#include "node/kernel_runtime/kernel_registry.h"

namespace zantu {
namespace {

struct KernelEntry {
  const void* function;
  Launcher launcher;
  PointerLister pointers;
};

struct SymbolEntry {
  void* storage;
  uint64_t size;
};

struct Registry {
  std::vector<KernelEntry> kernels;  // as registered; named on first lookup
  std::unordered_map<std::string, SymbolEntry> symbols;
  std::once_flag named;
  std::unordered_map<std::string, const KernelEntry*> by_name;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // never destroyed: kernels may run during exit
  return *registry;
}

// A kernel's mangled name is that of the dynamic symbol at its address.
void NameKernels(Registry& registry) {
  for (const KernelEntry& k : registry.kernels) {
    Dl_info info{};
    if (dladdr(k.function, &info) == 0 || info.dli_sname == nullptr || info.dli_saddr != k.function) continue;
    registry.by_name.emplace(info.dli_sname, &k);
  }
}

}  // namespace

void AddKernel(const void* function, Launcher launcher, PointerLister pointers) {
  TheRegistry().kernels.push_back({function, launcher, pointers});
}

void AddSymbol(const char* name, void* storage, uint64_t size) { TheRegistry().symbols[name] = {storage, size}; }

uint32_t RunGrid(const uint32_t grid[3], const uint32_t block[3], ThreadBody body, const void* args) {
  return BlockRunner::Current().RunGrid(grid, block, body, args);
}

}  // namespace zantu

namespace zantu {
namespace {

const KernelEntry* FindKernel(const char* mangled_name) {
  Registry& registry = TheRegistry();
  std::call_once(registry.named, [&registry] { NameKernels(registry); });
  if (mangled_name == nullptr) return nullptr;
  const auto it = registry.by_name.find(mangled_name);
  return it == registry.by_name.end() ? nullptr : it->second;
}

}  // namespace
}  // namespace zantu

extern "C" uint32_t zantu_kernel_launch(const char* mangled_name, const uint32_t grid[3], const uint32_t block[3],
                                        uint64_t dynamic_shared_bytes, const void* params, uint64_t params_size) {
  const zantu::KernelEntry* kernel = zantu::FindKernel(mangled_name);
  if (kernel == nullptr) return kRtInvalidDeviceFunction;
  if (params == nullptr && params_size > 0) return kRtInvalidValue;
  if (dynamic_shared_bytes > zantu::kMaxDynamicSharedBytes) return kRtInvalidValue;
  static const unsigned char kNoParameters[1] = {0};
  return kernel->launcher(grid, block, params != nullptr ? params : kNoParameters, params_size);
}

extern "C" int32_t zantu_kernel_pointer_params(const char* mangled_name, uint32_t* offsets, uint32_t capacity) {
  const zantu::KernelEntry* kernel = zantu::FindKernel(mangled_name);
  if (kernel == nullptr) return -1;
  return static_cast<int32_t>(kernel->pointers(offsets, capacity));
}

extern "C" void* zantu_kernel_symbol(const char* device_name, uint64_t* size) {
  const zantu::Registry& registry = zantu::TheRegistry();
  if (device_name == nullptr) return nullptr;
  const auto it = registry.symbols.find(device_name);
  if (it == registry.symbols.end()) return nullptr;
  if (size != nullptr) *size = it->second.size;
  return it->second.storage;
}
