#include "node/worker/channel_budget.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "common/records.h"

namespace zantu_node {
namespace {

// The front end replies within a pass over its clients' rings; this much
// longer means it is gone or stuck.
constexpr auto kReplyTimeout = std::chrono::seconds(10);
constexpr long kFullRingPauseNs = 100000;

void Pause(long ns) {
  timespec pause{0, ns};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

// Waits while `*word` holds `seen`, up to `timeout`. The word is shared with
// another process, so the futex is not a private one.
void WaitWhileEqual(std::atomic<uint32_t>* word, uint32_t seen, std::chrono::nanoseconds timeout) {
  timespec t{static_cast<time_t>(timeout.count() / 1000000000), static_cast<long>(timeout.count() % 1000000000)};
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAIT, seen, &t, nullptr, 0);
}

}  // namespace

bool ChannelBudget::WriteNote(uint32_t flags, uint32_t gpu, uint64_t bytes) {
  const ResponseBatchHeader note = MemoryNote(flags, gpu, bytes);
  const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
  for (;;) {
    const RingBufferStatus status = responses_->Write(sizeof(note), [&note](void* space) {
      StoreRecord(space, note);
      return kRingSuccess;
    });
    if (status == kRingSuccess) return true;
    if (status != kRingFull || std::chrono::steady_clock::now() >= deadline) return false;
    Pause(kFullRingPauseNs);
  }
}

bool ChannelBudget::Ask(uint32_t gpu, uint64_t bytes, bool* granted, uint64_t* used, uint64_t* capacity) {
  const uint32_t before = control_->reply_seq.load(std::memory_order_acquire);
  if (!WriteNote(kNoteCharge, gpu, bytes)) return false;
  const auto deadline = std::chrono::steady_clock::now() + kReplyTimeout;
  for (;;) {
    if (control_->reply_seq.load(std::memory_order_acquire) != before) break;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    WaitWhileEqual(&control_->reply_seq, before, deadline - now);
  }
  *granted = control_->granted.load(std::memory_order_relaxed) == 1;
  *used = control_->used.load(std::memory_order_relaxed);
  *capacity = control_->capacity.load(std::memory_order_relaxed);
  return true;
}

bool ChannelBudget::Charge(uint32_t gpu, uint64_t bytes) {
  bool granted = false;
  uint64_t used = 0;
  uint64_t capacity = 0;
  return Ask(gpu, bytes, &granted, &used, &capacity) && granted;
}

void ChannelBudget::Refund(uint32_t gpu, uint64_t bytes) {
  // A refund that cannot be written is given back by the front end when the
  // worker ends: it keeps every worker's charges.
  (void)WriteNote(kNoteRefund, gpu, bytes);
}

void ChannelBudget::Usage(uint32_t gpu, uint64_t* used, uint64_t* capacity) {
  bool granted = false;
  *used = 0;
  *capacity = 0;
  (void)Ask(gpu, 0, &granted, used, capacity);
}

}  // namespace zantu_node
