// Runs a kernel's grid on the calling OS thread, block after block.
//
// A block's threads are fibers on that OS thread. The first thread runs on a
// fiber; when it ends without meeting __syncthreads the others run straight
// through on the OS thread's own stack, one after the other, with no switch
// at all (a barrier met then is a stray one: CUDA leaves a barrier that only
// some threads reach undefined, and the launch fails). Otherwise every thread
// gets a fiber and runs to its next barrier; the barrier opens when every
// thread that has not ended has reached it, so the threads run round by
// round. A fiber that stops hands the OS thread straight to the next one
// (one switch per thread and barrier, not two through a scheduler); a fiber
// whose thread ends runs the next thread still to start itself. Fibers and
// their stacks are kept for the OS thread's next block.
//
// Thread safety: one BlockRunner per OS thread (Current()); __shared__
// storage is per OS thread, so it is block-shared.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "node/kernel_runtime/fiber.h"
#include "node/kernel_runtime/kernel_registry.h"

namespace zantu {

class BlockRunner {
 public:
  BlockRunner();
  ~BlockRunner();
  BlockRunner(const BlockRunner&) = delete;
  BlockRunner& operator=(const BlockRunner&) = delete;

  // The calling OS thread's runner, made on first use.
  static BlockRunner& Current();
  // The runner whose launch is running on this OS thread, or null.
  static BlockRunner* Running();

  // Validates the shape and runs every block; 0 or a launch error.
  uint32_t RunGrid(const uint32_t grid[3], const uint32_t block[3], ThreadBody body, const void* args);

  // __syncthreads of the thread running now.
  void Barrier();

 private:
  struct Fiber;

  uint32_t RunBlock(uint32_t threads);
  [[nodiscard]] bool EnsureIdleFibers(size_t count);
  Fiber* NextFiber();
  Fiber* Enter(Fiber* fiber);
  void Leave(Fiber* self);
  void Resume(Fiber* fiber);
  void SwitchBetween(Fiber* from, Fiber* to);
  void SwitchToScheduler(Fiber* from);
  void SwitchedIn(Fiber* self);
  void Discard(const std::vector<Fiber*>& suspended);
  uint3 ThreadIndex(uint32_t thread) const;
  static void FiberMain(void* fiber);

  // The launch in progress.
  ThreadBody body_ = nullptr;
  const void* args_ = nullptr;
  bool stray_barrier_ = false;

  // The block in progress.
  uint32_t threads_ = 0;
  uint32_t next_thread_ = 0;  // the next thread still to start
  bool chaining_ = false;     // fibers hand over to each other (every fiber is ready)
  std::vector<Fiber*> waiting_;  // this round: at the last barrier, to be resumed in order
  size_t cursor_ = 0;            // the next of waiting_ to resume
  std::vector<Fiber*> next_;     // reached the next barrier this round

  FiberContext scheduler_;
  Fiber* current_ = nullptr;  // the fiber running now; null on the OS thread's stack
  std::vector<std::unique_ptr<Fiber>> fibers_;  // every fiber, owned
  std::vector<Fiber*> idle_;                    // parked between threads

  // The scheduler's own stack, as the address sanitizer must be told; used
  // only in sanitizer builds.
  [[maybe_unused]] const void* scheduler_stack_bottom_ = nullptr;
  [[maybe_unused]] size_t scheduler_stack_size_ = 0;
  [[maybe_unused]] void* scheduler_tsan_fiber_ = nullptr;
  [[maybe_unused]] bool from_scheduler_ = false;  // the switch in progress leaves the scheduler
};

}  // namespace zantu
