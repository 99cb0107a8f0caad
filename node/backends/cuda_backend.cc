#include "node/backends/cuda_backend.h"

#include <algorithm>
#include <cstring>

#include "node/backends/image_check.h"

namespace zantu_node {
namespace {

thread_local CUcontext current_context = nullptr;

// The runtime's default-stream handles and the driver's own.
CUstream DefaultStream(uint64_t stream) {
  if (stream == kPerThreadStream) return CU_STREAM_PER_THREAD;
  if (stream == 1) return CU_STREAM_LEGACY;
  return nullptr;
}

bool IsDefaultStream(uint64_t stream) { return stream <= kPerThreadStream; }

bool Inside(const std::map<uint64_t, uint64_t>& ranges, uint64_t pointer, uint64_t count) {
  auto it = ranges.upper_bound(pointer);
  if (it == ranges.begin()) return false;
  --it;
  const uint64_t offset = pointer - it->first;
  return offset < it->second && count <= it->second - offset;
}

}  // namespace

bool CudaBackend::Probe(uint32_t gpus, uint32_t* count, std::string* description, std::string* why) {
  CudaDriver d;
  if (!d.Load(why)) return false;
  const CUresult result = d.cuInit_fn(0);
  if (result != CUDA_SUCCESS) {
    *why = "cuInit failed with " + std::to_string(result);
    return false;
  }
  int found = 0;
  if (d.cuDeviceGetCount_fn(&found) != CUDA_SUCCESS || found <= 0) {
    *why = "the driver reports no device";
    return false;
  }
  int version = 0;
  d.cuDriverGetVersion_fn(&version);
  *count = gpus == 0 ? static_cast<uint32_t>(found) : std::min(gpus, static_cast<uint32_t>(found));
  char name[256] = {};
  CUdevice device = 0;
  if (d.cuDeviceGet_fn(&device, 0) == CUDA_SUCCESS) d.cuDeviceGetName_fn(name, sizeof(name) - 1, device);
  *description = "backend=cuda gpus=" + std::to_string(*count) + " driver=" + std::to_string(version) +
                 " gpu0=\"" + name + "\"";
  return true;
}

std::unique_ptr<GpuBackend> CudaBackend::Open(uint32_t gpus, std::string* why) {
  std::unique_ptr<CudaBackend> backend(new CudaBackend());
  CudaDriver& d = backend->driver_;
  if (!d.Load(why)) return nullptr;
  CUresult result = d.cuInit_fn(0);
  if (result != CUDA_SUCCESS) {
    *why = "cuInit failed with " + std::to_string(result);
    return nullptr;
  }
  int count = 0;
  if (d.cuDeviceGetCount_fn(&count) != CUDA_SUCCESS || count <= 0) {
    *why = "the driver reports no device";
    return nullptr;
  }
  d.cuDriverGetVersion_fn(&backend->driver_version_);
  const uint32_t served = gpus == 0 ? static_cast<uint32_t>(count) : std::min(gpus, static_cast<uint32_t>(count));
  for (uint32_t i = 0; i < served; ++i) {
    CUdevice device = 0;
    CUcontext context = nullptr;
    if ((result = d.cuDeviceGet_fn(&device, static_cast<int>(i))) != CUDA_SUCCESS ||
        (result = d.cuDevicePrimaryCtxRetain_fn(&context, device)) != CUDA_SUCCESS) {
      *why = "GPU " + std::to_string(i) + " cannot be opened: error " + std::to_string(result);
      return nullptr;
    }
    backend->devices_.push_back(device);
    backend->contexts_.push_back(context);

    // Constant per device: asked once.
    DeviceInfo info{};
    d.cuDeviceGetName_fn(info.name, sizeof(info.name) - 1, device);
    CUuuid uuid{};
    if (d.cuDeviceGetUuid_fn(&uuid, device) == CUDA_SUCCESS) std::memcpy(info.uuid, uuid.bytes, sizeof(info.uuid));
    size_t total = 0;
    d.cuDeviceTotalMem_fn(&total, device);
    info.total_mem = total;
    for (size_t a = 1; a < kDeviceAttrSlots; ++a) {
      int value = 0;
      if (d.cuDeviceGetAttribute_fn(&value, static_cast<CUdevice_attribute>(a), device) == CUDA_SUCCESS) {
        info.attrs[a] = value;
      }
    }
    backend->infos_.push_back(info);
  }
  return backend;
}

CudaBackend::~CudaBackend() {
  std::vector<uint32_t> pids;
  {
    zantu::MutexLock lock(&clients_mutex_);
    for (const auto& entry : clients_) pids.push_back(entry.first);
  }
  for (uint32_t pid : pids) ReleaseClient(pid);
  for (CUdevice device : devices_) driver_.cuDevicePrimaryCtxRelease_fn(device);
}

uint32_t CudaBackend::Status(CUresult result) {
  switch (result) {
    // The only driver errors without a runtime error of the same number.
    case CUDA_ERROR_CONTEXT_ALREADY_CURRENT: case CUDA_ERROR_KEY_ROTATION: return kRtUnknown;
    // Every other driver error has its runtime twin under its own number
    // (CUDA_ERROR_INVALID_HANDLE is cudaErrorInvalidResourceHandle, 400;
    // CUDA_ERROR_ILLEGAL_INSTRUCTION is cudaErrorIllegalInstruction, 715),
    // so a client sees what the driver said, a kernel's fault included.
    default: return static_cast<uint32_t>(result);
  }
}

uint32_t CudaBackend::DeviceCount() const { return static_cast<uint32_t>(devices_.size()); }

std::string CudaBackend::Describe() const {
  return "backend=cuda gpus=" + std::to_string(devices_.size()) + " driver=" + std::to_string(driver_version_) +
         (infos_.empty() ? "" : std::string(" gpu0=\"") + infos_[0].name + "\"");
}

CudaBackend::Client* CudaBackend::Find(uint32_t pid) {
  zantu::MutexLock lock(&clients_mutex_);
  std::unique_ptr<Client>& client = clients_[pid];
  if (!client) {
    client = std::make_unique<Client>();
    client->gpus.resize(devices_.size());
  }
  return client.get();
}

uint32_t CudaBackend::Enter(uint32_t gpu) {
  if (current_context == contexts_[gpu]) return kRtSuccess;
  const CUresult result = driver_.cuCtxSetCurrent_fn(contexts_[gpu]);
  if (result != CUDA_SUCCESS) return Status(result);
  current_context = contexts_[gpu];
  return kRtSuccess;
}

bool CudaBackend::StreamOf(const Client& client, uint32_t gpu, uint64_t stream, CUstream* out) const {
  if (IsDefaultStream(stream)) {
    *out = DefaultStream(stream);
    return true;
  }
  auto it = client.gpus[gpu].streams.find(stream);
  if (it == client.gpus[gpu].streams.end()) return false;
  *out = it->second;
  return true;
}

bool CudaBackend::Usable(const Client& client, uint32_t gpu, uint64_t pointer, uint64_t count) const {
  return Inside(client.gpus[gpu].memory, pointer, count) || Inside(client.gpus[gpu].symbols, pointer, count);
}

uint32_t CudaBackend::GetDeviceProperties(uint32_t pid, uint32_t gpu, DeviceInfo* info) {
  *info = infos_[gpu];
  return kRtSuccess;
}

uint32_t CudaBackend::DeviceSynchronize(uint32_t pid, uint32_t gpu) {
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuCtxSynchronize_fn());
}

uint32_t CudaBackend::DeviceReset(uint32_t pid, uint32_t gpu) {
  Client* client = Find(pid);
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  // A kernel's fault breaks the whole context: every later call in it fails
  // with the fault until the primary context is reset, which frees all it
  // holds (in the node, only this client's: each client has a worker and
  // contexts of its own). The context keeps its handle. A healthy context is
  // kept, and only the client's resources freed.
  if (driver_.cuCtxSynchronize_fn() != CUDA_SUCCESS) {
    const CUresult result = driver_.cuDevicePrimaryCtxReset_fn(devices_[gpu]);
    client->gpus[gpu] = ClientGpu();
    return Status(result);
  }
  ReleaseGpu(client, gpu);
  return kRtSuccess;
}

uint32_t CudaBackend::DriverGetVersion(int32_t* version) {
  *version = driver_version_;
  return kRtSuccess;
}

// The driver maps the peer's context into `gpu`'s (its 704/705/217 are the
// runtime's numbers too).
uint32_t CudaBackend::SetPeerAccess(uint32_t pid, uint32_t gpu, uint32_t peer, bool enable) {
  if (peer >= contexts_.size()) return kRtInvalidDevice;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(enable ? driver_.cuCtxEnablePeerAccess_fn(contexts_[peer], 0)
                       : driver_.cuCtxDisablePeerAccess_fn(contexts_[peer]));
}

uint32_t CudaBackend::Malloc(uint32_t pid, uint32_t gpu, uint64_t size, uint64_t* pointer) {
  Client* client = Find(pid);
  *pointer = 0;
  if (size == 0) return kRtSuccess;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  CUdeviceptr memory = 0;
  const CUresult result = driver_.cuMemAlloc_fn(&memory, size);
  if (result != CUDA_SUCCESS) return Status(result);
  client->gpus[gpu].memory[memory] = size;
  *pointer = memory;
  return kRtSuccess;
}

uint32_t CudaBackend::Free(uint32_t pid, uint32_t gpu, uint64_t pointer) {
  if (pointer == 0) return kRtSuccess;
  Client* client = Find(pid);
  auto& memory = client->gpus[gpu].memory;
  auto it = memory.find(pointer);
  if (it == memory.end()) return kRtInvalidValue;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  memory.erase(it);
  return Status(driver_.cuMemFree_fn(pointer));
}

uint32_t CudaBackend::MemGetInfo(uint32_t pid, uint32_t gpu, uint64_t* free, uint64_t* total) {
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  size_t f = 0, t = 0;
  const CUresult result = driver_.cuMemGetInfo_fn(&f, &t);
  *free = f;
  *total = t;
  return Status(result);
}

uint32_t CudaBackend::CopyToDevice(uint32_t pid, uint32_t gpu, uint64_t dst, const char* data, uint64_t count,
                                   uint64_t stream) {
  const Client& client = *Find(pid);
  CUstream s = nullptr;
  if (!StreamOf(client, gpu, stream, &s)) return kRtInvalidResourceHandle;
  if (count == 0) return kRtSuccess;
  if (!Usable(client, gpu, dst, count)) return kRtInvalidValue;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  // In the stream's order, and finished before the request body is reused.
  CUresult result = driver_.cuMemcpyHtoDAsync_fn(dst, data, count, s);
  if (result == CUDA_SUCCESS) result = driver_.cuStreamSynchronize_fn(s);
  return Status(result);
}

uint32_t CudaBackend::CopyToHost(uint32_t pid, uint32_t gpu, uint64_t src, uint64_t count, uint64_t stream,
                                 CallAnswer* answer) {
  const Client& client = *Find(pid);
  CUstream s = nullptr;
  if (!StreamOf(client, gpu, stream, &s)) return kRtInvalidResourceHandle;
  if (count == 0) return kRtSuccess;
  if (!Usable(client, gpu, src, count)) return kRtInvalidValue;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  answer->storage.resize(count);
  CUresult result = driver_.cuMemcpyDtoHAsync_fn(answer->storage.data(), src, count, s);
  if (result == CUDA_SUCCESS) result = driver_.cuStreamSynchronize_fn(s);
  if (result == CUDA_SUCCESS) answer->UseStorage();
  return Status(result);
}

uint32_t CudaBackend::CopyOnDevice(uint32_t pid, uint32_t gpu, uint64_t dst, uint64_t src, uint64_t count,
                                   uint64_t stream) {
  const Client& client = *Find(pid);
  CUstream s = nullptr;
  if (!StreamOf(client, gpu, stream, &s)) return kRtInvalidResourceHandle;
  if (count == 0) return kRtSuccess;
  if (!Usable(client, gpu, dst, count) || !Usable(client, gpu, src, count)) return kRtInvalidValue;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuMemcpyDtoDAsync_fn(dst, src, count, s));
}

uint32_t CudaBackend::Memset(uint32_t pid, uint32_t gpu, uint64_t dst, uint8_t value, uint64_t count,
                             uint64_t stream) {
  const Client& client = *Find(pid);
  CUstream s = nullptr;
  if (!StreamOf(client, gpu, stream, &s)) return kRtInvalidResourceHandle;
  if (count == 0) return kRtSuccess;
  if (!Usable(client, gpu, dst, count)) return kRtInvalidValue;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuMemsetD8Async_fn(dst, value, count, s));
}

uint32_t CudaBackend::StreamCreate(uint32_t pid, uint32_t gpu, uint64_t stream, uint64_t flags) {
  if (IsDefaultStream(stream)) return kRtInvalidValue;
  Client* client = Find(pid);
  auto& streams = client->gpus[gpu].streams;
  if (streams.count(stream) != 0) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  CUstream created = nullptr;
  // cudaStreamNonBlocking and CU_STREAM_NON_BLOCKING share their value.
  const CUresult result = driver_.cuStreamCreate_fn(&created, static_cast<unsigned>(flags & CU_STREAM_NON_BLOCKING));
  if (result != CUDA_SUCCESS) return Status(result);
  streams.emplace(stream, created);
  return kRtSuccess;
}

uint32_t CudaBackend::StreamDestroy(uint32_t pid, uint32_t gpu, uint64_t stream) {
  auto& streams = Find(pid)->gpus[gpu].streams;
  auto it = streams.find(stream);
  if (it == streams.end()) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  const CUresult result = driver_.cuStreamDestroy_fn(it->second);
  streams.erase(it);
  return Status(result);
}

uint32_t CudaBackend::StreamSynchronize(uint32_t pid, uint32_t gpu, uint64_t stream) {
  CUstream s = nullptr;
  if (!StreamOf(*Find(pid), gpu, stream, &s)) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuStreamSynchronize_fn(s));
}

uint32_t CudaBackend::StreamQuery(uint32_t pid, uint32_t gpu, uint64_t stream) {
  CUstream s = nullptr;
  if (!StreamOf(*Find(pid), gpu, stream, &s)) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuStreamQuery_fn(s));
}

uint32_t CudaBackend::StreamWaitEvent(uint32_t pid, uint32_t gpu, uint64_t stream, uint64_t event, uint64_t flags) {
  const Client& client = *Find(pid);
  CUstream s = nullptr;
  auto it = client.gpus[gpu].events.find(event);
  if (!StreamOf(client, gpu, stream, &s) || it == client.gpus[gpu].events.end()) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuStreamWaitEvent_fn(s, it->second, static_cast<unsigned>(flags)));
}

uint32_t CudaBackend::EventCreate(uint32_t pid, uint32_t gpu, uint64_t event, uint64_t flags) {
  if (event == 0) return kRtInvalidValue;
  auto& events = Find(pid)->gpus[gpu].events;
  if (events.count(event) != 0) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  CUevent created = nullptr;
  // The runtime's event flags are the driver's (default, blocking sync,
  // disable timing, interprocess).
  const CUresult result = driver_.cuEventCreate_fn(&created, static_cast<unsigned>(flags & 0x7));
  if (result != CUDA_SUCCESS) return Status(result);
  events.emplace(event, created);
  return kRtSuccess;
}

uint32_t CudaBackend::EventRecord(uint32_t pid, uint32_t gpu, uint64_t event, uint64_t stream) {
  const Client& client = *Find(pid);
  CUstream s = nullptr;
  auto it = client.gpus[gpu].events.find(event);
  if (!StreamOf(client, gpu, stream, &s) || it == client.gpus[gpu].events.end()) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuEventRecord_fn(it->second, s));
}

uint32_t CudaBackend::EventSynchronize(uint32_t pid, uint32_t gpu, uint64_t event) {
  const auto& events = Find(pid)->gpus[gpu].events;
  auto it = events.find(event);
  if (it == events.end()) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuEventSynchronize_fn(it->second));
}

uint32_t CudaBackend::EventQuery(uint32_t pid, uint32_t gpu, uint64_t event) {
  const auto& events = Find(pid)->gpus[gpu].events;
  auto it = events.find(event);
  if (it == events.end()) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuEventQuery_fn(it->second));
}

uint32_t CudaBackend::EventElapsedTime(uint32_t pid, uint32_t gpu, uint64_t start, uint64_t end, float* ms) {
  const auto& events = Find(pid)->gpus[gpu].events;
  auto a = events.find(start);
  auto b = events.find(end);
  if (a == events.end() || b == events.end()) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  return Status(driver_.cuEventElapsedTime_fn(ms, a->second, b->second));
}

uint32_t CudaBackend::EventDestroy(uint32_t pid, uint32_t gpu, uint64_t event) {
  auto& events = Find(pid)->gpus[gpu].events;
  auto it = events.find(event);
  if (it == events.end()) return kRtInvalidResourceHandle;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  const CUresult result = driver_.cuEventDestroy_fn(it->second);
  events.erase(it);
  return Status(result);
}

uint32_t CudaBackend::LoadedModule(Client* client, uint32_t gpu, uint64_t number, CUmodule* out) {
  auto& loaded = client->gpus[gpu].modules;
  auto it = loaded.find(number);
  if (it != loaded.end()) {
    *out = it->second;
    return kRtSuccess;
  }
  // An image the driver refused is refused again without being loaded
  // anew at every launch.
  auto failed = client->gpus[gpu].failed_modules.find(number);
  if (failed != client->gpus[gpu].failed_modules.end()) return failed->second;
  auto image = client->modules.find(number);
  if (image == client->modules.end()) return kRtInvalidResourceHandle;
  CUmodule module = nullptr;
  const CUresult result = driver_.cuModuleLoadData_fn(&module, image->second.image.data());
  if (result != CUDA_SUCCESS) {
    // A broken context refuses every call: that is no verdict on the image.
    if (driver_.cuCtxSynchronize_fn() == CUDA_SUCCESS) {
      client->gpus[gpu].failed_modules.emplace(number, Status(result));
    }
    return Status(result);
  }
  loaded.emplace(number, module);
  *out = module;
  return kRtSuccess;
}

uint32_t CudaBackend::LaunchKernel(uint32_t pid, uint32_t gpu, const LaunchConfig& config, const char* params,
                                   uint64_t params_size) {
  Client* client = Find(pid);
  CUstream s = nullptr;
  if (!StreamOf(*client, gpu, config.stream, &s)) return kRtInvalidResourceHandle;
  auto named = client->functions.find(config.function);
  if (named == client->functions.end()) return kRtInvalidDeviceFunction;
  if (params_size > kMaxParamBuffer) return kRtInvalidValue;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  CUmodule module = nullptr;
  if (const uint32_t status = LoadedModule(client, gpu, named->second.module, &module); status != kRtSuccess) {
    return status;
  }
  // Looked up on every launch: cheap next to the launch, and no handle to
  // keep in step with module unloads.
  CUfunction function = nullptr;
  // A name the module lacks is the runtime's missing function; any other
  // failure (a broken context) is the driver's own.
  if (const CUresult result = driver_.cuModuleGetFunction_fn(&function, module, named->second.name.c_str());
      result != CUDA_SUCCESS) {
    return result == CUDA_ERROR_NOT_FOUND ? kRtInvalidDeviceFunction : Status(result);
  }
  if (const uint32_t status = AllowDynamicShared(gpu, function, config.shared_bytes); status != kRtSuccess) {
    return status;
  }
  alignas(64) char aligned[kMaxParamBuffer];
  if (params_size != 0) std::memcpy(aligned, params, params_size);
  size_t size = params_size;
  void* extra[] = {CU_LAUNCH_PARAM_BUFFER_POINTER, aligned, CU_LAUNCH_PARAM_BUFFER_SIZE, &size, CU_LAUNCH_PARAM_END};
  return Status(driver_.cuLaunchKernel_fn(function, config.grid[0], config.grid[1], config.grid[2], config.block[0],
                                          config.block[1], config.block[2],
                                          static_cast<unsigned>(config.shared_bytes), s, nullptr,
                                          params_size != 0 ? extra : nullptr));
}

uint32_t CudaBackend::AllowDynamicShared(uint32_t gpu, CUfunction function, uint64_t bytes) {
  // The client has checked the size against what cudaFuncSetAttribute
  // allowed the kernel; the driver must be told too, or it refuses dynamic
  // shared memory past the default per-block limit.
  const int32_t limit = infos_[gpu].attrs[CU_DEVICE_ATTRIBUTE_MAX_SHARED_MEMORY_PER_BLOCK];
  if (bytes <= static_cast<uint64_t>(limit)) return kRtSuccess;
  if (bytes > static_cast<uint64_t>(INT32_MAX)) return kRtInvalidValue;
  return Status(driver_.cuFuncSetAttribute_fn(function, CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES,
                                              static_cast<int>(bytes)));
}

uint32_t CudaBackend::GetSymbolAddress(uint32_t pid, uint32_t gpu, uint64_t variable, uint64_t* pointer) {
  Client* client = Find(pid);
  auto named = client->variables.find(variable);
  if (named == client->variables.end()) return kRtInvalidSymbol;
  if (const uint32_t status = Enter(gpu); status != kRtSuccess) return status;
  CUmodule module = nullptr;
  if (const uint32_t status = LoadedModule(client, gpu, named->second.module, &module); status != kRtSuccess) {
    return status;
  }
  CUdeviceptr address = 0;
  size_t size = 0;
  if (const CUresult result = driver_.cuModuleGetGlobal_fn(&address, &size, module, named->second.name.c_str());
      result != CUDA_SUCCESS) {
    return result == CUDA_ERROR_NOT_FOUND ? kRtInvalidSymbol : Status(result);
  }
  client->gpus[gpu].symbols[address] = size;
  *pointer = address;
  return kRtSuccess;
}

uint32_t CudaBackend::ModuleLoad(uint32_t pid, uint64_t module, const char* image, uint64_t size) {
  if (!ImageFits(image, size)) return kRtInvalidKernelImage;
  Find(pid)->modules[module].image.assign(image, size);
  return kRtSuccess;
}

uint32_t CudaBackend::FunctionRegister(uint32_t pid, uint64_t module, uint64_t function, std::string_view name) {
  Client* client = Find(pid);
  if (client->modules.count(module) == 0) return kRtInvalidResourceHandle;
  client->functions[function] = Named{module, std::string(name)};
  return kRtSuccess;
}

uint32_t CudaBackend::VarRegister(uint32_t pid, uint64_t module, uint64_t variable, uint64_t size,
                                  std::string_view name) {
  Client* client = Find(pid);
  if (client->modules.count(module) == 0) return kRtInvalidResourceHandle;
  client->variables[variable] = Named{module, std::string(name)};
  return kRtSuccess;
}

uint32_t CudaBackend::ModuleUnload(uint32_t pid, uint64_t module) {
  Client* client = Find(pid);
  if (client->modules.erase(module) == 0) return kRtInvalidResourceHandle;
  std::erase_if(client->functions, [module](const auto& f) { return f.second.module == module; });
  std::erase_if(client->variables, [module](const auto& v) { return v.second.module == module; });
  for (uint32_t gpu = 0; gpu < client->gpus.size(); ++gpu) {
    auto& loaded = client->gpus[gpu].modules;
    auto it = loaded.find(module);
    if (it == loaded.end() || Enter(gpu) != kRtSuccess) continue;
    driver_.cuModuleUnload_fn(it->second);
    loaded.erase(it);
  }
  return kRtSuccess;
}

void CudaBackend::ReleaseGpu(Client* client, uint32_t gpu) {
  ClientGpu& state = client->gpus[gpu];
  // Work still queued for the client must not touch memory freed below.
  for (auto& stream : state.streams) driver_.cuStreamSynchronize_fn(stream.second);
  driver_.cuStreamSynchronize_fn(CU_STREAM_LEGACY);
  for (auto& event : state.events) driver_.cuEventDestroy_fn(event.second);
  for (auto& stream : state.streams) driver_.cuStreamDestroy_fn(stream.second);
  for (auto& memory : state.memory) driver_.cuMemFree_fn(memory.first);
  for (auto& module : state.modules) driver_.cuModuleUnload_fn(module.second);
  state = ClientGpu();
}

void CudaBackend::ReleaseClient(uint32_t pid) {
  std::unique_ptr<Client> client;
  {
    zantu::MutexLock lock(&clients_mutex_);
    auto it = clients_.find(pid);
    if (it == clients_.end()) return;
    client = std::move(it->second);
    clients_.erase(it);
  }
  for (uint32_t gpu = 0; gpu < client->gpus.size(); ++gpu) {
    if (Enter(gpu) == kRtSuccess) ReleaseGpu(client.get(), gpu);
  }
}

}  // namespace zantu_node
