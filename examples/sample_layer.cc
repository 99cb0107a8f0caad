#include "examples/sample_layer.h"

#include <algorithm>
#include <cstring>

#include "common/api_numbers.h"

namespace sample {
namespace {

// How the next call of this thread is to be prepared; set by the public
// method right before its Dispatch and consumed by the prepare hook.
struct CallPlan {
  CallMode mode = CallMode::kSync;
  const void* data = nullptr;  // appended after the argument block
  size_t length = 0;
  int gpu = -1;  // >= 0: switch to this GPU for the call
};

thread_local CallPlan next_call;

// Argument blocks (piece 0), as the node and HandleResponse read them:
//   k_testEcho        [out, out_capacity], then the data piece
//   k_testFail        [result]
//   k_testDelay       [micros]
//   k_testCompressed  [length, seed, out]
//   kLocalGetDevice   [int* gpu]
//   kLocalSetDevice   [gpu]
uint64_t Argument(const Request* request, size_t i) {
  const std::string& block = request->buffers.front();
  uint64_t value = 0;
  if ((i + 1) * sizeof(value) <= block.size()) std::memcpy(&value, block.data() + i * sizeof(value), sizeof(value));
  return value;
}

uint64_t Word(const void* p) { return reinterpret_cast<uint64_t>(p); }

}  // namespace

SampleLayer::SampleLayer() { module_ = kModuleTest; }

SampleLayer::~SampleLayer() = default;

int SampleLayer::Echo(const void* data, size_t length, void* out, size_t out_capacity, CallMode mode) {
  next_call = CallPlan{mode, data, length, -1};
  return Dispatch(k_testEcho, 2, Word(out), uint64_t{out_capacity});
}

int SampleLayer::EchoOnGpu(int gpu, const void* data, size_t length, void* out, size_t out_capacity) {
  next_call = CallPlan{CallMode::kSync, data, length, gpu};
  return Dispatch(k_testEcho, 2, Word(out), uint64_t{out_capacity});
}

int SampleLayer::Fail(uint32_t result, CallMode mode) {
  next_call = CallPlan{mode, nullptr, 0, -1};
  return Dispatch(k_testFail, 1, uint64_t{result});
}

int SampleLayer::Delay(uint32_t micros, CallMode mode) {
  next_call = CallPlan{mode, nullptr, 0, -1};
  return Dispatch(k_testDelay, 1, uint64_t{micros});
}

int SampleLayer::Compressed(uint64_t length, uint64_t seed, void* out) {
  next_call = CallPlan{};
  return Dispatch(k_testCompressed, 3, length, seed, Word(out));
}

int SampleLayer::GetDevice(int* gpu) {
  next_call = CallPlan{};
  return Dispatch(kLocalGetDevice, 1, Word(gpu));
}

int SampleLayer::SetDevice(int gpu) {
  next_call = CallPlan{};
  return Dispatch(kLocalSetDevice, 1, static_cast<uint64_t>(static_cast<int64_t>(gpu)));
}

int32_t SampleLayer::PrepareRequest(Request* request) {
  const CallPlan plan = next_call;
  next_call = CallPlan{};
  switch (request->header.api) {
    case kLocalGetDevice:
      *reinterpret_cast<int*>(Argument(request, 0)) = GetCurrentGpu();
      return kCompletedLocally;
    case kLocalSetDevice: {
      const int64_t gpu = static_cast<int64_t>(Argument(request, 0));
      if (gpu < 0 || gpu >= static_cast<int64_t>(GetRegisterInfo()->gpu_count)) return kInvalidDevice;
      SetCurrentGpu(static_cast<int>(gpu));
      return kCompletedLocally;
    }
    case k_testEcho:
      if (plan.length != 0) request->buffers.emplace_back(static_cast<const char*>(plan.data), plan.length);
      break;
    default:
      break;
  }
  if (plan.mode == CallMode::kNoWait) request->header.flags |= kRequestNoWait;
  if (plan.mode == CallMode::kDeferred) request->header.flags |= kRequestDeferrable;
  if (plan.gpu >= 0) SwitchGpuWithRestore(request, plan.gpu);
  return 0;
}

void SampleLayer::HandleResponse(Request* request, ResponseView* view) {
  const bool caller_waits = (request->header.flags & (kRequestNoWait | kRequestDeferrable)) == 0;
  uint32_t result = view->Result();
  if (result == 0) {
    const uint64_t size = view->PayloadSize();
    switch (request->header.api) {
      case k_testEcho: {
        // The node sends back the argument block, then the data.
        const uint64_t block = request->buffers.front().size();
        auto* out = reinterpret_cast<uint8_t*>(Argument(request, 0));
        if (size < block) {
          result = kShortAnswer;
        } else if (out != nullptr) {
          std::memcpy(out, view->payload + block, std::min<uint64_t>(size - block, Argument(request, 1)));
        }
        break;
      }
      case k_testCompressed: {
        const uint64_t length = Argument(request, 0);
        auto* out = reinterpret_cast<uint8_t*>(Argument(request, 2));
        if (size < length) {
          result = kShortAnswer;
        } else if (out != nullptr) {
          std::memcpy(out, view->payload, length);
        }
        break;
      }
      default:
        break;
    }
    if (result != 0 && caller_waits) view->SetResult(result);
  }
  if (!caller_waits) {
    if (result != 0) failures_without_caller_.fetch_add(1, std::memory_order_relaxed);
    answers_without_caller_.fetch_add(1, std::memory_order_release);
  }
}

}  // namespace sample
