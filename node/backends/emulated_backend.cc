#include "node/backends/emulated_backend.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "common/records.h"

#include "node/backends/emulated_device_info.h"
#include "node/kernel_runtime/launch_limits.h"

namespace zantu_node {
namespace {

// cudaEventDisableTiming.
constexpr uint64_t kEventDisableTiming = 0x2;

// The driver version this node reports (13.0).
constexpr int32_t kDriverVersion = 13000;

// cudaStreamNonBlocking.
constexpr uint64_t kStreamNonBlocking = 0x1;

void* Address(uint64_t pointer) { return reinterpret_cast<void*>(static_cast<uintptr_t>(pointer)); }

// Enough threads that a client's streams overlap, not so many that one
// worker crowds the host.
unsigned StreamThreads() { return std::clamp(std::thread::hardware_concurrency(), 2u, 8u); }

// A kernel's parameters, kept for the launch that runs later: 16-byte
// aligned, as the widest parameter needs.
struct alignas(16) ParamWords {
  char bytes[16];
};

}  // namespace

EmulatedBackend::EmulatedBackend(uint32_t gpus, uint64_t memory_per_gpu, const KernelLibraries* kernels,
                                 MemoryBudget* budget)
    : kernels_(kernels), streams_(StreamThreads()) {
  for (uint32_t i = 0; i < gpus; ++i) memory_.push_back(std::make_unique<EmulatedMemory>(i, memory_per_gpu, budget));
}

EmulatedBackend::~EmulatedBackend() = default;

uint32_t EmulatedBackend::DeviceCount() const { return static_cast<uint32_t>(memory_.size()); }

std::string EmulatedBackend::Describe() const {
  return "backend=emulated gpus=" + std::to_string(memory_.size()) +
         " memory=" + std::to_string(memory_.empty() ? 0 : memory_[0]->capacity() >> 20) + "MiB" +
         " kernel_libraries=" + std::to_string(kernels_->count());
}

EmulatedBackend::Client* EmulatedBackend::Find(uint32_t pid) {
  zantu::MutexLock lock(&clients_mutex_);
  std::unique_ptr<Client>& client = clients_[pid];
  if (!client) {
    client = std::make_unique<Client>();
    client->gpus.resize(memory_.size());
  }
  return client.get();
}

bool EmulatedBackend::Usable(const Client& client, uint32_t pid, uint32_t gpu, uint64_t pointer,
                             uint64_t count) const {
  if (memory_[gpu]->Check(pid, pointer, count)) return true;
  const std::map<uint64_t, uint64_t>& symbols = client.gpus[gpu].symbols;
  auto it = symbols.upper_bound(pointer);
  if (it == symbols.begin()) return false;
  --it;
  const uint64_t offset = pointer - it->first;
  return offset < it->second && count <= it->second - offset;
}

uint32_t EmulatedBackend::GetDeviceProperties(uint32_t pid, uint32_t gpu, DeviceInfo* info) {
  FillEmulatedDeviceInfo(gpu, memory_[gpu]->capacity(), info);
  return kRtSuccess;
}

uint32_t EmulatedBackend::DeviceSynchronize(uint32_t pid, uint32_t gpu) {
  streams_.DrainGpu(pid, gpu);
  return kRtSuccess;
}

uint32_t EmulatedBackend::DeviceReset(uint32_t pid, uint32_t gpu) {
  Client* client = Find(pid);
  // Kernels on other GPUs may reach this one's memory through peer access.
  streams_.DrainClient(pid);
  streams_.DestroyGpu(pid, gpu);
  streams_.TakeFailure(pid, gpu);
  memory_[gpu]->FreeAll(pid);
  ClientGpu& state = client->gpus[gpu];
  state.events.clear();
  state.symbols.clear();
  // The GPU's mappings go both ways with its context.
  state.peers.clear();
  for (ClientGpu& other : client->gpus) other.peers.erase(gpu);
  return kRtSuccess;
}

uint32_t EmulatedBackend::SetPeerAccess(uint32_t pid, uint32_t gpu, uint32_t peer, bool enable) {
  std::unordered_set<uint32_t>& peers = Find(pid)->gpus[gpu].peers;
  if (enable) return peers.insert(peer).second ? kRtSuccess : kRtPeerAccessAlreadyEnabled;
  return peers.erase(peer) != 0 ? kRtSuccess : kRtPeerAccessNotEnabled;
}

uint32_t EmulatedBackend::DriverGetVersion(int32_t* version) {
  *version = kDriverVersion;
  return kRtSuccess;
}

uint32_t EmulatedBackend::Malloc(uint32_t pid, uint32_t gpu, uint64_t size, uint64_t* pointer) {
  Find(pid);
  return memory_[gpu]->Allocate(pid, size, pointer);
}

uint32_t EmulatedBackend::Free(uint32_t pid, uint32_t gpu, uint64_t pointer) {
  // As cudaFree does: no queued work may still use the memory.
  streams_.DrainClient(pid);
  return memory_[gpu]->Free(pid, pointer);
}

uint32_t EmulatedBackend::MemGetInfo(uint32_t pid, uint32_t gpu, uint64_t* free, uint64_t* total) {
  *free = memory_[gpu]->Available();
  *total = memory_[gpu]->capacity();
  return kRtSuccess;
}

uint32_t EmulatedBackend::CopyToDevice(uint32_t pid, uint32_t gpu, uint64_t dst, const char* data, uint64_t count,
                                       uint64_t stream) {
  const Client& client = *Find(pid);
  if (count == 0) return kRtSuccess;
  if (!Usable(client, pid, gpu, dst, count)) return kRtInvalidValue;
  // The data lives in the request only while this call runs.
  streams_.Drain(Id(pid, gpu, stream));
  std::memcpy(Address(dst), data, count);
  return kRtSuccess;
}

uint32_t EmulatedBackend::CopyToHost(uint32_t pid, uint32_t gpu, uint64_t src, uint64_t count, uint64_t stream,
                                     CallAnswer* answer) {
  const Client& client = *Find(pid);
  if (count == 0) return kRtSuccess;
  if (!Usable(client, pid, gpu, src, count)) return kRtInvalidValue;
  streams_.Drain(Id(pid, gpu, stream));
  // The answer is sent from device memory itself: the client's own work
  // queued before it has run, and its next call comes after the answer.
  answer->payload = static_cast<const char*>(Address(src));
  answer->payload_size = count;
  return kRtSuccess;
}

uint32_t EmulatedBackend::CopyOnDevice(uint32_t pid, uint32_t gpu, uint64_t dst, uint64_t src, uint64_t count,
                                       uint64_t stream) {
  const Client& client = *Find(pid);
  if (count == 0) return kRtSuccess;
  if (!Usable(client, pid, gpu, dst, count) || !Usable(client, pid, gpu, src, count)) return kRtInvalidValue;
  streams_.Enqueue(Id(pid, gpu, stream), [dst, src, count] {
    std::memmove(Address(dst), Address(src), count);
    return uint32_t{kRtSuccess};
  });
  return kRtSuccess;
}

uint32_t EmulatedBackend::Memset(uint32_t pid, uint32_t gpu, uint64_t dst, uint8_t value, uint64_t count,
                                 uint64_t stream) {
  const Client& client = *Find(pid);
  if (count == 0) return kRtSuccess;
  if (!Usable(client, pid, gpu, dst, count)) return kRtInvalidValue;
  streams_.Enqueue(Id(pid, gpu, stream), [dst, value, count] {
    std::memset(Address(dst), value, count);
    return uint32_t{kRtSuccess};
  });
  return kRtSuccess;
}

uint32_t EmulatedBackend::StreamCreate(uint32_t pid, uint32_t gpu, uint64_t stream, uint64_t flags) {
  streams_.Create(Id(pid, gpu, stream), (flags & kStreamNonBlocking) == 0);
  return kRtSuccess;
}

uint32_t EmulatedBackend::StreamDestroy(uint32_t pid, uint32_t gpu, uint64_t stream) {
  // Its queued work still runs, as on a GPU, before the call returns here.
  streams_.Destroy(Id(pid, gpu, stream));
  return kRtSuccess;
}

uint32_t EmulatedBackend::StreamSynchronize(uint32_t pid, uint32_t gpu, uint64_t stream) {
  streams_.Drain(Id(pid, gpu, stream));
  return kRtSuccess;
}

uint32_t EmulatedBackend::StreamQuery(uint32_t pid, uint32_t gpu, uint64_t stream) {
  return streams_.Idle(Id(pid, gpu, stream)) ? kRtSuccess : kRtNotReady;
}

EmulatedBackend::Event* EmulatedBackend::FindEvent(uint32_t pid, uint32_t gpu, uint64_t event) {
  auto& events = Find(pid)->gpus[gpu].events;
  auto it = events.find(event);
  return it == events.end() ? nullptr : &it->second;
}

uint32_t EmulatedBackend::StreamWaitEvent(uint32_t pid, uint32_t gpu, uint64_t stream, uint64_t event,
                                          uint64_t flags) {
  const Event* waited = FindEvent(pid, gpu, event);
  if (waited == nullptr) return kRtInvalidResourceHandle;
  // An event never recorded holds nothing.
  if (waited->recorded) streams_.Gate(Id(pid, gpu, stream), waited->place);
  return kRtSuccess;
}

uint32_t EmulatedBackend::EventCreate(uint32_t pid, uint32_t gpu, uint64_t event, uint64_t flags) {
  Event fresh;
  fresh.flags = flags;
  auto& events = Find(pid)->gpus[gpu].events;
  return events.emplace(event, fresh).second ? kRtSuccess : kRtInvalidResourceHandle;
}

uint32_t EmulatedBackend::EventRecord(uint32_t pid, uint32_t gpu, uint64_t event, uint64_t stream) {
  Event* recorded = FindEvent(pid, gpu, event);
  if (recorded == nullptr) return kRtInvalidResourceHandle;
  // A new record has a time of its own: the last one's may still be written.
  auto at = std::make_shared<Clock::time_point>();
  recorded->recorded = true;
  recorded->at = at;
  recorded->place = streams_.Mark(Id(pid, gpu, stream), [at] {
    *at = Clock::now();
    return uint32_t{kRtSuccess};
  });
  return kRtSuccess;
}

uint32_t EmulatedBackend::EventSynchronize(uint32_t pid, uint32_t gpu, uint64_t event) {
  const Event* waited = FindEvent(pid, gpu, event);
  if (waited == nullptr) return kRtInvalidResourceHandle;
  if (waited->recorded) streams_.Wait(waited->place);
  return kRtSuccess;
}

uint32_t EmulatedBackend::EventQuery(uint32_t pid, uint32_t gpu, uint64_t event) {
  const Event* queried = FindEvent(pid, gpu, event);
  if (queried == nullptr) return kRtInvalidResourceHandle;
  return !queried->recorded || streams_.Reached(queried->place) ? kRtSuccess : kRtNotReady;
}

uint32_t EmulatedBackend::EventElapsedTime(uint32_t pid, uint32_t gpu, uint64_t start, uint64_t end, float* ms) {
  const Event* a = FindEvent(pid, gpu, start);
  const Event* b = FindEvent(pid, gpu, end);
  if (a == nullptr || b == nullptr) return kRtInvalidResourceHandle;
  if (((a->flags | b->flags) & kEventDisableTiming) != 0) return kRtInvalidResourceHandle;
  if (!a->recorded || !b->recorded) return kRtInvalidResourceHandle;
  if (!streams_.Reached(a->place) || !streams_.Reached(b->place)) return kRtNotReady;
  *ms = std::chrono::duration<float, std::milli>(*b->at - *a->at).count();
  return kRtSuccess;
}

uint32_t EmulatedBackend::EventDestroy(uint32_t pid, uint32_t gpu, uint64_t event) {
  return Find(pid)->gpus[gpu].events.erase(event) != 0 ? kRtSuccess : kRtInvalidResourceHandle;
}

uint32_t EmulatedBackend::LaunchKernel(uint32_t pid, uint32_t gpu, const LaunchConfig& config, const char* params,
                                       uint64_t params_size) {
  const Client& client = *Find(pid);
  auto it = client.functions.find(config.function);
  if (it == client.functions.end() || !it->second.runnable) return kRtInvalidDeviceFunction;
  if (params_size > kMaxParamBuffer) return kRtInvalidValue;
  const uint32_t shape = zantu::LaunchShapeStatus(config.grid, config.block);
  if (shape != kRtSuccess) return shape;
  if (config.shared_bytes > zantu::kMaxDynamicSharedBytes) return kRtInvalidValue;
  if (!PointersReach(client, pid, gpu, it->second.name, params, params_size)) return kRtIllegalAddress;
  // Kernels read their parameters at their natural alignment; the buffer in
  // the record may lie anywhere and goes with the request.
  std::shared_ptr<ParamWords[]> aligned(new ParamWords[params_size / sizeof(ParamWords) + 1]);
  if (params_size != 0) std::memcpy(aligned.get(), params, params_size);
  streams_.Enqueue(Id(pid, gpu, config.stream), [this, name = it->second.name, config, aligned, params_size] {
    return kernels_->Launch(name.c_str(), config.grid, config.block, config.shared_bytes, aligned.get(), params_size);
  });
  return kRtSuccess;
}

bool EmulatedBackend::PointersReach(const Client& client, uint32_t pid, uint32_t gpu, const std::string& name,
                                    const char* params, uint64_t params_size) const {
  std::vector<uint32_t> offsets;
  if (!kernels_->PointerParameters(name.c_str(), &offsets)) return true;  // nothing to check against
  for (uint32_t offset : offsets) {
    // A buffer too short for the parameter is the launcher's to refuse.
    if (uint64_t{offset} + sizeof(uint64_t) > params_size) continue;
    const uint64_t pointer = LoadRecord<uint64_t>(params + offset);
    if (pointer == 0 || memory_[gpu]->Reaches(pid, pointer)) continue;
    if (Usable(client, pid, gpu, pointer, 0)) continue;
    if (!ReachesPeer(client, pid, gpu, pointer)) return false;
  }
  return true;
}

bool EmulatedBackend::ReachesPeer(const Client& client, uint32_t pid, uint32_t gpu, uint64_t pointer) const {
  for (uint32_t peer : client.gpus[gpu].peers) {
    if (memory_[peer]->Reaches(pid, pointer)) return true;
  }
  return false;
}

uint32_t EmulatedBackend::GetSymbolAddress(uint32_t pid, uint32_t gpu, uint64_t variable, uint64_t* pointer) {
  Client& client = *Find(pid);
  auto it = client.variables.find(variable);
  if (it == client.variables.end()) return kRtInvalidSymbol;
  uint64_t size = 0;
  void* storage = kernels_->Symbol(it->second.name.c_str(), &size);
  if (storage == nullptr) return kRtInvalidSymbol;
  *pointer = reinterpret_cast<uintptr_t>(storage);
  client.gpus[gpu].symbols[*pointer] = size;
  return kRtSuccess;
}

uint32_t EmulatedBackend::ModuleLoad(uint32_t pid, uint64_t module, const char* image, uint64_t size) {
  // The image is for real GPUs; the kernel libraries stand in for it.
  auto& modules = Find(pid)->modules;
  if (modules.size() >= kMaxModules && modules.count(module) == 0) return kRtMemoryAllocation;
  modules.insert(module);
  return kRtSuccess;
}

uint32_t EmulatedBackend::FunctionRegister(uint32_t pid, uint64_t module, uint64_t function, std::string_view name) {
  Client& client = *Find(pid);
  if (client.modules.count(module) == 0) return kRtInvalidResourceHandle;
  if (client.functions.size() >= kMaxNames && client.functions.count(function) == 0) return kRtMemoryAllocation;
  const std::string kernel(name);
  client.functions[function] = Named{module, 0, kernel, kernels_->Has(kernel.c_str())};
  return kRtSuccess;
}

uint32_t EmulatedBackend::VarRegister(uint32_t pid, uint64_t module, uint64_t variable, uint64_t size,
                                      std::string_view name) {
  Client& client = *Find(pid);
  if (client.modules.count(module) == 0) return kRtInvalidResourceHandle;
  if (client.variables.size() >= kMaxNames && client.variables.count(variable) == 0) return kRtMemoryAllocation;
  client.variables[variable] = Named{module, size, std::string(name), false};
  return kRtSuccess;
}

uint32_t EmulatedBackend::ModuleUnload(uint32_t pid, uint64_t module) {
  Client& client = *Find(pid);
  if (client.modules.erase(module) == 0) return kRtInvalidResourceHandle;
  std::erase_if(client.functions, [module](const auto& f) { return f.second.module == module; });
  std::erase_if(client.variables, [module](const auto& v) { return v.second.module == module; });
  return kRtSuccess;
}

uint32_t EmulatedBackend::TakeAsyncFailure(uint32_t pid, uint32_t gpu) { return streams_.TakeFailure(pid, gpu); }

void EmulatedBackend::ReleaseClient(uint32_t pid) {
  streams_.DestroyClient(pid);
  for (auto& memory : memory_) memory->FreeAll(pid);
  zantu::MutexLock lock(&clients_mutex_);
  clients_.erase(pid);
}

}  // namespace zantu_node
