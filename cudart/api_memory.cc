// Entry points: device and host memory, copies, memsets, device variables.
#include "common/api_numbers.h"
#include "cudart/api_common.h"
#include "cudart/copy_engine.h"
#include "cudart/device_memory.h"
#include "cudart/module_registry.h"
#include "cudart/stream_capture.h"

using namespace cudart;

namespace {

// The device address of variable `symbol` on `gpu`, asked once per GPU.
int SymbolAddress(const void* symbol, int gpu, Variable** variable, uint64_t* address) {
  *variable = ModuleRegistry::Get().FindVariable(symbol);
  if (*variable == nullptr) return kRtInvalidSymbol;
  *address = (*variable)->address[gpu].load(std::memory_order_acquire);
  if (*address != 0) return kRtSuccess;
  int status = ModuleRegistry::Get().EnsureShipped((*variable)->module, gpu);
  if (status != 0) return status;
  uint64_t answer = 0;
  CallPlan plan;
  plan.sink = AnswerSink{&answer, sizeof(answer), gpu};
  status = Layer().Send<k_cudaGetSymbolAddress>(gpu, plan, (*variable)->id);
  if (status != 0) return status;
  DeviceMemory::Get().Add(gpu, answer, (*variable)->size, false);
  (*variable)->address[gpu].store(answer, std::memory_order_release);
  *address = answer;
  return kRtSuccess;
}

// The device address of bytes [offset, offset + count) of `symbol` on the
// current GPU, refused when the range leaves the variable.
int SymbolRange(const void* symbol, size_t count, size_t offset, uint64_t* address) {
  const int gpu = CurrentGpu();
  int status = Usable(gpu);
  if (status != 0) return status;
  Variable* variable = nullptr;
  uint64_t base = 0;
  status = SymbolAddress(symbol, gpu, &variable, &base);
  if (status != 0) return status;
  if (offset > variable->size || count > variable->size - offset) return kRtInvalidValue;
  *address = base + offset;
  return 0;
}

int ToSymbol(const void* symbol, const void* src, size_t count, size_t offset, cudaMemcpyKind kind,
             cudaStream_t stream, bool async, bool per_thread) {
  if (kind != cudaMemcpyHostToDevice && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault) {
    return kRtInvalidMemcpyDirection;
  }
  uint64_t address = 0;
  const int status = SymbolRange(symbol, count, offset, &address);
  if (status != 0) return status;
  return CopyEngine::Copy(reinterpret_cast<void*>(address), src, count, kind, stream, async, per_thread);
}

int FromSymbol(void* dst, const void* symbol, size_t count, size_t offset, cudaMemcpyKind kind, cudaStream_t stream,
               bool async, bool per_thread) {
  if (kind != cudaMemcpyDeviceToHost && kind != cudaMemcpyDeviceToDevice && kind != cudaMemcpyDefault) {
    return kRtInvalidMemcpyDirection;
  }
  uint64_t address = 0;
  const int status = SymbolRange(symbol, count, offset, &address);
  if (status != 0) return status;
  return CopyEngine::Copy(dst, reinterpret_cast<const void*>(address), count, kind, stream, async,
                          per_thread);
}

int AllocatePinned(void** ptr, size_t size, unsigned int flags) {
  if (ptr == nullptr) return kRtInvalidValue;
  // Page-locked memory belongs to a device context, as with the toolkit's
  // runtime: without a GPU there is none.
  if (Layer().gpu_count() == 0) return Usable(0);
  *ptr = PinnedMemory::Get().Allocate(size, flags);
  return *ptr == nullptr ? kRtMemoryAllocation : kRtSuccess;
}

}  // namespace

extern "C" {

cudaError_t cudaMalloc(void** dev_ptr, size_t size) {
  if (dev_ptr == nullptr) return Done(kRtInvalidValue);
  const int gpu = CurrentGpu();
  int status = Usable(gpu);
  if (status == 0) status = StreamCapture::Get().CheckUnsafeCall();
  if (status != 0) return Done(status);
  if (size == 0) {
    *dev_ptr = nullptr;
    return Done(kRtSuccess);
  }
  uint64_t pointer = 0;
  CallPlan plan;
  plan.sink = AnswerSink{&pointer, sizeof(pointer), gpu};
  status = Layer().Send<k_cudaMalloc>(gpu, plan, uint64_t{size});
  if (status != 0) return DoneOn(gpu, status);
  DeviceMemory::Get().Add(gpu, pointer, size, true);
  *dev_ptr = reinterpret_cast<void*>(pointer);
  return Done(kRtSuccess);
}

cudaError_t cudaFree(void* dev_ptr) {
  if (dev_ptr == nullptr) return Done(kRtSuccess);
  DeviceMemory& memory = DeviceMemory::Get();
  const int gpu = memory.FindGpu(Word(dev_ptr), CurrentGpu());
  // Never allocated, freed before, or inside an allocation: refused here,
  // before anything reaches a node.
  if (gpu < 0 || !memory.Remove(gpu, Word(dev_ptr))) return Done(kRtInvalidValue);
  const int status = Usable(gpu);
  if (status != 0) return Done(status);
  CallPlan plan;
  plan.mode = CallMode::kDeferred;
  return DoneOn(gpu, Layer().Send<k_cudaFree>(gpu, plan, Word(dev_ptr)));
}

cudaError_t cudaMemGetInfo(size_t* free_bytes, size_t* total_bytes) {
  if (free_bytes == nullptr || total_bytes == nullptr) return Done(kRtInvalidValue);
  const int gpu = CurrentGpu();
  int status = Usable(gpu);
  if (status != 0) return Done(status);
  uint64_t answer[2] = {0, 0};
  CallPlan plan;
  plan.sink = AnswerSink{answer, sizeof(answer), gpu};
  status = Layer().Send<k_cudaMemGetInfo>(gpu, plan);
  if (status != 0) return DoneOn(gpu, status);
  *free_bytes = answer[0];
  *total_bytes = answer[1];
  return Done(kRtSuccess);
}

cudaError_t cudaMemcpyPeer(void* dst, int dst_device, const void* src, int src_device, size_t count) {
  return Done(CopyEngine::CopyPeer(dst, dst_device, src, src_device, count, nullptr, false, false));
}

cudaError_t cudaMemcpyPeerAsync(void* dst, int dst_device, const void* src, int src_device, size_t count,
                                cudaStream_t stream) {
  return Done(CopyEngine::CopyPeer(dst, dst_device, src, src_device, count, stream, true, false));
}

cudaError_t cudaMallocHost(void** ptr, size_t size) { return Done(AllocatePinned(ptr, size, cudaHostAllocDefault)); }

cudaError_t cudaHostAlloc(void** ptr, size_t size, unsigned int flags) {
  constexpr unsigned int kKnownFlags = cudaHostAllocPortable | cudaHostAllocMapped | cudaHostAllocWriteCombined;
  if ((flags & ~kKnownFlags) != 0) return Done(kRtInvalidValue);
  return Done(AllocatePinned(ptr, size, flags));
}

cudaError_t cudaFreeHost(void* ptr) {
  if (ptr == nullptr) return Done(kRtSuccess);
  return Done(PinnedMemory::Get().Free(ptr) ? kRtSuccess : kRtInvalidValue);
}

cudaError_t cudaMemcpy(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  return DoneOn(CurrentGpu(), CopyEngine::Copy(dst, src, count, kind, nullptr, false, false));
}

cudaError_t cudaMemcpy_ptds(void* dst, const void* src, size_t count, cudaMemcpyKind kind) {
  return DoneOn(CurrentGpu(), CopyEngine::Copy(dst, src, count, kind, nullptr, false, true));
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, size_t count, cudaMemcpyKind kind, cudaStream_t stream) {
  return DoneOn(CurrentGpu(), CopyEngine::Copy(dst, src, count, kind, stream, true, false));
}

cudaError_t cudaMemcpyAsync_ptsz(void* dst, const void* src, size_t count, cudaMemcpyKind kind,
                                 cudaStream_t stream) {
  return DoneOn(CurrentGpu(), CopyEngine::Copy(dst, src, count, kind, stream, true, true));
}

cudaError_t cudaMemset(void* dst, int value, size_t count) {
  return Done(CopyEngine::Set(dst, value, count, nullptr, false, false));
}

cudaError_t cudaMemset_ptds(void* dst, int value, size_t count) {
  return Done(CopyEngine::Set(dst, value, count, nullptr, false, true));
}

cudaError_t cudaMemsetAsync(void* dst, int value, size_t count, cudaStream_t stream) {
  return Done(CopyEngine::Set(dst, value, count, stream, true, false));
}

cudaError_t cudaMemsetAsync_ptsz(void* dst, int value, size_t count, cudaStream_t stream) {
  return Done(CopyEngine::Set(dst, value, count, stream, true, true));
}

cudaError_t cudaMemcpyToSymbol(const void* symbol, const void* src, size_t count, size_t offset,
                               cudaMemcpyKind kind) {
  return Done(ToSymbol(symbol, src, count, offset, kind, nullptr, false, false));
}

cudaError_t cudaMemcpyToSymbol_ptds(const void* symbol, const void* src, size_t count, size_t offset,
                                    cudaMemcpyKind kind) {
  return Done(ToSymbol(symbol, src, count, offset, kind, nullptr, false, true));
}

cudaError_t cudaMemcpyToSymbolAsync(const void* symbol, const void* src, size_t count, size_t offset,
                                    cudaMemcpyKind kind, cudaStream_t stream) {
  return Done(ToSymbol(symbol, src, count, offset, kind, stream, true, false));
}

cudaError_t cudaMemcpyToSymbolAsync_ptsz(const void* symbol, const void* src, size_t count, size_t offset,
                                         cudaMemcpyKind kind, cudaStream_t stream) {
  return Done(ToSymbol(symbol, src, count, offset, kind, stream, true, true));
}

cudaError_t cudaMemcpyFromSymbol(void* dst, const void* symbol, size_t count, size_t offset, cudaMemcpyKind kind) {
  return Done(FromSymbol(dst, symbol, count, offset, kind, nullptr, false, false));
}

cudaError_t cudaMemcpyFromSymbol_ptds(void* dst, const void* symbol, size_t count, size_t offset,
                                      cudaMemcpyKind kind) {
  return Done(FromSymbol(dst, symbol, count, offset, kind, nullptr, false, true));
}

cudaError_t cudaMemcpyFromSymbolAsync(void* dst, const void* symbol, size_t count, size_t offset,
                                      cudaMemcpyKind kind, cudaStream_t stream) {
  return Done(FromSymbol(dst, symbol, count, offset, kind, stream, true, false));
}

cudaError_t cudaMemcpyFromSymbolAsync_ptsz(void* dst, const void* symbol, size_t count, size_t offset,
                                           cudaMemcpyKind kind, cudaStream_t stream) {
  return Done(FromSymbol(dst, symbol, count, offset, kind, stream, true, true));
}

cudaError_t cudaGetSymbolAddress(void** dev_ptr, const void* symbol) {
  if (dev_ptr == nullptr) return Done(kRtInvalidValue);
  const int gpu = CurrentGpu();
  int status = Usable(gpu);
  if (status != 0) return Done(status);
  Variable* variable = nullptr;
  uint64_t address = 0;
  status = SymbolAddress(symbol, gpu, &variable, &address);
  if (status == 0) *dev_ptr = reinterpret_cast<void*>(address);
  return Done(status);
}

cudaError_t cudaPointerGetAttributes(cudaPointerAttributes* attributes, const void* ptr) {
  if (attributes == nullptr) return Done(kRtInvalidValue);
  *attributes = cudaPointerAttributes{};
  attributes->device = -1;
  attributes->type = cudaMemoryTypeUnregistered;
  const int gpu = DeviceMemory::Get().FindGpu(Word(ptr), CurrentGpu());
  if (gpu >= 0) {
    attributes->type = cudaMemoryTypeDevice;
    attributes->device = gpu;
    attributes->devicePointer = const_cast<void*>(ptr);
  } else if (PinnedMemory::Get().Contains(ptr, 1)) {
    attributes->type = cudaMemoryTypeHost;
    attributes->device = CurrentGpu();
    attributes->hostPointer = const_cast<void*>(ptr);
  }
  return Done(kRtSuccess);
}

cudaError_t cudaGetSymbolSize(size_t* size, const void* symbol) {
  if (size == nullptr) return Done(kRtInvalidValue);
  const Variable* variable = ModuleRegistry::Get().FindVariable(symbol);
  if (variable == nullptr) return Done(kRtInvalidSymbol);
  *size = variable->size;
  return Done(kRtSuccess);
}

}  // extern "C"
