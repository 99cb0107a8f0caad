// The node's reading of one request record from the daemon's stream: the
// check of its entries, then running a record that passed and framing the
// answer. Input: a 28-byte batch header and the body; the header's size is
// taken from the body's length, as the node reads exactly that many bytes.
// Delays end at once (their token is cancelled) and compressed answers are
// cut to 64 KiB, so a run stays fast; everything else runs as it came.
#include <cstdlib>
#include <memory>
#include <string>

#include "common/api_numbers.h"
#include "common/test_module.h"
#include "common/request_check.h"
#include "node/worker/record_runner.h"

namespace {

// Walks a record that passed the check.
void CutCompressedAnswers(const RequestBatchHeader& header, char* body) {
  uint64_t offset = 0;
  for (uint32_t i = 0; i < header.count; ++i) {
    const RequestHeader entry = LoadRecord<RequestHeader>(body + offset);
    char* payload = body + offset + sizeof(RequestHeader);
    if (entry.module == kModuleTest && entry.api == k_testCompressed && entry.argc >= 1) {
      StoreRecord<uint64_t>(payload, LoadRecord<uint64_t>(payload) % 65536);
    }
    offset += sizeof(RequestHeader) + entry.size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("ZANTU_DISABLE_LOG", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ZSTDUtil* const zstd = new ZSTDUtil(1, 0);
  if (size < sizeof(RequestBatchHeader)) return 0;
  RequestBatchHeader header = LoadRecord<RequestBatchHeader>(data);
  header.size = size - sizeof(RequestBatchHeader);
  std::unique_ptr<char[]> body(new char[header.size + 1]);  // never a zero-length array
  std::memcpy(body.get(), data + sizeof(RequestBatchHeader), header.size);

  std::string why;
  if (!CheckRequestRecord(header, reinterpret_cast<const uint8_t*>(body.get()), &why)) {
    if (why.empty()) std::abort();
    return 0;
  }
  CutCompressedAnswers(header, body.get());
  zantu_node::CancelToken cancelled;
  cancelled.Cancel();
  zantu_node::RecordRunner runner(nullptr, header.pid, &cancelled);
  zantu_node::Response response;
  if (!runner.Run(header, body.get(), &response)) std::abort();

  // The answer is one record for the header's pid, of exactly the size it
  // declares, whose entry declares exactly its payload.
  const ResponseBatchHeader batch = LoadRecord<ResponseBatchHeader>(response.head);
  if (batch.pid != header.pid || batch.count != 1) std::abort();
  std::string record(response.head + sizeof(ResponseBatchHeader), response.head_size - sizeof(ResponseBatchHeader));
  record.append(response.payload == nullptr ? "" : response.payload, response.payload_size);
  if (batch.size != record.size()) std::abort();
  std::string plain;
  if ((batch.flags & kLinkCompressed) != 0) {
    if (!zstd->Decompress(record, &plain)) std::abort();
  } else {
    plain = record;
  }
  if (plain.size() < sizeof(ResponseHeader)) std::abort();
  const ResponseHeader answer = LoadRecord<ResponseHeader>(plain.data());
  if (answer.size != plain.size() - sizeof(ResponseHeader)) std::abort();
  return 0;
}
