// The answer pump: the one thread that writes the node's answers on the
// link. In passes over every client's response ring (as the daemon's
// request worker passes over its clients' request rings) it takes what the
// workers wrote, checks it, and sends each answer; it sends the answers the
// front end owes itself in their place among them; it serves the workers'
// memory charges. It never waits for one client: a worker that is slow only
// has nothing to take, and one that writes anything but what the channel
// allows is reported broken and answered for from then on.
//
// A worker is not trusted: every record is framed and checked by the pump
// (one answer per record, in order, echoing that record's last entry, for
// the client's pid); the bytes of a payload are the client's own business.
//
// Thread safety: Add, Remove, WorkerEnded and Wake from any thread; the rest
// is the pump's own thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/thread_annotations.h"
#include "common/trellan.h"
#include "node/front/client_entry.h"
#include "node/front/memory_ledger.h"
#include "node/front/node_link.h"

namespace zantu_node {

struct PumpConfig {
  bool skip_headers = false;  // a skip header (flag 8) before every answer
  uint64_t close_after = 0;   // stop after this many answers; 0: never
};

class AnswerPump {
 public:
  // `link` and `ledger` (null: no emulated GPUs, no charges) must outlive
  // the pump. `on_stop(status)` is called when serving must end (the daemon
  // has gone, or --close-after was reached); `on_broken(entry)` when a
  // worker broke its channel (the caller kills it; its end is then reported
  // through WorkerEnded as usual).
  AnswerPump(NodeLink* link, MemoryLedger* ledger, const PumpConfig& config, std::function<void(int)> on_stop,
             std::function<void(ClientEntry*)> on_broken);
  ~AnswerPump();  // Stop()

  AnswerPump(const AnswerPump&) = delete;
  AnswerPump& operator=(const AnswerPump&) = delete;

  void Start();
  // Ends the thread (answers still owed are not sent) and joins it.
  void Stop();

  // The pump serves `entry` (now assigned to a client) from now on.
  void Add(std::shared_ptr<ClientEntry> entry) EXCLUDES(events_mutex_);
  // ... and no longer; the entry is let go on the pump's next pass.
  void Remove(std::shared_ptr<ClientEntry> entry) EXCLUDES(events_mutex_);
  // `entry`'s worker has ended: what it wrote is still sent, then every
  // record it owes, and every later one, is answered with `result`.
  void WorkerEnded(std::shared_ptr<ClientEntry> entry, uint32_t result) EXCLUDES(events_mutex_);
  // Makes the pump look at every entry soon (an answer is owed).
  void Wake() EXCLUDES(events_mutex_);

  uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }

 private:
  enum class EventKind { kAdd, kRemove, kEnded };
  struct Event {
    EventKind kind;
    std::shared_ptr<ClientEntry> entry;
    uint32_t result;
  };
  struct Served {
    std::shared_ptr<ClientEntry> entry;
    bool ended = false;  // its worker has gone: its ring is no longer read
  };

  void Loop();
  void TakeEvents() EXCLUDES(events_mutex_);
  void Apply(const Event& event);
  // One pass: false when there is no ring to read (nothing to sleep on).
  bool Pass();
  void ServeEntry(Served* served, bool read_anyway, bool* read);
  RingBufferStatus ConsumeSpan(ClientEntry* entry, const char* data, size_t length);
  // One answer of the worker: false when it breaks the channel's rules.
  bool ForwardAnswer(ClientEntry* entry, ResponseBatchHeader header, const char* body);
  void ServeCharge(ClientEntry* entry, const ResponseBatchHeader& note);
  // Sends the answers at the front of `entry`'s queue that need no worker.
  void FlushOwed(ClientEntry* entry);
  // Pops the answers that need no worker at the front of the queue.
  std::vector<Outstanding> TakeOwed(ClientEntry* entry) REQUIRES(entry->mutex);
  void SendOwed(ClientEntry* entry, const std::vector<Outstanding>& owed);
  void Send(ClientEntry* entry, const struct iovec* pieces, int count);
  void Broken(ClientEntry* entry, const char* why);
  void Sleep() EXCLUDES(events_mutex_);

  // Constant after construction.
  NodeLink* const link_;
  MemoryLedger* const ledger_;
  const PumpConfig config_;
  const std::function<void(int)> on_stop_;
  const std::function<void(ClientEntry*)> on_broken_;

  std::thread thread_;
  std::atomic<bool> quit_{false};  // release: Stop; acquire: the loop

  zantu::Mutex events_mutex_;
  std::condition_variable_any events_cv_;  // an event came, or Wake, or Stop
  std::vector<Event> events_ GUARDED_BY(events_mutex_);
  bool woken_ GUARDED_BY(events_mutex_) = false;
  std::atomic<bool> events_pending_{false};

  // The pump's own thread.
  std::vector<Served> served_;
  bool last_pass_read_ = true;

  std::atomic<uint64_t> answered_{0};
};

}  // namespace zantu_node
