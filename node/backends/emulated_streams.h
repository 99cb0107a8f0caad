// The streams of the emulated GPUs: one queue of work per client, GPU and
// stream, run by a small pool of threads, so that a client's streams overlap
// one another and the client's own work, and queries can say "not ready".
//
// Order, as CUDA keeps it:
// - one stream's work runs one item after the other, in the order queued;
// - the legacy default stream (handles 0 and 1) and the blocking streams of
//   one client and GPU wait for each other: work queued on the legacy stream
//   starts after the work already queued on every blocking stream, and work
//   queued on a blocking stream starts after the legacy stream's; streams
//   made non-blocking wait for nothing;
// - a gate (an event waited for) holds a stream until another stream's work
//   reaches the event's place.
// Gates only ever point at work queued before them, so no wait forms a cycle.
//
// A thread that waits for a stream runs that stream's ready work itself
// rather than sleeping while a pool thread wakes: a launch followed by a
// synchronize costs no thread switch.
//
// A work item returns 0 or the failure it met; the first failure per client
// and GPU is kept until taken (TakeFailure), as a GPU reports an
// asynchronous fault at the next synchronizing call.
//
// Thread safety: every method may be called from any thread. Work runs
// outside the lock; it must not call back into this object.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "common/thread_annotations.h"

namespace zantu_node {

class EmulatedStreams {
 public:
  using Work = std::function<uint32_t()>;

  // One stream of one client on one GPU. Handles 0 and 1 (the legacy
  // stream) name the same queue.
  struct StreamId {
    uint32_t pid = 0;
    uint32_t gpu = 0;
    uint64_t stream = 0;
  };
  // A place in a stream: reached once the stream has finished `count` items.
  struct Place {
    StreamId id;
    uint64_t count = 0;
  };

  // `threads` pool threads, started at the first queued work.
  explicit EmulatedStreams(unsigned threads);
  ~EmulatedStreams();  // waits for every queued item
  EmulatedStreams(const EmulatedStreams&) = delete;
  EmulatedStreams& operator=(const EmulatedStreams&) = delete;

  // A stream made by the client; the default streams exist without it.
  void Create(const StreamId& id, bool blocking) EXCLUDES(mutex_);
  // Waits for the stream's work, then forgets it.
  void Destroy(const StreamId& id) EXCLUDES(mutex_);
  // Waits for every stream of the client on `gpu`, then forgets them.
  void DestroyGpu(uint32_t pid, uint32_t gpu) EXCLUDES(mutex_);
  void DestroyClient(uint32_t pid) EXCLUDES(mutex_);

  // Queues `work` and returns the place just after it.
  Place Enqueue(const StreamId& id, Work work) EXCLUDES(mutex_);
  // Runs `work` at once when the stream has nothing to wait for, else
  // queues it; the place just after it either way.
  Place Mark(const StreamId& id, Work work) EXCLUDES(mutex_);
  // Holds the stream's later work until `place` is reached.
  void Gate(const StreamId& id, const Place& place) EXCLUDES(mutex_);

  // Whether `place` is reached (a forgotten stream's places all are).
  bool Reached(const Place& place) EXCLUDES(mutex_);
  void Wait(const Place& place) EXCLUDES(mutex_);
  // Returns once everything queued on the stream (and, by the order rules,
  // everything it waits for) has run; at once when that is nothing.
  void Drain(const StreamId& id) EXCLUDES(mutex_);
  // Returns once every stream of the client on `gpu`, or on any GPU, is idle.
  void DrainGpu(uint32_t pid, uint32_t gpu) EXCLUDES(mutex_);
  void DrainClient(uint32_t pid) EXCLUDES(mutex_);
  // Whether the stream has nothing queued or running.
  bool Idle(const StreamId& id) EXCLUDES(mutex_);

  // The first failure of the client's work on `gpu` since the last call, or 0.
  uint32_t TakeFailure(uint32_t pid, uint32_t gpu) EXCLUDES(mutex_);

 private:
  struct Queue;
  struct Item {
    Work work;             // null for a gate
    const Queue* target = nullptr;  // a gate's stream
    uint64_t count = 0;             // a gate's place in it
  };
  struct Queue {
    StreamId id;
    bool blocking = true;
    bool legacy = false;
    std::deque<Item> items;
    uint64_t queued = 0;    // work items ever queued
    uint64_t finished = 0;  // work items ever finished
    bool running = false;   // its head item runs now
    bool ready = false;     // it is on ready_
    // Queues whose head gate waits on this one.
    std::vector<Queue*> waiters;
    bool Busy() const { return running || !items.empty(); }
  };
  // One client's streams on one GPU.
  struct Group {
    std::map<uint64_t, std::unique_ptr<Queue>> queues;
    std::set<Queue*> busy;  // its queues with work queued or running
    uint32_t failure = 0;
  };
  using GroupKey = std::pair<uint32_t, uint32_t>;  // pid, GPU

  static uint64_t Canonical(uint64_t stream);
  Group& GroupOf(uint32_t pid, uint32_t gpu) REQUIRES(mutex_);
  Queue& QueueOf(const StreamId& id) REQUIRES(mutex_);
  Queue* FindQueue(const StreamId& id) REQUIRES(mutex_);
  // The gates the legacy order puts before new work on `queue`.
  void AddOrderGates(Group& group, Queue& queue) REQUIRES(mutex_);
  void Push(Queue& queue, Item item) REQUIRES(mutex_);
  // Opens satisfied gates at the queue's head and puts it on ready_ when
  // its head is work that may run.
  void Kick(Queue& queue) REQUIRES(mutex_);
  // Runs the head of a ready queue (the lock is let go meanwhile).
  void RunHead(Queue& queue) REQUIRES(mutex_);
  void Finish(Queue& queue, uint32_t result) REQUIRES(mutex_);
  // What a waiting thread waits for: a place, or every stream of a client
  // on a GPU (gpu set) or on all of them (gpu unset), or everything.
  struct Goal {
    enum Kind { kPlace, kGroup, kClient, kEverything } kind = kEverything;
    Place place;
  };
  bool Met(const Goal& goal) REQUIRES(mutex_);
  static bool Helps(const Goal& goal, const Queue& queue);
  // Waits until the goal is met, running meanwhile the ready work of the
  // queues it waits for.
  void WaitFor(const Goal& goal) EXCLUDES(mutex_);
  bool NeedsOrderGates(Group& group, const Queue& queue) REQUIRES(mutex_);
  // Removes the gates of the client's queues that point at `queue`, which
  // has finished all its work and goes.
  void Forget(const Queue& queue) REQUIRES(mutex_);
  void StartThreads() REQUIRES(mutex_);
  void PoolMain() EXCLUDES(mutex_);

  const unsigned thread_count_;
  zantu::Mutex mutex_;
  // Signalled when a queue becomes ready (pool threads) and when an item
  // finishes (waiters).
  std::condition_variable_any ready_cv_;
  std::condition_variable_any finished_cv_;
  std::map<GroupKey, Group> groups_ GUARDED_BY(mutex_);
  std::deque<Queue*> ready_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::thread> threads_ GUARDED_BY(mutex_);
};

}  // namespace zantu_node
