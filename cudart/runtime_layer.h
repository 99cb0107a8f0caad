// The interposing layer of our runtime library: a CudaTovrel of the runtime
// module whose two hooks turn each runtime call into the entry described in
// common/runtime_calls.h and bring answers back into the caller's memory.
//
// How a call is prepared is handed from the entry point to the prepare hook
// in a per-thread plan (the hook runs on the calling thread inside
// Dispatch): its mode, a payload piece it owns or borrows, and where a
// fixed-size answer goes. Answers land in caller memory from the response
// hook: copies device to host at the `dst` of the argument block, other
// answers at the sink that the hook leaves in the request's callback slot.
//
// Thread safety: any number of threads may call at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "client/tovrel.h"
#include "common/runtime_call_table.h"
#include "cudart/copy_completion.h"

namespace cudart {

enum class CallMode {
  kSync,      // written at once (after the thread's deferred batch); waits
  kNoWait,    // written at once; a failure is reported by the next sync call
  kDeferred,  // rides in the thread's next record; failures kept by the node
};

// Where a fixed-size answer of a waiting call lands, and the GPU a no-wait
// call ran on (to report its failure); a chunk of a synchronous copy reports
// to its ticket instead. Stored as the request's callback, which Dispatch
// runs as a no-op.
struct AnswerSink {
  void* out = nullptr;
  size_t size = 0;
  int gpu = -1;
  std::shared_ptr<CopyTicket> ticket = nullptr;
  void operator()() const {}
};

struct CallPlan {
  CallMode mode = CallMode::kSync;
  std::string* owned = nullptr;  // moved into the request as its data piece
  const void* borrowed = nullptr;  // copied into the ring when written
  size_t borrowed_size = 0;
  AnswerSink sink;
  // Launch fast path: the argument block carries this many bytes of kernel
  // parameters after its kLaunchArgc words (see Launch).
  uint32_t inline_params = 0;
};

class RuntimeLayer final : public CudaTovrel {
 public:
  // The process's layer; constructed at first use, never destroyed.
  static RuntimeLayer& Get();

  // GPUs of this process; 0 when registration with the daemon failed.
  int gpu_count() const { return static_cast<int>(GetRegisterInfo()->gpu_count); }
  int node_of(int gpu) const { return static_cast<int>(GetRegisterInfo()->gpu_nodes[gpu]); }

  // Sends runtime call kApi with its argument words, as many as its
  // declaration (common/runtime_call_table.h) says; see Call.
  template <uint32_t kApi, typename... Words>
  int Send(int gpu, const CallPlan& plan, Words... words) {
    static_assert(DeclarationOf(kApi).served, "not a declared runtime call");
    static_assert(sizeof...(Words) == DeclarationOf(kApi).argc, "argument words differ from the call's declaration");
    return Call(gpu, plan, kApi, DeclarationOf(kApi).argc, static_cast<uint64_t>(words)...);
  }

  // Forwards runtime call `api` with up to 9 arguments on process GPU `gpu`
  // (the thread's current GPU is left as it was). Returns the call's status
  // (a runtime error number); sync calls also report a failure of an earlier
  // no-wait call on that GPU. A call sent in a way its declaration does not
  // allow is refused with kRtUnknown (logged once): the node would not
  // answer it as the library expects.
  int Call(int gpu, const CallPlan& plan, uint32_t api, uint32_t argc, uint64_t a0 = 0, uint64_t a1 = 0,
           uint64_t a2 = 0, uint64_t a3 = 0, uint64_t a4 = 0, uint64_t a5 = 0, uint64_t a6 = 0, uint64_t a7 = 0,
           uint64_t a8 = 0);

  // A deferred cudaLaunchKernel entry on `gpu`: `args` are its kLaunchArgc
  // argument words, `params` its packed parameter buffer. Buffers of up to
  // kInlineParamBytes travel inside the argument block Dispatch builds, so a
  // launch costs one piece allocation, not two.
  static constexpr uint32_t kInlineParamBytes = 64;
  int Launch(int gpu, const uint64_t (&args)[9], const void* params, uint32_t params_bytes);

 private:
  RuntimeLayer();
  ~RuntimeLayer() override;

  int32_t PrepareRequest(Request* request) override;
  void HandleResponse(Request* request, ResponseView* view) override;
};

}  // namespace cudart
