// Runs the runtime module's request entries (common/runtime_calls.h) of one
// client on a GpuBackend: decodes each entry's arguments and data, checks
// them, and applies the deferred-error rule: the first failure of a deferred
// entry is kept per GPU and answered, and cleared, by the next synchronizing
// entry on that GPU that does not fail itself. A kernel that met an illegal
// address or failed breaks the client's context, as on a GPU: every later
// entry answers that error (the client must start again).
//
// Thread safety: one object per client, used by that client's worker only.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "common/records.h"
#include "node/backends/call_answer.h"
#include "node/backends/gpu_backend.h"

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
  // entry is answered or not.
  void Execute(uint32_t gpu, const RequestHeader& entry, const char* payload, CallAnswer* answer);

  // Deferred work on `gpu` failed with `result` outside this executor.
  void NoteDeferredFailure(uint32_t gpu, uint32_t result);

  // True for the functions that report a deferred failure.
  static bool IsSync(uint32_t api);
  // True for the results after which the client's context is broken.
  static bool IsSticky(uint32_t result);

 private:
  uint32_t Run(uint32_t gpu, const RequestHeader& entry, const char* payload, CallAnswer* answer);
  uint32_t RunDevice(uint32_t gpu, uint32_t api, const char* payload, CallAnswer* answer);
  uint32_t RunStreamOrEvent(uint32_t gpu, uint32_t api, const char* payload, CallAnswer* answer);
  uint32_t RunCopy(uint32_t gpu, const RequestHeader& entry, const char* payload, CallAnswer* answer);
  uint32_t RunLaunch(uint32_t gpu, const RequestHeader& entry, const char* payload);
  uint32_t RunRegistration(const RequestHeader& entry, const char* payload);

  GpuBackend* const backend_;
  const uint32_t pid_;
  // GPU -> the error that broke its context, until a reset.
  std::unordered_map<uint32_t, uint32_t> sticky_;
  // GPU -> the first failure of a deferred entry not reported yet.
  std::unordered_map<uint32_t, uint32_t> deferred_failure_;
};

}  // namespace zantu_node
