// Runs a kernel's grid on the calling OS thread, block after block.
//
// A block's threads are fibers on that OS thread. The first thread runs on a
// fiber; when it ends without stopping (at __syncthreads or a warp
// operation) the others run straight through on the OS thread's own stack,
// one after the other, with no switch at all (a __syncthreads met then is a
// stray one: CUDA leaves a barrier that only some threads reach undefined,
// and the launch fails). Otherwise every thread gets a fiber and runs until
// it stops; the threads run round by round. A fiber that stops hands the OS
// thread straight to the next one (one switch per thread and stop, not two
// through a scheduler); a fiber whose thread ends runs the next thread still
// to start itself. Fibers and their stacks are kept for the OS thread's next
// block.
//
// When every thread that has not ended has stopped, the warp operations
// complete first: the threads of each warp (32 consecutive linear ranks)
// that wait at one exchange their values and go on, while those at
// __syncthreads keep waiting; only when no thread waits at a warp operation
// does the block barrier open. A warp therefore moves in lock step through
// its warp operations, its lanes that have ended or wait at __syncthreads
// being inactive, as divergent lanes are on the device.
//
// A warp operation met on the straight-through path (a thread other than the
// first is the first to meet one) cannot suspend the OS thread's stack, so
// the OS thread's stack becomes the thread's fiber: the threads still to
// start get fibers and run until they stop, then the OS thread resumes. The
// warp's lanes that ran straight through before have ended without any warp
// operation, so they are inactive in every one, as they would be on the
// device.
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

  // A warp operation of the thread running now (see WarpExchange in
  // zantu_kernel_warp.h): returns once every lane of its warp that has not
  // ended and does not wait at __syncthreads has reached one too.
  WarpResult Exchange(uint64_t value, uint32_t source_lane, uint32_t mask, uint64_t* gathered);

 private:
  struct Fiber;

  uint32_t RunBlock(uint32_t threads);
  uint32_t RunOnFibers(uint32_t threads);
  uint32_t RunStraightThrough(uint32_t threads);
  [[nodiscard]] bool EnsureIdleFibers(size_t count);
  Fiber* NextFiber();
  Fiber* NextRound();
  void CompleteWarpOperations();
  void Assign(Fiber* fiber, uint32_t rank) const;
  Fiber* Enter(Fiber* fiber);
  void Leave(Fiber* self);
  void Resume(Fiber* fiber);
  void SwitchBetween(Fiber* from, Fiber* to);
  void SwitchToScheduler(Fiber* from);
  void SwitchedIn(Fiber* self);
  void Discard(const std::vector<Fiber*>& suspended);
  uint3 ThreadIndex(uint32_t thread) const;
  static void FiberMain(void* fiber);

  static constexpr uint32_t kWarpLanes = 32;
  static constexpr uint32_t kMaxBlockThreads = 1024;
  static constexpr uint32_t kMaxWarps = kMaxBlockThreads / kWarpLanes;

  // The launch in progress.
  ThreadBody body_ = nullptr;
  const void* args_ = nullptr;
  bool stray_barrier_ = false;

  // The block in progress.
  uint32_t threads_ = 0;
  uint32_t next_thread_ = 0;  // the next thread still to start
  bool chaining_ = false;     // fibers hand over to each other (every fiber is ready)
  bool straight_ = false;     // the first thread ended without stopping: __syncthreads is stray
  bool out_of_fibers_ = false;   // a warp operation on the OS thread's stack found no fibers
  std::vector<Fiber*> ready_;    // this round: to be resumed in order
  size_t cursor_ = 0;            // the next of ready_ to resume
  std::vector<Fiber*> at_barrier_;  // stopped at __syncthreads
  std::vector<Fiber*> at_warp_;     // stopped at a warp operation
  // CompleteWarpOperations' tables, per warp of the block: the lanes waiting,
  // those of them whose value is nonzero, and the fiber of each.
  uint32_t arrived_[kMaxWarps] = {};
  uint32_t ballot_[kMaxWarps] = {};
  Fiber* lanes_[kMaxWarps][kWarpLanes] = {};

  FiberContext scheduler_;
  Fiber* current_ = nullptr;  // the fiber running now
  std::unique_ptr<Fiber> os_fiber_;  // the OS thread's own stack, running a thread straight through
  std::vector<std::unique_ptr<Fiber>> fibers_;  // every fiber with a stack, owned
  std::vector<Fiber*> idle_;                    // parked between threads

  // The scheduler's own stack, as the address sanitizer must be told; used
  // only in sanitizer builds.
  [[maybe_unused]] const void* scheduler_stack_bottom_ = nullptr;
  [[maybe_unused]] size_t scheduler_stack_size_ = 0;
  [[maybe_unused]] void* scheduler_tsan_fiber_ = nullptr;
  [[maybe_unused]] bool from_scheduler_ = false;  // the switch in progress leaves the scheduler
};

}  // namespace zantu
