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
  bool finished = true;
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
  Fiber* first = idle_.back();
  idle_.pop_back();
  Start(first, 0);
  if (first->finished) {
    idle_.push_back(first);
    for (uint32_t t = 1; t < threads; ++t) {
      threadIdx = ThreadIndex(t);
      body_(args_);
    }
    return kRtSuccess;
  }
  waiting_.clear();
  waiting_.push_back(first);
  if (!EnsureIdleFibers(threads - 1)) {
    Discard(waiting_);
    return kRtLaunchOutOfResources;
  }
  for (uint32_t t = 1; t < threads; ++t) {
    Fiber* fiber = idle_.back();
    idle_.pop_back();
    Start(fiber, t);
    (fiber->finished ? idle_ : waiting_).push_back(fiber);
  }
  // Every thread not yet ended waits at the same barrier: let each run to
  // its next one, in thread order.
  while (!waiting_.empty()) {
    next_.clear();
    for (Fiber* fiber : waiting_) {
      threadIdx = fiber->index;
      Resume(fiber);
      (fiber->finished ? idle_ : next_).push_back(fiber);
    }
    waiting_.swap(next_);
  }
  return kRtSuccess;
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

void BlockRunner::Start(Fiber* fiber, uint32_t thread) {
  fiber->index = ThreadIndex(thread);
  threadIdx = fiber->index;
  Resume(fiber);
}

void BlockRunner::Resume(Fiber* fiber) {
  current_ = fiber;
#if defined(ZANTU_TSAN_FIBERS)
  if (scheduler_tsan_fiber_ == nullptr) scheduler_tsan_fiber_ = __tsan_get_current_fiber();
  __tsan_switch_to_fiber(fiber->tsan_fiber, 0);
#endif
#if defined(ZANTU_ASAN_FIBERS)
  void* fake_stack = nullptr;
  __sanitizer_start_switch_fiber(&fake_stack, fiber->stack.bottom(), fiber->stack.size());
  SwitchFiber(&scheduler_, &fiber->context);
  __sanitizer_finish_switch_fiber(fake_stack, nullptr, nullptr);
#else
  SwitchFiber(&scheduler_, &fiber->context);
#endif
  current_ = nullptr;
}

void BlockRunner::SwitchToScheduler(Fiber* fiber) {
#if defined(ZANTU_TSAN_FIBERS)
  __tsan_switch_to_fiber(scheduler_tsan_fiber_, 0);
#endif
#if defined(ZANTU_ASAN_FIBERS)
  __sanitizer_start_switch_fiber(&fiber->asan_fake_stack, scheduler_stack_bottom_, scheduler_stack_size_);
  SwitchFiber(&fiber->context, &scheduler_);
  __sanitizer_finish_switch_fiber(fiber->asan_fake_stack, &scheduler_stack_bottom_, &scheduler_stack_size_);
#else
  SwitchFiber(&fiber->context, &scheduler_);
#endif
}

void BlockRunner::Barrier() {
  if (current_ == nullptr) {
    stray_barrier_ = true;  // a thread run straight through: its block's first thread met no barrier
    return;
  }
  SwitchToScheduler(current_);
}

// A fiber's whole life: run a thread, park, run the next one it is given.
void BlockRunner::FiberMain(void* arg) {
  auto* fiber = static_cast<Fiber*>(arg);
  BlockRunner* runner = fiber->runner;
#if defined(ZANTU_ASAN_FIBERS)
  __sanitizer_finish_switch_fiber(nullptr, &runner->scheduler_stack_bottom_, &runner->scheduler_stack_size_);
#endif
  for (;;) {
    fiber->finished = false;
    runner->body_(runner->args_);
    fiber->finished = true;
    runner->SwitchToScheduler(fiber);
  }
}

}  // namespace zantu
