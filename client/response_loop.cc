// The response loop: reading answers out of the response ring, handing each
// to its awaited request, and failing every waiting call once the ring is gone.
#include <semaphore.h>

#include <vector>

#include "client/awaiting_requests.h"
#include "client/internal.h"
#include "client/submission_lock.h"
#include "common/log.h"

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

// Walks the `count` entries of one record body of `size` bytes. Entries are
// checked against the record before anything in them is followed.
void HandleRecord(uint8_t* body, uint64_t size, uint32_t count) {
  uint64_t offset = 0;
  for (uint32_t i = 0; i < count; ++i) {
    if (size - offset < sizeof(ResponseHeader)) {
      ZANTU_ERROR("response entry %u of %u runs past its record, rest skipped", i, count);
      return;
    }
    uint8_t* entry = body + offset;
    const ResponseHeader header = LoadRecord<ResponseHeader>(entry);
    if (header.size > size - offset - sizeof(ResponseHeader)) {
      ZANTU_ERROR("response entry %u of %u with %llu payload bytes runs past its record, rest skipped", i, count,
                  static_cast<unsigned long long>(header.size));
      return;
    }
    offset += sizeof(ResponseHeader) + header.size;
    Request* request = AwaitingRequests::Get().Take(header.request);
    if (request == nullptr) {
      ZANTU_ERROR("answer for unknown request=0x%llx skipped", static_cast<unsigned long long>(header.request));
      continue;
    }
    TakeOverForAnswer(request);
    Deliver(request, entry);
  }
}

// The ring's consume callback: walks the response records of one chunk the
// ring hands out, `length` bytes at `data`; every record must belong to
// process `pid`. A function object, so that the assertion's log line names
// the function as it always has ("operator()").
struct ChunkReader {
  RingBufferStatus operator()(void* data, size_t length) const;
  uint32_t pid;
};

RingBufferStatus ChunkReader::operator()(void* data, size_t length) const {
  uint8_t* p = static_cast<uint8_t*>(data);
  size_t left = length;
  while (left != 0) {
    if (left < sizeof(ResponseBatchHeader)) {
      ZANTU_ERROR("response chunk ends inside a record header, %zu bytes skipped", left);
      break;
    }
    const ResponseBatchHeader header = LoadRecord<ResponseBatchHeader>(p);
    if (header.pid != pid) {
      ZANTU_ASSERT_FAILED("Assertion failed, header->pid == pid_");
    }
    if (header.size > left - sizeof(ResponseBatchHeader)) {
      ZANTU_ERROR("response record of %llu bytes runs past its chunk of %zu bytes, skipped",
                  static_cast<unsigned long long>(header.size), left);
      break;
    }
    HandleRecord(p + sizeof(ResponseBatchHeader), header.size, header.count);
    p += sizeof(ResponseBatchHeader) + header.size;
    left -= sizeof(ResponseBatchHeader) + header.size;
  }
  return kRingSuccess;
}

// Ends the calls whose answer can no longer come: a waiting caller wakes with
// kTovrelFailure, anything else is released.
void FailOrphans(const std::vector<Request*>& orphans) {
  for (Request* request : orphans) {
    if (SomebodyWaits(request)) {
      request->result = kTovrelFailure;
      sem_post(&request->sem);
    } else {
      ReleaseRequest(request);
    }
  }
}

}  // namespace
}  // namespace tovrel

void CudaTovrel::ResponseLoop() {
  ZANTU_LOG("start response loop");
  response_loop_working_.store(true, std::memory_order_release);
  const tovrel::ChunkReader reader{static_cast<uint32_t>(pid_)};
  RingBufferStatus status;
  do {
    status = response_rb_->Read(reader);
  } while (status == kRingSuccess || status == kRingEmpty);
  ZANTU_ERROR("read ring buffer failed=%d", static_cast<int>(status));
  // Logged before the waiting callers wake: once they have their 999, the
  // process may end at any moment.
  ZANTU_LOG("response loop end");

  // No answer can come any more. The flag turns new calls away and ends a
  // writer's wait for room; taking mutex_ then waits out a write in progress,
  // after which no request becomes awaited.
  response_loop_ended_.store(true, std::memory_order_release);
  std::vector<Request*> orphans;
  {
    tovrel::SubmissionLock lock(mutex_);
    orphans = tovrel::AwaitingRequests::Get().EndAndTakeAll();
  }
  tovrel::FailOrphans(orphans);
}
