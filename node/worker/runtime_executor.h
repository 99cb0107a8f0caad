// Runs the runtime module's request entries (common/runtime_calls.h) of one
// client on a GpuBackend: decodes each entry's arguments and data, checks
// them, and applies the deferred-error rule: the first failure of a deferred
// entry is kept per GPU and answered, and cleared, by the next synchronizing
// entry on that GPU that does not fail itself; failures of work the backend
// ran after answering (TakeAsyncFailure) report the same way. A kernel that
// met an illegal address or failed breaks the client's context, as on a GPU:
// every later entry answers that error (until a reset).
//
// Thread safety: one object per client, used by that client's worker only.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "common/records.h"
#include "common/runtime_call_table.h"
#include "node/backends/call_answer.h"
#include "node/backends/gpu_backend.h"
#include "node/worker/client_handles.h"

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
  // One entry being run: its GPU, header and payload (argument words, then
  // data), and where its answer goes.
  struct Call {
    uint32_t gpu;
    const RequestHeader& entry;
    const char* payload;
    CallAnswer* answer;
    uint64_t Arg(uint32_t index) const;
    const char* Data() const;
    uint64_t DataSize() const;
  };
  using Handler = uint32_t (RuntimeExecutor::*)(const Call& call);

  uint32_t Run(const Call& call);
  // Answers a synchronizing entry that succeeded with the GPU's failure
  // not reported yet, if any.
  void ReportDeferredFailure(uint32_t gpu, CallAnswer* answer);
  uint32_t SetPeerAccess(const Call& call, bool enable);
  static const Handler* Handlers();

  // One handler per declared call (common/runtime_call_table.h); the
  // dispatch table is made from the declarations, so a call without its
  // handler does not build.
#define ZANTU_RUNTIME_HANDLER(name, argc, travel, sync, handles) uint32_t On_##name(const Call& call);
  ZANTU_RUNTIME_CALLS(ZANTU_RUNTIME_HANDLER)
#undef ZANTU_RUNTIME_HANDLER

  GpuBackend* const backend_;
  const uint32_t pid_;
  ClientHandles handles_;
  // GPU -> the error that broke its context, until a reset.
  std::unordered_map<uint32_t, uint32_t> sticky_;
  // GPU -> the first failure of a deferred entry not reported yet.
  std::unordered_map<uint32_t, uint32_t> deferred_failure_;
};

}  // namespace zantu_node
