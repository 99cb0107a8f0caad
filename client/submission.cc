// Writing request records into the request ring: one record per call, or one
// for a thread's deferred batch, waiting while the ring is full.
#include <time.h>

#include <atomic>
#include <cerrno>
#include <string>

#include "client/awaiting_requests.h"
#include "client/internal.h"
#include "client/submission_lock.h"
#include "common/log.h"
#include "common/request_batch.h"

namespace tovrel {

SubmissionMutex submission_mutex;

void PauseOneMillisecond() {
  timespec pause{0, 1000000};
  timespec left{};
  while (nanosleep(&pause, &left) != 0 && errno == EINTR) pause = left;
}

namespace {

// What the fill callback needs; passed by one pointer so that the callback
// fits std::function's inline storage and a write allocates nothing.
struct Batch {
  uint32_t node;
  uint32_t device;
  uint32_t pid;
  std::vector<Request*>* requests;
};

// Sums the entries of `requests` into `*body`. False when a request's pieces
// disagree with its header: the record is sized from the headers and filled
// from the pieces.
bool CountBody(const std::vector<Request*>& requests, uint64_t* body) {
  *body = 0;
  for (const Request* request : requests) {
    uint64_t pieces = 0;
    for (const std::string& piece : request->buffers) pieces += piece.size();
    for (const BorrowedPiece& piece : request->borrowed) pieces += piece.size;
    if (pieces != request->header.size) {
      ZANTU_ERROR_AS("SendRequest", "request size=%llu differs from its pieces=%llu",
                  static_cast<unsigned long long>(request->header.size), static_cast<unsigned long long>(pieces));
      return false;
    }
    *body += EntryBytes(request);
  }
  return true;
}

RingBufferStatus FillRecord(const Batch& batch, void* to) {
  RequestBatchBuilder record(to);
  std::vector<Request*>& requests = *batch.requests;
  for (size_t i = 0; i < requests.size(); ++i) {
    Request* request = requests[i];
    record.AddEntry(request->header);
    for (const std::string& piece : request->buffers) record.Append(piece.data(), piece.size());
    for (const BorrowedPiece& piece : request->borrowed) record.Append(piece.data, piece.size);
    // Only the last request of a record is answered; the others are done.
    if (i + 1 < requests.size()) {
      ReleaseRequest(request);
    } else {
      HandOverToAnswer(request);  // the record is published right after
    }
  }
  record.Finish(0, batch.node, batch.device, batch.pid);
  return kRingSuccess;
}

// Whether the last write into the request ring found it full: the line that
// says so is written when the ring turns full, not for every try.
bool request_ring_full GUARDED_BY(submission_mutex) = false;

// Writes the record of `total` bytes, waiting while the ring is full. Gives
// up with kRingPeerGone once the response loop has ended: no answer can come,
// and the loop's end waits for submission_mutex.
RingBufferStatus WriteWaitingForRoom(RingBuffer* ring, uint64_t total, const Batch& batch,
                                     const std::atomic<bool>& loop_ended) REQUIRES(submission_mutex) {
  const Batch* batch_ptr = &batch;
  for (;;) {
    const RingBufferStatus status =
        ring->Write(total, [batch_ptr](void* to) { return FillRecord(*batch_ptr, to); });
    if (status != kRingFull) {
      request_ring_full = false;
      return status;
    }
    if (!request_ring_full) {
      ZANTU_LOG_AS("SendRequest", "request ringbuffer is full pid=%d", static_cast<int>(batch.pid));
      request_ring_full = true;
    }
    PauseOneMillisecond();
    if (loop_ended.load(std::memory_order_acquire)) return kRingPeerGone;
  }
}

}  // namespace
}  // namespace tovrel

bool CudaTovrel::CanSend() {
  return initialized_.load(std::memory_order_acquire) && tovrel::CurrentPid() == pid_ &&
         !response_loop_ended_.load(std::memory_order_acquire);
}

bool CudaTovrel::SendRequest(std::vector<Request*>& requests, int gpu) {
  if (requests.empty() || !CanSend()) return false;
  if (gpu < 0 || static_cast<uint32_t>(gpu) >= register_info_.gpu_count) {
    ZANTU_ERROR_AS("SendRequest", "gpu=%d is outside the %u gpus of this process", gpu, register_info_.gpu_count);
    return false;
  }
  uint64_t body = 0;
  if (!tovrel::CountBody(requests, &body)) return false;
  const uint64_t total = sizeof(RequestBatchHeader) + body;
  // Such a record would never fit: waiting for room would hold mutex_ for
  // ever.
  if (total > request_rb_->capacity()) return false;

  const tovrel::Batch batch{register_info_.gpu_nodes[gpu], register_info_.gpu_indexes[gpu],
                            static_cast<uint32_t>(pid_), &requests};
  Request* last = requests.back();
  tovrel::SubmissionLock lock(mutex_);
  // Awaited before it is published: its answer may come at once.
  const bool loop_idle = tovrel::AwaitingRequests::Get().Empty();
  if (!tovrel::AwaitingRequests::Get().Add(last)) return false;
  // A response loop that nobody waited on sleeps long; with a call waiting
  // it must look for a daemon that died as often as it used to.
  if (loop_idle) response_rb_->WakeReader();
  if (tovrel::WriteWaitingForRoom(request_rb_, total, batch, response_loop_ended_) != kRingSuccess) {
    tovrel::AwaitingRequests::Get().Remove(last);
    return false;
  }
  return true;
}

bool CudaTovrel::SendRequest(Request* request, int gpu) {
  std::vector<Request*> one{request};
  return SendRequest(one, gpu);
}
