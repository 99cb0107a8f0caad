// The emulated GPUs: device memory in host memory (EmulatedMemory, one per
// GPU, charged to budgets shared with the node's other clients), streams and
// events kept per client and GPU, kernels run by the CPU kernel libraries.
//
// Streams run as on a GPU (EmulatedStreams): kernels, copies on the device,
// memsets and event records are queued on their stream and run by a pool of
// threads, so a client's streams overlap and queries say "not ready" while
// work is pending. Copies between host and device wait for their stream and
// then run on the caller's thread, from and into the request and answer
// themselves (no staging copy). Freeing memory, a reset and the client's end
// wait for all its work, as cudaFree synchronizes. Whatever can be checked
// is checked when the work is queued and answered at once; a failure met
// while the work runs is the GPU's asynchronous error, reported by the next
// synchronizing call (AsyncFailure). Event times are the host's steady clock
// when the stream reached the event.
//
// A kernel's pointer parameters must reach the client's own memory (or be
// null); a launch with any other is cudaErrorIllegalAddress without running.
// What a kernel computes from them is not checked: the node runs each client
// in a process of its own, where a stray access reaches that client alone.
// A client's modules and named kernels and variables are bounded, so that
// no client can grow the worker without limit; its streams and events are
// checked and bounded before they come here (node/worker/client_handles.h).
//
// This checks the forwarding path, not GPU code: kernels are the CPU builds
// of the same sources.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/thread_annotations.h"
#include "node/backends/emulated_memory.h"
#include "node/backends/emulated_streams.h"
#include "node/backends/gpu_backend.h"
#include "node/backends/kernel_libraries.h"
#include "node/backends/memory_budget.h"

namespace zantu_node {

class EmulatedBackend final : public GpuBackend {
 public:
  // `kernels` and `budget` must outlive the backend.
  EmulatedBackend(uint32_t gpus, uint64_t memory_per_gpu, const KernelLibraries* kernels, MemoryBudget* budget);

  // Per client: modules, and the kernels and variables named in them (the
  // executor bounds streams and events).
  static constexpr size_t kMaxModules = 4096;
  static constexpr size_t kMaxNames = size_t{1} << 20;
  ~EmulatedBackend() override;

  uint32_t DeviceCount() const override;
  std::string Describe() const override;

  uint32_t GetDeviceProperties(uint32_t pid, uint32_t gpu, DeviceInfo* info) override;
  uint32_t DeviceSynchronize(uint32_t pid, uint32_t gpu) override;
  uint32_t DeviceReset(uint32_t pid, uint32_t gpu) override;
  uint32_t DriverGetVersion(int32_t* version) override;
  uint32_t SetPeerAccess(uint32_t pid, uint32_t gpu, uint32_t peer, bool enable) override;

  uint32_t Malloc(uint32_t pid, uint32_t gpu, uint64_t size, uint64_t* pointer) override;
  uint32_t Free(uint32_t pid, uint32_t gpu, uint64_t pointer) override;
  uint32_t MemGetInfo(uint32_t pid, uint32_t gpu, uint64_t* free, uint64_t* total) override;
  uint32_t CopyToDevice(uint32_t pid, uint32_t gpu, uint64_t dst, const char* data, uint64_t count,
                        uint64_t stream) override;
  uint32_t CopyToHost(uint32_t pid, uint32_t gpu, uint64_t src, uint64_t count, uint64_t stream,
                      CallAnswer* answer) override;
  uint32_t CopyOnDevice(uint32_t pid, uint32_t gpu, uint64_t dst, uint64_t src, uint64_t count,
                        uint64_t stream) override;
  uint32_t Memset(uint32_t pid, uint32_t gpu, uint64_t dst, uint8_t value, uint64_t count, uint64_t stream) override;

  uint32_t StreamCreate(uint32_t pid, uint32_t gpu, uint64_t stream, uint64_t flags) override;
  uint32_t StreamDestroy(uint32_t pid, uint32_t gpu, uint64_t stream) override;
  uint32_t StreamSynchronize(uint32_t pid, uint32_t gpu, uint64_t stream) override;
  uint32_t StreamQuery(uint32_t pid, uint32_t gpu, uint64_t stream) override;
  uint32_t StreamWaitEvent(uint32_t pid, uint32_t gpu, uint64_t stream, uint64_t event, uint64_t flags) override;

  uint32_t EventCreate(uint32_t pid, uint32_t gpu, uint64_t event, uint64_t flags) override;
  uint32_t EventRecord(uint32_t pid, uint32_t gpu, uint64_t event, uint64_t stream) override;
  uint32_t EventSynchronize(uint32_t pid, uint32_t gpu, uint64_t event) override;
  uint32_t EventQuery(uint32_t pid, uint32_t gpu, uint64_t event) override;
  uint32_t EventElapsedTime(uint32_t pid, uint32_t gpu, uint64_t start, uint64_t end, float* ms) override;
  uint32_t EventDestroy(uint32_t pid, uint32_t gpu, uint64_t event) override;

  uint32_t LaunchKernel(uint32_t pid, uint32_t gpu, const LaunchConfig& config, const char* params,
                        uint64_t params_size) override;
  uint32_t GetSymbolAddress(uint32_t pid, uint32_t gpu, uint64_t variable, uint64_t* pointer) override;

  uint32_t ModuleLoad(uint32_t pid, uint64_t module, const char* image, uint64_t size) override;
  uint32_t FunctionRegister(uint32_t pid, uint64_t module, uint64_t function, std::string_view name) override;
  uint32_t VarRegister(uint32_t pid, uint64_t module, uint64_t variable, uint64_t size,
                       std::string_view name) override;
  uint32_t ModuleUnload(uint32_t pid, uint64_t module) override;

  uint32_t TakeAsyncFailure(uint32_t pid, uint32_t gpu) override;
  void ReleaseClient(uint32_t pid) override;

 private:
  using Clock = std::chrono::steady_clock;
  struct Event {
    uint64_t flags = 0;
    bool recorded = false;
    EmulatedStreams::Place place;  // of the last record
    // When the stream reached the last record; written by the stream's
    // work, read once `place` is reached.
    std::shared_ptr<Clock::time_point> at;
  };
  struct ClientGpu {
    std::unordered_map<uint64_t, Event> events;
    // Variables' storage handed out by GetSymbolAddress: start -> size.
    // Copies may use it; it is never freed.
    std::map<uint64_t, uint64_t> symbols;
    // GPUs whose memory (of this client) this GPU's kernels may reach.
    std::unordered_set<uint32_t> peers;
  };
  struct Named {
    uint64_t module = 0;
    uint64_t size = 0;  // variables only
    std::string name;
    bool runnable = false;  // kernels: a kernel library has it
  };
  // One client's state; touched only by that client's worker.
  struct Client {
    std::vector<ClientGpu> gpus;
    std::unordered_set<uint64_t> modules;
    std::unordered_map<uint64_t, Named> functions;
    std::unordered_map<uint64_t, Named> variables;
  };

  Client* Find(uint32_t pid) EXCLUDES(clients_mutex_);
  // The client's event on `gpu`, or null (the executor lets only made ones
  // through).
  Event* FindEvent(uint32_t pid, uint32_t gpu, uint64_t event) EXCLUDES(clients_mutex_);
  // True when [pointer, pointer + count) is memory of the client on `gpu`.
  bool Usable(const Client& client, uint32_t pid, uint32_t gpu, uint64_t pointer, uint64_t count) const;
  // True when `pointer` is memory of the client on a peer `gpu` may reach.
  bool ReachesPeer(const Client& client, uint32_t pid, uint32_t gpu, uint64_t pointer) const;
  // True when every pointer parameter of kernel `name` in `params` is null
  // or reaches memory of the client on `gpu` or on a peer it may reach.
  bool PointersReach(const Client& client, uint32_t pid, uint32_t gpu, const std::string& name, const char* params,
                     uint64_t params_size) const;

  EmulatedStreams::StreamId Id(uint32_t pid, uint32_t gpu, uint64_t stream) const {
    return EmulatedStreams::StreamId{pid, gpu, stream};
  }

  // Constant after construction.
  const KernelLibraries* const kernels_;
  std::vector<std::unique_ptr<EmulatedMemory>> memory_;  // one per GPU
  // Declared after the memory: it goes first, waiting for the work that
  // uses the memory.
  EmulatedStreams streams_;

  zantu::Mutex clients_mutex_;
  // The map, not the Client objects.
  std::unordered_map<uint32_t, std::unique_ptr<Client>> clients_ GUARDED_BY(clients_mutex_);
};

}  // namespace zantu_node
