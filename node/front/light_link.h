// Light transport, node side. The daemon connects once over TCP to recv_port;
// the node announces its UDP port there (2 bytes, least significant first),
// receives the daemon's stream as numbered datagrams on that port and writes
// its own messages, and its resend requests, on the TCP connection.
//
// A receiver thread owns the datagram side: it drains the UDP socket, puts
// payloads back in sequence order and hands the in-order bytes to the
// serving thread through a StreamQueue. It asks the daemon for datagrams:
//  - the next expected one, as soon as a later one shows it is missing, and
//    again (less and less often) until it comes;
//  - the next expected one while nothing arrives (a probe, backing off from
//    5 ms to 1 s), in case the end of the stream was lost;
//  - every `resend_newest_every` in-order datagrams, the newest one it
//    already holds, so the daemon can forget everything older.
// Wire constraint: once the daemon has answered a request for seq s it has
// forgotten every datagram below s. So the node only ever asks for a number
// when it holds every datagram below it, and the numbers it asks for never
// go down.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>

#include "common/thread_annotations.h"
#include "node/front/light_reassembly.h"
#include "node/front/node_link.h"
#include "node/options.h"
#include "node/front/stream_queue.h"

namespace zantu_node {

class LightLink final : public NodeLink {
 public:
  explicit LightLink(const NodeOptions& options);
  ~LightLink() override;

  bool Listen(ListenPorts* ports) override;
  bool Accept() override;
  StreamRead ReadStream(void* data, size_t length) override;
  bool WriteMessage(const struct iovec* iov, int count) override;
  void Interrupt() override;
  void Close() override;
  std::string Summary() const override;

 private:
  using Clock = std::chrono::steady_clock;

  // Datagrams that may wait, ahead of a missing one, for it to come (about
  // 96 MiB at most, allocated only when used).
  static constexpr size_t kReorderWindow = 65536;
  // Datagrams taken from the socket per system call.
  static constexpr int kBatch = 64;
  // In-order bytes gathered before they are handed to the serving thread.
  static constexpr size_t kHandOver = size_t{256} << 10;

  // Receiver thread (light_receiver.cc).
  void ReceiverLoop();
  enum class Drained { kEmpty, kMoreWaiting, kFailed };
  // Takes the datagrams waiting in the socket, up to a bound, through
  // `packets` (kBatch x kLightMaxPacket bytes).
  Drained DrainDatagrams(char* packets, std::string* out);
  void HandleDatagram(const char* data, size_t size, bool truncated, std::string* out);
  // Sends the resend requests that are due; returns when the next one is.
  Clock::time_point SendDueRequests(Clock::time_point now);
  // True when it is the TCP connection's end (or failure) that woke us.
  bool ConnectionEnded();
  // Writes a resend request for `seq` unless an answer is being written
  // (then false: try again shortly). Sets link_failed_ on a failed send.
  bool TryAsk(uint64_t seq);

  // Constant after construction.
  const uint16_t recv_port_;
  const uint16_t udp_port_;
  const double drop_;
  const uint64_t resend_newest_every_;

  // Opened by Listen/Accept before the receiver starts; closed by Close
  // after it was joined.
  int listen_fd_ = -1;
  int tcp_fd_ = -1;
  int udp_fd_ = -1;
  int wake_fd_ = -1;  // eventfd: wakes the receiver at shutdown
  uint16_t bound_udp_port_ = 0;
  std::thread receiver_;

  std::atomic<bool> quit_{false};  // set by Close; release/acquire with the receiver

  // Serialises whole messages on tcp_fd_: answers (serving thread) and resend
  // requests (receiver). The receiver only try-locks it, so a long answer
  // never stops it from draining the socket.
  mutable zantu::Mutex write_mutex_;

  StreamQueue queue_;

  // Receiver-thread private; Summary reads the counters only after the
  // thread was joined.
  LightReassembly reassembly_;
  std::mt19937_64 rng_;
  std::uniform_real_distribution<double> coin_{0.0, 1.0};
  uint64_t highest_asked_ = 0;  // asks never go below this
  bool asked_any_ = false;
  bool newest_due_ = false;    // a request for next_seq - 1 is owed
  bool data_arrived_ = false;  // since the last SendDueRequests
  static constexpr uint64_t kNoSeq = UINT64_MAX;
  uint64_t gap_asked_seq_ = kNoSeq;  // the missing datagram being asked for
  uint64_t gap_asks_ = 0;            // requests sent for it
  Clock::time_point gap_first_ask_at_{};
  Clock::time_point gap_reask_at_{};
  Clock::duration gap_interval_{};
  Clock::duration round_trip_ = std::chrono::milliseconds(1);  // smoothed
  Clock::time_point probe_at_{};
  Clock::duration probe_interval_{};
  bool link_failed_ = false;
  uint64_t datagrams_ = 0;  // data datagrams received (before dropping)
  uint64_t dropped_ = 0;    // discarded by --drop
  uint64_t duplicates_ = 0;
  uint64_t empty_datagrams_ = 0;  // "not sent yet" answers
  uint64_t bad_datagrams_ = 0;
  uint64_t beyond_window_ = 0;  // discarded, to be asked for again
  uint64_t resend_requests_ = 0;
  uint64_t stray_tcp_bytes_ = 0;

  uint64_t bytes_out_ GUARDED_BY(write_mutex_) = 0;
  uint64_t BytesOut() const EXCLUDES(write_mutex_);
};

}  // namespace zantu_node
