// Runs the entries of the test module (common/test_module.h).
#pragma once

#include <cstdint>

#include "common/records.h"
#include "node/backends/call_answer.h"
#include "node/worker/cancel_token.h"

namespace zantu_node {

class TestModuleExecutor {
 public:
  // Runs one test-module entry (`payload` holds entry.size bytes) and fills
  // `answer`; its payload may point into `payload`. A delay ends early when
  // `cancel` is cancelled. An entry that is not `answered` builds no payload.
  static void Execute(const RequestHeader& entry, const char* payload, bool answered, CancelToken* cancel,
                      CallAnswer* answer);

 private:
  // Test module calls ask for at most this much compressed-answer payload,
  // which a worker builds in its own memory: a larger one is refused.
  static constexpr uint64_t kMaxCompressedPayload = uint64_t{64} << 20;
  // Longest single delay, so that the time arithmetic cannot overflow. A
  // delay holds its client's worker alone, and the client's exit ends it.
  static constexpr uint64_t kMaxDelayMicros = 600ULL * 1000 * 1000;
};

}  // namespace zantu_node
