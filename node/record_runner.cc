#include "node/record_runner.h"

#include "common/api_numbers.h"
#include "common/log.h"
#include "common/response_batch.h"
#include "common/test_module.h"
#include "node/test_module_executor.h"

namespace zantu_node {

RecordRunner::RecordRunner(GpuBackend* backend, uint32_t pid, CancelToken* cancel)
    : cancel_(cancel),
      runtime_(backend != nullptr ? std::make_unique<RuntimeExecutor>(backend, pid) : nullptr) {}

bool RecordRunner::Run(const RequestBatchHeader& header, const char* body, Response* response, bool data_in_place) {
  uint64_t offset = 0;
  RequestHeader entry{};
  for (uint32_t i = 0; i < header.count; ++i) {
    entry = LoadRecord<RequestHeader>(body + offset);
    const char* payload = body + offset + sizeof(RequestHeader);
    offset += sizeof(RequestHeader) + entry.size;
    const bool answered = i + 1 == header.count;
    if (entry.module == kModuleTest) {
      TestModuleExecutor::Execute(entry, payload, answered, cancel_, &answer_);
    } else if (entry.module == kModuleRuntime && runtime_) {
      runtime_->Execute(header.device, entry, payload, &answer_, data_in_place);
    } else {
      answer_.Clear();
      answer_.result = kTestUnknownFunction;
    }
  }
  return Frame(header, entry, response);
}

bool RecordRunner::Frame(const RequestBatchHeader& header, const RequestHeader& entry, Response* response) {
  const ResponseHeader answer = AnswerEntry(entry, answer_.result, answer_.payload_size);
  if (answer_.compressed) {
    // The whole body, entry header included, travels compressed.
    std::string plain(ResponseEntryBytes(answer_.payload_size), '\0');
    StoreResponseEntry(plain.data(), answer, answer_.payload);
    if (!zstd_) zstd_ = std::make_unique<ZSTDUtil>(1, 0);
    if (!zstd_->Compress(plain.data(), plain.size(), &compressed_)) {
      ZANTU_ERROR("compressing an answer of %llu bytes failed", static_cast<unsigned long long>(plain.size()));
      return false;
    }
    StoreResponseHead(response->head, kLinkCompressed, compressed_.size(), header.pid, 1);
    response->head_size = sizeof(ResponseBatchHeader);
    response->payload = compressed_.data();
    response->payload_size = compressed_.size();
    return true;
  }
  response->head_size = StoreSingleResponseHead(response->head, header.pid, answer);
  response->payload = answer_.payload;
  response->payload_size = answer_.payload_size;
  return true;
}

}  // namespace zantu_node
