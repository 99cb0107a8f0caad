// Fibers for the threads of a block: a stack each and a context switch that
// saves only what the calling convention says a callee must keep. glibc's
// swapcontext also saves the signal mask with a system call per switch, far
// too slow for a block barrier met by a million threads.
//
// Thread safety: a fiber is switched to and from by one OS thread only.
#pragma once

#include <cstddef>

#if !defined(__x86_64__)
#include <ucontext.h>
#endif

namespace zantu {

// Where a suspended flow of control resumes.
struct FiberContext {
#if defined(__x86_64__)
  void* sp = nullptr;  // the callee-saved registers and the return address lie here
#else
  ucontext_t uc;
#endif
};

// An mmap'd stack with an inaccessible guard page below it; none (not ok())
// when `bytes` is 0.
class FiberStack {
 public:
  explicit FiberStack(size_t bytes);
  ~FiberStack();
  FiberStack(const FiberStack&) = delete;
  FiberStack& operator=(const FiberStack&) = delete;

  bool ok() const { return base_ != nullptr; }
  char* bottom() const { return base_ + kGuardBytes; }  // lowest usable byte
  size_t size() const { return size_; }                 // usable bytes

 private:
  static constexpr size_t kGuardBytes = 4096;
  char* base_ = nullptr;
  size_t size_ = 0;
};

// Makes `*context` start `entry(arg)` on `stack` when switched to. `entry`
// must never return: it switches away for good instead.
void MakeFiberContext(FiberContext* context, const FiberStack& stack, void (*entry)(void*), void* arg);

// Saves the current flow in `*from` and resumes `*to`.
void SwitchFiber(FiberContext* from, const FiberContext* to);

}  // namespace zantu
