#include "node/backends/cuda_driver.h"

#include <dlfcn.h>

namespace zantu_node {
namespace {

// Expands a name first, so that cuMemAlloc becomes "cuMemAlloc_v2" as cuda.h
// maps it.
#define ZANTU_EXPANDED_NAME(name) ZANTU_QUOTED_NAME(name)
#define ZANTU_QUOTED_NAME(name) #name

}  // namespace

CudaDriver::~CudaDriver() {
  if (handle_ != nullptr) dlclose(handle_);
}

bool CudaDriver::Load(std::string* why) {
  handle_ = dlopen("libcuda.so.1", RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* error = dlerror();
    *why = std::string("libcuda.so.1 cannot be loaded: ") + (error != nullptr ? error : "unknown error");
    return false;
  }
  // An older driver may lack a versioned name; the plain one has the same
  // signature for every entry used here.
#define ZANTU_CUDA_DRIVER_LOAD(name)                                                  \
  {                                                                                   \
    void* symbol = dlsym(handle_, ZANTU_EXPANDED_NAME(name));                         \
    if (symbol == nullptr) symbol = dlsym(handle_, #name);                            \
    if (symbol == nullptr) {                                                          \
      *why = std::string("libcuda.so.1 lacks ") + ZANTU_EXPANDED_NAME(name);          \
      return false;                                                                   \
    }                                                                                 \
    name##_fn = reinterpret_cast<decltype(name##_fn)>(symbol);                        \
  }
  ZANTU_CUDA_DRIVER_ENTRIES(ZANTU_CUDA_DRIVER_LOAD)
#undef ZANTU_CUDA_DRIVER_LOAD
  return true;
}

}  // namespace zantu_node
