#include "node/kernel_runtime/block_runner.h"

#include "common/runtime_calls.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define ZANTU_ASAN_FIBERS 1
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define ZANTU_TSAN_FIBERS 1
#endif

thread_local uint3 threadIdx = {0, 0, 0};
thread_local uint3 blockIdx = {0, 0, 0};
thread_local dim3 blockDim;
thread_local dim3 gridDim;

namespace zantu {
namespace {

#if defined(ZANTU_ASAN_FIBERS)
constexpr size_t kFiberStackBytes = size_t{1} << 20;  // instrumented frames are larger
#else
constexpr size_t kFiberStackBytes = size_t{256} << 10;
#endif

thread_local BlockRunner* running = nullptr;

}  // namespace

struct BlockRunner::Fiber {
  explicit Fiber(BlockRunner* r) : stack(kFiberStackBytes), runner(r) {}
  FiberContext context;
  FiberStack stack;
  BlockRunner* runner;
  uint3 index{0, 0, 0};
  void* asan_fake_stack = nullptr;
  void* tsan_fiber = nullptr;
};

void SyncThreads() {
  if (BlockRunner* runner = BlockRunner::Running()) runner->Barrier();
}

BlockRunner& BlockRunner::Current() {
  thread_local std::unique_ptr<BlockRunner> runner;
  if (!runner) runner = std::make_unique<BlockRunner>();
  return *runner;
}

BlockRunner* BlockRunner::Running() { return running; }

BlockRunner::BlockRunner() = default;

BlockRunner::~BlockRunner() {
#if defined(ZANTU_TSAN_FIBERS)
  for (auto& f : fibers_) {
    if (f->tsan_fiber != nullptr) __tsan_destroy_fiber(f->tsan_fiber);
  }
#endif
}

uint32_t BlockRunner::RunGrid(const uint32_t grid[3], const uint32_t block[3], ThreadBody body, const void* args) {
  for (int i = 0; i < 3; ++i) {
    if (grid[i] == 0 || block[i] == 0) return kRtInvalidConfiguration;
  }
  const uint64_t threads = uint64_t{block[0]} * block[1] * block[2];
  if (block[0] > 1024 || block[1] > 1024 || block[2] > 64 || threads > 1024) return kRtInvalidConfiguration;
  if (grid[0] > 0x7fffffffu || grid[1] > 65535 || grid[2] > 65535) return kRtInvalidConfiguration;

  body_ = body;
  args_ = args;
  stray_barrier_ = false;
  gridDim = dim3(grid[0], grid[1], grid[2]);
  blockDim = dim3(block[0], block[1], block[2]);
  BlockRunner* outer = running;
  running = this;
  uint32_t result = kRtSuccess;
  for (uint32_t z = 0; z < grid[2] && result == kRtSuccess; ++z) {
    for (uint32_t y = 0; y < grid[1] && result == kRtSuccess; ++y) {
      for (uint32_t x = 0; x < grid[0] && result == kRtSuccess; ++x) {
        blockIdx = uint3{x, y, z};
        result = RunBlock(static_cast<uint32_t>(threads));
      }
    }
  }
  running = outer;
  if (result == kRtSuccess && stray_barrier_) result = kRtLaunchFailure;
  return result;
}

uint3 BlockRunner::ThreadIndex(uint32_t thread) const {
  const uint32_t x = blockDim.x, y = blockDim.y;
  return uint3{thread % x, (thread / x) % y, thread / (x * y)};
}

uint32_t BlockRunner::RunBlock(uint32_t threads) {
  if (!EnsureIdleFibers(1)) return kRtLaunchOutOfResources;
  threads_ = threads;
  next_thread_ = 1;
  chaining_ = false;
  waiting_.clear();
  next_.clear();
  cursor_ = 0;
  Fiber* first = idle_.back();
  idle_.pop_back();
  first->index = ThreadIndex(0);
  Resume(Enter(first));
  if (next_.empty()) {  // the first thread ended without a barrier
    for (uint32_t t = 1; t < threads; ++t) {
      threadIdx = ThreadIndex(t);
      body_(args_);
    }
    return kRtSuccess;
  }
  if (!EnsureIdleFibers(threads - 1)) {
    Discard(next_);
    return kRtLaunchOutOfResources;
  }
  // From here the fibers hand over among themselves; the last to stop
  // returns here when every thread has ended.
  chaining_ = true;
  Resume(NextFiber());
  chaining_ = false;
  return kRtSuccess;
}

// The fiber to run next: a thread still to start, else the next one waiting
// at the barrier of this round; when the round is through, the barrier opens
// for those that reached the next one. Null when every thread has ended.
BlockRunner::Fiber* BlockRunner::NextFiber() {
  if (next_thread_ < threads_) {
    Fiber* fiber = idle_.back();
    idle_.pop_back();
    fiber->index = ThreadIndex(next_thread_++);
    return Enter(fiber);
  }
  if (cursor_ == waiting_.size()) {
    if (next_.empty()) return nullptr;
    waiting_.swap(next_);
    next_.clear();
    cursor_ = 0;
  }
  return Enter(waiting_[cursor_++]);
}

BlockRunner::Fiber* BlockRunner::Enter(Fiber* fiber) {
  threadIdx = fiber->index;
  current_ = fiber;
  return fiber;
}

// `self` stops (at a barrier, or its thread ended): the OS thread goes to the
// next fiber, or back to the scheduler. Returns when `self` is resumed.
void BlockRunner::Leave(Fiber* self) {
  Fiber* next = chaining_ ? NextFiber() : nullptr;
  if (next == self) return;  // an ended thread's fiber starts the next thread itself
  if (next == nullptr) {
    SwitchToScheduler(self);
  } else {
    SwitchBetween(self, next);
  }
}

bool BlockRunner::EnsureIdleFibers(size_t count) {
  while (idle_.size() < count) {
    auto fiber = std::make_unique<Fiber>(this);
    if (!fiber->stack.ok()) return false;
    MakeFiberContext(&fiber->context, fiber->stack, &BlockRunner::FiberMain, fiber.get());
#if defined(ZANTU_TSAN_FIBERS)
    fiber->tsan_fiber = __tsan_create_fiber(0);
#endif
    idle_.push_back(fiber.get());
    fibers_.push_back(std::move(fiber));
  }
  return true;
}

// Fibers suspended at a barrier of a block that cannot go on: their stacks
// hold only the kernel's frames, which own nothing.
void BlockRunner::Discard(const std::vector<Fiber*>& suspended) {
  for (Fiber* fiber : suspended) {
    for (auto it = fibers_.begin(); it != fibers_.end(); ++it) {
      if (it->get() != fiber) continue;
#if defined(ZANTU_TSAN_FIBERS)
      __tsan_destroy_fiber(fiber->tsan_fiber);
#endif
      fibers_.erase(it);
      break;
    }
  }
}

void BlockRunner::Resume(Fiber* fiber) {
#if defined(ZANTU_TSAN_FIBERS)
  if (scheduler_tsan_fiber_ == nullptr) scheduler_tsan_fiber_ = __tsan_get_current_fiber();
  __tsan_switch_to_fiber(fiber->tsan_fiber, 0);
#endif
#if defined(ZANTU_ASAN_FIBERS)
  void* fake_stack = nullptr;
  from_scheduler_ = true;
  __sanitizer_start_switch_fiber(&fake_stack, fiber->stack.bottom(), fiber->stack.size());
  SwitchFiber(&scheduler_, &fiber->context);
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#else
  SwitchFiber(&scheduler_, &fiber->context);
#endif
  current_ = nullptr;
}

void BlockRunner::SwitchBetween(Fiber* from, Fiber* to) {
#if defined(ZANTU_TSAN_FIBERS)
  __tsan_switch_to_fiber(to->tsan_fiber, 0);
#endif
#if defined(ZANTU_ASAN_FIBERS)
  __sanitizer_start_switch_fiber(&from->asan_fake_stack, to->stack.bottom(), to->stack.size());
#endif
  SwitchFiber(&from->context, &to->context);
  SwitchedIn(from);
}

void BlockRunner::SwitchToScheduler(Fiber* from) {
#if defined(ZANTU_TSAN_FIBERS)
  __tsan_switch_to_fiber(scheduler_tsan_fiber_, 0);
#endif
#if defined(ZANTU_ASAN_FIBERS)
  __sanitizer_start_switch_fiber(&from->asan_fake_stack, scheduler_stack_bottom_, scheduler_stack_size_);
#endif
  SwitchFiber(&from->context, &scheduler_);
  SwitchedIn(from);
}

// Runs on `self` right after a switch into it. The address sanitizer says
// which stack the switch came from: the scheduler's, when it did, is where
// the last fiber of a block must return.
void BlockRunner::SwitchedIn(Fiber* self) {
#if defined(ZANTU_ASAN_FIBERS)
  const void* bottom = nullptr;
  size_t size = 0;
  __sanitizer_finish_switch_fiber(self->asan_fake_stack, &bottom, &size);
  if (from_scheduler_) {
    scheduler_stack_bottom_ = bottom;
    scheduler_stack_size_ = size;
    from_scheduler_ = false;
  }
#else
  (void)self;
#endif
}

void BlockRunner::Barrier() {
  if (current_ == nullptr) {
    stray_barrier_ = true;  // a thread run straight through: its block's first thread met no barrier
    return;
  }
  Fiber* self = current_;
  next_.push_back(self);
  Leave(self);
}

// A fiber's whole life: run a thread, park or start the next thread, again.
void BlockRunner::FiberMain(void* arg) {
  auto* fiber = static_cast<Fiber*>(arg);
  BlockRunner* runner = fiber->runner;
  fiber->asan_fake_stack = nullptr;
  runner->SwitchedIn(fiber);
  for (;;) {
    runner->body_(runner->args_);
    runner->idle_.push_back(fiber);
    runner->Leave(fiber);
  }
}

}  // namespace zantu
