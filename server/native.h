// The plain transport: two TCP connections to the node, one per direction,
// carrying the daemon's bytes with no framing of their own.
#pragma once

#include <atomic>

#include "server/network.h"
#include "server/tcp.h"

class Native final : public Network {
 public:
  Native() = default;
  // Deletes the receive socket, then the send socket.
  ~Native() override;

  // Connects the receive connection (to `recv_port`) first, then the send
  // connection (to `send_port`).
  bool Connect(std::string& host, unsigned short send_port, unsigned short recv_port) override;
  bool Send(void* data, size_t length) override;
  bool Recv(void* data, size_t length) override;
  void Shutdown() override;
  const std::string& Host() const override;

 private:
  // Owned. Constant once Connect has created them.
  Tcp* recv_socket_ = nullptr;
  Tcp* send_socket_ = nullptr;

  std::atomic<bool> shut_down_{false};
};
