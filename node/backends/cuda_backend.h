// The real GPUs, through the driver API (CudaDriver): one primary context
// per GPU served, modules loaded from the fat binaries the clients ship
// (once per client and GPU, on first use; every image is checked against its
// length first), launches with the packed parameter buffer, and every
// client's streams, events and allocations kept apart, checked, and freed
// when it exits. The node opens one in each client's worker process, so the
// primary contexts, and a sticky fault in one, are that client's alone.
//
// Copies from the host run on the client's stream and are waited for, since
// their source is the request body, which is reused once the call returns;
// memsets, device-to-device copies and launches are only queued.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/thread_annotations.h"
#include "node/backends/cuda_driver.h"
#include "node/backends/gpu_backend.h"

namespace zantu_node {

class CudaBackend final : public GpuBackend {
 public:
  // Loads the driver, initialises it and retains the primary context of the
  // first `gpus` devices (0: all). Null with `*why` when the driver is
  // missing, fails to initialise or reports no device.
  static std::unique_ptr<GpuBackend> Open(uint32_t gpus, std::string* why);
  // Loads the driver and counts the GPUs Open would serve (`*count`), with
  // a description for the ready line, opening no context. False with `*why`
  // as Open.
  [[nodiscard]] static bool Probe(uint32_t gpus, uint32_t* count, std::string* description, std::string* why);
  ~CudaBackend() override;

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

  void ReleaseClient(uint32_t pid) override;

 private:
  struct ClientGpu {
    std::map<uint64_t, uint64_t> memory;            // allocations: start -> size (freeable)
    std::map<uint64_t, uint64_t> symbols;           // variables' storage: start -> size (not freeable)
    std::unordered_map<uint64_t, CUstream> streams;  // the client's handle -> the driver's
    std::unordered_map<uint64_t, CUevent> events;
    std::unordered_map<uint64_t, CUmodule> modules;  // the client's module number -> loaded module
    std::unordered_map<uint64_t, uint32_t> failed_modules;  // module number -> why the driver refused it
  };
  struct Module {
    std::string image;  // the fat binary, loaded into a GPU's context on first use there
  };
  struct Named {
    uint64_t module = 0;
    std::string name;
  };
  // One client's state; touched only by that client's worker.
  struct Client {
    std::vector<ClientGpu> gpus;
    std::unordered_map<uint64_t, Module> modules;
    std::unordered_map<uint64_t, Named> functions;
    std::unordered_map<uint64_t, Named> variables;
  };

  CudaBackend() = default;
  Client* Find(uint32_t pid) EXCLUDES(clients_mutex_);
  // Makes `gpu`'s context current on the calling thread. A status.
  uint32_t Enter(uint32_t gpu);
  // The driver's stream for a client's handle, or false.
  bool StreamOf(const Client& client, uint32_t gpu, uint64_t stream, CUstream* out) const;
  bool Usable(const Client& client, uint32_t gpu, uint64_t pointer, uint64_t count) const;
  // The module `number` loaded on `gpu` for the client. A status.
  uint32_t LoadedModule(Client* client, uint32_t gpu, uint64_t number, CUmodule* out);
  // Lets `function` take `bytes` of dynamic shared memory when that is past
  // the default limit. A status.
  uint32_t AllowDynamicShared(uint32_t gpu, CUfunction function, uint64_t bytes);
  // Frees the client's streams, events, allocations and modules on `gpu`.
  void ReleaseGpu(Client* client, uint32_t gpu);
  static uint32_t Status(CUresult result);

  // Constant after Open.
  CudaDriver driver_;
  std::vector<CUdevice> devices_;
  std::vector<CUcontext> contexts_;
  std::vector<DeviceInfo> infos_;
  int32_t driver_version_ = 0;

  zantu::Mutex clients_mutex_;
  // The map, not the Client objects.
  std::unordered_map<uint32_t, std::unique_ptr<Client>> clients_ GUARDED_BY(clients_mutex_);
};

}  // namespace zantu_node
