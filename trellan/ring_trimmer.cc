// The trimming thread and the list of rings it visits (ring_trimmer.h).
//
// Lock: Trimmer::mutex guards the list, the slot being trimmed and the
// thread's start and end; it is a leaf, held only briefly (never while pages
// are given back). A reader takes it only when the thread does not run.
//
// Start and end without a lost ring: a reader that turns a ring pending
// stores cold_hi, then reads `running` (both sequentially consistent); the
// thread, under the mutex, clears `running` and then looks for pending rings
// once more. Either the reader sees the thread still running and the thread
// sees the ring, or the reader sees it stopped and starts another under the
// mutex.
#include "trellan/ring_trimmer.h"

#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <condition_variable>
#include <ctime>
#include <unordered_set>
#include <vector>

#include "common/thread_annotations.h"

namespace trellan {
namespace {

// The list and the thread of one process. Never destroyed: rings may be
// released from static destructors while the thread runs.
struct Trimmer {
  zantu::Mutex mutex;
  std::condition_variable_any slot_done;  // `busy` was cleared
  std::unordered_set<TrimSlot*> slots GUARDED_BY(mutex);
  // The slot whose pages are being given back outside the mutex; its ring's
  // destructor waits until it is cleared.
  TrimSlot* busy GUARDED_BY(mutex) = nullptr;
  // Whether the thread runs: written under the mutex, read by readers
  // without it.
  std::atomic<bool> running{false};
  // In a forked child, the parent's copy, kept reachable.
  Trimmer* parent = nullptr;
};

std::atomic<Trimmer*> current_trimmer{nullptr};

// As ps and /proc/<pid>/task/*/comm show the thread.
constexpr char kThreadName[] = "trellan_trim";

// Fork: the mutex is held across it, so the child's copy is consistent; the
// child then starts over with an empty list and no thread.
void BeforeFork() NO_THREAD_SAFETY_ANALYSIS { current_trimmer.load()->mutex.lock(); }
void AfterForkInParent() NO_THREAD_SAFETY_ANALYSIS { current_trimmer.load()->mutex.unlock(); }
void AfterForkInChild() {
  auto* fresh = new Trimmer();
  fresh->parent = current_trimmer.load();
  current_trimmer.store(fresh);
}

Trimmer* TheTrimmer() {
  static const bool made = [] {
    current_trimmer.store(new Trimmer());
    pthread_atfork(BeforeFork, AfterForkInParent, AfterForkInChild);
    return true;
  }();
  (void)made;
  return current_trimmer.load(std::memory_order_acquire);
}

void SleepOnePeriod() {
  timespec left{kTrimPeriodNs / 1'000'000'000, kTrimPeriodNs % 1'000'000'000};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// Whether `slot` is pending and its reader has released nothing beyond the
// hot bytes since the previous visit.
bool IdleSinceLastVisit(TrimSlot* slot) {
  if (slot->cold_hi.load(std::memory_order_relaxed) == 0) {
    slot->visited = false;
    return false;
  }
  const uint64_t pos = slot->cold_read_pos.load(std::memory_order_relaxed);
  const bool idle = slot->visited && pos == slot->visited_cold_read_pos;
  slot->visited = true;
  slot->visited_cold_read_pos = pos;
  return idle;
}

// Gives back the pages of every idle ring, one at a time outside the mutex.
void VisitRings(Trimmer* trimmer) {
  std::vector<TrimSlot*> idle;
  {
    zantu::MutexLock lock(&trimmer->mutex);
    for (TrimSlot* slot : trimmer->slots) {
      if (IdleSinceLastVisit(slot)) idle.push_back(slot);
    }
  }
  for (TrimSlot* slot : idle) {
    {
      zantu::MutexLock lock(&trimmer->mutex);
      // Released since the list was read (a new ring may have its address).
      if (trimmer->slots.count(slot) == 0) continue;
      trimmer->busy = slot;
    }
    GiveBackColdPages(slot);
    {
      zantu::MutexLock lock(&trimmer->mutex);
      trimmer->busy = nullptr;
    }
    trimmer->slot_done.notify_all();
  }
}

// False when no ring is pending any more: the thread ends.
bool KeepRunning(Trimmer* trimmer) {
  zantu::MutexLock lock(&trimmer->mutex);
  trimmer->running.store(false, std::memory_order_seq_cst);
  for (TrimSlot* slot : trimmer->slots) {
    if (slot->cold_hi.load(std::memory_order_seq_cst) != 0) {
      trimmer->running.store(true, std::memory_order_relaxed);
      return true;
    }
  }
  return false;
}

void* TrimLoop(void* arg) {
  auto* trimmer = static_cast<Trimmer*>(arg);
  pthread_setname_np(pthread_self(), kThreadName);
  do {
    SleepOnePeriod();
    VisitRings(trimmer);
  } while (KeepRunning(trimmer));
  return nullptr;
}

// A detached thread with every signal blocked, so that it never runs the
// application's handlers. False if it cannot be made: the pages then stay
// until a reader turns a ring pending again.
bool StartThread(Trimmer* trimmer) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) return false;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  sigset_t all, before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attr, TrimLoop, trimmer) == 0;
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  pthread_attr_destroy(&attr);
  return started;
}

}  // namespace

void ListForTrim(TrimSlot* slot) {
  Trimmer* trimmer = TheTrimmer();
  zantu::MutexLock lock(&trimmer->mutex);
  trimmer->slots.insert(slot);
}

void UnlistForTrim(TrimSlot* slot) {
  Trimmer* trimmer = TheTrimmer();
  zantu::MutexLock lock(&trimmer->mutex);
  trimmer->slots.erase(slot);
  while (trimmer->busy == slot) trimmer->slot_done.wait(trimmer->mutex);
}

void EnsureTrimmerRuns() {
  Trimmer* trimmer = TheTrimmer();
  if (trimmer->running.load(std::memory_order_seq_cst)) return;
  zantu::MutexLock lock(&trimmer->mutex);
  if (trimmer->running.load(std::memory_order_relaxed)) return;
  if (StartThread(trimmer)) trimmer->running.store(true, std::memory_order_seq_cst);
}

}  // namespace trellan
