#include "client/chunk_reader.h"

#include <semaphore.h>

#include "client/awaiting_requests.h"
#include "client/internal.h"
#include "common/log.h"
#include "common/response_batch.h"

namespace tovrel {
namespace {

// Hands one answer to its request. `entry` lies in the response ring.
void Deliver(Request* request, uint8_t* entry) {
  ResponseView view{reinterpret_cast<ResponseHeader*>(entry), entry + sizeof(ResponseHeader)};
  if (!SomebodyWaits(request)) {
    request->owner->HandleResponse(request, &view);
    ReleaseRequest(request);
    return;
  }
  int32_t result = static_cast<int32_t>(view.Result());
  if (result == 0) {
    request->owner->HandleResponse(request, &view);
    result = static_cast<int32_t>(view.Result());
  }
  request->result = result;
  // The woken caller may free the request at once: it is not touched again.
  sem_post(&request->sem);
}

// Walks the `count` entries of one record body of `size` bytes.
void HandleRecord(uint8_t* body, uint64_t size, uint32_t count) {
  ResponseEntryWalker entries(body, size, count);
  ResponseEntryWalker::Item entry;
  for (;;) {
    const ResponseStep step = entries.Next(&entry);
    if (step == ResponseStep::kEnd) return;
    if (step == ResponseStep::kCutHead) {
      ZANTU_ERROR("response entry %u of %u runs past its record, rest skipped", entries.index(), count);
      return;
    }
    if (step == ResponseStep::kOverlong) {
      ZANTU_ERROR("response entry %u of %u with %llu payload bytes runs past its record, rest skipped",
                  entries.index(), count, static_cast<unsigned long long>(entry.header.size));
      return;
    }
    Request* request = AwaitingRequests::Get().Take(entry.header.request);
    if (request == nullptr) {
      ZANTU_ERROR("answer for unknown request=0x%llx skipped", static_cast<unsigned long long>(entry.header.request));
      continue;
    }
    TakeOverForAnswer(request);
    Deliver(request, body + entry.offset);
  }
}

}  // namespace

RingBufferStatus ChunkReader::operator()(void* data, size_t length) const {
  uint8_t* const chunk = static_cast<uint8_t*>(data);
  ResponseRecordWalker records(chunk, length);
  ResponseRecordWalker::Item record;
  for (;;) {
    const ResponseStep step = records.Next(&record);
    if (step == ResponseStep::kEnd) break;
    if (step == ResponseStep::kCutHead) {
      ZANTU_ERROR("response chunk ends inside a record header, %zu bytes skipped",
                  static_cast<size_t>(records.left()));
      break;
    }
    if (record.header.pid != pid) {
      ZANTU_ASSERT_FAILED("Assertion failed, header->pid == pid_");
    }
    if (step == ResponseStep::kOverlong) {
      ZANTU_ERROR("response record of %llu bytes runs past its chunk of %zu bytes, skipped",
                  static_cast<unsigned long long>(record.header.size), static_cast<size_t>(records.left()));
      break;
    }
    HandleRecord(chunk + record.body(), record.header.size, record.header.count);
  }
  return kRingSuccess;
}

}  // namespace tovrel
