#include "node/backends/kernel_libraries.h"

#include <dlfcn.h>

#include "common/log.h"
#include "common/runtime_calls.h"

namespace zantu_node {

KernelLibraries::~KernelLibraries() {
  for (const Library& library : libraries_) dlclose(library.handle);
}

bool KernelLibraries::Load(const std::vector<std::string>& paths) {
  for (const std::string& path : paths) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      ZANTU_ERROR("cannot load kernel library %s: %s", path.c_str(), dlerror());
      return false;
    }
    Library library{handle, reinterpret_cast<ZantuKernelLaunchFn>(dlsym(handle, "zantu_kernel_launch")),
                    reinterpret_cast<ZantuKernelSymbolFn>(dlsym(handle, "zantu_kernel_symbol")),
                    reinterpret_cast<ZantuKernelPointerParamsFn>(dlsym(handle, "zantu_kernel_pointer_params"))};
    if (library.launch == nullptr || library.symbol == nullptr) {
      ZANTU_ERROR("kernel library %s lacks zantu_kernel_launch or zantu_kernel_symbol", path.c_str());
      dlclose(handle);
      return false;
    }
    libraries_.push_back(library);
  }
  return true;
}

bool KernelLibraries::Has(const char* name) const {
  for (const Library& library : libraries_) {
    if (library.pointer_params != nullptr) {
      uint32_t offsets[1];
      if (library.pointer_params(name, offsets, 0) >= 0) return true;
      continue;
    }
    // Without that entry point an empty grid tells: a library refuses a
    // kernel it lacks before it looks at the configuration.
    const uint32_t empty[3] = {0, 0, 0};
    if (library.launch(name, empty, empty, 0, nullptr, 0) != kRtInvalidDeviceFunction) return true;
  }
  return false;
}

uint32_t KernelLibraries::Launch(const char* name, const uint32_t grid[3], const uint32_t block[3],
                                 uint64_t shared_bytes, const void* params, uint64_t params_size) const {
  for (const Library& library : libraries_) {
    const uint32_t status = library.launch(name, grid, block, shared_bytes, params, params_size);
    if (status != kRtInvalidDeviceFunction) return status;
  }
  return kRtInvalidDeviceFunction;
}

void* KernelLibraries::Symbol(const char* name, uint64_t* size) const {
  for (const Library& library : libraries_) {
    uint64_t found_size = 0;
    void* storage = library.symbol(name, &found_size);
    if (storage != nullptr) {
      *size = found_size;
      return storage;
    }
  }
  return nullptr;
}

}  // namespace zantu_node

namespace zantu_node {

bool KernelLibraries::PointerParameters(const char* name, std::vector<uint32_t>* offsets) const {
  // The kernel runs from the first library that has it; so are its
  // parameters read.
  constexpr uint32_t kMaxPointers = 256;
  for (const Library& library : libraries_) {
    // A library that cannot tell may be the one that has the kernel.
    if (library.pointer_params == nullptr) return false;
    uint32_t found[kMaxPointers];
    const int32_t count = library.pointer_params(name, found, kMaxPointers);
    if (count < 0) continue;
    if (static_cast<uint32_t>(count) > kMaxPointers) return false;
    offsets->assign(found, found + count);
    return true;
  }
  return false;
}

}  // namespace zantu_node
