// The runtime's error reporting as programs see it: the per-thread last
// error (cudaGetLastError, cudaPeekAtLastError), sticky errors that leave a
// GPU unusable until cudaDeviceReset, and failures of no-wait calls that the
// next synchronizing call on their GPU reports.
//
// Thread safety: the last error is per thread; the per-GPU words are atomics
// (relaxed: each is a value of its own, read and cleared whole).
#pragma once

#include <atomic>

#include "common/registration.h"

namespace cudart {

class ErrorState {
 public:
  // Returns `status`, remembering it as the thread's last error when it is a
  // failure. Not-ready answers of queries are no failure.
  static int Record(int status);
  // A call on `gpu` that failed with `status`: records it, and makes it the
  // GPU's sticky error when it is of the kind that corrupts the context.
  static int RecordOn(int gpu, int status);

  // cudaGetLastError: the last error, reset unless a sticky one stays.
  static int TakeLast(int gpu);
  static int PeekLast(int gpu);

  // The sticky error of `gpu`, 0 when none.
  static int Sticky(int gpu);
  // cudaDeviceReset: forget the GPU's sticky and pending failures.
  static void ClearGpu(int gpu);

  // The first failure of a no-wait call on `gpu` since the last sync call.
  static void NoteAsyncFailure(int gpu, int status);
  static int TakeAsyncFailure(int gpu);

 private:
  static bool IsSticky(int status);

  static thread_local int last_error_;
  static std::atomic<int> sticky_[kMaxGpus];
  static std::atomic<int> async_[kMaxGpus];
};

}  // namespace cudart
