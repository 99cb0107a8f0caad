// One client of the node as the front end keeps it: the channel of its
// worker process, and the answers the node owes the daemon for it.
//
// Every request record of the client gets exactly one answer, in the order
// the records came: from the worker (kByWorker), or from the front end
// itself (a record it refused, or every record once the worker has died,
// with the worker's end as a sticky result). `outstanding` holds them in
// that order until the answer pump has sent them.
//
// Thread safety: the reading thread assigns the entry, pushes records and
// retires it; the answer pump pops and sends answers; the supervisor sets
// the worker's pid. The fields under `mutex` are guarded by it; `silenced`
// pairs with `answer_mutex` (see ClientDispatcher::ClientExited).
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

#include "common/records.h"
#include "common/thread_annotations.h"
#include "node/front/worker_slot.h"

namespace zantu_node {

// Outstanding::result of a record the worker answers.
constexpr uint32_t kByWorker = UINT32_MAX;

struct Outstanding {
  RequestHeader last;  // the record's last entry, which its answer echoes
  uint64_t bytes;      // the record on the link: header and body
  uint32_t result;     // kByWorker, or the result the front end answers with
};

class ClientEntry {
 public:
  explicit ClientEntry(std::unique_ptr<WorkerSlot> slot) : slot_(std::move(slot)) {}

  ClientEntry(const ClientEntry&) = delete;
  ClientEntry& operator=(const ClientEntry&) = delete;

  WorkerSlot* slot() const { return slot_.get(); }
  uint32_t id() const { return slot_->id(); }

  // Set once, when the entry leaves the pool for a client.
  std::atomic<uint32_t> pid{0};
  // The client has exited: nothing is sent for it any more (set before
  // the barrier through answer_mutex).
  std::atomic<bool> silenced{false};
  std::atomic<bool> retired{false};
  // The pump owes answers that need no worker (set by whoever queued them).
  std::atomic<bool> needs_flush{false};
  std::atomic<int32_t> worker_pid{0};

  zantu::Mutex mutex;
  std::deque<Outstanding> outstanding GUARDED_BY(mutex);
  uint64_t outstanding_bytes GUARDED_BY(mutex) = 0;
  // The worker has ended: every record is answered with this from now on.
  uint32_t sticky GUARDED_BY(mutex) = 0;
  // GPUs whose memory went with the client's previous worker: their records
  // are answered with lost_result until the client resets them (bit n: GPU
  // n). Set when the entry takes over from an ended worker.
  uint64_t lost_gpus GUARDED_BY(mutex) = 0;
  uint32_t lost_result GUARDED_BY(mutex) = 0;
  // A refusal the worker must still learn of (worker_channel.h), written
  // before the client's next record.
  bool note_pending GUARDED_BY(mutex) = false;
  RequestBatchHeader note GUARDED_BY(mutex){};

  // Held while an answer of the client is written on the link.
  zantu::Mutex answer_mutex;

  // Reading thread only: the last record found the worker's request ring
  // full past all patience.
  bool ring_stalled = false;

 private:
  const std::unique_ptr<WorkerSlot> slot_;
};

}  // namespace zantu_node
