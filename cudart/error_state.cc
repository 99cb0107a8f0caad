#include "cudart/error_state.h"

#include "common/runtime_calls.h"

namespace cudart {

thread_local int ErrorState::last_error_ = 0;
std::atomic<int> ErrorState::sticky_[kMaxGpus];
std::atomic<int> ErrorState::async_[kMaxGpus];

namespace {
bool ValidGpu(int gpu) { return gpu >= 0 && gpu < static_cast<int>(kMaxGpus); }
}  // namespace

bool ErrorState::IsSticky(int status) {
  // Illegal address, launch timeout, device assert, and the faults of a
  // running kernel (hardware stack, illegal instruction, misaligned or
  // invalid address space, invalid pc, launch failure).
  return status == kRtIllegalAddress || status == 702 || status == 710 || (status >= 714 && status <= 719);
}

int ErrorState::Record(int status) {
  if (status != 0 && status != kRtNotReady) last_error_ = status;
  return status;
}

int ErrorState::RecordOn(int gpu, int status) {
  if (ValidGpu(gpu) && IsSticky(status)) {
    int none = 0;
    sticky_[gpu].compare_exchange_strong(none, status, std::memory_order_relaxed);
  }
  return Record(status);
}

int ErrorState::TakeLast(int gpu) {
  const int sticky = Sticky(gpu);
  if (sticky != 0) return sticky;
  const int last = last_error_;
  last_error_ = 0;
  return last;
}

int ErrorState::PeekLast(int gpu) {
  const int sticky = Sticky(gpu);
  return sticky != 0 ? sticky : last_error_;
}

int ErrorState::Sticky(int gpu) { return ValidGpu(gpu) ? sticky_[gpu].load(std::memory_order_relaxed) : 0; }

void ErrorState::ClearGpu(int gpu) {
  if (!ValidGpu(gpu)) return;
  sticky_[gpu].store(0, std::memory_order_relaxed);
  async_[gpu].store(0, std::memory_order_relaxed);
  last_error_ = 0;
}

void ErrorState::NoteAsyncFailure(int gpu, int status) {
  if (!ValidGpu(gpu) || status == 0) return;
  int none = 0;
  async_[gpu].compare_exchange_strong(none, status, std::memory_order_relaxed);
}

int ErrorState::TakeAsyncFailure(int gpu) {
  return ValidGpu(gpu) ? async_[gpu].exchange(0, std::memory_order_relaxed) : 0;
}

}  // namespace cudart
