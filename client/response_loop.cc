// The response loop: reading answers out of the response ring, handing each
// to its awaited request, and failing every waiting call once the ring is gone.
#include <semaphore.h>

#include <vector>

#include "client/awaiting_requests.h"
#include "client/chunk_reader.h"
#include "client/internal.h"
#include "client/submission_lock.h"
#include "common/log.h"

namespace tovrel {
namespace {

constexpr int64_t kIdleWaitNs = 1'000'000'000;

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
    // Idle, nobody waiting for an answer: sleeps until one may be there, a
    // second at most; Read then looks whether the daemon is still there. An
    // idle application wakes once a second, not ten times; while calls wait,
    // Read looks every 100 ms, so that they learn soon of a daemon that died.
    if (status == kRingEmpty && tovrel::AwaitingRequests::Get().Empty()) {
      response_rb_->AwaitRecords(tovrel::kIdleWaitNs);
    }
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
