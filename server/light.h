// The datagram transport: the daemon's bytes go to the node as numbered UDP
// datagrams (LightHeader + at most 1456 bytes); everything from the node,
// including its requests to send a lost datagram again, comes back over one
// TCP connection, which also announces the node's UDP port.
//
// Every datagram sent stays cached until a resend request for a higher
// number shows that the node no longer needs it.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <string>

#include "common/thread_annotations.h"
#include "server/network.h"
#include "server/tcp.h"
#include "server/udp.h"

class Light final : public Network {
 public:
  Light() = default;
  // Deletes the TCP socket, then the UDP socket, then the cache.
  ~Light() override;

  // Connects TCP to `recv_port`, waits for the node's 2-byte UDP port
  // (least significant byte first) and aims the datagram socket at it.
  // `send_port` is not used.
  bool Connect(std::string& host, unsigned short send_port, unsigned short recv_port) override;
  // Splits the bytes into datagrams numbered from next_seq_ on, sends and
  // caches each. Serialised with ResendLightPacket.
  bool Send(void* data, size_t length) EXCLUDES(send_mutex_) override;
  // Reads from the TCP connection.
  bool Recv(void* data, size_t length) override;
  void Shutdown() override;
  const std::string& Host() const override;

  // Serves the node's request for datagram `seq`: seq == next_seq_ gets a
  // bare header with length 0 (the number stays unused); a cached datagram
  // is sent again unchanged and every lower number is forgotten; anything
  // else fails. Serialised with Send.
  [[nodiscard]] bool ResendLightPacket(unsigned long seq) EXCLUDES(send_mutex_);

 private:
  // Sends one whole datagram; logs and returns false otherwise.
  bool SendDatagram(const std::string& datagram) REQUIRES(send_mutex_);

  // Owned. Constant once Connect has created them; after Connect the
  // datagram socket is written to only under send_mutex_.
  Tcp* recv_socket_ = nullptr;
  Udp* send_socket_ = nullptr;

  // Constant.
  const uint64_t max_payload_size_ = 1456;

  zantu::Mutex send_mutex_;
  uint64_t next_seq_ GUARDED_BY(send_mutex_) = 0;
  std::map<uint64_t, std::string> packet_cache_ GUARDED_BY(send_mutex_);  // seq -> datagram

  std::atomic<bool> shut_down_{false};
};
