// Every other name of the BLAS library's interface, so that no program stops
// with a loader error. Each is a weak definition: where a strong one of this
// library exists (handles.cc, data_movement.cc) the linker takes that. A stub
// takes any arguments, touches none, logs its name once and returns what
// says "not supported" in its own return type: CUBLAS_STATUS_NOT_SUPPORTED
// for the handle interface, a zero for the legacy functions that return a
// value (their callers learn of the failure from cublasGetError, itself a
// stub that answers CUBLAS_STATUS_NOT_SUPPORTED), nothing for those that
// return nothing. Only the complex types come from a CUDA header: the
// stubs' signatures are not the real ones, so no BLAS header may be seen
// here.
#include <cuComplex.h>

#include <atomic>
#include <cstddef>

#include "common/log.h"

namespace {

constexpr int kNotSupported = 15;  // CUBLAS_STATUS_NOT_SUPPORTED

void SayOnce(const char* name, std::atomic<bool>* said) {
  if (!said->exchange(true, std::memory_order_relaxed)) {
    ZANTU_ERROR("%s is not supported by this BLAS library", name);
  }
}

}  // namespace

#define ZANTU_UNSUPPORTED(name)                 \
  extern "C" __attribute__((weak)) int name() { \
    static std::atomic<bool> said{false};       \
    SayOnce(#name, &said);                      \
    return kNotSupported;                       \
  }
#define ZANTU_UNSUPPORTED_VOID(name)             \
  extern "C" __attribute__((weak)) void name() { \
    static std::atomic<bool> said{false};        \
    SayOnce(#name, &said);                       \
  }
#define ZANTU_UNSUPPORTED_VALUE(name, type)      \
  extern "C" __attribute__((weak)) type name() { \
    static std::atomic<bool> said{false};        \
    SayOnce(#name, &said);                       \
    return {};                                   \
  }
#include "cublas/unsupported_stubs.inc"
#undef ZANTU_UNSUPPORTED
#undef ZANTU_UNSUPPORTED_VOID
#undef ZANTU_UNSUPPORTED_VALUE
