// Runs the runtime module's request entries (common/runtime_calls.h) of one
// client on a GpuBackend: decodes each entry's arguments and data, checks
// them, and applies the deferred-error rule: the first failure of a deferred
// entry is kept per GPU and answered, and cleared, by the next synchronizing
// entry on that GPU that does not fail itself.
//
// Thread safety: one object per client, used by that client's worker only.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "common/records.h"
#include "node/call_answer.h"
#include "node/gpu_backend.h"

namespace zantu_node {

class RuntimeExecutor {
 public:
  // `backend` must outlive the executor.
  RuntimeExecutor(GpuBackend* backend, uint32_t pid);

  RuntimeExecutor(const RuntimeExecutor&) = delete;
  RuntimeExecutor& operator=(const RuntimeExecutor&) = delete;

  // Runs one entry on `gpu`. `payload` holds entry.size bytes (argument
  // block, then data), valid during the call and, for an answered entry,
  // while `answer` is sent. Fills `answer` (result and payload) whether the
  // entry is answered or not. With `data_in_place` the entry is a
  // host-to-device copy whose data the reading thread has already received
  // at its destination (GpuBackend::DirectCopyTarget), and `payload` holds
  // its argument block only.
  void Execute(uint32_t gpu, const RequestHeader& entry, const char* payload, CallAnswer* answer,
               bool data_in_place = false);

  // True for the functions that report a deferred failure.
  static bool IsSync(uint32_t api);

 private:
  uint32_t Run(uint32_t gpu, const RequestHeader& entry, const char* payload, CallAnswer* answer);
  uint32_t RunDevice(uint32_t gpu, uint32_t api, const char* payload, CallAnswer* answer);
  uint32_t RunStreamOrEvent(uint32_t gpu, uint32_t api, const char* payload, CallAnswer* answer);
  uint32_t RunCopy(uint32_t gpu, const RequestHeader& entry, const char* payload, CallAnswer* answer);
  uint32_t RunLaunch(uint32_t gpu, const RequestHeader& entry, const char* payload);
  uint32_t RunRegistration(const RequestHeader& entry, const char* payload);

  GpuBackend* const backend_;
  const uint32_t pid_;
  bool data_in_place_ = false;  // for the entry being run
  // GPU -> the first failure of a deferred entry not reported yet.
  std::unordered_map<uint32_t, uint32_t> deferred_failure_;
};

}  // namespace zantu_node
