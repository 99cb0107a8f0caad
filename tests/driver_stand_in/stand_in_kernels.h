// The CPU kernel libraries the driver stand-in runs kernels from (a test
// tool; see stand_in_driver.h): the paths in ZANTU_STAND_IN_KERNELS, loaded
// once, looked up by name in their order.
//
// Thread safety: Load runs once, before any lookup; the rest may run on any
// number of threads at once (the libraries are thread-safe).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "node/kernel_runtime/kernel_library.h"

namespace zantu_stand_in {

class StandInKernels {
 public:
  StandInKernels() = default;
  ~StandInKernels();  // unloads the libraries

  StandInKernels(const StandInKernels&) = delete;
  StandInKernels& operator=(const StandInKernels&) = delete;

  // Loads the colon-separated `paths`. A library that cannot be loaded, or
  // lacks an entry point, is reported on stderr and left out: its kernels are
  // then not found, as on a GPU whose module lacks them.
  void Load(const std::string& paths);

  // Whether some library has kernel `name`.
  bool HasKernel(const char* name) const;
  // Runs kernel `name` from the first library that has it: the library's
  // status (a runtime error number), 98 when none has it.
  uint32_t Launch(const char* name, const uint32_t grid[3], const uint32_t block[3], uint64_t shared,
                  const void* params, uint64_t params_size) const;
  // The storage of variable `name` and its size, or null.
  void* Symbol(const char* name, uint64_t* size) const;
  // The offsets of kernel `name`'s pointer parameters; false when the library
  // that has it cannot tell.
  bool PointerParams(const char* name, std::vector<uint32_t>* offsets) const;

 private:
  struct Library {
    void* handle;
    ZantuKernelLaunchFn launch;
    ZantuKernelSymbolFn symbol;
    ZantuKernelPointerParamsFn pointer_params;  // null in older libraries
  };
  // The first library with kernel `name`, or null.
  const Library* Find(const char* name) const;

  std::vector<Library> libraries_;
};

}  // namespace zantu_stand_in
