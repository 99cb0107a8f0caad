#include "node/backends/emulated_streams.h"

#include <algorithm>
#include <utility>

namespace zantu_node {
namespace {

// The legacy default stream's two handles, 0 and cudaStreamLegacy.
constexpr uint64_t kLegacyHandle = 1;

}  // namespace

EmulatedStreams::EmulatedStreams(unsigned threads) : thread_count_(std::max(1u, threads)) {}

EmulatedStreams::~EmulatedStreams() {
  WaitFor(Goal{});
  std::vector<std::thread> threads;
  {
    zantu::MutexLock lock(&mutex_);
    stopping_ = true;
    threads.swap(threads_);
  }
  ready_cv_.notify_all();
  for (std::thread& thread : threads) thread.join();
}

uint64_t EmulatedStreams::Canonical(uint64_t stream) { return stream == kLegacyHandle ? 0 : stream; }

EmulatedStreams::Group& EmulatedStreams::GroupOf(uint32_t pid, uint32_t gpu) { return groups_[{pid, gpu}]; }

EmulatedStreams::Queue* EmulatedStreams::FindQueue(const StreamId& id) {
  auto group = groups_.find({id.pid, id.gpu});
  if (group == groups_.end()) return nullptr;
  auto queue = group->second.queues.find(Canonical(id.stream));
  return queue == group->second.queues.end() ? nullptr : queue->second.get();
}

EmulatedStreams::Queue& EmulatedStreams::QueueOf(const StreamId& id) {
  std::unique_ptr<Queue>& queue = GroupOf(id.pid, id.gpu).queues[Canonical(id.stream)];
  if (!queue) {
    queue = std::make_unique<Queue>();
    queue->id = StreamId{id.pid, id.gpu, Canonical(id.stream)};
    queue->legacy = queue->id.stream == 0;
  }
  return *queue;
}

void EmulatedStreams::Create(const StreamId& id, bool blocking) {
  zantu::MutexLock lock(&mutex_);
  QueueOf(id).blocking = blocking;
}

bool EmulatedStreams::NeedsOrderGates(Group& group, const Queue& queue) {
  if (queue.legacy) {
    for (const Queue* other : group.busy) {
      if (other != &queue && other->blocking && other->queued > other->finished) return true;
    }
    return false;
  }
  if (!queue.blocking) return false;
  auto legacy = group.queues.find(0);
  return legacy != group.queues.end() && legacy->second->queued > legacy->second->finished;
}

void EmulatedStreams::AddOrderGates(Group& group, Queue& queue) {
  if (queue.legacy) {
    // Push may add `queue` itself to the set: a set's iterators stay valid.
    for (const Queue* other : group.busy) {
      if (other != &queue && other->blocking && other->queued > other->finished) {
        Push(queue, Item{nullptr, other, other->queued});
      }
    }
    return;
  }
  if (!queue.blocking) return;
  auto legacy = group.queues.find(0);
  if (legacy != group.queues.end() && legacy->second->queued > legacy->second->finished) {
    Push(queue, Item{nullptr, legacy->second.get(), legacy->second->queued});
  }
}

void EmulatedStreams::Push(Queue& queue, Item item) {
  // A gate behind an equal or later one on the same stream adds nothing.
  if (!item.work && !queue.items.empty()) {
    const Item& last = queue.items.back();
    if (!last.work && last.target == item.target && last.count >= item.count) return;
  }
  if (item.work) ++queue.queued;
  queue.items.push_back(std::move(item));
  GroupOf(queue.id.pid, queue.id.gpu).busy.insert(&queue);
}

EmulatedStreams::Place EmulatedStreams::Enqueue(const StreamId& id, Work work) {
  zantu::MutexLock lock(&mutex_);
  Queue& queue = QueueOf(id);
  AddOrderGates(GroupOf(id.pid, id.gpu), queue);
  Push(queue, Item{std::move(work), nullptr, 0});
  if (threads_.empty()) StartThreads();
  Kick(queue);
  return Place{queue.id, queue.queued};
}

EmulatedStreams::Place EmulatedStreams::Mark(const StreamId& id, Work work) {
  {
    zantu::MutexLock lock(&mutex_);
    Queue& queue = QueueOf(id);
    if (!queue.Busy() && !NeedsOrderGates(GroupOf(id.pid, id.gpu), queue)) {
      // Nothing to wait for: the mark is reached now.
      work();
      ++queue.queued;
      ++queue.finished;
      return Place{queue.id, queue.finished};
    }
  }
  return Enqueue(id, std::move(work));
}

void EmulatedStreams::Gate(const StreamId& id, const Place& place) {
  zantu::MutexLock lock(&mutex_);
  const Queue* target = FindQueue(place.id);
  if (target == nullptr || target->finished >= place.count) return;
  Queue& queue = QueueOf(id);
  if (&queue == target) return;  // its own earlier work comes first anyway
  Push(queue, Item{nullptr, target, place.count});
  Kick(queue);
}

void EmulatedStreams::Kick(Queue& queue) {
  if (queue.running || queue.ready) return;
  while (!queue.items.empty() && !queue.items.front().work) {
    const Item& gate = queue.items.front();
    Queue* target = const_cast<Queue*>(gate.target);
    if (target->finished < gate.count) {
      if (std::find(target->waiters.begin(), target->waiters.end(), &queue) == target->waiters.end()) {
        target->waiters.push_back(&queue);
      }
      return;
    }
    queue.items.pop_front();
  }
  if (queue.items.empty()) {
    GroupOf(queue.id.pid, queue.id.gpu).busy.erase(&queue);
    finished_cv_.notify_all();
    return;
  }
  queue.ready = true;
  ready_.push_back(&queue);
  ready_cv_.notify_one();
  finished_cv_.notify_all();  // a waiter may help with it
}

void EmulatedStreams::RunHead(Queue& queue) {
  queue.ready = false;
  queue.running = true;
  Work work = std::move(queue.items.front().work);
  mutex_.unlock();
  const uint32_t result = work();
  mutex_.lock();
  Finish(queue, result);
}

void EmulatedStreams::Finish(Queue& queue, uint32_t result) {
  queue.items.pop_front();
  queue.running = false;
  ++queue.finished;
  Group& group = GroupOf(queue.id.pid, queue.id.gpu);
  if (result != 0 && group.failure == 0) group.failure = result;
  std::vector<Queue*> waiters;
  waiters.swap(queue.waiters);
  for (Queue* waiter : waiters) Kick(*waiter);
  Kick(queue);
  finished_cv_.notify_all();
}

bool EmulatedStreams::Met(const Goal& goal) {
  switch (goal.kind) {
    case Goal::kPlace: {
      const Queue* queue = FindQueue(goal.place.id);
      return queue == nullptr || queue->finished >= goal.place.count;
    }
    case Goal::kGroup: {
      auto group = groups_.find({goal.place.id.pid, goal.place.id.gpu});
      return group == groups_.end() || group->second.busy.empty();
    }
    case Goal::kClient:
    case Goal::kEverything:
      for (const auto& [key, group] : groups_) {
        if ((goal.kind == Goal::kEverything || key.first == goal.place.id.pid) && !group.busy.empty()) return false;
      }
      return true;
  }
  return true;
}

bool EmulatedStreams::Helps(const Goal& goal, const Queue& queue) {
  const StreamId& want = goal.place.id;
  switch (goal.kind) {
    case Goal::kPlace:
      return queue.id.pid == want.pid && queue.id.gpu == want.gpu && queue.id.stream == Canonical(want.stream);
    case Goal::kGroup:
      return queue.id.pid == want.pid && queue.id.gpu == want.gpu;
    case Goal::kClient:
      return queue.id.pid == want.pid;
    case Goal::kEverything:
      return true;
  }
  return false;
}

void EmulatedStreams::WaitFor(const Goal& goal) {
  zantu::MutexLock lock(&mutex_);
  while (!Met(goal)) {
    auto ready = std::find_if(ready_.begin(), ready_.end(), [&goal](const Queue* q) { return Helps(goal, *q); });
    if (ready != ready_.end()) {
      Queue* queue = *ready;
      ready_.erase(ready);
      RunHead(*queue);
      continue;
    }
    finished_cv_.wait(mutex_);
  }
}

bool EmulatedStreams::Reached(const Place& place) {
  zantu::MutexLock lock(&mutex_);
  return Met(Goal{Goal::kPlace, place});
}

void EmulatedStreams::Wait(const Place& place) { WaitFor(Goal{Goal::kPlace, place}); }

void EmulatedStreams::Drain(const StreamId& id) {
  {
    zantu::MutexLock lock(&mutex_);
    Queue& queue = QueueOf(id);
    if (!queue.Busy() && !NeedsOrderGates(GroupOf(id.pid, id.gpu), queue)) return;
  }
  // An empty item behind the stream's work and the order gates.
  Wait(Enqueue(id, [] { return uint32_t{0}; }));
}

void EmulatedStreams::DrainGpu(uint32_t pid, uint32_t gpu) {
  WaitFor(Goal{Goal::kGroup, Place{StreamId{pid, gpu, 0}, 0}});
}

void EmulatedStreams::DrainClient(uint32_t pid) { WaitFor(Goal{Goal::kClient, Place{StreamId{pid, 0, 0}, 0}}); }

bool EmulatedStreams::Idle(const StreamId& id) {
  zantu::MutexLock lock(&mutex_);
  const Queue* queue = FindQueue(id);
  return queue == nullptr || !queue->Busy();
}

uint32_t EmulatedStreams::TakeFailure(uint32_t pid, uint32_t gpu) {
  zantu::MutexLock lock(&mutex_);
  auto group = groups_.find({pid, gpu});
  if (group == groups_.end()) return 0;
  return std::exchange(group->second.failure, 0);
}

void EmulatedStreams::Forget(const Queue& queue) {
  for (auto& [key, group] : groups_) {
    if (key.first != queue.id.pid) continue;
    for (auto& [handle, other] : group.queues) {
      std::erase_if(other->items, [&queue](const Item& item) { return !item.work && item.target == &queue; });
    }
  }
}

void EmulatedStreams::Destroy(const StreamId& id) {
  Drain(id);
  zantu::MutexLock lock(&mutex_);
  Queue* queue = FindQueue(id);
  // Work queued meanwhile by another thread keeps the stream.
  if (queue == nullptr || queue->Busy()) return;
  Forget(*queue);
  Group& group = GroupOf(id.pid, id.gpu);
  group.queues.erase(queue->id.stream);
}

void EmulatedStreams::DestroyGpu(uint32_t pid, uint32_t gpu) {
  DrainGpu(pid, gpu);
  zantu::MutexLock lock(&mutex_);
  auto group = groups_.find({pid, gpu});
  if (group == groups_.end() || !group->second.busy.empty()) return;
  for (const auto& [handle, queue] : group->second.queues) Forget(*queue);
  groups_.erase(group);
}

void EmulatedStreams::DestroyClient(uint32_t pid) {
  DrainClient(pid);
  zantu::MutexLock lock(&mutex_);
  std::erase_if(groups_, [pid](const auto& entry) { return entry.first.first == pid && entry.second.busy.empty(); });
}

void EmulatedStreams::StartThreads() {
  if (stopping_) return;
  for (unsigned i = 0; i < thread_count_; ++i) threads_.emplace_back([this] { PoolMain(); });
}

void EmulatedStreams::PoolMain() {
  zantu::MutexLock lock(&mutex_);
  for (;;) {
    while (!stopping_ && ready_.empty()) ready_cv_.wait(mutex_);
    if (ready_.empty()) return;  // stopping
    Queue* queue = ready_.front();
    ready_.pop_front();
    RunHead(*queue);
  }
}

}  // namespace zantu_node
