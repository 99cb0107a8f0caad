// Checks request records as they arrive from the daemon and runs them on the
// test module of common/test_module.h, producing the one response record
// that answers each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "common/records.h"
#include "common/trellan.h"

namespace zantu_node {

// A request record's body can be no longer than the ring it was written
// into, less its header.
constexpr uint64_t kMaxRequestBody = 2147483648ULL - sizeof(RequestBatchHeader);

// The response record for one request record, ready to send: `head` then
// `payload`. For a plain answer `head` is the batch header and the entry
// header and `payload` the entry's payload; for a compressed one `head` is
// the batch header alone and `payload` the compressed body.
struct Response {
  char head[sizeof(ResponseBatchHeader) + sizeof(ResponseHeader)];
  size_t head_size = 0;
  const char* payload = nullptr;  // may point into the request body
  size_t payload_size = 0;
  std::string storage;  // owns the payload when it is not the request's
};

class TestModuleExecutor {
 public:
  TestModuleExecutor();

  TestModuleExecutor(const TestModuleExecutor&) = delete;
  TestModuleExecutor& operator=(const TestModuleExecutor&) = delete;

  // Checks that `body` (header.size bytes) is a well-formed request record
  // body: count >= 1 entries, each with the magic number, an argument block
  // within its payload and a payload within the record, which they fill
  // exactly. On failure `*why` says what is wrong.
  static bool Validate(const RequestBatchHeader& header, const char* body, std::string* why);

  // Runs every entry of a validated record in order and fills `*response`
  // with the answer to the last one. `*response` may point into `body`, so
  // it is valid as long as `body` is. False when the answer cannot be built
  // (compression failed; logged).
  [[nodiscard]] bool Execute(const RequestBatchHeader& header, const char* body, Response* response);

 private:
  // Test module calls ask for at most this much compressed-answer payload.
  static constexpr uint64_t kMaxCompressedPayload = uint64_t{1} << 30;
  // Longest single delay, so that the time arithmetic cannot overflow.
  static constexpr uint64_t kMaxDelayMicros = 600ULL * 1000 * 1000;

  ZSTDUtil zstd_;  // internally synchronised; used by the serving thread only
};

}  // namespace zantu_node
