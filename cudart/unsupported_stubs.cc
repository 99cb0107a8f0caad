// Every other name of the runtime's interface, so that no program stops
// with a loader error. Each is a weak definition: where a strong one of this
// library exists (api_*.cc) the linker takes that. A stub takes any
// arguments, touches none, logs its name once and fails with
// cudaErrorNotSupported; for the few functions whose result is not an error
// code (void or a char) the value is simply ignored by the caller. No CUDA
// header here: the stubs' signatures are not the real ones.
#include <atomic>

#include "common/log.h"

namespace {

constexpr int kNotSupported = 801;  // cudaErrorNotSupported

int NotSupported(const char* name, std::atomic<bool>* said) {
  if (!said->exchange(true, std::memory_order_relaxed)) {
    ZANTU_ERROR("%s is not supported by this runtime library", name);
  }
  return kNotSupported;
}

}  // namespace

#define ZANTU_UNSUPPORTED(name)                                 \
  extern "C" __attribute__((weak)) int name() {                 \
    static std::atomic<bool> said{false};                       \
    return NotSupported(#name, &said);                          \
  }
#include "cudart/unsupported_stubs.inc"
#undef ZANTU_UNSUPPORTED
