#include "node/worker/runtime_executor.h"

#include <string_view>

#include "common/api_numbers.h"
#include "common/runtime_calls.h"

namespace zantu_node {
namespace {

uint64_t Arg(const char* payload, uint32_t index) {
  return LoadRecord<uint64_t>(payload + static_cast<size_t>(index) * sizeof(uint64_t));
}

// The data after the argument block.
const char* Data(const RequestHeader& entry, const char* payload) {
  return payload + static_cast<size_t>(entry.argc) * sizeof(uint64_t);
}
uint64_t DataSize(const RequestHeader& entry) { return entry.size - uint64_t{entry.argc} * sizeof(uint64_t); }

// Arguments each function needs at least.
uint32_t MinArgc(uint32_t api) {
  switch (api) {
    case k_cudaMalloc: case k_cudaFree: case k_cudaStreamDestroy: case k_cudaStreamSynchronize:
    case k_cudaStreamQuery: case k_cudaEventSynchronize: case k_cudaEventQuery: case k_cudaEventDestroy:
    case k_cudaGetSymbolAddress: case k_zantuModuleLoad: case k_zantuModuleUnload:
      return 1;
    case k_cudaStreamCreate: case k_cudaEventCreate: case k_cudaEventRecord: case k_cudaEventElapsedTime:
    case k_zantuFunctionRegister:
      return 2;
    case k_cudaStreamWaitEvent: case k_zantuVarRegister:
      return 3;
    case k_cudaMemset: case k_cudaMemsetAsync:
      return kMemsetArgc;
    case k_cudaMemcpy: case k_cudaMemcpyAsync:
      return kMemcpyArgc;
    case k_cudaLaunchKernel:
      return kLaunchArgc;
    default:
      return 0;
  }
}

template <typename T>
void AnswerValue(const T& value, CallAnswer* answer) {
  answer->storage.assign(reinterpret_cast<const char*>(&value), sizeof(value));
  answer->UseStorage();
}

// A name sent as data: its bytes up to the first NUL, at most kMaxSymbolName.
bool NameOf(const RequestHeader& entry, const char* payload, std::string_view* name) {
  const uint64_t size = DataSize(entry);
  std::string_view text(Data(entry, payload), size);
  text = text.substr(0, text.find('\0'));
  if (text.empty() || text.size() > kMaxSymbolName) return false;
  *name = text;
  return true;
}

}  // namespace

RuntimeExecutor::RuntimeExecutor(GpuBackend* backend, uint32_t pid) : backend_(backend), pid_(pid) {}

bool RuntimeExecutor::IsSync(uint32_t api) {
  switch (api) {
    case k_cudaDeviceSynchronize: case k_cudaMemcpy: case k_cudaMemGetInfo: case k_cudaStreamSynchronize:
    case k_cudaStreamQuery: case k_cudaEventSynchronize: case k_cudaEventQuery: case k_cudaEventElapsedTime:
      return true;
    default:
      return false;
  }
}

bool RuntimeExecutor::IsSticky(uint32_t result) { return result == kRtIllegalAddress || result == kRtLaunchFailure; }

void RuntimeExecutor::NoteDeferredFailure(uint32_t gpu, uint32_t result) {
  if (result != kRtSuccess) deferred_failure_.emplace(gpu, result);
}

void RuntimeExecutor::Execute(uint32_t gpu, const RequestHeader& entry, const char* payload, CallAnswer* answer) {
  answer->Clear();
  // A reset ends the GPU's broken context and starts it anew; the client's
  // other GPUs each have a context of their own.
  if (entry.api == k_cudaDeviceReset) {
    sticky_.erase(gpu);
    deferred_failure_.erase(gpu);
  }
  auto sticky = sticky_.find(gpu);
  answer->result = sticky != sticky_.end() ? sticky->second : Run(gpu, entry, payload, answer);
  if (entry.api == k_cudaLaunchKernel && IsSticky(answer->result)) sticky_.emplace(gpu, answer->result);
  if (answer->result != kRtSuccess) {
    answer->payload = nullptr;
    answer->payload_size = 0;
    if ((entry.flags & kRequestDeferrable) != 0) deferred_failure_.emplace(gpu, answer->result);
    return;
  }
  if (IsSync(entry.api)) {
    auto it = deferred_failure_.find(gpu);
    if (it != deferred_failure_.end()) {
      answer->result = it->second;
      answer->payload = nullptr;
      answer->payload_size = 0;
      deferred_failure_.erase(it);
    }
  }
}

uint32_t RuntimeExecutor::Run(uint32_t gpu, const RequestHeader& entry, const char* payload, CallAnswer* answer) {
  const uint32_t api = entry.api;
  if (api >= kRuntimeApiCount) return kRtNotSupported;
  if (entry.argc < MinArgc(api)) return kRtInvalidValue;
  if (api == k_zantuModuleLoad || api == k_zantuFunctionRegister || api == k_zantuVarRegister ||
      api == k_zantuModuleUnload) {
    return RunRegistration(entry, payload);
  }
  if (api == k_cudaDriverGetVersion) {
    int32_t version = 0;
    const uint32_t status = backend_->DriverGetVersion(&version);
    if (status == kRtSuccess) AnswerValue(version, answer);
    return status;
  }
  if (gpu >= backend_->DeviceCount()) return kRtInvalidDevice;
  switch (api) {
    case k_cudaStreamCreate: case k_cudaStreamDestroy: case k_cudaStreamSynchronize: case k_cudaStreamQuery:
    case k_cudaStreamWaitEvent: case k_cudaEventCreate: case k_cudaEventRecord: case k_cudaEventSynchronize:
    case k_cudaEventQuery: case k_cudaEventElapsedTime: case k_cudaEventDestroy:
      return RunStreamOrEvent(gpu, api, payload, answer);
    case k_cudaMemcpy: case k_cudaMemcpyAsync:
      return RunCopy(gpu, entry, payload, answer);
    case k_cudaLaunchKernel:
      return RunLaunch(gpu, entry, payload);
    default:
      return RunDevice(gpu, api, payload, answer);
  }
}

uint32_t RuntimeExecutor::RunDevice(uint32_t gpu, uint32_t api, const char* payload, CallAnswer* answer) {
  switch (api) {
    case k_cudaGetDeviceProperties: {
      DeviceInfo info;
      const uint32_t status = backend_->GetDeviceProperties(pid_, gpu, &info);
      if (status == kRtSuccess) AnswerValue(info, answer);
      return status;
    }
    case k_cudaDeviceSynchronize:
      return backend_->DeviceSynchronize(pid_, gpu);
    case k_cudaDeviceReset:
      deferred_failure_.erase(gpu);
      return backend_->DeviceReset(pid_, gpu);
    case k_cudaMalloc: {
      uint64_t pointer = 0;
      const uint32_t status = backend_->Malloc(pid_, gpu, Arg(payload, 0), &pointer);
      if (status == kRtSuccess) AnswerValue(pointer, answer);
      return status;
    }
    case k_cudaFree:
      return backend_->Free(pid_, gpu, Arg(payload, 0));
    case k_cudaMemset: case k_cudaMemsetAsync: {
      const uint64_t count = Arg(payload, 2);
      if (count > kMaxCopyChunk) return kRtInvalidValue;
      return backend_->Memset(pid_, gpu, Arg(payload, 0), static_cast<uint8_t>(Arg(payload, 1)), count,
                              Arg(payload, 3));
    }
    case k_cudaMemGetInfo: {
      uint64_t info[2] = {0, 0};
      const uint32_t status = backend_->MemGetInfo(pid_, gpu, &info[0], &info[1]);
      if (status == kRtSuccess) AnswerValue(info, answer);
      return status;
    }
    case k_cudaGetSymbolAddress: {
      uint64_t pointer = 0;
      const uint32_t status = backend_->GetSymbolAddress(pid_, gpu, Arg(payload, 0), &pointer);
      if (status == kRtSuccess) AnswerValue(pointer, answer);
      return status;
    }
    default:
      return kRtNotSupported;
  }
}

uint32_t RuntimeExecutor::RunStreamOrEvent(uint32_t gpu, uint32_t api, const char* payload, CallAnswer* answer) {
  const uint64_t a0 = Arg(payload, 0);
  switch (api) {
    case k_cudaStreamCreate:
      return backend_->StreamCreate(pid_, gpu, a0, Arg(payload, 1));
    case k_cudaStreamDestroy:
      return backend_->StreamDestroy(pid_, gpu, a0);
    case k_cudaStreamSynchronize:
      return backend_->StreamSynchronize(pid_, gpu, a0);
    case k_cudaStreamQuery:
      return backend_->StreamQuery(pid_, gpu, a0);
    case k_cudaStreamWaitEvent:
      return backend_->StreamWaitEvent(pid_, gpu, a0, Arg(payload, 1), Arg(payload, 2));
    case k_cudaEventCreate:
      return backend_->EventCreate(pid_, gpu, a0, Arg(payload, 1));
    case k_cudaEventRecord:
      return backend_->EventRecord(pid_, gpu, a0, Arg(payload, 1));
    case k_cudaEventSynchronize:
      return backend_->EventSynchronize(pid_, gpu, a0);
    case k_cudaEventQuery:
      return backend_->EventQuery(pid_, gpu, a0);
    case k_cudaEventElapsedTime: {
      float ms = 0;
      const uint32_t status = backend_->EventElapsedTime(pid_, gpu, a0, Arg(payload, 1), &ms);
      if (status == kRtSuccess) AnswerValue(ms, answer);
      return status;
    }
    default:
      return backend_->EventDestroy(pid_, gpu, a0);
  }
}

uint32_t RuntimeExecutor::RunCopy(uint32_t gpu, const RequestHeader& entry, const char* payload,
                                  CallAnswer* answer) {
  const uint64_t dst = Arg(payload, 0);
  const uint64_t src = Arg(payload, 1);
  const uint64_t count = Arg(payload, 2);
  const uint64_t kind = Arg(payload, 3);
  const uint64_t stream = Arg(payload, 4);
  if (count > kMaxCopyChunk) return kRtInvalidValue;
  switch (kind) {
    case kCopyHostToDevice:
      // The data comes straight from the request body: one copy in all.
      if (DataSize(entry) != count) return kRtInvalidValue;
      return backend_->CopyToDevice(pid_, gpu, dst, Data(entry, payload), count, stream);
    case kCopyDeviceToHost:
      return backend_->CopyToHost(pid_, gpu, src, count, stream, answer);
    case kCopyDeviceToDevice:
      return backend_->CopyOnDevice(pid_, gpu, dst, src, count, stream);
    default:
      return kRtInvalidMemcpyDirection;
  }
}

uint32_t RuntimeExecutor::RunLaunch(uint32_t gpu, const RequestHeader& entry, const char* payload) {
  LaunchConfig config;
  config.function = Arg(payload, 0);
  for (uint32_t i = 0; i < 3; ++i) {
    const uint64_t grid = Arg(payload, 1 + i);
    const uint64_t block = Arg(payload, 4 + i);
    if (grid == 0 || block == 0 || grid > UINT32_MAX || block > UINT32_MAX) return kRtInvalidConfiguration;
    config.grid[i] = static_cast<uint32_t>(grid);
    config.block[i] = static_cast<uint32_t>(block);
  }
  config.shared_bytes = Arg(payload, 7);
  config.stream = Arg(payload, 8);
  const uint64_t params_size = DataSize(entry);
  if (params_size > kMaxParamBuffer) return kRtInvalidValue;
  return backend_->LaunchKernel(pid_, gpu, config, Data(entry, payload), params_size);
}

uint32_t RuntimeExecutor::RunRegistration(const RequestHeader& entry, const char* payload) {
  const uint64_t module = Arg(payload, 0);
  std::string_view name;
  switch (entry.api) {
    case k_zantuModuleLoad:
      if (DataSize(entry) == 0 || DataSize(entry) > kMaxModuleImage) return kRtInvalidKernelImage;
      return backend_->ModuleLoad(pid_, module, Data(entry, payload), DataSize(entry));
    case k_zantuFunctionRegister:
      if (!NameOf(entry, payload, &name)) return kRtInvalidValue;
      return backend_->FunctionRegister(pid_, module, Arg(payload, 1), name);
    case k_zantuVarRegister:
      if (!NameOf(entry, payload, &name)) return kRtInvalidValue;
      return backend_->VarRegister(pid_, module, Arg(payload, 1), Arg(payload, 2), name);
    default:
      return backend_->ModuleUnload(pid_, module);
  }
}

}  // namespace zantu_node
