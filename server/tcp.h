// A connected IPv4 stream socket, one of the node transports' sockets.
//
// Thread safety: as for every Socket (server/socket.h).
#pragma once

#include <cstddef>
#include <string>

#include "server/socket.h"

// A TCP connection tuned for large transfers: no Nagle delay, 100 MiB
// buffers. Sends never raise SIGPIPE: a closed peer is a failed Write.
class Tcp final : public Socket {
 public:
  Tcp() = default;
  ~Tcp() override;

  bool Connect(std::string& host, unsigned short port) override;
  int Read(void* buffer, size_t length) override;
  int Write(void* buffer, size_t length) override;
  void Shutdown() override;

 private:
  int fd_ = -1;  // owned; constant once Connect has created it
};
