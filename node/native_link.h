// Native transport, node side: two TCP connections from the daemon, accepted
// first on recv_port (the node writes there), then on send_port (the daemon
// writes there).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "node/node_link.h"

namespace zantu_node {

class NativeLink final : public NodeLink {
 public:
  NativeLink(uint16_t recv_port, uint16_t send_port);
  ~NativeLink() override;

  bool Listen(ListenPorts* ports) override;
  bool Accept() override;
  StreamRead ReadStream(void* data, size_t length) override;
  bool WriteMessage(const struct iovec* iov, int count) override;
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

  // Touched only by the serving thread (this transport has no thread).
  int recv_listen_fd_ = -1;
  int send_listen_fd_ = -1;
  int answer_fd_ = -1;       // the connection on recv_port
  int stream_fd_ = -1;       // the connection on send_port
  size_t buffer_begin_ = 0;  // unread bytes are buffer_[begin, end)
  size_t buffer_end_ = 0;
  uint64_t bytes_in_ = 0;
  uint64_t bytes_out_ = 0;
};

}  // namespace zantu_node
