// The node's side of one daemon connection, whatever the transport: the
// daemon's byte stream in, the node's messages out.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace zantu_node {

enum class StreamRead {
  kComplete,   // every byte asked for was read
  kEnded,      // the daemon's stream ended before the first of them
  kTruncated,  // the stream ended after some of them
};

struct ListenPorts {
  uint16_t recv_port = 0;  // the node writes to the daemon here (and Light's greeting)
  uint16_t send_port = 0;  // Native: the daemon writes to the node here
  uint16_t udp_port = 0;   // Light: the daemon's datagrams arrive here
};

class NodeLink {
 public:
  // Implementations close the link as Close does.
  virtual ~NodeLink() = default;

  NodeLink() = default;
  NodeLink(const NodeLink&) = delete;
  NodeLink& operator=(const NodeLink&) = delete;

  // Binds every socket the daemon will reach, on 127.0.0.1, and reports
  // their ports (0 for those the transport has not). False on failure
  // (logged).
  [[nodiscard]] virtual bool Listen(ListenPorts* ports) = 0;

  // Waits for the daemon (accepting its connections in the transport's
  // order) and completes the transport's greeting. False when that fails
  // (logged); the link is then unusable.
  [[nodiscard]] virtual bool Accept() = 0;

  // Blocks until exactly `length` bytes of the daemon's stream, in order,
  // are in `data`, or the stream has ended (the daemon closed its
  // connection, or the connection failed). Called by one thread only.
  virtual StreamRead ReadStream(void* data, size_t length) = 0;

  // Sends the pieces to the daemon as one message: nothing else the node
  // writes on the link can land between them. Safe from several threads at
  // once (messages are serialised). False when the daemon has gone or the
  // send failed (logged).
  [[nodiscard]] virtual bool WriteMessage(const struct iovec* iov, int count) = 0;

  // Makes a ReadStream in progress, and every later one, return kEnded soon
  // (within a moment). Safe from any thread, at any time after Accept
  // succeeded and before Close.
  virtual void Interrupt() = 0;

  // Stops the transport's own threads and closes every socket. Idempotent;
  // the destructor calls it too.
  virtual void Close() = 0;

  // Transport figures for the exit summary, for example "datagrams=10".
  // Meaningful after Close.
  virtual std::string Summary() const = 0;
};

}  // namespace zantu_node
