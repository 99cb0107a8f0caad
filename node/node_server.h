// The node's reading loop: reads the daemon's stream (the guest information,
// then request records and client-exit notices), records what it received,
// checks each request record and hands it to its client's worker
// (ClientDispatcher), which answers it with one response record.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "node/client_dispatcher.h"
#include "node/gpu_backend.h"
#include "node/node_link.h"
#include "node/options.h"

namespace zantu_node {

class NodeServer {
 public:
  // `link` and `backend` (may be null: no runtime module) are not owned and
  // must outlive the server.
  NodeServer(const NodeOptions& options, NodeLink* link, GpuBackend* backend);
  ~NodeServer();

  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  // Opens the --record file for appending, if one was asked for. False on
  // failure (logged).
  [[nodiscard]] bool OpenRecord();

  // Serves the accepted link until the daemon's stream ends (every queued
  // record is answered first) or --close-after is reached (kExitOk), or a
  // message cannot be trusted (kExitBrokenStream). Every worker has ended
  // when it returns.
  int Serve();

  // Counters for the exit summary.
  std::string Summary() const;

 private:
  // Reads the messages after the guest information until serving ends.
  int ReadMessages();
  // Handles one request record whose header was read. Returns kExitOk to go
  // on; `*stop` is set when serving ends with that status.
  int ServeRecord(const RequestBatchHeader& header, bool* stop);
  // Reads a request record's body into `*body`, or, for a large
  // host-to-device copy that may skip the body (see DirectTarget), its
  // entry header and arguments into `*body` and its data straight to the
  // device (`*in_place`). `*complete` is false when the stream ended first.
  // kExitOk, or kExitSetupFailed when memory ran out (logged).
  int ReadBody(const RequestBatchHeader& header, BodyBuffer* body, bool* in_place, bool* complete);
  // The destination of a record that is one host-to-device copy, whose
  // entry header and arguments are `prefix`, when its data may be received
  // there directly: the client has nothing queued or running and the backend
  // accepts the range. Else null.
  char* DirectTarget(const RequestBatchHeader& header, const char* prefix);
  // Appends one message, as received, to the record file.
  [[nodiscard]] bool Record(const void* head, size_t head_size, const void* body, size_t body_size);

  // Constant after construction.
  const NodeOptions options_;
  NodeLink* const link_;
  GpuBackend* const backend_;

  ClientDispatcher dispatcher_;

  // Reading thread only.
  int record_fd_ = -1;
  uint64_t records_ = 0;
  uint64_t malformed_ = 0;
  uint64_t exit_notices_ = 0;
};

}  // namespace zantu_node
