// Baselines built from bare parts in the benchmark itself, run beside the
// real daemon in the same run and placement:
//
// - The floor of a forwarded call: a client writes a record into a ring, a
//   forwarder process (one thread per direction, like the daemon) passes it
//   over TCP to an echo server and the answer back into a second ring. The
//   rings are libtrellan's, so the waiting strategy is the daemon's.
// - Raw TCP loopback streaming and raw UDP datagram sending of bulk bytes.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "common/trellan.h"

namespace bench {

// Forwarder and echo server processes with the client's two rings.
class FloorRoad {
 public:
  // Starts the echo server and the forwarder; null if either fails.
  static std::unique_ptr<FloorRoad> Start();
  ~FloorRoad();
  FloorRoad(const FloorRoad&) = delete;
  FloorRoad& operator=(const FloorRoad&) = delete;

  RingBuffer& request() { return *request_; }
  RingBuffer& response() { return *response_; }

 private:
  FloorRoad() = default;
  pid_t echo_ = -1;
  pid_t forwarder_ = -1;
  std::string request_name_;
  std::string response_name_;
  std::unique_ptr<RingBuffer> request_;
  std::unique_ptr<RingBuffer> response_;
};

// Bytes per second of one TCP loopback stream of `bytes` between two
// processes.
double RawTcpStream(uint64_t bytes);

// Bytes per second received of `bytes` sent as 1472-byte UDP datagrams
// between two processes; the share lost goes to `*lost`.
double RawUdpStream(uint64_t bytes, double* lost);

}  // namespace bench
