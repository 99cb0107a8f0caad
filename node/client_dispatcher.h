// Runs different clients' records at the same time and each client's records
// in order: one worker thread per client pid, made at the client's first
// record, fed by the reading thread through a queue. Workers write their
// answers on the link themselves.
//
// Memory stays bounded: the reading thread admits a record's bytes (per
// client and in total) before it reads the body, and waits while the bounds
// are reached; a worker gives the bytes back when it has answered the record.
// A record larger than a bound is admitted when nothing else is queued.
//
// A client's exit notice drops its queued records at once, cuts a test
// delay short, and silences the client: no answer for it is written once
// ClientExited has returned (the daemon may already have released its
// rings). The worker then frees everything the client held and ends.
//
// Thread safety: Admit, Unadmit, Submit, ClientExited and Finish from the
// reading thread only; the rest from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "common/records.h"
#include "node/body_pool.h"
#include "node/cancel_token.h"
#include "node/gpu_backend.h"
#include "node/node_link.h"

namespace zantu_node {

class RecordRunner;
struct Response;

struct DispatchLimits {
  uint64_t per_client_bytes = uint64_t{512} << 20;
  uint64_t total_bytes = uint64_t{2} << 30;
  bool skip_headers = false;  // a skip header (flag 8) before every answer
  uint64_t close_after = 0;   // stop after this many answers; 0: never
};

class ClientDispatcher {
 public:
  // `backend` (may be null: no runtime module) and `link` must outlive the
  // dispatcher.
  ClientDispatcher(GpuBackend* backend, NodeLink* link, const DispatchLimits& limits);
  ~ClientDispatcher();  // Finish(false) unless it ran

  ClientDispatcher(const ClientDispatcher&) = delete;
  ClientDispatcher& operator=(const ClientDispatcher&) = delete;

  // Waits until a record of `size` bytes for `pid` may be queued and counts
  // it. False when serving is stopping (nothing counted).
  [[nodiscard]] bool Admit(uint32_t pid, uint64_t size);
  // Gives back an admitted size whose record was not submitted.
  void Unadmit(uint32_t pid, uint64_t size);
  // Queues an admitted, checked record for its client's worker.
  // `data_in_place`: see RecordRunner::Run.
  void Submit(const RequestBatchHeader& header, BodyBuffer body, bool data_in_place = false);
  // True when nothing of `pid` is queued or running beyond the record of
  // `admitted` bytes being read: no call of the client can run before that
  // record's.
  bool ClientIdle(uint32_t pid, uint64_t admitted);
  // The client has exited: see above.
  void ClientExited(uint32_t pid);

  // Ends serving: with `run_queued`, every queued record is run and answered
  // first; otherwise queued records are dropped and delays cut short. Joins
  // every worker. Idempotent.
  void Finish(bool run_queued);

  // A body buffer of at least `size` bytes for the reading thread.
  BodyBuffer TakeBuffer(uint64_t size) { return pool_.Take(size); }
  void GiveBuffer(BodyBuffer buffer) { pool_.Give(std::move(buffer)); }

  // Set when serving must end: --close-after was reached, the daemon has
  // gone, or an answer could not be built. The reading thread's link is
  // interrupted at the same time.
  bool stopping() const { return stopping_.load(std::memory_order_acquire); }
  // The exit status a stop asks for (kExitOk unless an answer could not be
  // built).
  int stop_status() const { return stop_status_.load(std::memory_order_acquire); }
  uint64_t answered() const { return answered_.load(std::memory_order_relaxed); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  struct Job {
    RequestBatchHeader header;
    BodyBuffer body;
    bool data_in_place = false;
  };
  struct Worker {
    explicit Worker(uint32_t pid) : pid(pid) {}
    const uint32_t pid;
    // Guarded by the dispatcher's mutex_.
    std::deque<Job> queue;
    uint64_t admitted_bytes = 0;  // queued, being read or being run
    bool retired = false;         // exit notice seen: run nothing more
    bool draining = false;        // end once the queue is empty
    bool done = false;            // the thread is about to end
    std::condition_variable_any cv;  // queue, retired or draining changed

    CancelToken cancel;
    // Held while an answer is written; ClientExited passes through it after
    // setting `silenced`, so no answer follows its return.
    zantu::Mutex answer_mutex;
    std::atomic<bool> silenced{false};  // release: ClientExited; acquire: worker
    std::thread thread;
  };

  void WorkerLoop(Worker* worker);
  // Runs one record and answers it.
  void RunJob(Worker* worker, RecordRunner* runner, const Job& job);
  void Answer(Worker* worker, const Response& response);
  void Stop(int status);
  // The live worker for `pid`, made if needed (after an earlier worker of the
  // same pid has ended, joined with mutex_ let go meanwhile).
  Worker* WorkerFor(uint32_t pid) REQUIRES(mutex_);
  // Joins retired workers whose threads have ended.
  void ReapRetired() REQUIRES(mutex_);
  // The worker gives back `size` admitted bytes.
  void Release(Worker* worker, uint64_t size) REQUIRES(mutex_);

  // Constant after construction.
  GpuBackend* const backend_;
  NodeLink* const link_;
  const DispatchLimits limits_;

  BodyPool pool_;

  // Also guards every Worker's queue fields, which the analysis cannot
  // name from inside Worker.
  zantu::Mutex mutex_;
  std::condition_variable_any room_cv_;  // admitted bytes went down, or stopping
  std::unordered_map<uint32_t, std::unique_ptr<Worker>> workers_ GUARDED_BY(mutex_);  // live, by pid
  std::vector<std::unique_ptr<Worker>> retired_ GUARDED_BY(mutex_);  // exited, not yet joined
  uint64_t admitted_bytes_ GUARDED_BY(mutex_) = 0;
  bool finished_ GUARDED_BY(mutex_) = false;

  std::atomic<bool> stopping_{false};  // release: Stop; acquire: readers of stopping()
  std::atomic<int> stop_status_{0};
  std::atomic<uint64_t> answered_{0};
  std::atomic<uint64_t> dropped_{0};  // records dropped by exit notices or a stop
};

}  // namespace zantu_node
