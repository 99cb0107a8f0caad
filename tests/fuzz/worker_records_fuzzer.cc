// The node's reading of what a client's worker wrote into its response ring:
// a worker runs the client's kernels and is not trusted, so any bytes must
// be walked without reading outside the span, and only answers that match
// the record they answer may pass. Input: a request entry header (what the
// front end expects answered), then the span.
#include <cstdlib>
#include <cstring>

#include "node/worker/worker_channel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(RequestHeader)) return 0;
  const RequestHeader asked = LoadRecord<RequestHeader>(data);
  // A copy of exactly the span's bytes, so that a read past it is caught.
  const size_t length = size - sizeof(RequestHeader);
  char* span = static_cast<char*>(std::malloc(length + 1));
  std::memcpy(span, data + sizeof(RequestHeader), length);
  size_t at = 0;
  while (at < length) {
    ResponseBatchHeader header{};
    const char* body = nullptr;
    size_t consumed = 0;
    const zantu_node::WorkerRecord kind = zantu_node::NextWorkerRecord(span + at, length - at, &header, &body, &consumed);
    if (kind == zantu_node::WorkerRecord::kBroken) break;
    // Whatever it takes lies inside the span and moves on.
    if (consumed == 0 || consumed > length - at) std::abort();
    if (kind == zantu_node::WorkerRecord::kAnswer) {
      if (body + header.size > span + length || header.size > kMaxResponseBody) std::abort();
      if (zantu_node::AnswerMatches(header, body, asked) && header.flags == 0) {
        ResponseHeader answer{};
        std::memcpy(&answer, body, sizeof(answer));
        if (answer.request != asked.request || answer.size + sizeof(answer) != header.size) std::abort();
      }
    }
    at += consumed;
  }
  std::free(span);
  return 0;
}
