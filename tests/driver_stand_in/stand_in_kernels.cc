#include "tests/driver_stand_in/stand_in_kernels.h"

#include <dlfcn.h>

#include <cstdio>
#include <sstream>

namespace zantu_stand_in {
namespace {

constexpr uint32_t kNoSuchKernel = 98;  // the runtime's cudaErrorInvalidDeviceFunction
constexpr uint32_t kMaxPointers = 256;

}  // namespace

StandInKernels::~StandInKernels() {
  for (const Library& library : libraries_) dlclose(library.handle);
}

void StandInKernels::Load(const std::string& paths) {
  std::istringstream list(paths);
  for (std::string path; std::getline(list, path, ':');) {
    if (path.empty()) continue;
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
      std::fprintf(stderr, "driver stand-in: cannot load kernel library %s: %s\n", path.c_str(), dlerror());
      continue;
    }
    Library library{handle, reinterpret_cast<ZantuKernelLaunchFn>(dlsym(handle, "zantu_kernel_launch")),
                    reinterpret_cast<ZantuKernelSymbolFn>(dlsym(handle, "zantu_kernel_symbol")),
                    reinterpret_cast<ZantuKernelPointerParamsFn>(dlsym(handle, "zantu_kernel_pointer_params"))};
    if (library.launch == nullptr || library.symbol == nullptr) {
      std::fprintf(stderr, "driver stand-in: %s is no kernel library\n", path.c_str());
      dlclose(handle);
      continue;
    }
    libraries_.push_back(library);
  }
}

const StandInKernels::Library* StandInKernels::Find(const char* name) const {
  for (const Library& library : libraries_) {
    if (library.pointer_params != nullptr) {
      uint32_t offsets[1];
      if (library.pointer_params(name, offsets, 0) >= 0) return &library;
      continue;
    }
    // Without the entry point, an empty grid tells: a library refuses a
    // kernel it lacks before it looks at the configuration.
    const uint32_t empty[3] = {0, 0, 0};
    if (library.launch(name, empty, empty, 0, nullptr, 0) != kNoSuchKernel) return &library;
  }
  return nullptr;
}

bool StandInKernels::HasKernel(const char* name) const { return Find(name) != nullptr; }

uint32_t StandInKernels::Launch(const char* name, const uint32_t grid[3], const uint32_t block[3], uint64_t shared,
                                const void* params, uint64_t params_size) const {
  const Library* library = Find(name);
  if (library == nullptr) return kNoSuchKernel;
  return library->launch(name, grid, block, shared, params, params_size);
}

void* StandInKernels::Symbol(const char* name, uint64_t* size) const {
  for (const Library& library : libraries_) {
    uint64_t found = 0;
    void* storage = library.symbol(name, &found);
    if (storage != nullptr) {
      *size = found;
      return storage;
    }
  }
  return nullptr;
}

bool StandInKernels::PointerParams(const char* name, std::vector<uint32_t>* offsets) const {
  const Library* library = Find(name);
  if (library == nullptr || library->pointer_params == nullptr) return false;
  uint32_t found[kMaxPointers];
  const int32_t count = library->pointer_params(name, found, kMaxPointers);
  if (count < 0 || static_cast<uint32_t>(count) > kMaxPointers) return false;
  offsets->assign(found, found + count);
  return true;
}

}  // namespace zantu_stand_in
