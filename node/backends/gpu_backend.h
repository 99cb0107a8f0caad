// What runs the runtime module's calls (common/runtime_calls.h) on the
// node's GPUs: one call per runtime function, for one client on one of the
// GPUs the backend serves. Two implementations: CudaBackend (the real GPUs,
// through the driver API) and EmulatedBackend (GPUs in host memory, kernels
// from CPU kernel libraries).
//
// The node runs each client in a worker process of its own, which opens its
// own backend; a backend can still serve several clients (benchmarks drive
// one directly), keeping their state apart by pid.
//
// Thread safety: every call may run on any thread, several at once for
// different clients; the calls of one client never overlap (its worker
// makes them one after the other), so per-client state needs no lock of its
// own once found. Every call returns a RuntimeStatus; `gpu` is always below
// DeviceCount(), and stream and event handles are ones the client has made
// on that GPU and not destroyed, a new one not in use (the caller checks
// both, node/worker/client_handles.h); every pointer, size, module, function
// and variable comes from a client and is checked here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/runtime_calls.h"
#include "node/backends/call_answer.h"

namespace zantu_node {

struct LaunchConfig {
  uint64_t function = 0;  // the client's function number (zantuFunctionRegister)
  uint32_t grid[3] = {1, 1, 1};
  uint32_t block[3] = {1, 1, 1};
  uint64_t shared_bytes = 0;
  uint64_t stream = 0;
};

class GpuBackend {
 public:
  virtual ~GpuBackend() = default;

  GpuBackend() = default;
  GpuBackend(const GpuBackend&) = delete;
  GpuBackend& operator=(const GpuBackend&) = delete;

  // GPUs served, numbered 0 .. DeviceCount() - 1. Constant.
  virtual uint32_t DeviceCount() const = 0;
  // For the ready line, e.g. "backend=emulated gpus=4".
  virtual std::string Describe() const = 0;

  virtual uint32_t GetDeviceProperties(uint32_t pid, uint32_t gpu, DeviceInfo* info) = 0;
  virtual uint32_t DeviceSynchronize(uint32_t pid, uint32_t gpu) = 0;
  // Frees everything the client holds on `gpu` (allocations, streams,
  // events); its registrations stay, since they are made once per node.
  virtual uint32_t DeviceReset(uint32_t pid, uint32_t gpu) = 0;
  virtual uint32_t DriverGetVersion(int32_t* version) = 0;
  // Lets kernels on `gpu` reach the client's memory on `peer` (another GPU
  // of this node), or stops that.
  virtual uint32_t SetPeerAccess(uint32_t pid, uint32_t gpu, uint32_t peer, bool enable) = 0;

  virtual uint32_t Malloc(uint32_t pid, uint32_t gpu, uint64_t size, uint64_t* pointer) = 0;
  virtual uint32_t Free(uint32_t pid, uint32_t gpu, uint64_t pointer) = 0;
  virtual uint32_t MemGetInfo(uint32_t pid, uint32_t gpu, uint64_t* free, uint64_t* total) = 0;
  // `data` holds `count` bytes and stays valid during the call only.
  virtual uint32_t CopyToDevice(uint32_t pid, uint32_t gpu, uint64_t dst, const char* data, uint64_t count,
                                uint64_t stream) = 0;
  // Sets `answer`'s payload to the `count` bytes; it may point into device
  // memory, valid until the client's next call.
  virtual uint32_t CopyToHost(uint32_t pid, uint32_t gpu, uint64_t src, uint64_t count, uint64_t stream,
                              CallAnswer* answer) = 0;
  virtual uint32_t CopyOnDevice(uint32_t pid, uint32_t gpu, uint64_t dst, uint64_t src, uint64_t count,
                                uint64_t stream) = 0;
  virtual uint32_t Memset(uint32_t pid, uint32_t gpu, uint64_t dst, uint8_t value, uint64_t count,
                          uint64_t stream) = 0;

  virtual uint32_t StreamCreate(uint32_t pid, uint32_t gpu, uint64_t stream, uint64_t flags) = 0;
  virtual uint32_t StreamDestroy(uint32_t pid, uint32_t gpu, uint64_t stream) = 0;
  virtual uint32_t StreamSynchronize(uint32_t pid, uint32_t gpu, uint64_t stream) = 0;
  // kRtSuccess or kRtNotReady.
  virtual uint32_t StreamQuery(uint32_t pid, uint32_t gpu, uint64_t stream) = 0;
  virtual uint32_t StreamWaitEvent(uint32_t pid, uint32_t gpu, uint64_t stream, uint64_t event, uint64_t flags) = 0;

  virtual uint32_t EventCreate(uint32_t pid, uint32_t gpu, uint64_t event, uint64_t flags) = 0;
  virtual uint32_t EventRecord(uint32_t pid, uint32_t gpu, uint64_t event, uint64_t stream) = 0;
  virtual uint32_t EventSynchronize(uint32_t pid, uint32_t gpu, uint64_t event) = 0;
  // kRtSuccess or kRtNotReady.
  virtual uint32_t EventQuery(uint32_t pid, uint32_t gpu, uint64_t event) = 0;
  virtual uint32_t EventElapsedTime(uint32_t pid, uint32_t gpu, uint64_t start, uint64_t end, float* ms) = 0;
  virtual uint32_t EventDestroy(uint32_t pid, uint32_t gpu, uint64_t event) = 0;

  // `params` is the packed parameter buffer, `params_size` bytes, valid
  // during the call only and not necessarily aligned.
  virtual uint32_t LaunchKernel(uint32_t pid, uint32_t gpu, const LaunchConfig& config, const char* params,
                                uint64_t params_size) = 0;
  virtual uint32_t GetSymbolAddress(uint32_t pid, uint32_t gpu, uint64_t variable, uint64_t* pointer) = 0;

  // Registrations: once per client and node, whatever GPU the record names.
  virtual uint32_t ModuleLoad(uint32_t pid, uint64_t module, const char* image, uint64_t size) = 0;
  virtual uint32_t FunctionRegister(uint32_t pid, uint64_t module, uint64_t function, std::string_view name) = 0;
  virtual uint32_t VarRegister(uint32_t pid, uint64_t module, uint64_t variable, uint64_t size,
                               std::string_view name) = 0;
  virtual uint32_t ModuleUnload(uint32_t pid, uint64_t module) = 0;

  // The first failure the client's queued work on `gpu` met while it ran
  // since the last call, or kRtSuccess: what a GPU reports at the next
  // synchronizing call. A backend whose calls report such failures
  // themselves keeps none.
  virtual uint32_t TakeAsyncFailure(uint32_t pid, uint32_t gpu) { return kRtSuccess; }

  // Frees everything the client holds on every GPU and forgets it. Called
  // once the client has exited, after its last call.
  virtual void ReleaseClient(uint32_t pid) = 0;
};

}  // namespace zantu_node
