// A worker's side of the GPU memory budgets, which the node's front end
// keeps for every client together: a charge is a note in the response ring
// and a wait for the front end's reply on the control page; a refund is a
// note alone.
//
// Thread safety: the worker's one thread, which is also the only writer of
// the response ring.
#pragma once

#include <cstdint>

#include "common/trellan.h"
#include "node/backends/memory_budget.h"
#include "node/worker/worker_channel.h"

namespace zantu_node {

class ChannelBudget final : public MemoryBudget {
 public:
  // `responses` and `control` must outlive the budget.
  ChannelBudget(RingBuffer* responses, WorkerControl* control) : responses_(responses), control_(control) {}

  // False too when the front end does not reply in time.
  bool Charge(uint32_t gpu, uint64_t bytes) override;
  void Refund(uint32_t gpu, uint64_t bytes) override;
  void Usage(uint32_t gpu, uint64_t* used, uint64_t* capacity) override;

 private:
  // Writes a note, waiting while the ring is full. False when it cannot.
  bool WriteNote(uint32_t flags, uint32_t gpu, uint64_t bytes);
  // Charges and waits for the reply: false when none came.
  bool Ask(uint32_t gpu, uint64_t bytes, bool* granted, uint64_t* used, uint64_t* capacity);

  RingBuffer* const responses_;
  WorkerControl* const control_;
};

}  // namespace zantu_node
