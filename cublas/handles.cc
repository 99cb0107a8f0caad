// The handle interface: creating and destroying a handle, the settings it
// carries (stream, pointer mode, math mode, workspace), and what describes
// the library itself (version, properties, status names).
//
// A handle is a small heap object the registry below owns from creation to
// destruction. A call checks the handle against the registry before it
// touches it, so a null, destroyed or made-up handle is answered with
// CUBLAS_STATUS_NOT_INITIALIZED and never dereferenced. The settings are
// only recorded here: the calls that compute read them when they forward
// their work.
#include <cublas_api.h>
#include <cuda_runtime_api.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <unordered_set>

#include "common/thread_annotations.h"

// The opaque type the header declares; ours is plain data.
struct cublasContext {
  uint64_t magic;
  int device;  // current when the handle was made; its work goes there
  cudaStream_t stream;
  cublasPointerMode_t pointer_mode;
  cublasMath_t math_mode;
  void* workspace;  // null: the library's own
  size_t workspace_bytes;
};

namespace {

constexpr uint64_t kHandleMagic = 0x5a616e7475424c53;  // "ZantuBLS"
constexpr uintptr_t kWorkspaceAlignment = 256;

// The live handles. A handle is dereferenced only while the registry's
// mutex is held and after it was found live, so destroying one handle
// while another thread uses a different one is safe; using a handle while
// destroying it is the caller's race, as with any library.
class HandleRegistry {
 public:
  // Never destroyed: handles may still be destroyed while the process exits.
  static HandleRegistry& Get() {
    static HandleRegistry* const registry = new HandleRegistry();
    return *registry;
  }

  void Add(cublasContext* context) EXCLUDES(mutex_) {
    zantu::MutexLock lock(&mutex_);
    live_.insert(context);
  }

  // Takes `handle` out and frees it; false if it was not live.
  bool Remove(cublasHandle_t handle) EXCLUDES(mutex_) {
    zantu::MutexLock lock(&mutex_);
    if (!Live(handle)) return false;
    live_.erase(handle);
    handle->magic = 0;
    delete handle;
    return true;
  }

  // Runs `fn` on the live handle `handle` under the mutex; its status, or
  // CUBLAS_STATUS_NOT_INITIALIZED for a handle that is not live.
  template <typename Fn>
  cublasStatus_t With(cublasHandle_t handle, Fn fn) EXCLUDES(mutex_) {
    zantu::MutexLock lock(&mutex_);
    if (!Live(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
    return fn(*handle);
  }

 private:
  HandleRegistry() = default;

  bool Live(cublasHandle_t handle) REQUIRES(mutex_) {
    return handle != nullptr && live_.count(handle) != 0 && handle->magic == kHandleMagic;
  }

  zantu::Mutex mutex_;
  std::unordered_set<cublasContext*> live_ GUARDED_BY(mutex_);
};

// The value a caller passed for an enumeration, taken from its bytes: a C
// caller may pass any int, and reading a value outside the enumeration's
// range through the enumeration's type is undefined.
template <typename Enum>
int RawValue(const Enum& value) {
  static_assert(sizeof(Enum) == sizeof(int));
  int raw = 0;
  std::memcpy(&raw, &value, sizeof(raw));
  return raw;
}

bool ValidPointerMode(int mode) { return mode == CUBLAS_POINTER_MODE_HOST || mode == CUBLAS_POINTER_MODE_DEVICE; }

// A base mode, optionally with the flag that keeps reductions in the
// accumulator's type.
bool ValidMathMode(int mode) {
  switch (mode & ~static_cast<int>(CUBLAS_MATH_DISALLOW_REDUCED_PRECISION_REDUCTION)) {
    case CUBLAS_DEFAULT_MATH:
    case CUBLAS_TENSOR_OP_MATH:
    case CUBLAS_PEDANTIC_MATH:
    case CUBLAS_TF32_TENSOR_OP_MATH:
    case CUBLAS_FP32_EMULATED_BF16X9_MATH:
    case CUBLAS_FP64_EMULATED_FIXEDPOINT_MATH:
      return true;
    default:
      return false;
  }
}

struct StatusText {
  cublasStatus_t status;
  const char* name;
  const char* text;
};

constexpr StatusText kStatusTexts[] = {
    {CUBLAS_STATUS_SUCCESS, "CUBLAS_STATUS_SUCCESS", "success"},
    {CUBLAS_STATUS_NOT_INITIALIZED, "CUBLAS_STATUS_NOT_INITIALIZED", "the library was not initialized"},
    {CUBLAS_STATUS_ALLOC_FAILED, "CUBLAS_STATUS_ALLOC_FAILED", "the resource allocation failed"},
    {CUBLAS_STATUS_INVALID_VALUE, "CUBLAS_STATUS_INVALID_VALUE", "an invalid numeric value was used as an argument"},
    {CUBLAS_STATUS_ARCH_MISMATCH, "CUBLAS_STATUS_ARCH_MISMATCH", "an absent device architectural feature is required"},
    {CUBLAS_STATUS_MAPPING_ERROR, "CUBLAS_STATUS_MAPPING_ERROR", "an access to GPU memory space failed"},
    {CUBLAS_STATUS_EXECUTION_FAILED, "CUBLAS_STATUS_EXECUTION_FAILED", "the GPU program failed to execute"},
    {CUBLAS_STATUS_INTERNAL_ERROR, "CUBLAS_STATUS_INTERNAL_ERROR", "an internal operation failed"},
    {CUBLAS_STATUS_NOT_SUPPORTED, "CUBLAS_STATUS_NOT_SUPPORTED", "the functionality requested is not supported"},
    {CUBLAS_STATUS_LICENSE_ERROR, "CUBLAS_STATUS_LICENSE_ERROR", "error detected trying to check the license"},
};

const StatusText* FindStatus(int status) {
  for (const StatusText& entry : kStatusTexts) {
    if (entry.status == status) return &entry;
  }
  return nullptr;
}

}  // namespace

extern "C" {

// The handle belongs to the GPU current now; without a usable runtime
// there is nothing for it to belong to.
cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
  if (handle == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  int device = 0;
  if (cudaGetDevice(&device) != cudaSuccess) return CUBLAS_STATUS_NOT_INITIALIZED;
  auto* context = new (std::nothrow) cublasContext{kHandleMagic, device, nullptr, CUBLAS_POINTER_MODE_HOST,
                                                   CUBLAS_DEFAULT_MATH, nullptr, 0};
  if (context == nullptr) return CUBLAS_STATUS_ALLOC_FAILED;
  HandleRegistry::Get().Add(context);
  *handle = context;
  return CUBLAS_STATUS_SUCCESS;
}

// Destroying a handle waits for the device, as the library's users expect:
// work queued before it (an asynchronous copy back, say) is done after it.
cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
  if (!HandleRegistry::Get().Remove(handle)) return CUBLAS_STATUS_NOT_INITIALIZED;
  cudaDeviceSynchronize();
  return CUBLAS_STATUS_SUCCESS;
}

// The version does not depend on the handle, which may be null.
cublasStatus_t cublasGetVersion_v2(cublasHandle_t /*handle*/, int* version) {
  if (version == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  *version = CUBLAS_VERSION;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasGetProperty(libraryPropertyType type, int* value) {
  if (value == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  switch (RawValue(type)) {
    case MAJOR_VERSION:
      *value = CUBLAS_VER_MAJOR;
      return CUBLAS_STATUS_SUCCESS;
    case MINOR_VERSION:
      *value = CUBLAS_VER_MINOR;
      return CUBLAS_STATUS_SUCCESS;
    case PATCH_LEVEL:
      *value = CUBLAS_VER_PATCH;
      return CUBLAS_STATUS_SUCCESS;
    default:
      return CUBLAS_STATUS_INVALID_VALUE;
  }
}

size_t cublasGetCudartVersion(void) { return CUDART_VERSION; }

// A new stream starts with the library's own workspace again.
cublasStatus_t cublasSetStream_v2(cublasHandle_t handle, cudaStream_t stream) {
  return HandleRegistry::Get().With(handle, [&](cublasContext& context) {
    context.stream = stream;
    context.workspace = nullptr;
    context.workspace_bytes = 0;
    return CUBLAS_STATUS_SUCCESS;
  });
}

cublasStatus_t cublasGetStream_v2(cublasHandle_t handle, cudaStream_t* stream) {
  return HandleRegistry::Get().With(handle, [&](cublasContext& context) {
    if (stream == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
    *stream = context.stream;
    return CUBLAS_STATUS_SUCCESS;
  });
}

cublasStatus_t cublasSetPointerMode_v2(cublasHandle_t handle, cublasPointerMode_t mode) {
  return HandleRegistry::Get().With(handle, [&](cublasContext& context) {
    if (!ValidPointerMode(RawValue(mode))) return CUBLAS_STATUS_INVALID_VALUE;
    context.pointer_mode = mode;
    return CUBLAS_STATUS_SUCCESS;
  });
}

cublasStatus_t cublasGetPointerMode_v2(cublasHandle_t handle, cublasPointerMode_t* mode) {
  return HandleRegistry::Get().With(handle, [&](cublasContext& context) {
    if (mode == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
    *mode = context.pointer_mode;
    return CUBLAS_STATUS_SUCCESS;
  });
}

cublasStatus_t cublasSetMathMode(cublasHandle_t handle, cublasMath_t mode) {
  return HandleRegistry::Get().With(handle, [&](cublasContext& context) {
    if (!ValidMathMode(RawValue(mode))) return CUBLAS_STATUS_INVALID_VALUE;
    context.math_mode = mode;
    return CUBLAS_STATUS_SUCCESS;
  });
}

cublasStatus_t cublasGetMathMode(cublasHandle_t handle, cublasMath_t* mode) {
  return HandleRegistry::Get().With(handle, [&](cublasContext& context) {
    if (mode == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
    *mode = context.math_mode;
    return CUBLAS_STATUS_SUCCESS;
  });
}

// The caller's device memory, aligned to 256 bytes; a null workspace of
// size 0 gives the library's own back.
cublasStatus_t cublasSetWorkspace_v2(cublasHandle_t handle, void* workspace, size_t workspace_bytes) {
  return HandleRegistry::Get().With(handle, [&](cublasContext& context) {
    if (reinterpret_cast<uintptr_t>(workspace) % kWorkspaceAlignment != 0) return CUBLAS_STATUS_INVALID_VALUE;
    if (workspace == nullptr && workspace_bytes != 0) return CUBLAS_STATUS_INVALID_VALUE;
    context.workspace = workspace;
    context.workspace_bytes = workspace_bytes;
    return CUBLAS_STATUS_SUCCESS;
  });
}

const char* cublasGetStatusName(cublasStatus_t status) {
  const StatusText* entry = FindStatus(RawValue(status));
  return entry != nullptr ? entry->name : "CUBLAS_STATUS_UNKNOWN";
}

const char* cublasGetStatusString(cublasStatus_t status) {
  const StatusText* entry = FindStatus(RawValue(status));
  return entry != nullptr ? entry->text : "unknown status";
}

}  // extern "C"
