// The overflow: answers that a client's response ring cannot take now wait
// in daemon memory, in the order they came, and the overflow worker moves
// them into the ring as soon as it has room. A response worker therefore
// never waits for one client's ring, and the answers of every other client
// of its node keep flowing.
//
// Bounds: kMaxHeldPerClient bytes per client and kMaxHeldTotal for all
// clients together; an answer that would pass either gets its client
// released at once. So does a client that takes no answer from its ring
// (the ring's reader position does not move) for kStallNs while answers
// wait. A released client's held answers are freed at once, and its later
// ones dropped, until its rings go.
//
// One log line per change of state: the first answer held ("response
// ringbuffer is full"), the last one moved, and the release (an Error line
// of the request worker, with the reason).
//
// The records of a pid change only under its response mutex, also held by
// every caller here: whoever holds it keeps them in order. overflow_mutex_
// guards the table and is never held across a ring write or a receive.
#include <chrono>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "common/log.h"
#include "server/zantu.h"

namespace {

constexpr uint64_t kMaxHeldPerClient = uint64_t{512} << 20;
constexpr uint64_t kMaxHeldTotal = uint64_t{2} << 30;
constexpr int64_t kStallNs = 5'000'000'000;
// Nothing tells the daemon that a client has read its ring: while answers
// are held, it looks this often.
constexpr auto kOverflowPoll = std::chrono::milliseconds(1);

int64_t NowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::string HeldTooMuch(uint64_t pid, bool all) {
  return "answers held for pid=" + std::to_string(pid) + " would pass " +
         (all ? "2 GiB for all clients" : "512 MiB");
}

}  // namespace

Zantu::Route Zantu::RouteOf(uint64_t pid) {
  // Entries are made and erased under the response mutex of their pid,
  // which the caller holds: 0 here means none for pid.
  if (overflow_entries_.load(std::memory_order_acquire) == 0) return Route::kRing;
  zantu::MutexLock lock(&overflow_mutex_);
  auto it = overflow_.find(pid);
  if (it == overflow_.end()) return Route::kRing;
  return it->second.doomed ? Route::kDrop : Route::kHold;
}

bool Zantu::ReserveOverflow(uint64_t pid, uint64_t bytes, RingBuffer* ring, HeldAnswer* record) {
  std::string why;
  bool fresh;
  {
    zantu::MutexLock lock(&overflow_mutex_);
    auto [it, inserted] = overflow_.try_emplace(pid);
    fresh = inserted;
    Overflow& held = it->second;
    if (fresh) {
      held.reader_seen = ring->ReaderPosition();
      held.moved_ns = NowNs();
      overflow_entries_.store(overflow_.size(), std::memory_order_release);
    }
    if (bytes > kMaxHeldPerClient - held.bytes) {
      why = HeldTooMuch(pid, false);
    } else if (bytes > kMaxHeldTotal - overflow_bytes_) {
      why = HeldTooMuch(pid, true);
    } else {
      held.bytes += bytes;
      overflow_bytes_ += bytes;
    }
    if (!why.empty()) DoomOverflow(pid);
  }
  if (fresh) ZANTU_LOG_AS("ResponseWorker", "response ringbuffer is full pid=%d", static_cast<int>(pid));
  if (why.empty()) {
    try {
      record->bytes.reset(new char[static_cast<size_t>(bytes)]);
      record->size = static_cast<size_t>(bytes);
      return true;
    } catch (const std::bad_alloc&) {
      why = "no memory to hold an answer for pid=" + std::to_string(pid);
      zantu::MutexLock lock(&overflow_mutex_);
      DoomOverflow(pid);
    }
  }
  AskRelease(pid, ring, why);
  return false;
}

void Zantu::AppendOverflow(uint64_t pid, HeldAnswer record) {
  zantu::MutexLock lock(&overflow_mutex_);
  auto it = overflow_.find(pid);
  if (it == overflow_.end()) return;  // cannot be: the caller reserved under pid's mutex
  it->second.records.push_back(std::move(record));
  if (it->second.records.size() == 1) overflow_cv_.notify_all();
}

void Zantu::DoomOverflow(uint64_t pid) {
  auto it = overflow_.find(pid);
  if (it == overflow_.end()) return;
  overflow_bytes_ -= it->second.bytes;
  it->second.bytes = 0;
  it->second.records.clear();
  it->second.doomed = true;
}

void Zantu::ForgetOverflow(uint64_t pid) {
  zantu::MutexLock lock(&overflow_mutex_);
  auto it = overflow_.find(pid);
  if (it == overflow_.end()) return;
  overflow_bytes_ -= it->second.bytes;
  overflow_.erase(it);
  overflow_entries_.store(overflow_.size(), std::memory_order_release);
}

void Zantu::OverflowWorker() {
  std::vector<unsigned long> pids;
  while (AwaitOverflow(&pids)) {
    for (unsigned long pid : pids) MoveOverflow(pid);
    zantu::MutexLock lock(&overflow_mutex_);
    if (!Quitting()) overflow_cv_.wait_for(overflow_mutex_, kOverflowPoll);
  }
}

bool Zantu::AwaitOverflow(std::vector<unsigned long>* pids) {
  // Sleeps without a timeout while nothing is held: the first held answer
  // and Quit wake it.
  zantu::MutexLock lock(&overflow_mutex_);
  for (;;) {
    if (Quitting()) return false;
    pids->clear();
    for (const auto& [pid, held] : overflow_) {
      if (!held.records.empty()) pids->push_back(pid);
    }
    if (!pids->empty()) return true;
    overflow_cv_.wait(overflow_mutex_);
  }
}

void Zantu::MoveOverflow(uint64_t pid) {
  zantu::Mutex* response_mutex = FindResponseMutex(pid);
  if (response_mutex == nullptr) return;
  // One answer per hold of the mutex: a response worker with an answer for
  // pid waits for one copy at most.
  for (bool more = true; more && !Quitting();) {
    zantu::MutexLock response(response_mutex);
    // Whoever deleted or replaced the ring dropped what was held for it.
    RingBuffer* ring = FindResponseRing(pid);
    if (ring == nullptr) return;
    more = MoveOneAnswer(pid, ring);
  }
}

bool Zantu::MoveOneAnswer(uint64_t pid, RingBuffer* ring) {
  HeldAnswer record;
  if (!TakeHeldAnswer(pid, &record)) return false;
  const RingBufferStatus status = ring->Write(record.size, [&record](void* space) {
    std::memcpy(space, record.bytes.get(), record.size);
    return kRingSuccess;
  });
  if (status == kRingSuccess) {
    if (!HeldAnswerTaken(pid, record.size)) return true;
    ZANTU_LOG_AS("OverflowWorker", "response ringbuffer of pid=%d has taken every held answer",
                 static_cast<int>(pid));
    return false;
  }
  ReturnHeldAnswer(pid, std::move(record));
  if (status == kRingFull) {
    CheckStalled(pid, ring);
    return false;
  }
  // Larger than the ring, no memory, or damaged by the client.
  {
    zantu::MutexLock lock(&overflow_mutex_);
    DoomOverflow(pid);
  }
  AskRelease(pid, ring, "an answer for pid=" + std::to_string(pid) + " was lost (write ring buffer failed=" +
                            std::to_string(status) + ")");
  return false;
}

bool Zantu::TakeHeldAnswer(uint64_t pid, HeldAnswer* record) {
  zantu::MutexLock lock(&overflow_mutex_);
  auto it = overflow_.find(pid);
  if (it == overflow_.end() || it->second.records.empty()) return false;
  *record = std::move(it->second.records.front());
  it->second.records.pop_front();
  return true;
}

bool Zantu::HeldAnswerTaken(uint64_t pid, size_t bytes) {
  zantu::MutexLock lock(&overflow_mutex_);
  auto it = overflow_.find(pid);
  if (it == overflow_.end()) return true;
  it->second.bytes -= bytes;
  overflow_bytes_ -= bytes;
  if (!it->second.records.empty()) return false;
  // Drained: nothing else is reserved while the caller holds pid's mutex.
  overflow_.erase(it);
  overflow_entries_.store(overflow_.size(), std::memory_order_release);
  return true;
}

void Zantu::ReturnHeldAnswer(uint64_t pid, HeldAnswer record) {
  zantu::MutexLock lock(&overflow_mutex_);
  auto it = overflow_.find(pid);
  if (it != overflow_.end()) it->second.records.push_front(std::move(record));
}

void Zantu::CheckStalled(uint64_t pid, RingBuffer* ring) {
  const uint64_t reader = ring->ReaderPosition();
  {
    zantu::MutexLock lock(&overflow_mutex_);
    auto it = overflow_.find(pid);
    if (it == overflow_.end() || it->second.doomed) return;
    Overflow& held = it->second;
    const int64_t now = NowNs();
    if (reader != held.reader_seen) {
      // It reads: room will come.
      held.reader_seen = reader;
      held.moved_ns = now;
      return;
    }
    if (now - held.moved_ns < kStallNs) return;
    DoomOverflow(pid);
  }
  AskRelease(pid, ring, "pid=" + std::to_string(pid) + " took no answer from its full ring for 5 s");
}
