#include "cudart/runtime_layer.h"

#include <atomic>
#include <cstring>
#include <utility>

#include "common/api_numbers.h"
#include "common/log.h"
#include "common/runtime_calls.h"
#include "cudart/error_state.h"

namespace cudart {
namespace {

// Set by Call right before its Dispatch, consumed by the prepare hook.
thread_local CallPlan next_plan;

uint64_t Argument(const Request* request, size_t i) {
  const std::string& block = request->buffers.front();
  uint64_t value = 0;
  if ((i + 1) * sizeof(value) <= block.size()) std::memcpy(&value, block.data() + i * sizeof(value), sizeof(value));
  return value;
}

// Copies the answer of `request` into caller memory; false when the answer
// lacks the bytes it must carry.
bool DeliverAnswer(const Request* request, const AnswerSink* sink, const ResponseView& view) {
  const uint32_t api = request->header.api;
  if ((api == k_cudaMemcpy || api == k_cudaMemcpyAsync) && Argument(request, 3) == kCopyDeviceToHost) {
    const uint64_t count = Argument(request, 2);
    if (view.PayloadSize() != count) return false;
    std::memcpy(reinterpret_cast<void*>(Argument(request, 0)), view.payload, count);
    return true;
  }
  if (sink == nullptr || sink->out == nullptr) return true;
  if (view.PayloadSize() < sink->size) return false;
  std::memcpy(sink->out, view.payload, sink->size);
  return true;
}

}  // namespace

namespace {

uint8_t TravelOf(CallMode mode) {
  switch (mode) {
    case CallMode::kSync:
      return kTravelWaits;
    case CallMode::kNoWait:
      return kTravelNoWait;
    default:
      return kTravelDeferred;
  }
}

// Whether `api` is sent as its declaration says.
bool Declared(uint32_t api, uint32_t argc, CallMode mode) {
  const RuntimeCallDeclaration declared = DeclarationOf(api);
  if (declared.served && declared.argc == argc && (declared.travel & TravelOf(mode)) != 0) return true;
  static std::atomic<bool> said{false};
  if (!said.exchange(true, std::memory_order_relaxed)) {
    ZANTU_ERROR("runtime call %u sent with %u words in mode %d, against its declaration", api, argc,
                static_cast<int>(mode));
  }
  return false;
}

}  // namespace

RuntimeLayer& RuntimeLayer::Get() {
  // Never destroyed: the response loop may answer while static objects are
  // torn down at exit.
  static RuntimeLayer* const layer = new RuntimeLayer();
  return *layer;
}

RuntimeLayer::RuntimeLayer() { module_ = kModuleRuntime; }

RuntimeLayer::~RuntimeLayer() = default;

int RuntimeLayer::Call(int gpu, const CallPlan& plan, uint32_t api, uint32_t argc, uint64_t a0, uint64_t a1,
                       uint64_t a2, uint64_t a3, uint64_t a4, uint64_t a5, uint64_t a6, uint64_t a7, uint64_t a8) {
  if (!Declared(api, argc, plan.mode)) return kRtUnknown;
  const int previous = GetCurrentGpu();
  if (gpu != previous) SetCurrentGpu(gpu);
  next_plan = plan;
  // Dispatch reads exactly argc of the words; the rest are ignored.
  int status = Dispatch(api, argc, a0, a1, a2, a3, a4, a5, a6, a7, a8);
  // A call turned away before its prepare hook leaves the plan behind; a
  // copy ticket must not outlive its request.
  if (plan.sink.ticket) next_plan = CallPlan{};
  if (gpu != previous) SetCurrentGpu(previous);
  if (plan.mode == CallMode::kSync) {
    const int async = ErrorState::TakeAsyncFailure(gpu);
    if (status == 0) status = async;
  }
  return status;
}

int RuntimeLayer::Launch(int gpu, const uint64_t (&args)[9], const void* params, uint32_t params_bytes) {
  CallPlan plan;
  plan.mode = CallMode::kDeferred;
  if (params_bytes > kInlineParamBytes) {
    std::string piece(static_cast<const char*>(params), params_bytes);
    plan.owned = &piece;
    return Call(gpu, plan, k_cudaLaunchKernel, kLaunchArgc, args[0], args[1], args[2], args[3], args[4], args[5],
                args[6], args[7], args[8]);
  }
  uint64_t words[kInlineParamBytes / sizeof(uint64_t)] = {};
  std::memcpy(words, params, params_bytes);
  plan.inline_params = params_bytes;
  const int previous = GetCurrentGpu();
  if (gpu != previous) SetCurrentGpu(gpu);
  next_plan = plan;
  // Dispatch packs all 17 words; the prepare hook cuts the block back to the
  // launch's arguments and its parameter bytes.
  const int status = Dispatch(k_cudaLaunchKernel, kLaunchArgc + 8, args[0], args[1], args[2], args[3], args[4],
                              args[5], args[6], args[7], args[8], words[0], words[1], words[2], words[3], words[4],
                              words[5], words[6], words[7]);
  if (gpu != previous) SetCurrentGpu(previous);
  return status;
}

int32_t RuntimeLayer::PrepareRequest(Request* request) {
  CallPlan plan = std::exchange(next_plan, CallPlan{});
  if (request->header.api == k_cudaLaunchKernel && request->header.argc > kLaunchArgc) {
    // Only Launch passes more words than a runtime entry has arguments.
    request->header.argc = kLaunchArgc;
    request->buffers.front().resize(kLaunchArgc * sizeof(uint64_t) + plan.inline_params);
  }
  if (plan.mode == CallMode::kDeferred) request->header.flags |= kRequestDeferrable;
  if (plan.mode == CallMode::kNoWait) request->header.flags |= kRequestNoWait;
  if (plan.owned != nullptr) request->buffers.push_back(std::move(*plan.owned));
  if (plan.borrowed != nullptr && plan.borrowed_size != 0) {
    request->borrowed.push_back(BorrowedPiece{plan.borrowed, plan.borrowed_size});
  }
  if (plan.sink.out != nullptr || plan.mode == CallMode::kNoWait) request->callback = plan.sink;
  return 0;
}

void RuntimeLayer::HandleResponse(Request* request, ResponseView* view) {
  const uint32_t flags = request->header.flags;
  // The node keeps a deferred entry's failure for the next sync entry.
  if ((flags & kRequestDeferrable) != 0) return;
  const AnswerSink* sink = request->callback.target<AnswerSink>();
  const bool waits = (flags & kRequestNoWait) == 0;
  const uint32_t result = view->Result();
  if (!waits && sink != nullptr && sink->ticket) {
    int status = static_cast<int>(result);
    if (status == 0 && !DeliverAnswer(request, sink, *view)) status = kRtUnknown;
    sink->ticket->Answered(status);
    return;
  }
  if (result != 0) {
    if (!waits && sink != nullptr) ErrorState::NoteAsyncFailure(sink->gpu, static_cast<int>(result));
    return;
  }
  if (DeliverAnswer(request, sink, *view)) return;
  if (waits) {
    view->SetResult(kRtUnknown);
  } else if (sink != nullptr) {
    ErrorState::NoteAsyncFailure(sink->gpu, kRtUnknown);
  }
}

}  // namespace cudart
