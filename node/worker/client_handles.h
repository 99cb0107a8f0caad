// The streams and events one client has made on each GPU of the node, kept
// once for both backends: every argument word the call's declaration marks
// as a handle (common/runtime_call_table.h) is checked here before any
// backend sees it, so a backend meets only handles the client made and has
// not destroyed. The default streams (handles 0, 1 and 2) always exist.
//
// Each GPU holds at most kMaxPerGpu streams and as many events, so that no
// client can grow its worker without bound.
//
// Thread safety: one object per client, used by that client's worker only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>

#include "common/runtime_call_table.h"

namespace zantu_node {

class ClientHandles {
 public:
  static constexpr size_t kMaxPerGpu = 65536;

  // kRtSuccess; kRtInvalidValue for a default stream's handle or event 0;
  // kRtInvalidResourceHandle when the handle is in use; kRtMemoryAllocation
  // past the limit.
  uint32_t AddStream(uint32_t gpu, uint64_t stream);
  uint32_t AddEvent(uint32_t gpu, uint64_t event);
  void RemoveStream(uint32_t gpu, uint64_t stream);
  void RemoveEvent(uint32_t gpu, uint64_t event);
  // The GPU's context went (a reset): its handles with it.
  void ForgetGpu(uint32_t gpu);

  // Whether every word `handles` marks among the `count` little-endian
  // argument words at `words` (any alignment) names a live stream or event
  // of the client on `gpu`.
  bool Check(uint32_t gpu, HandleArgs handles, const char* words, uint32_t count) const;

 private:
  struct Gpu {
    std::unordered_set<uint64_t> streams;
    std::unordered_set<uint64_t> events;
  };
  bool HasStream(uint32_t gpu, uint64_t stream) const;
  bool HasEvent(uint32_t gpu, uint64_t event) const;

  std::unordered_map<uint32_t, Gpu> gpus_;
};

}  // namespace zantu_node
