// Runs one client's request records: every entry in order, each on its
// module (the test module, or the runtime module on the GPU backend), and
// frames the answer to the last entry as one response record.
//
// Thread safety: one object per client, used by that client's worker only.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/records.h"
#include "common/response_batch.h"
#include "common/trellan.h"
#include "node/call_answer.h"
#include "node/cancel_token.h"
#include "node/gpu_backend.h"
#include "node/runtime_executor.h"

namespace zantu_node {

// The response record for one request record, ready to send: `head` then
// `payload`. For a plain answer `head` is the batch header and the entry
// header and `payload` the entry's payload; for a compressed one `head` is
// the batch header alone and `payload` the compressed body.
struct Response {
  char head[kSingleResponseHeadBytes];
  size_t head_size = 0;
  const char* payload = nullptr;  // may point into the request body or device memory
  size_t payload_size = 0;
};

class RecordRunner {
 public:
  // `backend` (may be null: the runtime module is then unknown) and `cancel`
  // must outlive the runner.
  RecordRunner(GpuBackend* backend, uint32_t pid, CancelToken* cancel);

  RecordRunner(const RecordRunner&) = delete;
  RecordRunner& operator=(const RecordRunner&) = delete;

  // Runs every entry of a record that CheckRequestRecord accepted, in
  // order, and fills `*response` with the answer to the last one.
  // `*response` may point into `body`, into device memory and into this
  // runner, so it is valid until the next Run or until `body` goes. False when the answer cannot be built (compression
  // failed; logged).
  // With `data_in_place` the record is one host-to-device copy whose data
  // is already at its destination, and `body` holds only its entry header
  // and argument block (see RuntimeExecutor::Execute).
  [[nodiscard]] bool Run(const RequestBatchHeader& header, const char* body, Response* response,
                         bool data_in_place = false);

 private:
  [[nodiscard]] bool Frame(const RequestBatchHeader& header, const RequestHeader& entry, Response* response);

  CancelToken* const cancel_;
  std::unique_ptr<RuntimeExecutor> runtime_;  // null without a backend
  CallAnswer answer_;                          // the last entry's, as it is sent
  std::string compressed_;                     // a compressed body, as it is sent
  std::unique_ptr<ZSTDUtil> zstd_;             // made for the first compressed answer
};

}  // namespace zantu_node
