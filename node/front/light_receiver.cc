// The Light receiver thread: datagrams in, in-order bytes out, resend
// requests as the header of light_link.h describes them.

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/log.h"
#include "common/records.h"
#include "node/front/light_link.h"
#include "node/front/sys_io.h"

namespace zantu_node {
namespace {

constexpr auto kFirstProbe = std::chrono::milliseconds(5);
constexpr auto kLongestProbe = std::chrono::seconds(1);
// A missing datagram is asked for again after a few round trips, then less
// and less often.
constexpr auto kShortestReask = std::chrono::microseconds(200);
constexpr auto kLongestFirstReask = std::chrono::milliseconds(20);
constexpr auto kLongestReask = std::chrono::milliseconds(200);
// How soon a request is tried again while an answer occupies the connection.
constexpr auto kBusyRetry = std::chrono::milliseconds(1);
// Batches taken before the thread looks at its other duties again.
constexpr int kMaxBatches = 64;

timespec Until(std::chrono::steady_clock::time_point due, std::chrono::steady_clock::time_point now) {
  const auto left =
      due > now ? std::chrono::duration_cast<std::chrono::nanoseconds>(due - now) : std::chrono::nanoseconds(0);
  const auto capped = std::min<std::chrono::nanoseconds>(left, std::chrono::seconds(2));
  timespec ts;
  ts.tv_sec = static_cast<time_t>(capped.count() / 1000000000);
  ts.tv_nsec = static_cast<long>(capped.count() % 1000000000);
  return ts;
}

}  // namespace

void LightLink::ReceiverLoop() {
  std::unique_ptr<char[]> packets(new char[kBatch * kLightMaxPacket]);
  std::string out;
  probe_interval_ = kFirstProbe;
  probe_at_ = Clock::now() + probe_interval_;
  Clock::time_point due = SendDueRequests(Clock::now());
  while (!quit_.load(std::memory_order_acquire) && !link_failed_) {
    pollfd fds[3] = {{udp_fd_, POLLIN, 0}, {tcp_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
    const timespec timeout = Until(due, Clock::now());
    const int rc = WaitForEvents(fds, 3, &timeout);
    if (rc < 0) break;
    if (rc > 0 && fds[2].revents != 0) break;
    bool ended = false;
    if (rc > 0 && fds[0].revents != 0 && DrainDatagrams(packets.get(), &out) == Drained::kFailed) ended = true;
    if (rc > 0 && fds[1].revents != 0 && ConnectionEnded()) {
      // Datagrams sent before the daemon closed are already in the socket.
      while (DrainDatagrams(packets.get(), &out) == Drained::kMoreWaiting) {
      }
      ended = true;
    }
    queue_.Push(std::move(out));
    out = std::string();
    if (ended) break;
    due = SendDueRequests(Clock::now());
  }
  queue_.End();
}

LightLink::Drained LightLink::DrainDatagrams(char* packets, std::string* out) {
  mmsghdr messages[kBatch];
  iovec iov[kBatch];
  for (int batch = 0; batch < kMaxBatches; ++batch) {
    for (int i = 0; i < kBatch; ++i) {
      iov[i].iov_base = packets + static_cast<size_t>(i) * kLightMaxPacket;
      iov[i].iov_len = kLightMaxPacket;
      std::memset(&messages[i], 0, sizeof(messages[i]));
      messages[i].msg_hdr.msg_iov = &iov[i];
      messages[i].msg_hdr.msg_iovlen = 1;
    }
    const int n = ReceiveDatagrams(udp_fd_, messages, kBatch);
    if (n < 0) return Drained::kFailed;
    for (int i = 0; i < n; ++i) {
      HandleDatagram(static_cast<const char*>(iov[i].iov_base), messages[i].msg_len,
                     (messages[i].msg_hdr.msg_flags & MSG_TRUNC) != 0, out);
    }
    if (out->size() >= kHandOver) {
      queue_.Push(std::move(*out));
      *out = std::string();
    }
    if (n < kBatch) return Drained::kEmpty;
  }
  return Drained::kMoreWaiting;
}

void LightLink::HandleDatagram(const char* data, size_t size, bool truncated, std::string* out) {
  if (truncated || size < sizeof(LightHeader)) {
    ++bad_datagrams_;
    return;
  }
  const LightHeader header = LoadRecord<LightHeader>(data);
  if (header.length != size - sizeof(LightHeader)) {
    ++bad_datagrams_;
    return;
  }
  if (header.seq == UINT64_MAX) {
    ++bad_datagrams_;  // no stream is that long
    return;
  }
  if (header.length == 0) {
    // The daemon's "not sent yet": no bytes, and the number stays unused.
    ++empty_datagrams_;
    return;
  }
  ++datagrams_;
  if (drop_ > 0 && coin_(rng_) < drop_) {
    ++dropped_;
    return;
  }
  const uint64_t before = reassembly_.next_seq();
  switch (reassembly_.Accept(header.seq, data + sizeof(LightHeader), header.length, out)) {
    case LightReassembly::Outcome::kDuplicate:
      ++duplicates_;
      return;
    case LightReassembly::Outcome::kBeyondWindow:
      ++beyond_window_;
      return;
    case LightReassembly::Outcome::kInOrder:
    case LightReassembly::Outcome::kHeld:
      data_arrived_ = true;
      break;
  }
  const uint64_t after = reassembly_.next_seq();
  if (resend_newest_every_ > 0 && after / resend_newest_every_ > before / resend_newest_every_) {
    newest_due_ = true;
  }
}

LightLink::Clock::time_point LightLink::SendDueRequests(Clock::time_point now) {
  if (data_arrived_) {
    data_arrived_ = false;
    probe_interval_ = kFirstProbe;
    probe_at_ = now + probe_interval_;
  }
  const uint64_t next = reassembly_.next_seq();
  bool busy = false;
  if (newest_due_) {
    // next - 1 is the newest datagram held with nothing missing below it.
    if (next == 0 || TryAsk(next - 1)) {
      newest_due_ = false;
    } else {
      busy = true;
    }
  }
  // The round trip of a request answered the first time it was sent.
  if (gap_asked_seq_ != kNoSeq && next > gap_asked_seq_) {
    if (gap_asks_ == 1) {
      round_trip_ = (round_trip_ * 7 + (now - gap_first_ask_at_)) / 8;
    }
    gap_asked_seq_ = kNoSeq;
  }
  Clock::time_point due;
  if (reassembly_.gap()) {
    if (gap_asked_seq_ != next) {
      gap_asked_seq_ = next;
      gap_asks_ = 0;
      gap_interval_ = std::clamp<Clock::duration>(round_trip_ * 3, kShortestReask, kLongestFirstReask);
      gap_reask_at_ = now;
    }
    if (now >= gap_reask_at_) {
      if (TryAsk(next)) {
        if (gap_asks_++ == 0) gap_first_ask_at_ = now;
        gap_reask_at_ = now + gap_interval_;
        gap_interval_ = std::min<Clock::duration>(gap_interval_ * 2, kLongestReask);
      } else {
        busy = true;
      }
    }
    due = gap_reask_at_;
    // Probing starts afresh once the gap is filled.
    probe_interval_ = kFirstProbe;
    probe_at_ = now + probe_interval_;
  } else {
    if (now >= probe_at_) {
      if (TryAsk(next)) {
        probe_interval_ = std::min<Clock::duration>(probe_interval_ * 2, kLongestProbe);
        probe_at_ = now + probe_interval_;
      } else {
        busy = true;
      }
    }
    due = probe_at_;
  }
  if (busy) due = std::min(due, now + kBusyRetry);
  return due;
}

bool LightLink::ConnectionEnded() {
  char scratch[4096];
  const ssize_t got = RecvSome(tcp_fd_, scratch, sizeof(scratch), /*dont_wait=*/true);
  if (got == -2) return false;
  if (got > 0) {
    if (stray_tcp_bytes_ == 0) ZANTU_ERROR("the daemon wrote on the Light connection; ignored");
    stray_tcp_bytes_ += static_cast<uint64_t>(got);
    return false;
  }
  return true;
}

}  // namespace zantu_node
