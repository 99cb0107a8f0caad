// zantu_node over the Light transport, with the test playing the daemon: the
// port announcement, reassembly of datagrams that arrive out of order, the
// node's resend requests (for a missing datagram, as an idle probe, for the
// newest datagram it holds) and a lossy link carried intact by resends.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "harness/links.h"

namespace {

using namespace link_test;
using namespace testing_util;
using namespace wire_test;
using Clock = std::chrono::steady_clock;

constexpr auto kExitWait = std::chrono::seconds(10);

struct LightNode {
  explicit LightNode(NodeConfig config) {
    config.transport = "light";
    std::string error;
    node = NodeProcess::Start(config, &error);
    EXPECT_NE(node, nullptr) << error;
    if (node) {
      EXPECT_TRUE(peer.Connect(node->recv_port()));
    }
  }
  std::unique_ptr<NodeProcess> node;
  LightPeer peer;
};

// Reads messages until a resend request comes; checks that the numbers the
// node asks for never go down.
bool NextResend(int fd, uint64_t* seq, uint64_t* lowest_allowed, int timeout_ms = kIoTimeoutMs) {
  Message m;
  while (ReadMessage(fd, &m, timeout_ms)) {
    if (!m.resend()) {
      ADD_FAILURE() << "unexpected message with flags " << m.header.flags;
      return false;
    }
    *seq = m.header.size;
    EXPECT_GE(*seq, *lowest_allowed) << "the daemon would have forgotten that datagram";
    *lowest_allowed = *seq;
    return true;
  }
  return false;
}

TEST(NodeLight, AnnouncesItsUdpPort) {
  LightNode n({});
  ASSERT_TRUE(n.node);
  EXPECT_NE(n.node->udp_port(), 0);
  EXPECT_EQ(n.peer.announced_port(), n.node->udp_port());
  EXPECT_EQ(n.node->send_port(), 0);
}

TEST(NodeLight, AsksForAMissingDatagramAndAnswersOnceItComes) {
  LightNode n({});
  ASSERT_TRUE(n.node);
  // Guest information and one echo record: four datagrams, 0 to 3.
  const std::string data = Pattern(4500, 1);
  const std::string stream =
      GuestInfo("guest-light") + BuildRecord(7, {{.request = 77, .api = k_testEcho, .data = data}});
  ASSERT_EQ((stream.size() + kLightMaxPayload - 1) / kLightMaxPayload, 4u);
  n.peer.Send(stream, /*withhold=*/{1, 2, 3});
  // Out of order, with 1 still missing.
  ASSERT_TRUE(n.peer.Transmit(3));
  ASSERT_TRUE(n.peer.Transmit(2));

  uint64_t seq = 0, lowest = 0;
  do {
    ASSERT_TRUE(NextResend(n.peer.tcp(), &seq, &lowest));
  } while (seq == 0);  // an early probe may ask for 0 before anything came
  EXPECT_EQ(seq, 1u);
  // No answer without datagram 1: only requests for it.
  Message m;
  while (ReadMessage(n.peer.tcp(), &m, 30)) {
    EXPECT_TRUE(m.resend());
    EXPECT_EQ(m.header.size, 1u);
  }
  ASSERT_TRUE(n.peer.Transmit(1));
  for (;;) {
    ASSERT_TRUE(ReadMessage(n.peer.tcp(), &m));
    if (!m.resend()) break;
  }
  EXPECT_EQ(m.header.pid, 7u);
  EXPECT_EQ(m.entry().request, 77u);
  EXPECT_TRUE(m.payload() == data);
}

TEST(NodeLight, ProbesForTheNextDatagramWhileIdleBackingOff) {
  LightNode n({});
  ASSERT_TRUE(n.node);
  n.peer.Send(GuestInfo("idle"));  // datagram 0
  // The node cannot know whether more was sent and lost: it asks for 1,
  // less and less often, each time told "not sent yet".
  std::vector<Clock::time_point> probes;
  const auto end = Clock::now() + std::chrono::milliseconds(700);
  uint64_t seq = 0, lowest = 0;
  while (Clock::now() < end) {
    const int left =
        static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count());
    if (!NextResend(n.peer.tcp(), &seq, &lowest, std::max(left, 1))) break;
    if (seq == 0) continue;  // a probe sent before datagram 0 arrived
    EXPECT_EQ(seq, 1u);
    probes.push_back(Clock::now());
    ASSERT_TRUE(n.peer.Resend(seq));  // length 0: not sent yet
  }
  // 5, 10, 20, ... 320 ms apart: about 7 probes in 700 ms, never dozens.
  ASSERT_GE(probes.size(), 3u);
  EXPECT_LE(probes.size(), 10u);
  const auto first_gap = probes[1] - probes[0];
  const auto last_gap = probes.back() - probes[probes.size() - 2];
  EXPECT_GT(last_gap, first_gap * 3);

  // Data after the probes is taken as usual.
  n.peer.Send(BuildRecord(3, {{.request = 5, .api = k_testEcho}}));
  Message m;
  do {
    ASSERT_TRUE(ReadMessage(n.peer.tcp(), &m));
  } while (m.resend());
  EXPECT_EQ(m.entry().request, 5u);
}

TEST(NodeLight, AsksForTheNewestHeldDatagramEveryN) {
  NodeConfig config;
  config.resend_newest_every = 8;
  LightNode n(config);
  ASSERT_TRUE(n.node);
  // 20 datagrams in order, in three bursts: 0-7, 8-15, 16-19.
  const std::string stream =
      GuestInfo("g") + BuildRecord(9, {{.request = 1, .api = k_testFail, .args = {0}, .data = Pattern(19 * 1456, 2)}});
  ASSERT_EQ((stream.size() + kLightMaxPayload - 1) / kLightMaxPayload, 20u);
  std::vector<uint64_t> asked;
  uint64_t seq = 0, lowest = 0;
  for (uint64_t newest : {7u, 15u}) {
    n.peer.Send(stream.substr((newest - 7) * kLightMaxPayload, 8 * kLightMaxPayload));
    do {
      ASSERT_TRUE(NextResend(n.peer.tcp(), &seq, &lowest));
      asked.push_back(seq);
    } while (seq != newest);
  }
  n.peer.Send(stream.substr(16 * kLightMaxPayload));
  Message m;
  for (;;) {
    ASSERT_TRUE(ReadMessage(n.peer.tcp(), &m));
    if (!m.resend()) break;
    asked.push_back(m.header.size);
  }
  EXPECT_EQ(m.header.pid, 9u);
  // Anything else was an idle probe for the next datagram: 20 too, when the
  // answer takes a while (a slow build) after the last datagram came.
  for (uint64_t a : asked) EXPECT_TRUE(a == 0 || a == 7 || a == 8 || a == 15 || a == 16 || a == 20) << a;
  // Served the way the daemon serves it, the request for 15 leaves 15 on.
  ASSERT_TRUE(n.peer.Resend(15));
  EXPECT_EQ(n.peer.cached(), 5u);
}

TEST(NodeLight, DroppedDatagramsAreRecoveredAndTheStreamArrivesIntact) {
  NodeConfig config;
  config.drop = 0.1;
  config.seed = 17;
  config.record = true;
  LightNode n(config);
  ASSERT_TRUE(n.node);
  n.peer.Serve();

  std::string sent = GuestInfo("lossy");
  n.peer.Send(sent);
  constexpr int kRecords = 24;
  std::vector<std::string> payloads;
  for (int i = 0; i < kRecords; ++i) {
    // Records of 1 KiB to 256 KiB, some sent back to back: about 3 MiB.
    payloads.push_back(Pattern(size_t{1024} << (i % 9), 100 + i));
    const std::string record = BuildRecord(200, {{.request = uint64_t(i), .api = k_testEcho, .data = payloads.back()}});
    n.peer.Send(record);
    sent += record;
  }
  for (int i = 0; i < kRecords; ++i) {
    Message m;
    ASSERT_TRUE(n.peer.Next(&m)) << "answer " << i;
    ASSERT_EQ(m.entry().request, uint64_t(i));
    ASSERT_TRUE(m.payload() == payloads[i]) << "answer " << i;
  }
  EXPECT_GT(n.peer.resends(), 0u);
  EXPECT_EQ(n.peer.forgotten(), 0u);

  NodeRecord record;
  ASSERT_TRUE(n.node->ReadRecord(&record));
  std::string recorded = record.guest;
  for (const auto& message : record.messages) recorded += message.bytes;
  EXPECT_TRUE(recorded == sent);

  n.peer.CloseStream();
  EXPECT_TRUE(ExitedWith(n.node->Wait(kExitWait), 0));
  const std::string summary = n.node->process().Stderr();
  EXPECT_NE(summary.find("answered=24"), std::string::npos) << summary;
  EXPECT_EQ(summary.find(" dropped=0 "), std::string::npos) << summary;
}

TEST(NodeLight, CloseAfterStopsTheReceiverAndExitsZero) {
  NodeConfig config;
  config.close_after = 1;
  config.skip_headers = true;
  LightNode n(config);
  ASSERT_TRUE(n.node);
  n.peer.Send(GuestInfo("g") + BuildRecord(4, {{.request = 8, .api = k_testEcho}}));
  Message m;
  do {
    ASSERT_TRUE(ReadMessage(n.peer.tcp(), &m));
  } while (m.resend());
  EXPECT_TRUE(m.skip());
  ASSERT_TRUE(ReadMessage(n.peer.tcp(), &m));
  EXPECT_EQ(m.entry().request, 8u);
  EXPECT_TRUE(ExitedWith(n.node->Wait(kExitWait), 0));
  // Only resend requests may still come before the connection's end.
  while (Readable(n.peer.tcp(), kIoTimeoutMs)) {
    char raw[sizeof(ResponseBatchHeader)];
    const ssize_t got = recv(n.peer.tcp(), raw, sizeof(raw), MSG_WAITALL);
    if (got == 0) break;
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof(raw)));
    EXPECT_EQ(DecodeResponseHead(raw).flags, kLinkResend);
  }
}

TEST(NodeLight, MalformedMessageEndsWithStatus3) {
  LightNode n({});
  ASSERT_TRUE(n.node);
  std::string bad = BuildRecord(1, {{.request = 1}});
  bad[0] = 1;  // flags 1: neither a record nor an exit notice
  n.peer.Send(GuestInfo("g") + bad);
  EXPECT_TRUE(ExitedWith(n.node->Wait(kExitWait), 3));
}

}  // namespace
