// The front end's clients: each client of the node gets a worker process of
// its own (worker/worker_main.h), taken from a pool of workers started ahead
// (so that a new client's first call does not wait for a process to start)
// or started at once when the pool is empty. The reading thread writes a
// client's records into its worker's request ring; the answer pump sends the
// answers; a supervisor thread keeps the pool full and learns from the
// spawner when a worker ends.
//
// No thread that serves many clients waits for one:
// - The reading thread never blocks on a client. Each client may have a
//   granted amount of work outstanding (the grant the node announces to the
//   daemon, which holds a client's records back in the client's own ring
//   beyond it); a record beyond the grant, or one whose worker's ring has no
//   room, is refused with cudaErrorMemoryAllocation, and one for a client
//   whose worker has died gets the worker's end as a sticky error
//   (cudaErrorIllegalAddress for a memory fault, cudaErrorLaunchFailure for
//   any other end). A refused record that carried deferred work is reported
//   by the client's next synchronizing call, as the worker learns of it.
// - The answer pump only takes what workers have written.
// - A client's exit notice kills its worker at once (a runaway kernel ends
//   with it) and silences it: no answer for it is written once ClientExited
//   has returned.
//
// Thread safety: EntryFor, Admit, Expect, AnswerNow, AnswerUnserved,
// WritePendingNote, ClientExited and Finish from the reading thread only;
// the rest from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "common/records.h"
#include "common/thread_annotations.h"
#include "node/backends/backend_factory.h"
#include "node/front/answer_pump.h"
#include "node/front/client_entry.h"
#include "node/front/memory_ledger.h"
#include "node/front/node_link.h"
#include "node/front/spawner.h"

namespace zantu_node {

struct DispatchConfig {
  BackendPlan plan;
  bool test_module = false;
  PumpConfig pump;
  size_t pool_size = 2;  // idle workers kept ready
  // What each client may have outstanding (announced to the daemon).
  uint64_t grant_bytes = uint64_t{512} << 20;
  uint32_t grant_records = 65536;
};

class ClientDispatcher {
 public:
  // `link` and `spawner` must outlive the dispatcher.
  ClientDispatcher(const DispatchConfig& config, NodeLink* link, Spawner* spawner);
  ~ClientDispatcher();  // Finish(false) unless it ran

  ClientDispatcher(const ClientDispatcher&) = delete;
  ClientDispatcher& operator=(const ClientDispatcher&) = delete;

  // Starts the answer pump and the supervisor, which fills the pool.
  void Start();

  // The entry of client `pid`, assigned now if it has none. Null when no
  // worker channel can be made (logged): the record is then answered with
  // AnswerUnserved.
  ClientEntry* EntryFor(uint32_t pid);
  // 0 when a record of `bytes` (header and body) for `gpu` may go to the
  // worker; otherwise the result the record is answered with at once.
  uint32_t Admit(ClientEntry* entry, uint64_t bytes, uint32_t gpu);
  // A device reset of `gpu` that Admit refused: a client whose worker has
  // ended gets a new one (the answers the old one owes are sent first, with
  // its end), on which every other GPU stays lost until it is reset too; a
  // lost GPU is found again. The entry that serves the client from now on,
  // with `*result` the reset's answer (the GPU starts empty on the worker),
  // or the entry unchanged when the reset cannot help.
  ClientEntry* ResetBroken(ClientEntry* entry, uint32_t gpu, uint32_t* result);
  // Counts a record the worker will answer; called before the record is
  // published to the worker, whose answer may come at once.
  void Expect(ClientEntry* entry, const RequestHeader& last, uint64_t bytes);
  // Answers a record with `result` in its place among the worker's answers.
  // `deferred_gpu` (-1: none) is the GPU of the record's deferred work.
  void AnswerNow(ClientEntry* entry, const RequestHeader& last, uint64_t bytes, uint32_t result, int64_t deferred_gpu);
  // Answers a record of a client without an entry.
  void AnswerUnserved(uint32_t pid, const RequestHeader& last, uint32_t result);
  // Writes a refusal the worker must learn of before the client's next
  // record, if there is one and its ring has room.
  void WritePendingNote(ClientEntry* entry);
  // The client has exited: see above.
  void ClientExited(uint32_t pid);

  // Ends serving: with `run_queued`, every record still owed an answer is
  // answered first; then every worker is killed and the threads end.
  // Idempotent.
  void Finish(bool run_queued);

  // Set when serving must end: --close-after was reached, the daemon has
  // gone, or the spawner has. The reading thread's link is interrupted at
  // the same time.
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }
  int stop_status() const { return stop_status_.load(std::memory_order_acquire); }
  uint64_t answered() const { return pump_.answered(); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }
  uint64_t workers_started() const { return workers_started_.load(std::memory_order_relaxed); }
  uint64_t workers_failed() const { return workers_failed_.load(std::memory_order_relaxed); }

 private:
  // A new entry with its worker asked for, or null (logged).
  std::shared_ptr<ClientEntry> MakeEntry(uint32_t pid) EXCLUDES(entries_mutex_);
  std::shared_ptr<ClientEntry> TakePooled(uint32_t pid) EXCLUDES(entries_mutex_);
  // Moves the answers `ended` owes to the front of `fresh`'s queue and marks
  // every GPU but `kept_gpu` (a bit) lost on `fresh`.
  void TakeOverOwed(ClientEntry* ended, ClientEntry* fresh, uint64_t kept_gpu);
  // Supervisor thread.
  void Supervise();
  void FillPool() EXCLUDES(entries_mutex_);
  void HandleReport(const SpawnerReport& report) EXCLUDES(entries_mutex_);
  void WorkerGone(uint32_t slot, uint32_t result) EXCLUDES(entries_mutex_);
  void WakeSupervisor();
  // The pump found `entry`'s worker breaking its channel.
  void StopBroken(ClientEntry* entry);
  void Stop(int status);
  bool AnyOwed();

  // Constant after construction.
  const DispatchConfig config_;
  NodeLink* const link_;
  Spawner* const spawner_;
  const std::unique_ptr<MemoryLedger> ledger_;  // emulated GPUs only

  AnswerPump pump_;
  std::thread supervisor_;
  int wake_fd_ = -1;  // eventfd: wakes the supervisor
  std::atomic<bool> quit_{false};
  std::atomic<uint32_t> next_slot_{1};

  // Entries by slot, for the spawner's reports, and the idle pool. Leaf
  // lock, except that AnswerPump::Add is called under it (so that a worker's
  // end is never posted before its entry was added).
  zantu::Mutex entries_mutex_;
  std::unordered_map<uint32_t, std::shared_ptr<ClientEntry>> slots_ GUARDED_BY(entries_mutex_);
  std::deque<std::shared_ptr<ClientEntry>> pool_ GUARDED_BY(entries_mutex_);
  uint32_t pool_failures_ GUARDED_BY(entries_mutex_) = 0;  // pooled workers that ended in a row

  // Reading thread only.
  std::unordered_map<uint32_t, std::shared_ptr<ClientEntry>> clients_;  // by pid
  bool finished_ = false;

  std::atomic<bool> stopping_{false};  // release: Stop; acquire: readers of stopping()
  std::atomic<int> stop_status_{0};
  std::atomic<uint64_t> dropped_{0};   // records that went unanswered at an exit notice or a stop
  std::atomic<uint64_t> workers_started_{0};
  std::atomic<uint64_t> workers_failed_{0};  // ended by a fault or could not start
};

}  // namespace zantu_node
