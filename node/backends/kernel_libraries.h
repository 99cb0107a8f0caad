// The CPU kernel libraries of the emulated GPUs (--kernels), loaded once at
// start-up. Each exports zantu_kernel_launch and zantu_kernel_symbol (see
// node/kernel_runtime/kernel_library.h); kernels and variables are looked up
// by name in the libraries in command-line order.
//
// Thread safety: constant after Load; Launch, Symbol and PointerParameters
// may run on any number of threads at once (the libraries are thread-safe).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "node/kernel_runtime/kernel_library.h"

namespace zantu_node {

class KernelLibraries {
 public:
  KernelLibraries() = default;
  ~KernelLibraries();  // unloads the libraries

  KernelLibraries(const KernelLibraries&) = delete;
  KernelLibraries& operator=(const KernelLibraries&) = delete;

  // Loads every library. False (logged) when one cannot be loaded or lacks
  // an entry point.
  [[nodiscard]] bool Load(const std::vector<std::string>& paths);

  // Whether some library has kernel `name`.
  bool Has(const char* name) const;

  // Runs kernel `name` from the first library that has it: its status, or
  // kRtInvalidDeviceFunction when none has it.
  uint32_t Launch(const char* name, const uint32_t grid[3], const uint32_t block[3], uint64_t shared_bytes,
                  const void* params, uint64_t params_size) const;

  // The storage of device variable `name` and its size, or null.
  void* Symbol(const char* name, uint64_t* size) const;

  // The offsets of kernel `name`'s pointer parameters in its packed
  // parameter buffer, from the first library that has the kernel. False
  // when that library cannot tell (built without the entry point) or none
  // has the kernel: nothing can be checked then.
  bool PointerParameters(const char* name, std::vector<uint32_t>* offsets) const;

  size_t count() const { return libraries_.size(); }

 private:
  struct Library {
    void* handle;
    ZantuKernelLaunchFn launch;
    ZantuKernelSymbolFn symbol;
    ZantuKernelPointerParamsFn pointer_params;  // null in older libraries
  };
  std::vector<Library> libraries_;
};

}  // namespace zantu_node
