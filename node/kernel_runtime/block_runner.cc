#include "node/kernel_runtime/block_runner.h"

#include "common/runtime_calls.h"
#include "node/kernel_runtime/launch_limits.h"

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
  Fiber(BlockRunner* r, size_t stack_bytes) : stack(stack_bytes), runner(r) {}
  FiberContext context;
  FiberStack stack;  // none for the OS thread's own stack
  BlockRunner* runner;
  uint32_t rank = 0;  // the linear rank of the thread it runs
  uint3 index{0, 0, 0};
  void* asan_fake_stack = nullptr;
  void* tsan_fiber = nullptr;
  // The warp operation it stopped at, and its outcome (CompleteWarpOperations).
  uint64_t value = 0;
  uint32_t source = 0;
  uint32_t mask = 0;
  uint64_t* gathered = nullptr;
  WarpResult result{};
};

void SyncThreads() {
  if (BlockRunner* runner = BlockRunner::Running()) runner->Barrier();
}

WarpResult WarpExchange(uint64_t value, uint32_t source_lane, uint32_t mask, uint64_t* gathered) {
  if (BlockRunner* runner = BlockRunner::Running()) return runner->Exchange(value, source_lane, mask, gathered);
  return WarpResult{value, 0, 0};  // outside a launch there is no warp
}

BlockRunner& BlockRunner::Current() {
  thread_local std::unique_ptr<BlockRunner> runner;
  if (!runner) runner = std::make_unique<BlockRunner>();
  return *runner;
}

BlockRunner* BlockRunner::Running() { return running; }

BlockRunner::BlockRunner() : os_fiber_(std::make_unique<Fiber>(this, 0)) {}

BlockRunner::~BlockRunner() {
#if defined(ZANTU_TSAN_FIBERS)
  for (auto& f : fibers_) {
    if (f->tsan_fiber != nullptr) __tsan_destroy_fiber(f->tsan_fiber);
  }
#endif
}

uint32_t BlockRunner::RunGrid(const uint32_t grid[3], const uint32_t block[3], ThreadBody body, const void* args) {
  const uint32_t shape = LaunchShapeStatus(grid, block);
  if (shape != 0) return shape;
  const uint64_t threads = uint64_t{block[0]} * block[1] * block[2];

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
  straight_ = false;
  out_of_fibers_ = false;
  ready_.clear();
  cursor_ = 0;
  at_barrier_.clear();
  at_warp_.clear();
  Fiber* first = idle_.back();
  idle_.pop_back();
  Assign(first, 0);
  Resume(Enter(first));
  if (at_barrier_.empty() && at_warp_.empty()) return RunStraightThrough(threads);
  return RunOnFibers(threads);
}

// The first thread stopped: every thread gets a fiber. From here the fibers
// hand over among themselves; the last to stop returns here when every
// thread has ended.
uint32_t BlockRunner::RunOnFibers(uint32_t threads) {
  if (!EnsureIdleFibers(threads - 1)) {
    Discard(at_barrier_);
    Discard(at_warp_);
    return kRtLaunchOutOfResources;
  }
  chaining_ = true;
  Resume(NextFiber());
  chaining_ = false;
  return kRtSuccess;
}

// The first thread ended without stopping: the others run on the OS
// thread's stack, until one meets a warp operation and starts fibers for the
// threads after it (Exchange); those finish here.
uint32_t BlockRunner::RunStraightThrough(uint32_t threads) {
  straight_ = true;
  Fiber* os = os_fiber_.get();
  while (next_thread_ < threads) {
    Assign(os, next_thread_++);
    Enter(os);
    body_(args_);
  }
  if (Fiber* next = NextFiber()) {
    chaining_ = true;
    Resume(next);
  }
  chaining_ = false;
  return out_of_fibers_ ? kRtLaunchOutOfResources : kRtSuccess;
}

// The fiber to run next: a thread still to start, else the next one ready in
// this round, else the first of the next round. Null when every thread has
// ended.
BlockRunner::Fiber* BlockRunner::NextFiber() {
  if (next_thread_ < threads_) {
    Fiber* fiber = idle_.back();
    idle_.pop_back();
    Assign(fiber, next_thread_++);
    return Enter(fiber);
  }
  if (cursor_ == ready_.size()) return NextRound();
  return Enter(ready_[cursor_++]);
}

// Every thread that has not ended has stopped. The warp operations complete
// first; only when no thread waits at one does the block barrier open.
BlockRunner::Fiber* BlockRunner::NextRound() {
  ready_.clear();
  cursor_ = 0;
  if (!at_warp_.empty()) {
    CompleteWarpOperations();
    ready_.swap(at_warp_);
  } else if (!at_barrier_.empty()) {
    ready_.swap(at_barrier_);
  } else {
    return nullptr;
  }
  return Enter(ready_[cursor_++]);
}

// Each waiting thread's outcome, from the values its warp's waiting lanes
// left. Computed for all of them before any goes on: a lane that goes on
// overwrites its value at its next warp operation.
void BlockRunner::CompleteWarpOperations() {
  for (const Fiber* f : at_warp_) {
    arrived_[f->rank / kWarpLanes] = 0;
    ballot_[f->rank / kWarpLanes] = 0;
  }
  for (Fiber* f : at_warp_) {
    const uint32_t warp = f->rank / kWarpLanes, lane = f->rank % kWarpLanes;
    lanes_[warp][lane] = f;
    arrived_[warp] |= 1u << lane;
    if (f->value != 0) ballot_[warp] |= 1u << lane;
  }
  for (Fiber* f : at_warp_) {
    const uint32_t warp = f->rank / kWarpLanes, lane = f->rank % kWarpLanes;
    // A source that is not in the mask or not here leaves the caller's own value.
    const uint32_t partners = arrived_[warp] & (f->mask | (1u << lane));
    const bool from_source = f->source < kWarpLanes && ((partners >> f->source) & 1u) != 0;
    f->result = WarpResult{from_source ? lanes_[warp][f->source]->value : f->value, arrived_[warp], ballot_[warp]};
    if (f->gathered == nullptr) continue;
    for (uint32_t l = 0; l < kWarpLanes; ++l) {
      if ((arrived_[warp] >> l) & 1u) f->gathered[l] = lanes_[warp][l]->value;
    }
  }
}

void BlockRunner::Assign(Fiber* fiber, uint32_t rank) const {
  fiber->rank = rank;
  fiber->index = ThreadIndex(rank);
}

BlockRunner::Fiber* BlockRunner::Enter(Fiber* fiber) {
  threadIdx = fiber->index;
  current_ = fiber;
  return fiber;
}

// `self` stops (at a barrier or a warp operation, or its thread ended): the
// OS thread goes to the next fiber, or back to the scheduler. Returns when
// `self` is resumed.
void BlockRunner::Leave(Fiber* self) {
  Fiber* os = os_fiber_.get();
  if (self == os) {
    // The scheduler's stack is this thread's: it runs the others until its
    // turn comes again.
    chaining_ = true;
    Fiber* next = NextFiber();
    if (next != os) Resume(next);
    return;
  }
  Fiber* next = chaining_ ? NextFiber() : nullptr;
  if (next == self) return;  // an ended thread's fiber starts the next thread itself
  if (next == nullptr || next == os) {
    SwitchToScheduler(self);
  } else {
    SwitchBetween(self, next);
  }
}

bool BlockRunner::EnsureIdleFibers(size_t count) {
  while (idle_.size() < count) {
    auto fiber = std::make_unique<Fiber>(this, kFiberStackBytes);
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
  if (straight_) {
    stray_barrier_ = true;  // the block's first thread ended without meeting it
    return;
  }
  Fiber* self = current_;
  at_barrier_.push_back(self);
  Leave(self);
}

WarpResult BlockRunner::Exchange(uint64_t value, uint32_t source_lane, uint32_t mask, uint64_t* gathered) {
  Fiber* self = current_;
  self->value = value;
  self->source = source_lane;
  self->mask = mask;
  self->gathered = gathered;
  at_warp_.push_back(self);
  if (self == os_fiber_.get() && !EnsureIdleFibers(threads_ - next_thread_)) {
    // No fiber was ever started for this block (the first warp operation on
    // the OS thread's stack starts them all): the lane is alone.
    out_of_fibers_ = true;
    CompleteWarpOperations();
    at_warp_.clear();
    return self->result;
  }
  Leave(self);
  return self->result;
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
