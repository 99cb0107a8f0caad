// The node's reading loop: announces the grant each client may have
// outstanding, reads the daemon's stream (the guest information, then
// request records and client-exit notices), records what it received, and
// writes each request record straight from the link into the request ring
// of its client's worker (ClientDispatcher), or answers it at once when it
// cannot go there. It never waits for a client.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "node/front/client_dispatcher.h"
#include "node/front/node_link.h"
#include "node/options.h"

namespace zantu_node {

class NodeServer {
 public:
  // `link` and `spawner` are not owned and must outlive the server.
  NodeServer(const NodeOptions& options, const DispatchConfig& config, NodeLink* link, Spawner* spawner);
  ~NodeServer();

  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  // Opens the --record file for appending, if one was asked for, and starts
  // the workers' pool. False on failure (logged).
  [[nodiscard]] bool Prepare();

  // Serves the accepted link until the daemon's stream ends (every queued
  // record is answered first) or --close-after is reached (kExitOk), or a
  // message cannot be trusted (kExitBrokenStream). Every worker has ended
  // when it returns.
  int Serve();

  // Counters for the exit summary.
  std::string Summary() const;

 private:
  enum class Delivery { kDelivered, kNoRoom, kMalformed, kStreamEnded, kRecordFailed };

  // Tells the daemon how much each client may have outstanding here.
  [[nodiscard]] bool SendGrant();
  // Reads the messages after the guest information until serving ends.
  int ReadMessages();
  // Handles one request record whose header was read. Returns kExitOk to go
  // on; `*stop` is set when serving ends with that status.
  int ServeRecord(const RequestBatchHeader& header, bool* stop);
  // Receives the record's body from the link straight into the worker's
  // request ring and publishes it there.
  Delivery DeliverToWorker(ClientEntry* entry, const RequestBatchHeader& header);
  // One try of it: the ring's status, and what came of the fill.
  RingBufferStatus WriteRecord(ClientEntry* entry, const RequestBatchHeader& header, Delivery* delivery);
  // Reads the body of a record that is answered here, and answers it with
  // `result`. kExitOk to go on; `*stop` as ServeRecord.
  int AnswerHere(ClientEntry* entry, const RequestBatchHeader& header, uint32_t result, bool* stop);
  // Appends one message, as received, to the record file.
  [[nodiscard]] bool Record(const void* head, size_t head_size, const void* body, size_t body_size);

  // Constant after construction.
  const NodeOptions options_;
  const DispatchConfig config_;
  NodeLink* const link_;

  ClientDispatcher dispatcher_;

  // Reading thread only.
  int record_fd_ = -1;
  uint64_t records_ = 0;
  uint64_t malformed_ = 0;
  uint64_t refused_ = 0;
  uint64_t exit_notices_ = 0;
};

}  // namespace zantu_node
