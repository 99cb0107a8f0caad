// A sample interposing layer: a CudaTovrel whose calls drive the reference
// node's test module (common/test_module.h). It shows what a real layer does
// in its two hooks:
//
// - PrepareRequest appends payload pieces after the argument block, marks
//   calls no-wait or deferrable, switches GPUs for one call with
//   SwitchGpuWithRestore, and completes calls that need no GPU itself.
// - HandleResponse copies answer payloads into the caller's buffer, whose
//   address travels as a call argument (the node echoes the argument block,
//   and the request keeps it in piece 0 until it is released).
//
// How a call is prepared is passed from the public method to the prepare hook
// in a per-thread slot: the hook runs on the calling thread inside Dispatch.
//
// Thread safety: any number of threads may call at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client/tovrel.h"

namespace sample {

enum class CallMode {
  kSync,      // the caller blocks until the answer has been handled
  kNoWait,    // returns once written; the answer is handled later
  kDeferred,  // returns at once; travels with the thread's next call
};

// Functions the layer answers itself; never sent to a node.
constexpr uint32_t kLocalGetDevice = 0x100;
constexpr uint32_t kLocalSetDevice = 0x101;

// Statuses of the layer's own making.
constexpr int32_t kInvalidDevice = 101;  // SetDevice outside the process's GPUs
constexpr int32_t kShortAnswer = 102;    // an answer without the data it must carry

class SampleLayer final : public CudaTovrel {
 public:
  SampleLayer();
  ~SampleLayer() override;

  // Sends `length` bytes to the current GPU's node, which sends them back.
  // The echoed bytes (at most `out_capacity`) are copied to `out` when the
  // answer is handled: before return for kSync, later for kNoWait (then `out`
  // must stay valid until answers_without_caller() has counted the answer);
  // `out` may be null. A deferred echo is answered only when it is the last
  // of its batch.
  int Echo(const void* data, size_t length, void* out, size_t out_capacity, CallMode mode = CallMode::kSync);

  // A synchronous Echo on process GPU `gpu`; the thread's current GPU is
  // restored when the call succeeds and stays `gpu` when it fails.
  int EchoOnGpu(int gpu, const void* data, size_t length, void* out, size_t out_capacity);

  // Asks the node to answer with status `result`.
  int Fail(uint32_t result, CallMode mode = CallMode::kSync);

  // Asks the node to wait `micros` microseconds before answering.
  int Delay(uint32_t micros, CallMode mode = CallMode::kSync);

  // Asks the node for `length` bytes TestPatternByte(seed, 0 .. length-1),
  // which it sends compressed; they land in `out` (room for `length`).
  int Compressed(uint64_t length, uint64_t seed, void* out);

  // Answered by the layer itself from the thread's context.
  int GetDevice(int* gpu);
  int SetDevice(int gpu);

  // Answers handled for calls nobody waited on (no-wait and deferred), and
  // how many of them carried a non-zero status, which no caller saw.
  uint64_t answers_without_caller() const { return answers_without_caller_.load(std::memory_order_acquire); }
  uint64_t failures_without_caller() const { return failures_without_caller_.load(std::memory_order_acquire); }

 private:
  int32_t PrepareRequest(Request* request) override;
  void HandleResponse(Request* request, ResponseView* view) override;

  std::atomic<uint64_t> answers_without_caller_{0};   // release after the answer's copy
  std::atomic<uint64_t> failures_without_caller_{0};  // release with the count above
};

}  // namespace sample
