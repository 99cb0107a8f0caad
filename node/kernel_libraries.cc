#include "node/kernel_libraries.h"

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
                    reinterpret_cast<ZantuKernelSymbolFn>(dlsym(handle, "zantu_kernel_symbol"))};
    if (library.launch == nullptr || library.symbol == nullptr) {
      ZANTU_ERROR("kernel library %s lacks zantu_kernel_launch or zantu_kernel_symbol", path.c_str());
      dlclose(handle);
      return false;
    }
    libraries_.push_back(library);
  }
  return true;
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
