// The node's serving loop: reads the daemon's stream (the guest information,
// then request records and client-exit notices), answers every request
// record with one response record, and records what it received.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "node/node_link.h"
#include "node/options.h"
#include "node/test_module_executor.h"

namespace zantu_node {

class NodeServer {
 public:
  // `link` is not owned and must outlive the server.
  NodeServer(const NodeOptions& options, NodeLink* link);
  ~NodeServer();

  NodeServer(const NodeServer&) = delete;
  NodeServer& operator=(const NodeServer&) = delete;

  // Opens the --record file for appending, if one was asked for. False on
  // failure (logged).
  [[nodiscard]] bool OpenRecord();

  // Serves the accepted link until the daemon's stream ends or --close-after
  // is reached (kExitOk), or a message cannot be trusted (kExitBrokenStream).
  int Serve();

  // Counters for the exit summary.
  std::string Summary() const;

 private:
  // Handles one request record whose header was read. Returns kExitOk to go
  // on; `*stop` is set when serving ends with that status.
  int ServeRecord(const RequestBatchHeader& header, bool* stop);
  // Appends one message, as received, to the record file.
  [[nodiscard]] bool Record(const void* head, size_t head_size, const void* body, size_t body_size);
  // Makes body_ hold at least `size` bytes. False when memory runs out.
  [[nodiscard]] bool ReserveBody(uint64_t size);

  // Constant after construction.
  const NodeOptions options_;
  NodeLink* const link_;

  // Serving thread only.
  TestModuleExecutor executor_;
  int record_fd_ = -1;
  std::unique_ptr<char[]> body_;  // reused for every record; grows only
  uint64_t body_capacity_ = 0;
  uint64_t records_ = 0;
  uint64_t answered_ = 0;
  uint64_t exit_notices_ = 0;
};

}  // namespace zantu_node
