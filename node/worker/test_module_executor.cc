#include "node/worker/test_module_executor.h"

#include <algorithm>
#include <chrono>

#include "common/api_numbers.h"
#include "common/test_module.h"

namespace zantu_node {
namespace {

uint64_t Argument(const char* payload, uint32_t index) {
  return LoadRecord<uint64_t>(payload + static_cast<size_t>(index) * sizeof(uint64_t));
}

}  // namespace

void TestModuleExecutor::Execute(const RequestHeader& entry, const char* payload, bool answered,
                                 CancelToken* cancel, CallAnswer* answer) {
  answer->Clear();
  answer->result = kTestUnknownFunction;
  if (entry.api == k_testDelay && entry.argc >= 1) {
    const uint64_t micros = std::min(Argument(payload, 0), kMaxDelayMicros);
    cancel->SleepFor(std::chrono::microseconds(micros));
  }
  if (entry.api == k_testEcho || (entry.api == k_testDelay && entry.argc >= 1)) {
    answer->result = 0;
    answer->payload = payload;
    answer->payload_size = entry.size;
  } else if (entry.api == k_testFail && entry.argc >= 1) {
    answer->result = static_cast<uint32_t>(Argument(payload, 0));
  } else if (entry.api == k_testCompressed && entry.argc >= 2 && Argument(payload, 0) <= kMaxCompressedPayload) {
    const uint64_t n = Argument(payload, 0);
    const uint64_t seed = Argument(payload, 1);
    answer->result = 0;
    answer->compressed = true;
    if (!answered) return;
    answer->storage.resize(n);
    for (uint64_t k = 0; k < n; ++k) answer->storage[k] = static_cast<char>(TestPatternByte(seed, k));
    answer->UseStorage();
  }
}

}  // namespace zantu_node
