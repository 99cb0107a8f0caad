// A TEST TOOL, never installed: a stand-in for the GPU driver library
// (libcuda.so.1) that lets the node's cuda backend run where no GPU is.
// "Device" memory is host memory, kernels run on the calling thread from
// CPU kernel libraries (node/kernel_runtime/kernel_library.h), and all work
// is finished when its call returns, so streams and events are always
// ready. Only the entry points the cuda backend loads exist.
//
// What it keeps of the driver's behaviour, because the backend depends on
// it: the CUresult of every refusal (no current context, unknown handle,
// pointer outside every allocation, bad flags or launch configuration),
// primary contexts that are retained, released and reset, and errors of
// kernels that stick to their context: a launch returns success, as on a
// GPU where the kernel runs later, and every later call in the context
// returns the error until the context is reset or its last retain released.
// A launch whose pointer parameter lies outside the context's memory is
// taken as the kernel's memory fault (CUDA_ERROR_ILLEGAL_ADDRESS) without
// running it; a fault the kernel meets anyway ends the process, which is
// the node worker's to handle.
//
// Configured from the environment when cuInit first runs:
//   ZANTU_STAND_IN_GPUS     devices (default 2)
//   ZANTU_STAND_IN_MEMORY   bytes per device, with an optional K, M or G
//                           suffix (default 4G; only what is allocated is
//                           taken from the host)
//   ZANTU_STAND_IN_KERNELS  colon-separated kernel library paths, loaded once
//
// Thread safety: one mutex guards every context, handle and allocation;
// kernels and the bytes of copies run on the caller's thread, kernels
// without the lock (as on a GPU, work on memory being freed is the
// program's race).
#pragma once

#include <cuda.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/thread_annotations.h"
#include "node/backends/kernel_libraries.h"

// The handle types cuda.h declares and leaves opaque. They are owned by
// their context (streams, events, modules) or module (functions), and live
// until destroyed, unloaded, or their context is reset.
struct CUfunc_st {
  CUmod_st* module = nullptr;
  std::string name;
  int max_dynamic_shared = 0;  // CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES
};

struct CUmod_st {
  CUctx_st* context = nullptr;
  std::map<std::string, std::unique_ptr<CUfunc_st>> functions;  // looked up so far, by name
};

struct CUstream_st {
  CUctx_st* context = nullptr;
  unsigned flags = 0;
};

struct CUevent_st {
  CUctx_st* context = nullptr;
  unsigned flags = 0;
  bool recorded = false;
  std::chrono::steady_clock::time_point when;
};

struct CUctx_st {
  int device = 0;
  int retains = 0;                 // primary context retains; the context is active while above 0
  CUresult sticky = CUDA_SUCCESS;  // a kernel's error, returned by every call until reset
  uint64_t used = 0;               // bytes allocated
  std::map<uint64_t, uint64_t> allocations;  // start -> size; storage from aligned_alloc
  std::map<uint64_t, uint64_t> globals;      // kernel-library variables handed out: start -> size
  std::unordered_map<CUstream, std::unique_ptr<CUstream_st>> streams;
  std::unordered_map<CUevent, std::unique_ptr<CUevent_st>> events;
  std::unordered_map<CUmodule, std::unique_ptr<CUmod_st>> modules;
  std::unordered_set<const CUctx_st*> peers;  // contexts whose memory kernels here may reach
};

namespace zantu_stand_in {

// The device every stand-in GPU claims to be.
constexpr int kDefaultDynamicShared = 48 << 10;
constexpr int kOptinShared = 163 << 10;
constexpr size_t kAllocationAlignment = 256;  // as cuMemAlloc guarantees

class StandInDriver {
 public:
  // The one instance in the process.
  static StandInDriver& Get();

  CUresult Init(unsigned flags) EXCLUDES(mutex_);

  // Devices.
  CUresult DeviceCount(int* count) EXCLUDES(mutex_);
  CUresult DeviceGet(CUdevice* device, int ordinal) EXCLUDES(mutex_);
  CUresult DeviceName(char* name, int length, CUdevice device) EXCLUDES(mutex_);
  CUresult DeviceAttribute(int* value, CUdevice_attribute attribute, CUdevice device) EXCLUDES(mutex_);
  CUresult DeviceTotalMem(size_t* bytes, CUdevice device) EXCLUDES(mutex_);
  CUresult DeviceUuid(CUuuid* uuid, CUdevice device) EXCLUDES(mutex_);

  // Primary contexts and the calling thread's current one.
  CUresult PrimaryRetain(CUcontext* context, CUdevice device) EXCLUDES(mutex_);
  CUresult PrimaryRelease(CUdevice device) EXCLUDES(mutex_);
  CUresult PrimaryReset(CUdevice device) EXCLUDES(mutex_);
  CUresult SetCurrent(CUcontext context) EXCLUDES(mutex_);
  CUresult Synchronize() EXCLUDES(mutex_);
  CUresult PeerAccess(CUcontext peer, unsigned flags, bool enable) EXCLUDES(mutex_);

  // Memory. `kind` says which side of a copy is the device's.
  enum class CopyKind { kHostToDevice, kDeviceToHost, kDeviceToDevice };
  CUresult MemAlloc(CUdeviceptr* pointer, size_t size) EXCLUDES(mutex_);
  CUresult MemFree(CUdeviceptr pointer) EXCLUDES(mutex_);
  CUresult MemGetInfo(size_t* free, size_t* total) EXCLUDES(mutex_);
  CUresult Copy(void* dst, const void* src, size_t count, CopyKind kind, CUstream stream) EXCLUDES(mutex_);
  CUresult MemsetD8(CUdeviceptr dst, unsigned char value, size_t count, CUstream stream) EXCLUDES(mutex_);

  // Streams and events.
  CUresult StreamCreate(CUstream* stream, unsigned flags) EXCLUDES(mutex_);
  CUresult StreamDestroy(CUstream stream) EXCLUDES(mutex_);
  CUresult StreamReady(CUstream stream) EXCLUDES(mutex_);  // synchronize and query alike
  CUresult StreamWaitEvent(CUstream stream, CUevent event, unsigned flags) EXCLUDES(mutex_);
  CUresult EventCreate(CUevent* event, unsigned flags) EXCLUDES(mutex_);
  CUresult EventRecord(CUevent event, CUstream stream) EXCLUDES(mutex_);
  CUresult EventReady(CUevent event) EXCLUDES(mutex_);  // synchronize and query alike
  CUresult EventElapsedTime(float* ms, CUevent start, CUevent end) EXCLUDES(mutex_);
  CUresult EventDestroy(CUevent event) EXCLUDES(mutex_);

  // Modules and launches (stand_in_modules.cc).
  CUresult ModuleLoadData(CUmodule* module, const void* image) EXCLUDES(mutex_);
  CUresult ModuleUnload(CUmodule module) EXCLUDES(mutex_);
  CUresult ModuleGetFunction(CUfunction* function, CUmodule module, const char* name) EXCLUDES(mutex_);
  CUresult ModuleGetGlobal(CUdeviceptr* pointer, size_t* bytes, CUmodule module, const char* name)
      EXCLUDES(mutex_);
  CUresult FuncSetAttribute(CUfunction function, CUfunction_attribute attribute, int value) EXCLUDES(mutex_);
  CUresult LaunchKernel(CUfunction function, const unsigned grid[3], const unsigned block[3], unsigned shared,
                        CUstream stream, void** kernel_params, void** extra) EXCLUDES(mutex_);

 private:
  // Loads the colon-separated kernel libraries of ZANTU_STAND_IN_KERNELS; a
  // list that cannot be loaded leaves no kernels (each launch then finds
  // none, as on a GPU whose modules lack them).
  void LoadKernels(const char* paths);
  struct Device {
    std::string name;
    CUuuid uuid{};
    std::unique_ptr<CUctx_st> primary;  // the one context; its handle never changes
  };
  // What a launch runs once its checks have passed, without the lock.
  struct CheckedLaunch {
    CUctx_st* context = nullptr;
    std::string name;
    uint32_t grid[3] = {};
    uint32_t block[3] = {};
    unsigned shared = 0;
    const void* params = nullptr;
    uint64_t params_size = 0;
  };

  StandInDriver() = default;

  // Whether cuInit has run in this process (not in the one it was forked from).
  bool Initialized() const REQUIRES(mutex_);
  // CUDA_SUCCESS when cuInit has run and `device` exists.
  CUresult CheckDevice(CUdevice device) REQUIRES(mutex_);
  // The calling thread's current context, when it may be used: not set,
  // released or broken by a kernel's error each give their CUresult.
  CUresult Current(CUctx_st** context) REQUIRES(mutex_);
  // Frees everything the context holds and forgets its error.
  void Clear(CUctx_st* context) REQUIRES(mutex_);
  // Whether a stream handle names a stream of `context` (or a default one).
  static bool Owns(const CUctx_st& context, CUstream stream);
  // Whether [pointer, pointer + count) lies inside one allocation or global.
  static bool Inside(const CUctx_st& context, uint64_t pointer, uint64_t count);
  // Whether the kernel's pointer parameters reach the context's memory.
  bool PointersReach(const CUctx_st& context, const CheckedLaunch& launch) const;
  CUresult CheckLaunch(CUfunction function, CUstream stream, void** kernel_params, void** extra,
                       CheckedLaunch* launch) REQUIRES(mutex_);
  // Takes the kernel's status as the GPU reports it: at once for a refused
  // launch, on the context for a kernel that failed while running.
  CUresult SettleLaunch(CUctx_st* context, uint32_t kernel_status) EXCLUDES(mutex_);

  zantu::Mutex mutex_;
  bool initialized_ GUARDED_BY(mutex_) = false;
  pid_t init_pid_ GUARDED_BY(mutex_) = 0;  // the process that ran cuInit
  uint64_t memory_per_device_ GUARDED_BY(mutex_) = 0;
  std::vector<Device> devices_ GUARDED_BY(mutex_);
  // Loaded in Init, constant afterwards, so read without the lock.
  zantu_node::KernelLibraries kernels_;
};

}  // namespace zantu_stand_in
