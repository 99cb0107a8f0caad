// Moving requests into the request ring and answers out of the response ring.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "client/internal.h"
#include "common/log.h"

namespace tovrel {

void PauseOneMillisecond() {
  timespec pause{0, 1000000};
  timespec left{};
  while (nanosleep(&pause, &left) != 0 && errno == EINTR) pause = left;
}

AwaitingRequests& AwaitingRequests::Get() {
  // Never destroyed: the detached response loop may still run while the
  // process's static objects are torn down.
  static AwaitingRequests* const awaiting = new AwaitingRequests();
  return *awaiting;
}

bool AwaitingRequests::Add(Request* request) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (ended_) return false;
  return addresses_.Insert(reinterpret_cast<uint64_t>(request));
}

void AwaitingRequests::Remove(Request* request) {
  std::lock_guard<std::mutex> lock(mutex_);
  addresses_.Erase(reinterpret_cast<uint64_t>(request));
}

Request* AwaitingRequests::Take(uint64_t address) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!addresses_.Erase(address)) return nullptr;
  return reinterpret_cast<Request*>(address);
}

std::vector<Request*> AwaitingRequests::EndAndTakeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_ = true;
  std::vector<Request*> all;
  for (uint64_t address : addresses_.TakeAll()) all.push_back(reinterpret_cast<Request*>(address));
  return all;
}

}  // namespace tovrel

namespace {

using tovrel::AwaitingRequests;

// What the fill callback needs; passed by one pointer so that the callback
// fits std::function's inline storage and a write allocates nothing.
struct Batch {
  RequestBatchHeader header;
  std::vector<Request*>* requests;
};

RingBufferStatus FillBatch(const Batch& batch, void* to) {
  uint8_t* p = static_cast<uint8_t*>(to);
  StoreRecord(p, batch.header);
  p += sizeof(RequestBatchHeader);
  std::vector<Request*>& requests = *batch.requests;
  for (size_t i = 0; i < requests.size(); ++i) {
    Request* request = requests[i];
    StoreRecord(p, request->header);
    p += sizeof(RequestHeader);
    for (const std::string& piece : request->buffers) {
      std::memcpy(p, piece.data(), piece.size());
      p += piece.size();
    }
    for (const BorrowedPiece& piece : request->borrowed) {
      std::memcpy(p, piece.data, piece.size);
      p += piece.size;
    }
    // Only the last request of a record is answered; the others are done.
    if (i + 1 < requests.size()) {
      tovrel::ReleaseRequest(request);
    } else {
      tovrel::HandOverToAnswer(request);  // the record is published right after
    }
  }
  return kRingSuccess;
}

// Hands one answer to its request. `entry` lies in the response ring.
void Deliver(Request* request, uint8_t* entry) {
  ResponseView view{reinterpret_cast<ResponseHeader*>(entry), entry + sizeof(ResponseHeader)};
  if (!tovrel::SomebodyWaits(request)) {
    request->owner->HandleResponse(request, &view);
    tovrel::ReleaseRequest(request);
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
    tovrel::TakeOverForAnswer(request);
    Deliver(request, entry);
  }
}

}  // namespace

bool CudaTovrel::CanSend() {
  return initialized_.load(std::memory_order_acquire) && tovrel::CurrentPid() == pid_ &&
         !response_loop_ended_.load(std::memory_order_acquire);
}

bool CudaTovrel::SendRequest(std::vector<Request*>& requests, int gpu) {
  if (requests.empty() || !CanSend()) return false;
  if (gpu < 0 || static_cast<uint32_t>(gpu) >= register_info_.gpu_count) {
    ZANTU_ERROR("gpu=%d is outside the %u gpus of this process", gpu, register_info_.gpu_count);
    return false;
  }
  uint64_t body = 0;
  for (const Request* request : requests) {
    uint64_t pieces = 0;
    for (const std::string& piece : request->buffers) pieces += piece.size();
    for (const BorrowedPiece& piece : request->borrowed) pieces += piece.size;
    // The record is sized from the headers and filled from the pieces.
    if (pieces != request->header.size) {
      ZANTU_ERROR("request size=%llu differs from its pieces=%llu",
                  static_cast<unsigned long long>(request->header.size), static_cast<unsigned long long>(pieces));
      return false;
    }
    body += tovrel::EntryBytes(request);
  }
  const uint64_t total = sizeof(RequestBatchHeader) + body;
  // Such a record would never fit: waiting for room would hold mutex_ for
  // ever.
  if (total > request_rb_->capacity()) return false;

  Batch batch;
  batch.header.flags = 0;
  batch.header.node = register_info_.gpu_nodes[gpu];
  batch.header.device = register_info_.gpu_indexes[gpu];
  batch.header.size = body;
  batch.header.pid = static_cast<uint32_t>(pid_);
  batch.header.count = static_cast<uint32_t>(requests.size());
  batch.requests = &requests;
  Request* last = requests.back();
  const Batch* batch_ptr = &batch;

  std::lock_guard<std::mutex> lock(mutex_);
  // Awaited before it is published: its answer may come at once.
  if (!AwaitingRequests::Get().Add(last)) return false;
  RingBufferStatus status;
  for (;;) {
    status = request_rb_->Write(total, [batch_ptr](void* to) { return FillBatch(*batch_ptr, to); });
    if (status != kRingFull) break;
    ZANTU_LOG("response ringbuffer is full pid=%d", pid_);
    tovrel::PauseOneMillisecond();
    // With the response loop gone no answer can come: stop waiting for room,
    // and let the loop's end take mutex_.
    if (response_loop_ended_.load(std::memory_order_acquire)) {
      status = kRingPeerGone;
      break;
    }
  }
  if (status != kRingSuccess) {
    AwaitingRequests::Get().Remove(last);
    return false;
  }
  return true;
}

bool CudaTovrel::SendRequest(Request* request, int gpu) {
  std::vector<Request*> one{request};
  return SendRequest(one, gpu);
}

void CudaTovrel::ResponseLoop() {
  ZANTU_LOG("start response loop");
  response_loop_working_.store(true, std::memory_order_release);
  auto consume = [](void* data, size_t length) -> RingBufferStatus {
    uint8_t* p = static_cast<uint8_t*>(data);
    size_t left = length;
    while (left != 0) {
      if (left < sizeof(ResponseBatchHeader)) {
        ZANTU_ERROR("response chunk ends inside a record header, %zu bytes skipped", left);
        break;
      }
      const ResponseBatchHeader header = LoadRecord<ResponseBatchHeader>(p);
      if (header.pid != static_cast<uint32_t>(pid_)) {
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
  };
  RingBufferStatus status;
  do {
    status = response_rb_->Read(consume);
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
    std::lock_guard<std::mutex> lock(mutex_);
    orphans = AwaitingRequests::Get().EndAndTakeAll();
  }
  for (Request* request : orphans) {
    if (tovrel::SomebodyWaits(request)) {
      request->result = kTovrelFailure;
      sem_post(&request->sem);
    } else {
      tovrel::ReleaseRequest(request);
    }
  }
}
