// The transport to one remote node.
//
// Thread safety: Send is called by one thread at a time (the request worker;
// before the workers start, the start-up thread), Recv by one thread at a
// time (the node's response worker); the two may run at once. Shutdown may
// be called from any thread at any time after Connect.
#pragma once

#include <cstddef>
#include <string>

class Network {
 public:
  Network() = default;
  // Closes the connections to the node.
  virtual ~Network() = default;

  Network(const Network&) = delete;
  Network& operator=(const Network&) = delete;

  // Connects to the node at dotted-decimal IPv4 `host`. `send_port` carries
  // the daemon's bytes to the node, `recv_port` the node's bytes back (what
  // each transport makes of them is its own). Called once; true when the
  // transport is ready for Send and Recv.
  virtual bool Connect(std::string& host, unsigned short send_port, unsigned short recv_port) = 0;

  // All or nothing: true only when every one of the `length` bytes went out,
  // appended to the node's stream. A length of 0 is true at once.
  virtual bool Send(void* data, size_t length) = 0;

  // All or nothing: true only when exactly `length` bytes of the node's
  // stream were read into `data`. A length of 0 is true at once.
  virtual bool Recv(void* data, size_t length) = 0;

  // Wakes every thread blocked in Send or Recv; those calls and all later
  // ones fail without logging (the caller that shuts down knows why).
  virtual void Shutdown() = 0;

  // The host text the receive connection was made to; empty before Connect.
  virtual const std::string& Host() const = 0;
};
