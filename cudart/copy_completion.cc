#include "cudart/copy_completion.h"

#include <errno.h>

#include "common/runtime_calls.h"

namespace cudart {

std::shared_ptr<CopyTicket> CopyCompletion::NewTicket() {
  outstanding_.fetch_add(1, std::memory_order_relaxed);
  return std::make_shared<CopyTicket>(this);
}

void CopyCompletion::Fail(int status) {
  int none = 0;
  if (status != 0) first_error_.compare_exchange_strong(none, status, std::memory_order_relaxed);
}

void CopyCompletion::ChunkDone() {
  // acq_rel: the chunk's data and failure are visible to whoever counts the
  // last one down; sem_post then hands them to the waiter.
  if (outstanding_.fetch_sub(1, std::memory_order_acq_rel) == 1) sem_post(&done_);
}

int CopyCompletion::Wait() {
  ChunkDone();
  while (sem_wait(&done_) != 0 && errno == EINTR) {
  }
  return first_error_.load(std::memory_order_relaxed);
}

void CopyTicket::Answered(int status) {
  completion_->Fail(status);
  answered_ = true;
}

CopyTicket::~CopyTicket() {
  if (!answered_) completion_->Fail(kRtUnknown);
  completion_->ChunkDone();
}

}  // namespace cudart
