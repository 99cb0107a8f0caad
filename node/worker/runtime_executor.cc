#include "node/worker/runtime_executor.h"

#include <string_view>

#include "common/api_numbers.h"
#include "common/runtime_calls.h"

namespace zantu_node {
namespace {

template <typename T>
void AnswerValue(const T& value, CallAnswer* answer) {
  answer->storage.assign(reinterpret_cast<const char*>(&value), sizeof(value));
  answer->UseStorage();
}

// A name sent as data: its bytes up to the first NUL, at most kMaxSymbolName.
bool NameOf(const char* data, uint64_t size, std::string_view* name) {
  std::string_view text(data, size);
  text = text.substr(0, text.find('\0'));
  if (text.empty() || text.size() > kMaxSymbolName) return false;
  *name = text;
  return true;
}

}  // namespace

RuntimeExecutor::RuntimeExecutor(GpuBackend* backend, uint32_t pid) : backend_(backend), pid_(pid) {}

bool RuntimeExecutor::IsSync(uint32_t api) { return DeclarationOf(api).sync; }

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
  answer->result = sticky != sticky_.end() ? sticky->second : Run(Call{gpu, entry, payload, answer});
  if (answer->result != kRtSuccess) {
    if ((entry.flags & kRequestDeferrable) != 0) deferred_failure_.emplace(gpu, answer->result);
  } else if (IsSync(entry.api)) {
    ReportDeferredFailure(gpu, answer);
  }
  if (answer->result != kRtSuccess) {
    answer->payload = nullptr;
    answer->payload_size = 0;
  }
  // Whichever call reports it, a kernel fault breaks the context.
  if (IsSticky(answer->result)) sticky_.emplace(gpu, answer->result);
}

void RuntimeExecutor::ReportDeferredFailure(uint32_t gpu, CallAnswer* answer) {
  // Queued work that failed while it ran reports here too, as a GPU's
  // asynchronous error does.
  if (gpu < backend_->DeviceCount()) NoteDeferredFailure(gpu, backend_->TakeAsyncFailure(pid_, gpu));
  auto it = deferred_failure_.find(gpu);
  if (it == deferred_failure_.end()) return;
  answer->result = it->second;
  deferred_failure_.erase(it);
}

uint64_t RuntimeExecutor::Call::Arg(uint32_t index) const {
  return LoadRecord<uint64_t>(payload + static_cast<size_t>(index) * sizeof(uint64_t));
}

const char* RuntimeExecutor::Call::Data() const { return payload + static_cast<size_t>(entry.argc) * sizeof(uint64_t); }

uint64_t RuntimeExecutor::Call::DataSize() const { return entry.size - uint64_t{entry.argc} * sizeof(uint64_t); }

const RuntimeExecutor::Handler* RuntimeExecutor::Handlers() {
  static const auto* const handlers = [] {
    auto* table = new Handler[kRuntimeApiCount]();
#define ZANTU_RUNTIME_HANDLER_ENTRY(name, argc, travel, sync, handles) table[k_##name] = &RuntimeExecutor::On_##name;
    ZANTU_RUNTIME_CALLS(ZANTU_RUNTIME_HANDLER_ENTRY)
#undef ZANTU_RUNTIME_HANDLER_ENTRY
    return table;
  }();
  return handlers;
}

// The rules every entry passes before its handler: a declared call, its
// argument words, a GPU of this node (registrations and the driver version
// name none), streams and events the client has made there.
uint32_t RuntimeExecutor::Run(const Call& call) {
  const RuntimeCallDeclaration declared = DeclarationOf(call.entry.api);
  if (!declared.served) return kRtNotSupported;
  if (call.entry.argc < declared.argc) return kRtInvalidValue;
  const bool any_gpu = declared.travel == kShipping || call.entry.api == k_cudaDriverGetVersion;
  if (!any_gpu && call.gpu >= backend_->DeviceCount()) return kRtInvalidDevice;
  if (!handles_.Check(call.gpu, declared.handles, call.payload, call.entry.argc)) return kRtInvalidResourceHandle;
  return (this->*Handlers()[call.entry.api])(call);
}

uint32_t RuntimeExecutor::On_cudaGetDeviceProperties(const Call& call) {
  DeviceInfo info;
  const uint32_t status = backend_->GetDeviceProperties(pid_, call.gpu, &info);
  if (status == kRtSuccess) AnswerValue(info, call.answer);
  return status;
}

uint32_t RuntimeExecutor::On_cudaDeviceSynchronize(const Call& call) {
  return backend_->DeviceSynchronize(pid_, call.gpu);
}

uint32_t RuntimeExecutor::On_cudaDeviceReset(const Call& call) {
  deferred_failure_.erase(call.gpu);
  handles_.ForgetGpu(call.gpu);
  return backend_->DeviceReset(pid_, call.gpu);
}

uint32_t RuntimeExecutor::On_cudaDriverGetVersion(const Call& call) {
  int32_t version = 0;
  const uint32_t status = backend_->DriverGetVersion(&version);
  if (status == kRtSuccess) AnswerValue(version, call.answer);
  return status;
}

uint32_t RuntimeExecutor::On_cudaMalloc(const Call& call) {
  uint64_t pointer = 0;
  const uint32_t status = backend_->Malloc(pid_, call.gpu, call.Arg(0), &pointer);
  if (status == kRtSuccess) AnswerValue(pointer, call.answer);
  return status;
}

uint32_t RuntimeExecutor::On_cudaFree(const Call& call) { return backend_->Free(pid_, call.gpu, call.Arg(0)); }

uint32_t RuntimeExecutor::On_cudaMemGetInfo(const Call& call) {
  uint64_t info[2] = {0, 0};
  const uint32_t status = backend_->MemGetInfo(pid_, call.gpu, &info[0], &info[1]);
  if (status == kRtSuccess) AnswerValue(info, call.answer);
  return status;
}

uint32_t RuntimeExecutor::On_cudaGetSymbolAddress(const Call& call) {
  uint64_t pointer = 0;
  const uint32_t status = backend_->GetSymbolAddress(pid_, call.gpu, call.Arg(0), &pointer);
  if (status == kRtSuccess) AnswerValue(pointer, call.answer);
  return status;
}

uint32_t RuntimeExecutor::On_cudaMemset(const Call& call) {
  const uint64_t count = call.Arg(2);
  if (count > kMaxCopyChunk) return kRtInvalidValue;
  return backend_->Memset(pid_, call.gpu, call.Arg(0), static_cast<uint8_t>(call.Arg(1)), count, call.Arg(3));
}

uint32_t RuntimeExecutor::On_cudaMemsetAsync(const Call& call) { return On_cudaMemset(call); }

uint32_t RuntimeExecutor::On_cudaMemcpy(const Call& call) {
  const uint64_t dst = call.Arg(0);
  const uint64_t src = call.Arg(1);
  const uint64_t count = call.Arg(2);
  const uint64_t stream = call.Arg(4);
  if (count > kMaxCopyChunk) return kRtInvalidValue;
  switch (call.Arg(3)) {
    case kCopyHostToDevice:
      // The data comes straight from the request body: one copy in all.
      if (call.DataSize() != count) return kRtInvalidValue;
      return backend_->CopyToDevice(pid_, call.gpu, dst, call.Data(), count, stream);
    case kCopyDeviceToHost:
      return backend_->CopyToHost(pid_, call.gpu, src, count, stream, call.answer);
    case kCopyDeviceToDevice:
      return backend_->CopyOnDevice(pid_, call.gpu, dst, src, count, stream);
    default:
      return kRtInvalidMemcpyDirection;
  }
}

uint32_t RuntimeExecutor::On_cudaMemcpyAsync(const Call& call) { return On_cudaMemcpy(call); }

uint32_t RuntimeExecutor::On_cudaStreamCreate(const Call& call) {
  const uint32_t added = handles_.AddStream(call.gpu, call.Arg(0));
  if (added != kRtSuccess) return added;
  const uint32_t status = backend_->StreamCreate(pid_, call.gpu, call.Arg(0), call.Arg(1));
  if (status != kRtSuccess) handles_.RemoveStream(call.gpu, call.Arg(0));
  return status;
}

uint32_t RuntimeExecutor::On_cudaStreamDestroy(const Call& call) {
  handles_.RemoveStream(call.gpu, call.Arg(0));
  return backend_->StreamDestroy(pid_, call.gpu, call.Arg(0));
}

uint32_t RuntimeExecutor::On_cudaStreamSynchronize(const Call& call) {
  return backend_->StreamSynchronize(pid_, call.gpu, call.Arg(0));
}

uint32_t RuntimeExecutor::On_cudaStreamQuery(const Call& call) {
  return backend_->StreamQuery(pid_, call.gpu, call.Arg(0));
}

uint32_t RuntimeExecutor::On_cudaStreamWaitEvent(const Call& call) {
  return backend_->StreamWaitEvent(pid_, call.gpu, call.Arg(0), call.Arg(1), call.Arg(2));
}

uint32_t RuntimeExecutor::On_cudaEventCreate(const Call& call) {
  const uint32_t added = handles_.AddEvent(call.gpu, call.Arg(0));
  if (added != kRtSuccess) return added;
  const uint32_t status = backend_->EventCreate(pid_, call.gpu, call.Arg(0), call.Arg(1));
  if (status != kRtSuccess) handles_.RemoveEvent(call.gpu, call.Arg(0));
  return status;
}

uint32_t RuntimeExecutor::On_cudaEventRecord(const Call& call) {
  return backend_->EventRecord(pid_, call.gpu, call.Arg(0), call.Arg(1));
}

uint32_t RuntimeExecutor::On_cudaEventSynchronize(const Call& call) {
  return backend_->EventSynchronize(pid_, call.gpu, call.Arg(0));
}

uint32_t RuntimeExecutor::On_cudaEventQuery(const Call& call) {
  return backend_->EventQuery(pid_, call.gpu, call.Arg(0));
}

uint32_t RuntimeExecutor::On_cudaEventElapsedTime(const Call& call) {
  float ms = 0;
  const uint32_t status = backend_->EventElapsedTime(pid_, call.gpu, call.Arg(0), call.Arg(1), &ms);
  if (status == kRtSuccess) AnswerValue(ms, call.answer);
  return status;
}

uint32_t RuntimeExecutor::On_cudaEventDestroy(const Call& call) {
  handles_.RemoveEvent(call.gpu, call.Arg(0));
  return backend_->EventDestroy(pid_, call.gpu, call.Arg(0));
}

uint32_t RuntimeExecutor::On_cudaLaunchKernel(const Call& call) {
  LaunchConfig config;
  config.function = call.Arg(0);
  for (uint32_t i = 0; i < 3; ++i) {
    const uint64_t grid = call.Arg(1 + i);
    const uint64_t block = call.Arg(4 + i);
    if (grid == 0 || block == 0 || grid > UINT32_MAX || block > UINT32_MAX) return kRtInvalidConfiguration;
    config.grid[i] = static_cast<uint32_t>(grid);
    config.block[i] = static_cast<uint32_t>(block);
  }
  config.shared_bytes = call.Arg(7);
  config.stream = call.Arg(8);
  if (call.DataSize() > kMaxParamBuffer) return kRtInvalidValue;
  return backend_->LaunchKernel(pid_, call.gpu, config, call.Data(), call.DataSize());
}

uint32_t RuntimeExecutor::On_zantuModuleLoad(const Call& call) {
  if (call.DataSize() == 0 || call.DataSize() > kMaxModuleImage) return kRtInvalidKernelImage;
  return backend_->ModuleLoad(pid_, call.Arg(0), call.Data(), call.DataSize());
}

uint32_t RuntimeExecutor::On_zantuFunctionRegister(const Call& call) {
  std::string_view name;
  if (!NameOf(call.Data(), call.DataSize(), &name)) return kRtInvalidValue;
  return backend_->FunctionRegister(pid_, call.Arg(0), call.Arg(1), name);
}

uint32_t RuntimeExecutor::On_zantuVarRegister(const Call& call) {
  std::string_view name;
  if (!NameOf(call.Data(), call.DataSize(), &name)) return kRtInvalidValue;
  return backend_->VarRegister(pid_, call.Arg(0), call.Arg(1), call.Arg(2), name);
}

uint32_t RuntimeExecutor::On_cudaDeviceEnablePeerAccess(const Call& call) {
  return SetPeerAccess(call, true);
}

uint32_t RuntimeExecutor::On_cudaDeviceDisablePeerAccess(const Call& call) {
  return SetPeerAccess(call, false);
}

uint32_t RuntimeExecutor::SetPeerAccess(const Call& call, bool enable) {
  const uint64_t peer = call.Arg(0);
  if (peer >= backend_->DeviceCount() || peer == call.gpu) return kRtInvalidDevice;
  return backend_->SetPeerAccess(pid_, call.gpu, static_cast<uint32_t>(peer), enable);
}

uint32_t RuntimeExecutor::On_zantuModuleUnload(const Call& call) { return backend_->ModuleUnload(pid_, call.Arg(0)); }

}  // namespace zantu_node
