#include "tests/driver_stand_in/stand_in_driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <unistd.h>

namespace zantu_stand_in {
namespace {

constexpr int kDefaultGpus = 2;
constexpr int kMaxGpus = 64;
constexpr uint64_t kDefaultMemory = uint64_t{4} << 30;
constexpr unsigned kEventFlags = CU_EVENT_BLOCKING_SYNC | CU_EVENT_DISABLE_TIMING | CU_EVENT_INTERPROCESS;

thread_local CUctx_st* current_context = nullptr;

// "4G", "256M", "65536": bytes; 0 when unreadable.
uint64_t ParseBytes(const char* text) {
  char* end = nullptr;
  const uint64_t value = std::strtoull(text, &end, 10);
  if (end == text) return 0;
  switch (*end) {
    case 'K': case 'k': return value << 10;
    case 'M': case 'm': return value << 20;
    case 'G': case 'g': return value << 30;
    default: return *end == '\0' ? value : 0;
  }
}

int GpusFromEnvironment() {
  const char* text = std::getenv("ZANTU_STAND_IN_GPUS");
  if (text == nullptr) return kDefaultGpus;
  const int gpus = std::atoi(text);
  return gpus < 0 ? 0 : (gpus > kMaxGpus ? kMaxGpus : gpus);
}

uint64_t MemoryFromEnvironment() {
  const char* text = std::getenv("ZANTU_STAND_IN_MEMORY");
  const uint64_t bytes = text != nullptr ? ParseBytes(text) : 0;
  return bytes != 0 ? bytes : kDefaultMemory;
}

bool IsDefaultStream(CUstream stream) {
  return stream == nullptr || stream == CU_STREAM_LEGACY || stream == CU_STREAM_PER_THREAD;
}

}  // namespace

StandInDriver& StandInDriver::Get() {
  // Never destroyed: a program's threads may call in while it exits.
  static StandInDriver* driver = new StandInDriver();
  return *driver;
}

CUresult StandInDriver::Init(unsigned flags) {
  if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  if (initialized_) return getpid() == init_pid_ ? CUDA_SUCCESS : CUDA_ERROR_NOT_INITIALIZED;
  init_pid_ = getpid();
  memory_per_device_ = MemoryFromEnvironment();
  const int gpus = GpusFromEnvironment();
  for (int i = 0; i < gpus; ++i) {
    Device device;
    device.name = "Zantu Stand-In GPU " + std::to_string(i);
    // Stable and distinct per index.
    std::memcpy(device.uuid.bytes, "zantu-stand-in", 14);
    device.uuid.bytes[15] = static_cast<char>(i);
    device.primary = std::make_unique<CUctx_st>();
    device.primary->device = i;
    devices_.push_back(std::move(device));
  }
  if (const char* paths = std::getenv("ZANTU_STAND_IN_KERNELS"); paths != nullptr) LoadKernels(paths);
  initialized_ = true;
  return CUDA_SUCCESS;
}

void StandInDriver::LoadKernels(const char* paths) {
  std::vector<std::string> list;
  std::istringstream text(paths);
  for (std::string path; std::getline(text, path, ':');) {
    if (!path.empty()) list.push_back(path);
  }
  if (!kernels_.Load(list)) std::fprintf(stderr, "driver stand-in: the kernel libraries %s did not load\n", paths);
}

CUresult StandInDriver::CheckDevice(CUdevice device) {
  if (!Initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (device < 0 || static_cast<size_t>(device) >= devices_.size()) return CUDA_ERROR_INVALID_DEVICE;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::DeviceCount(int* count) {
  if (count == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  if (!Initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  *count = static_cast<int>(devices_.size());
  return CUDA_SUCCESS;
}

CUresult StandInDriver::DeviceGet(CUdevice* device, int ordinal) {
  if (device == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  if (const CUresult result = CheckDevice(ordinal); result != CUDA_SUCCESS) return result;
  *device = ordinal;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::DeviceName(char* name, int length, CUdevice device) {
  if (name == nullptr || length <= 0) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  if (const CUresult result = CheckDevice(device); result != CUDA_SUCCESS) return result;
  std::snprintf(name, static_cast<size_t>(length), "%s", devices_[device].name.c_str());
  return CUDA_SUCCESS;
}

CUresult StandInDriver::DeviceTotalMem(size_t* bytes, CUdevice device) {
  if (bytes == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  if (const CUresult result = CheckDevice(device); result != CUDA_SUCCESS) return result;
  *bytes = memory_per_device_;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::DeviceUuid(CUuuid* uuid, CUdevice device) {
  if (uuid == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  if (const CUresult result = CheckDevice(device); result != CUDA_SUCCESS) return result;
  *uuid = devices_[device].uuid;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::PrimaryRetain(CUcontext* context, CUdevice device) {
  if (context == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  if (const CUresult result = CheckDevice(device); result != CUDA_SUCCESS) return result;
  CUctx_st* primary = devices_[device].primary.get();
  ++primary->retains;
  *context = primary;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::PrimaryRelease(CUdevice device) {
  zantu::MutexLock lock(&mutex_);
  if (const CUresult result = CheckDevice(device); result != CUDA_SUCCESS) return result;
  CUctx_st* primary = devices_[device].primary.get();
  if (primary->retains == 0) return CUDA_ERROR_INVALID_CONTEXT;
  // The last release destroys the context's resources; the handle stays
  // valid for a later retain.
  if (--primary->retains == 0) Clear(primary);
  return CUDA_SUCCESS;
}

CUresult StandInDriver::PrimaryReset(CUdevice device) {
  zantu::MutexLock lock(&mutex_);
  if (const CUresult result = CheckDevice(device); result != CUDA_SUCCESS) return result;
  // Every resource goes, and the error with them; retains and the handle stay.
  Clear(devices_[device].primary.get());
  return CUDA_SUCCESS;
}

void StandInDriver::Clear(CUctx_st* context) {
  for (const auto& allocation : context->allocations) std::free(reinterpret_cast<void*>(allocation.first));
  context->allocations.clear();
  context->globals.clear();
  context->used = 0;
  context->streams.clear();
  context->events.clear();
  context->modules.clear();
  // Peer mappings go both ways with the context.
  context->peers.clear();
  for (Device& device : devices_) device.primary->peers.erase(context);
  context->sticky = CUDA_SUCCESS;
}

CUresult StandInDriver::SetCurrent(CUcontext context) {
  zantu::MutexLock lock(&mutex_);
  if (!Initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (context != nullptr) {
    bool known = false;
    for (const Device& device : devices_) known = known || device.primary.get() == context;
    if (!known) return CUDA_ERROR_INVALID_CONTEXT;
  }
  current_context = context;
  return CUDA_SUCCESS;
}

bool StandInDriver::Initialized() const {
  // As with the driver, a process forked from one that initialised it
  // cannot use it: the node must fork its workers from a process that never
  // loaded the driver.
  return initialized_ && getpid() == init_pid_;
}

CUresult StandInDriver::Current(CUctx_st** context) {
  if (!Initialized()) return CUDA_ERROR_NOT_INITIALIZED;
  if (current_context == nullptr) return CUDA_ERROR_INVALID_CONTEXT;
  if (current_context->retains == 0) return CUDA_ERROR_CONTEXT_IS_DESTROYED;
  if (current_context->sticky != CUDA_SUCCESS) return current_context->sticky;
  *context = current_context;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::Synchronize() {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  return Current(&context);
}

CUresult StandInDriver::PeerAccess(CUcontext peer, unsigned flags, bool enable) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  bool known = false;
  for (const Device& device : devices_) known = known || device.primary.get() == peer;
  if (!known || peer->retains == 0) return CUDA_ERROR_INVALID_CONTEXT;
  if (peer == context) return CUDA_ERROR_INVALID_DEVICE;
  if (!enable) return context->peers.erase(peer) != 0 ? CUDA_SUCCESS : CUDA_ERROR_PEER_ACCESS_NOT_ENABLED;
  if (flags != 0) return CUDA_ERROR_INVALID_VALUE;
  return context->peers.insert(peer).second ? CUDA_SUCCESS : CUDA_ERROR_PEER_ACCESS_ALREADY_ENABLED;
}

bool StandInDriver::Owns(const CUctx_st& context, CUstream stream) {
  return IsDefaultStream(stream) || context.streams.count(stream) != 0;
}

bool StandInDriver::Inside(const CUctx_st& context, uint64_t pointer, uint64_t count) {
  for (const auto* ranges : {&context.allocations, &context.globals}) {
    auto it = ranges->upper_bound(pointer);
    if (it == ranges->begin()) continue;
    --it;
    const uint64_t offset = pointer - it->first;
    if (offset < it->second && count <= it->second - offset) return true;
  }
  return false;
}

CUresult StandInDriver::MemAlloc(CUdeviceptr* pointer, size_t size) {
  if (pointer == nullptr || size == 0) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  const uint64_t rounded = (uint64_t{size} + kAllocationAlignment - 1) / kAllocationAlignment * kAllocationAlignment;
  if (rounded < size || rounded > memory_per_device_ - context->used) return CUDA_ERROR_OUT_OF_MEMORY;
  void* storage = std::aligned_alloc(kAllocationAlignment, rounded);
  if (storage == nullptr) return CUDA_ERROR_OUT_OF_MEMORY;
  context->used += rounded;
  context->allocations[reinterpret_cast<uint64_t>(storage)] = size;
  *pointer = reinterpret_cast<CUdeviceptr>(storage);
  return CUDA_SUCCESS;
}

CUresult StandInDriver::MemFree(CUdeviceptr pointer) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (pointer == 0) return CUDA_SUCCESS;
  auto it = context->allocations.find(pointer);
  if (it == context->allocations.end()) return CUDA_ERROR_INVALID_VALUE;
  context->used -= (it->second + kAllocationAlignment - 1) / kAllocationAlignment * kAllocationAlignment;
  std::free(reinterpret_cast<void*>(pointer));
  context->allocations.erase(it);
  return CUDA_SUCCESS;
}

CUresult StandInDriver::MemGetInfo(size_t* free, size_t* total) {
  if (free == nullptr || total == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  *total = memory_per_device_;
  *free = memory_per_device_ - context->used;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::Copy(void* dst, const void* src, size_t count, CopyKind kind, CUstream stream) {
  if (dst == nullptr || src == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (!Owns(*context, stream)) return CUDA_ERROR_INVALID_HANDLE;
  const bool dst_on_device = kind != CopyKind::kDeviceToHost;
  const bool src_on_device = kind != CopyKind::kHostToDevice;
  if ((dst_on_device && !Inside(*context, reinterpret_cast<uint64_t>(dst), count)) ||
      (src_on_device && !Inside(*context, reinterpret_cast<uint64_t>(src), count))) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  if (count != 0) std::memmove(dst, src, count);
  return CUDA_SUCCESS;
}

CUresult StandInDriver::MemsetD8(CUdeviceptr dst, unsigned char value, size_t count, CUstream stream) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (!Owns(*context, stream)) return CUDA_ERROR_INVALID_HANDLE;
  if (!Inside(*context, dst, count)) return CUDA_ERROR_INVALID_VALUE;
  if (count != 0) std::memset(reinterpret_cast<void*>(dst), value, count);
  return CUDA_SUCCESS;
}

CUresult StandInDriver::StreamCreate(CUstream* stream, unsigned flags) {
  if (stream == nullptr || (flags & ~static_cast<unsigned>(CU_STREAM_NON_BLOCKING)) != 0) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  auto created = std::make_unique<CUstream_st>();
  created->context = context;
  created->flags = flags;
  *stream = created.get();
  context->streams.emplace(created.get(), std::move(created));
  return CUDA_SUCCESS;
}

CUresult StandInDriver::StreamDestroy(CUstream stream) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (context->streams.erase(stream) == 0) return CUDA_ERROR_INVALID_HANDLE;
  return CUDA_SUCCESS;
}

CUresult StandInDriver::StreamReady(CUstream stream) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  return Owns(*context, stream) ? CUDA_SUCCESS : CUDA_ERROR_INVALID_HANDLE;
}

CUresult StandInDriver::StreamWaitEvent(CUstream stream, CUevent event, unsigned flags) {
  if ((flags & ~static_cast<unsigned>(CU_EVENT_WAIT_EXTERNAL)) != 0) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (!Owns(*context, stream) || context->events.count(event) == 0) return CUDA_ERROR_INVALID_HANDLE;
  return CUDA_SUCCESS;  // the event's work is done already
}

CUresult StandInDriver::EventCreate(CUevent* event, unsigned flags) {
  if (event == nullptr || (flags & ~kEventFlags) != 0) return CUDA_ERROR_INVALID_VALUE;
  // An interprocess event must not carry timing.
  if ((flags & CU_EVENT_INTERPROCESS) != 0 && (flags & CU_EVENT_DISABLE_TIMING) == 0) {
    return CUDA_ERROR_INVALID_VALUE;
  }
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  auto created = std::make_unique<CUevent_st>();
  created->context = context;
  created->flags = flags;
  *event = created.get();
  context->events.emplace(created.get(), std::move(created));
  return CUDA_SUCCESS;
}

CUresult StandInDriver::EventRecord(CUevent event, CUstream stream) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (!Owns(*context, stream) || context->events.count(event) == 0) return CUDA_ERROR_INVALID_HANDLE;
  event->recorded = true;
  event->when = std::chrono::steady_clock::now();
  return CUDA_SUCCESS;
}

CUresult StandInDriver::EventReady(CUevent event) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  return context->events.count(event) != 0 ? CUDA_SUCCESS : CUDA_ERROR_INVALID_HANDLE;
}

CUresult StandInDriver::EventElapsedTime(float* ms, CUevent start, CUevent end) {
  if (ms == nullptr) return CUDA_ERROR_INVALID_VALUE;
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (context->events.count(start) == 0 || context->events.count(end) == 0) return CUDA_ERROR_INVALID_HANDLE;
  // Events without timing, or never recorded, have no time to compare.
  if (((start->flags | end->flags) & CU_EVENT_DISABLE_TIMING) != 0) return CUDA_ERROR_INVALID_HANDLE;
  if (!start->recorded || !end->recorded) return CUDA_ERROR_INVALID_HANDLE;
  *ms = std::chrono::duration<float, std::milli>(end->when - start->when).count();
  return CUDA_SUCCESS;
}

CUresult StandInDriver::EventDestroy(CUevent event) {
  zantu::MutexLock lock(&mutex_);
  CUctx_st* context = nullptr;
  if (const CUresult result = Current(&context); result != CUDA_SUCCESS) return result;
  if (context->events.erase(event) == 0) return CUDA_ERROR_INVALID_HANDLE;
  return CUDA_SUCCESS;
}

}  // namespace zantu_stand_in
