// Runs one client's request records: every entry in order, each on its
// module (the test module where the node serves it, or the runtime module on
// the GPU backend), and frames the answer to the last entry as one response
// record. A record that runs out of memory is answered with
// cudaErrorMemoryAllocation; the worker goes on.
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
#include "node/backends/call_answer.h"
#include "node/worker/cancel_token.h"
#include "node/backends/gpu_backend.h"
#include "node/worker/runtime_executor.h"

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
  // must outlive the runner. Without `test_module` the test module's calls
  // are unknown functions.
  RecordRunner(GpuBackend* backend, uint32_t pid, CancelToken* cancel, bool test_module = true);

  RecordRunner(const RecordRunner&) = delete;
  RecordRunner& operator=(const RecordRunner&) = delete;

  // Runs every entry of a record that CheckRequestRecord accepted, in
  // order, and fills `*response` with the answer to the last one.
  // `*response` may point into `body`, into device memory and into this
  // runner, so it is valid until the next Run or until `body` goes. False
  // when the answer cannot be built (compression failed; logged).
  [[nodiscard]] bool Run(const RequestBatchHeader& header, const char* body, Response* response);

  // The node answered a record of the client on `gpu` itself with `result`
  // (see worker_channel.h): its deferred work failed with it.
  void NoteRefused(uint32_t gpu, uint32_t result);

 private:
  void RunEntries(const RequestBatchHeader& header, const char* body, RequestHeader* last);
  [[nodiscard]] bool Frame(const RequestBatchHeader& header, const RequestHeader& entry, Response* response);

  CancelToken* const cancel_;
  const bool test_module_;
  std::unique_ptr<RuntimeExecutor> runtime_;  // null without a backend
  CallAnswer answer_;                          // the last entry's, as it is sent
  std::string compressed_;                     // a compressed body, as it is sent
  std::unique_ptr<ZSTDUtil> zstd_;             // made for the first compressed answer
};

}  // namespace zantu_node
