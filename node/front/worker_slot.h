// The channel objects of one worker process (worker/worker_channel.h), made
// and owned by the front end: the two rings, which the front end creates
// and so alone unlinks, and the control page, a memfd whose descriptor goes
// to the worker when it is forked.
//
// Thread safety: constant after Create; the rings follow RingBuffer's rules
// (the reading thread writes requests, the answer pump reads responses).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "common/trellan.h"
#include "node/worker/worker_channel.h"

namespace zantu_node {

// The names of every worker ring start with this.
constexpr char kNodeRingPrefix[] = "ZANTU_NODE_";

// Removes from /dev/shm every worker ring this process made (for a node that
// ends at once; its workers keep their mappings until they go). The count.
size_t RemoveOwnWorkerRings();

class WorkerSlot {
 public:
  // Makes the channel of worker `id`. Null with `*why` when shared memory
  // cannot be had.
  static std::unique_ptr<WorkerSlot> Create(uint32_t id, std::string* why);
  // Deletes the rings (the worker, if still running, sees them closed) and
  // the control page.
  ~WorkerSlot();

  WorkerSlot(const WorkerSlot&) = delete;
  WorkerSlot& operator=(const WorkerSlot&) = delete;

  uint32_t id() const { return id_; }
  RingBuffer* requests() const { return requests_.get(); }
  RingBuffer* responses() const { return responses_.get(); }
  WorkerControl* control() const { return control_; }
  // The control page's descriptor, for the spawner to hand on.
  int control_fd() const { return control_fd_; }
  const std::string& request_name() const { return request_name_; }
  const std::string& response_name() const { return response_name_; }

 private:
  explicit WorkerSlot(uint32_t id) : id_(id) {}
  bool MakeControlPage(std::string* why);

  const uint32_t id_;
  std::string request_name_;
  std::string response_name_;
  std::unique_ptr<RingBuffer> requests_;
  std::unique_ptr<RingBuffer> responses_;
  int control_fd_ = -1;
  WorkerControl* control_ = nullptr;
};

}  // namespace zantu_node
