// Native transport, node side: two TCP connections from the daemon, accepted
// first on recv_port (the node writes there), then on send_port (the daemon
// writes there).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "common/thread_annotations.h"
#include "node/front/node_link.h"

namespace zantu_node {

class NativeLink final : public NodeLink {
 public:
  NativeLink(uint16_t recv_port, uint16_t send_port);
  ~NativeLink() override;

  bool Listen(ListenPorts* ports) override;
  bool Accept() override;
  StreamRead ReadStream(void* data, size_t length) override;
  bool WriteMessage(const struct iovec* iov, int count) override;
  void Interrupt() override;
  void Close() override;
  std::string Summary() const override;

 private:
  // Reads below this size go through buffer_, so small headers cost no
  // system call of their own; larger ones land directly in the caller's
  // memory.
  static constexpr size_t kBufferSize = size_t{256} << 10;

  // Constant after construction.
  const uint16_t recv_port_;
  const uint16_t send_port_;
  const std::unique_ptr<char[]> buffer_;

  // Set by Listen and Accept, closed by Close; in between only shutdown()
  // touches them from other threads.
  int recv_listen_fd_ = -1;
  int send_listen_fd_ = -1;
  int answer_fd_ = -1;  // the connection on recv_port
  int stream_fd_ = -1;  // the connection on send_port

  // Reading thread only.
  size_t buffer_begin_ = 0;  // unread bytes are buffer_[begin, end)
  size_t buffer_end_ = 0;
  uint64_t bytes_in_ = 0;

  mutable zantu::Mutex write_mutex_;  // serialises whole messages on answer_fd_
  uint64_t bytes_out_ GUARDED_BY(write_mutex_) = 0;
  uint64_t BytesOut() const EXCLUDES(write_mutex_);

  // release: Interrupt; acquire: ReadStream
  std::atomic<bool> interrupted_{false};
};

}  // namespace zantu_node
