#include "node/worker/record_runner.h"

#include <new>

#include "common/api_numbers.h"
#include "common/log.h"
#include "common/response_batch.h"
#include "common/runtime_calls.h"
#include "common/test_module.h"
#include "node/worker/test_module_executor.h"

namespace zantu_node {

RecordRunner::RecordRunner(GpuBackend* backend, uint32_t pid, CancelToken* cancel, bool test_module)
    : cancel_(cancel),
      test_module_(test_module),
      runtime_(backend != nullptr ? std::make_unique<RuntimeExecutor>(backend, pid) : nullptr) {}

bool RecordRunner::Run(const RequestBatchHeader& header, const char* body, Response* response) {
  RequestHeader last{};
  try {
    RunEntries(header, body, &last);
  } catch (const std::bad_alloc&) {
    // The worker's own limits: this record fails, the client goes on.
    answer_.Clear();
    answer_.result = kRtMemoryAllocation;
  }
  return Frame(header, last, response);
}

void RecordRunner::RunEntries(const RequestBatchHeader& header, const char* body, RequestHeader* last) {
  uint64_t offset = 0;
  for (uint32_t i = 0; i < header.count; ++i) {
    *last = LoadRecord<RequestHeader>(body + offset);
    const RequestHeader& entry = *last;
    const char* payload = body + offset + sizeof(RequestHeader);
    offset += sizeof(RequestHeader) + entry.size;
    const bool answered = i + 1 == header.count;
    if (entry.module == kModuleTest && test_module_) {
      TestModuleExecutor::Execute(entry, payload, answered, cancel_, &answer_);
    } else if (entry.module == kModuleRuntime && runtime_) {
      runtime_->Execute(header.device, entry, payload, &answer_);
    } else {
      answer_.Clear();
      answer_.result = kTestUnknownFunction;
    }
  }
}

void RecordRunner::NoteRefused(uint32_t gpu, uint32_t result) {
  if (runtime_) runtime_->NoteDeferredFailure(gpu, result);
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
