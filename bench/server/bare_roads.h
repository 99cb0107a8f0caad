// Baselines built from bare parts in the benchmark itself, run beside the
// real daemon in the same run and placement:
//
// - The floor of a forwarded call: a client writes a record into a ring, a
//   forwarder process (one thread per direction, like the daemon) passes it
//   over TCP to an echo server and the answer back into a second ring. The
//   rings are libtrellan's, so the waiting strategy is the daemon's.
// - The same floor as a call through the client library sees it: the caller
//   thread writes the record and waits on a semaphore of its own, and a
//   separate response-loop thread reads the answer ring and posts the
//   semaphore named by the answer.
// - Raw TCP loopback streaming and raw UDP datagram sending of bulk bytes.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

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

// The floor road with the client library's hand-off: callers write under one
// mutex and block on a semaphore each; one response-loop thread posts them.
// Nothing else: no allocation, no hooks, no table of awaited calls.
//
// Thread safety: any number of threads may Call at once.
class HandOffFloor {
 public:
  // Starts the floor road and the response loop; null if the road fails.
  static std::unique_ptr<HandOffFloor> Start();
  // Ends the response loop (within its ring's 100 ms wait) and the road.
  ~HandOffFloor();
  HandOffFloor(const HandOffFloor&) = delete;
  HandOffFloor& operator=(const HandOffFloor&) = delete;

  // One synchronous call: `record` holds one request record of one entry,
  // whose `request` field is set here to the waiting caller's slot. False if
  // the ring fails.
  [[nodiscard]] bool Call(std::string* record);

 private:
  HandOffFloor() = default;
  void ResponseLoop();

  // Constant after Start.
  std::unique_ptr<FloorRoad> road_;
  std::thread loop_;

  std::mutex write_mutex_;  // serialises writes into the request ring, as the library's does

  // Relaxed: the loop tests it after every Read, which returns within 100 ms.
  std::atomic<bool> quit_{false};
};

// Bytes per second of one TCP loopback stream of `bytes` between two
// processes.
double RawTcpStream(uint64_t bytes);

// Bytes per second received of `bytes` sent as 1472-byte UDP datagrams
// between two processes; the share lost goes to `*lost`.
double RawUdpStream(uint64_t bytes, double* lost);

}  // namespace bench
