// Request forwarding of the real daemon as the nodes see it: records exactly
// as written, spans split by node in order, a record that breaks the rules
// releasing its client alone, and a client that exits released after its
// records went out.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon.h"

namespace {

using namespace daemon_test;
using namespace wire_test;
using testing_util::NodeConfig;
using testing_util::NodeProcess;

// A daemon with two Native nodes, 0 and 1, one GPU each, and this test
// process registered as its client.
class ForwardingTest : public testing::Test {
 protected:
  void SetUp() override {
    for (int i = 0; i < 2; ++i) {
      NodeConfig config;
      config.record = true;
      std::string error;
      nodes_.push_back(NodeProcess::Start(config, &error));
      ASSERT_NE(nodes_.back(), nullptr) << error;
    }
    daemon_ = Daemon::Start(Concat({Group(0, *nodes_[0], "native", 7000, 0), Group(1, *nodes_[1], "native", 7001, 0)}));
    ASSERT_TRUE(daemon_->Register(getpid(), &reply_)) << daemon_->Stderr();
    rings_ = std::make_unique<ClientRings>(reply_.key);
  }

  void TearDown() override {
    rings_.reset();
    EndNodesThenDaemon(nodes_, daemon_.get());
    if (daemon_) {
      EXPECT_FALSE(ShmExists(RequestRingName(reply_.key)));
    }
  }

  uint32_t pid() const { return static_cast<uint32_t>(getpid()); }

  std::vector<std::unique_ptr<NodeProcess>> nodes_;
  std::unique_ptr<Daemon> daemon_;
  Reply reply_;
  std::unique_ptr<ClientRings> rings_;
};

TEST_F(ForwardingTest, WorkedExampleReachesTheNodeByteForByte) {
  // Thread 701, module 2, api 17, one argument 16, Request at 4096, for the
  // GPU on node 1 (index 0); the pid is this process's.
  const std::string record = EncodeRequestRecord(1, 0, pid(), {EncodeRequestEntry(4096, 0, 2, 17, {16}, "", 701)});
  ASSERT_EQ(record.size(), 76u);
  ASSERT_EQ(rings_->Write(record), kRingSuccess);

  NodeRecord got;
  ASSERT_TRUE(AwaitMessages(*nodes_[1], 1, &got));
  ASSERT_EQ(got.messages.size(), 1u);
  const std::string& bytes = got.messages[0].bytes;
  EXPECT_EQ(bytes, record);
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 0), 0u);
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 4), 1u);
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 8), 0u);
  EXPECT_EQ(LoadRecord<uint64_t>(bytes.data() + 12), 48u);
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 20), pid());
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 24), 1u);
  EXPECT_EQ(LoadRecord<uint64_t>(bytes.data() + 28), 4096u);
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 40), 701u);
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 44), 2u);
  EXPECT_EQ(std::memcmp(bytes.data() + 48, "\x26\xD8\x34\x01", 4), 0);
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 52), 17u);
  EXPECT_EQ(LoadRecord<uint32_t>(bytes.data() + 56), 1u);
  EXPECT_EQ(LoadRecord<uint64_t>(bytes.data() + 60), 8u);
  EXPECT_EQ(LoadRecord<uint64_t>(bytes.data() + 68), 16u);

  // Not a test-module call: the node answers it as unknown.
  std::vector<Response> responses;
  ASSERT_TRUE(rings_->ReadResponses(1, &responses));
  EXPECT_EQ(responses[0].pid, pid());
  EXPECT_EQ(responses[0].request, 4096u);
  EXPECT_EQ(responses[0].result, kTestUnknownFunction);
  EXPECT_TRUE(nodes_[0]->ReadRecord(&got));
  EXPECT_TRUE(got.messages.empty());
}

TEST_F(ForwardingTest, SpanOfThreeRecordsGoesOutInOrderPerNode) {
  const std::string first = EncodeEchoRecord(1, pid(), 1, "one");
  const std::string second = EncodeEchoRecord(0, pid(), 2, "two");
  const std::string third = EncodeEchoRecord(1, pid(), 3, "three");
  // One ring record holding all three: the daemon gets them as one span.
  ASSERT_EQ(rings_->Write(first + second + third), kRingSuccess);

  NodeRecord node1, node0;
  ASSERT_TRUE(AwaitMessages(*nodes_[1], 2, &node1));
  ASSERT_TRUE(AwaitMessages(*nodes_[0], 1, &node0));
  ASSERT_EQ(node1.messages.size(), 2u);
  EXPECT_EQ(node1.messages[0].bytes, first);
  EXPECT_EQ(node1.messages[1].bytes, third);
  ASSERT_EQ(node0.messages.size(), 1u);
  EXPECT_EQ(node0.messages[0].bytes, second);

  std::vector<Response> responses;
  ASSERT_TRUE(rings_->ReadResponses(3, &responses));
  std::vector<std::string> payloads;
  for (const Response& response : responses) payloads.push_back(response.payload);
  std::sort(payloads.begin(), payloads.end());
  EXPECT_EQ(payloads, (std::vector<std::string>{"one", "three", "two"}));
}

// Each malformed record comes from a client of its own (a child holding its
// registration socket, whose rings this process writes). That client alone is
// released, before any byte of its record reaches a node: its rings go (so
// its response loop ends and its waiters get 999) within 2 s. This process,
// a well-behaved client, goes on, and its records, a large one too, reach the
// node byte for byte.
TEST_F(ForwardingTest, MalformedRecordReleasesItsClientAloneBeforeAnyByteIsSent) {
  const std::string entry = EncodeRequestEntry(9, 0, kModuleTest, k_testEcho, {}, "ok");
  const std::string big_payload(100000, 'b');
  auto patched = [](std::string record, size_t at, auto value) {
    StoreRecord(record.data() + at, value);
    return record;
  };
  constexpr size_t kEntry = sizeof(RequestBatchHeader);  // where the first entry starts
  const std::vector<std::function<std::string(uint32_t)>> malformed = {
      [&](uint32_t p) { return patched(EncodeRequestRecord(0, 0, p, {entry}), kEntry + 20, uint32_t{7}); },  // magic
      [&](uint32_t p) {  // argc beyond the entry's payload
        const std::string short_args = EncodeRequestEntry(9, 0, kModuleTest, k_testEcho, {1});
        return patched(EncodeRequestRecord(0, 0, p, {short_args}), kEntry + 28, uint32_t{2});
      },
      [&](uint32_t p) { return patched(EncodeRequestRecord(0, 0, p, {entry}), 24, uint32_t{0}); },  // count 0
      [&](uint32_t p) { return patched(EncodeRequestRecord(0, 0, p, {entry}), 24, uint32_t{2}); },  // count too high
      [&](uint32_t p) { return EncodeRequestRecord(0, 0, p, {entry + "xyz"}); },  // entries short of the size
      [&](uint32_t p) { return EncodeRequestRecord(0, 0, p, {entry}, kLinkClientExit); },
      [&](uint32_t p) { return EncodeRequestRecord(0, 0, p + 1, {entry}); },
      [&](uint32_t p) { return EncodeRequestRecord(7, 0, p, {entry}); },  // no such node
      [&](uint32_t p) { return EncodeRequestRecord(0, 1, p, {entry}); },  // no such GPU on node 0
      [&](uint32_t p) { return EncodeRequestRecord(1, 5, p, {entry}); },  // nor on node 1
      [&](uint32_t p) { return patched(EncodeRequestRecord(0, 0, p, {entry}), 12, uint64_t{1} << 62); },
      [&](uint32_t p) {  // a large record whose second entry is broken
        const std::string bad = patched(entry, 20, uint32_t{0});
        return EncodeRequestRecord(0, 0, p, {EncodeRequestEntry(1, 0, kModuleTest, k_testEcho, {}, big_payload), bad});
      },
  };

  std::vector<std::unique_ptr<SocketHolder>> holders;
  std::vector<std::string> keys;
  for (const auto& make : malformed) {
    holders.push_back(SocketHolder::Start());
    ASSERT_NE(holders.back(), nullptr);
    Reply reply;
    ASSERT_TRUE(daemon_->Register(*holders.back(), &reply)) << daemon_->Stderr();
    keys.push_back(reply.key);
    ClientRings rings(reply.key);
    const auto written = Clock::now();
    ASSERT_EQ(rings.Write(make(holders.back()->pid())), kRingSuccess);
    std::vector<Response> none;
    EXPECT_FALSE(rings.ReadResponses(1, &none, milliseconds(3000)));  // the ring's creator let go of it
    EXPECT_LT(Clock::now() - written, milliseconds(2000));
    EXPECT_FALSE(ShmExists(RequestRingName(reply.key)));
  }

  const std::string large = EncodeRequestRecord(
      0, 0, pid(),
      {EncodeRequestEntry(1, kRequestDeferrable, kModuleTest, k_testEcho, {}, big_payload),
       EncodeRequestEntry(2, 0, kModuleTest, k_testEcho, {5}, "large")});
  const std::string good = EncodeRequestRecord(0, 0, pid(), {entry});
  ASSERT_EQ(rings_->Write(large), kRingSuccess);
  ASSERT_EQ(rings_->Write(good), kRingSuccess);
  std::vector<Response> responses;
  ASSERT_TRUE(rings_->ReadResponses(2, &responses)) << daemon_->Stderr();
  EXPECT_EQ(responses[0].request, 2u);
  EXPECT_EQ(responses[1].payload, "ok");

  NodeRecord node0;
  ASSERT_TRUE(AwaitMessages(*nodes_[0], malformed.size() + 2, &node0));
  std::vector<std::string> records;
  for (const auto& message : node0.messages) {
    if (message.flags == 0) records.push_back(message.bytes);
  }
  EXPECT_EQ(records, (std::vector<std::string>{large, good}));
  for (const auto& holder : holders) {
    const bool notified = std::any_of(node0.messages.begin(), node0.messages.end(), [&](const auto& m) {
      return m.flags == kLinkClientExit && m.pid == holder->pid();
    });
    EXPECT_TRUE(notified) << holder->pid();
  }
  EXPECT_EQ(CountOf(daemon_->Stderr(), "refused, the client is released"), malformed.size()) << daemon_->Stderr();
}

TEST_F(ForwardingTest, ExitedClientIsReleasedOnceItsRecordsAreForwarded) {
  int key_pipe[2];
  ASSERT_EQ(pipe(key_pipe), 0);
  // Made before the fork: the child holds it, so it may register the child.
  const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const pid_t child = testing_util::ForkChild([&] {
    close(key_pipe[1]);
    char key[kKeyChars];
    if (read(key_pipe[0], key, sizeof(key)) != static_cast<ssize_t>(sizeof(key))) return 1;
    ClientRings rings(std::string(key, sizeof(key)));
    const uint32_t me = static_cast<uint32_t>(getpid());
    for (uint64_t i = 0; i < 5; ++i) {
      const std::string entry = EncodeRequestEntry(100 + i, kRequestNoWait, kModuleTest, k_testEcho, {i});
      if (rings.Write(EncodeRequestRecord(i % 2, 0, me, {entry})) != kRingSuccess) return 2;
    }
    return 0;  // gone without a word, records still in the ring
  });
  close(key_pipe[0]);
  Reply child_reply;
  const bool registered = daemon_->RegisterOn(sock, child, &child_reply);
  close(sock);
  ASSERT_TRUE(registered) << daemon_->Stderr();
  ASSERT_EQ(write(key_pipe[1], child_reply.key.data(), kKeyChars), static_cast<ssize_t>(kKeyChars));
  close(key_pipe[1]);
  ASSERT_TRUE(testing_util::ExitedWith(testing_util::WaitChild(child, milliseconds(5000)), 0));
  const auto exited = Clock::now();

  // Node 0 gets records 0, 2, 4 and node 1 records 1, 3, each then the notice.
  for (int n = 0; n < 2; ++n) {
    NodeRecord record;
    const size_t records = n == 0 ? 3 : 2;
    ASSERT_TRUE(AwaitMessages(*nodes_[n], records + 1, &record, milliseconds(3000)));
    ASSERT_EQ(record.messages.size(), records + 1);
    for (size_t i = 0; i < records; ++i) {
      EXPECT_EQ(record.messages[i].flags, 0u);
      EXPECT_EQ(record.messages[i].pid, static_cast<uint32_t>(child));
    }
    const auto& notice = record.messages[records];
    EXPECT_EQ(notice.bytes.size(), 28u);
    EXPECT_EQ(notice.flags, kLinkClientExit);
    EXPECT_EQ(notice.pid, static_cast<uint32_t>(child));
  }
  EXPECT_TRUE(WaitFor(
      [&] { return !ShmExists(RequestRingName(child_reply.key)) && !ShmExists(ResponseRingName(child_reply.key)); },
      milliseconds(3000)));
  EXPECT_LT(Clock::now() - exited, milliseconds(1500));
  EXPECT_NE(daemon_->Stdout().find("delete ring buffers for pid=" + std::to_string(child)), std::string::npos);

  // Answers that come back for the released client are dropped; the daemon
  // goes on serving.
  ASSERT_EQ(rings_->Write(EncodeEchoRecord(0, pid(), 7)), kRingSuccess);
  std::vector<Response> responses;
  ASSERT_TRUE(rings_->ReadResponses(1, &responses));
  EXPECT_EQ(responses[0].request, 7u);
}

}  // namespace
