// A send-only IPv4 datagram socket aimed at one destination, the Light
// transport's way to the node.
//
// Thread safety: as for every Socket (server/socket.h).
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>

#include "server/socket.h"

// A datagram socket that sends to the address given to Connect. No
// connection is made; Read is not supported.
class Udp final : public Socket {
 public:
  Udp() = default;
  ~Udp() override;

  bool Connect(std::string& host, unsigned short port) override;
  // Not supported on a send-only socket: logs and returns 0.
  int Read(void* buffer, size_t length) override;
  // Sends exactly `length` bytes as one datagram.
  int Write(void* buffer, size_t length) override;

 private:
  sockaddr_in remote_addr_{};
  int fd_ = -1;  // owned; constant once Connect has created it
};
