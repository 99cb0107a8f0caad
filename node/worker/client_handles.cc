#include "node/worker/client_handles.h"

#include "common/records.h"
#include "common/runtime_calls.h"

namespace zantu_node {
namespace {

// 0 and cudaStreamLegacy name the legacy stream, kPerThreadStream the
// per-thread one.
bool IsDefaultStream(uint64_t stream) { return stream <= kPerThreadStream; }

uint32_t Add(std::unordered_set<uint64_t>* handles, uint64_t handle) {
  if (handles->count(handle) != 0) return kRtInvalidResourceHandle;
  if (handles->size() >= ClientHandles::kMaxPerGpu) return kRtMemoryAllocation;
  handles->insert(handle);
  return kRtSuccess;
}

}  // namespace

uint32_t ClientHandles::AddStream(uint32_t gpu, uint64_t stream) {
  if (IsDefaultStream(stream)) return kRtInvalidValue;
  return Add(&gpus_[gpu].streams, stream);
}

uint32_t ClientHandles::AddEvent(uint32_t gpu, uint64_t event) {
  if (event == 0) return kRtInvalidValue;
  return Add(&gpus_[gpu].events, event);
}

void ClientHandles::RemoveStream(uint32_t gpu, uint64_t stream) { gpus_[gpu].streams.erase(stream); }

void ClientHandles::RemoveEvent(uint32_t gpu, uint64_t event) { gpus_[gpu].events.erase(event); }

void ClientHandles::ForgetGpu(uint32_t gpu) { gpus_.erase(gpu); }

bool ClientHandles::HasStream(uint32_t gpu, uint64_t stream) const {
  if (IsDefaultStream(stream)) return true;
  auto it = gpus_.find(gpu);
  return it != gpus_.end() && it->second.streams.count(stream) != 0;
}

bool ClientHandles::HasEvent(uint32_t gpu, uint64_t event) const {
  auto it = gpus_.find(gpu);
  return it != gpus_.end() && it->second.events.count(event) != 0;
}

bool ClientHandles::Check(uint32_t gpu, HandleArgs handles, const char* words, uint32_t count) const {
  for (uint32_t i = 0; i < count && i < 16; ++i) {
    const bool stream = (handles.streams >> i & 1u) != 0;
    const bool event = (handles.events >> i & 1u) != 0;
    if (!stream && !event) continue;
    const uint64_t word = LoadRecord<uint64_t>(words + static_cast<size_t>(i) * sizeof(uint64_t));
    if (stream ? !HasStream(gpu, word) : !HasEvent(gpu, word)) return false;
  }
  return true;
}

}  // namespace zantu_node
