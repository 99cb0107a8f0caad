// zantu_node over the Native transport, with the test playing the daemon
// through raw sockets: the test module's answers, multi-entry records, the
// record file, skip headers, --close-after, and malformed streams.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "common/trellan.h"
#include "harness/links.h"

namespace {

using namespace link_test;
using namespace testing_util;
using namespace wire_test;

constexpr auto kExitWait = std::chrono::seconds(10);

// A started node with both connections made, in the daemon's order.
struct NativeNode {
  explicit NativeNode(const NodeConfig& config) {
    std::string error;
    node = NodeProcess::Start(config, &error);
    EXPECT_NE(node, nullptr) << error;
    if (!node) return;
    answers = ConnectTcp(node->recv_port());
    stream = ConnectTcp(node->send_port());
    EXPECT_GE(answers, 0);
    EXPECT_GE(stream, 0);
  }
  ~NativeNode() {
    if (answers >= 0) close(answers);
    if (stream >= 0) close(stream);
  }
  bool Send(const std::string& bytes) { return SendBytes(stream, bytes); }
  void CloseStream() {
    close(stream);
    stream = -1;
  }

  std::unique_ptr<NodeProcess> node;
  int answers = -1;
  int stream = -1;
};

NodeConfig Native() {
  NodeConfig config;
  config.transport = "native";
  return config;
}

// One answer for `pid`: a plain response record with one entry.
Message ReadAnswer(int fd, uint32_t pid) {
  Message m;
  EXPECT_TRUE(ReadMessage(fd, &m));
  EXPECT_EQ(m.header.pid, pid);
  EXPECT_EQ(m.header.count, 1u);
  return m;
}

TEST(NodeNative, AnswersEveryTestFunction) {
  NativeNode n(Native());
  ASSERT_TRUE(n.node);
  ASSERT_TRUE(n.Send(GuestInfo("guest-native")));

  // Echo: the whole payload back, argument block included.
  ASSERT_TRUE(n.Send(BuildRecord(40, {{.request = 0x1000, .api = k_testEcho, .args = {5}, .data = "hello node"}})));
  Message echo = ReadAnswer(n.answers, 40);
  EXPECT_EQ(echo.header.flags, 0u);
  EXPECT_EQ(echo.header.size, sizeof(ResponseHeader) + 8 + 10);
  EXPECT_EQ(echo.entry().request, 0x1000u);
  EXPECT_EQ(echo.entry().result, 0u);
  EXPECT_EQ(echo.entry().flags, 0u);
  EXPECT_EQ(echo.payload(), std::string("\x05\0\0\0\0\0\0\0", 8) + "hello node");

  ASSERT_TRUE(n.Send(BuildRecord(41, {{.request = 0x2000, .api = k_testFail, .args = {7}}})));
  Message fail = ReadAnswer(n.answers, 41);
  EXPECT_EQ(fail.entry().result, 7u);
  EXPECT_EQ(fail.entry().size, 0u);
  EXPECT_EQ(fail.header.size, sizeof(ResponseHeader));

  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(n.Send(BuildRecord(42, {{.request = 0x3000, .api = k_testDelay, .args = {30000}, .data = "x"}})));
  Message delay = ReadAnswer(n.answers, 42);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
  EXPECT_EQ(delay.entry().result, 0u);
  EXPECT_EQ(delay.payload().substr(8), "x");

  // Compressed: the whole body (entry header and pattern) is one frame.
  ASSERT_TRUE(n.Send(BuildRecord(43, {{.request = 0x4000, .api = k_testCompressed, .args = {5000, 9}}})));
  Message packed = ReadAnswer(n.answers, 43);
  EXPECT_EQ(packed.header.flags, kLinkCompressed);
  EXPECT_EQ(packed.header.size, packed.body.size());
  ZSTDUtil zstd(1, 0);
  std::string plain;
  ASSERT_TRUE(zstd.Decompress(packed.body, &plain));
  ASSERT_EQ(plain.size(), sizeof(ResponseHeader) + 5000);
  const ResponseEntryHead entry = DecodeResponseEntryHead(plain.data());
  EXPECT_EQ(entry.request, 0x4000u);
  EXPECT_EQ(entry.result, 0u);
  EXPECT_EQ(entry.size, 5000u);
  EXPECT_EQ(plain.substr(sizeof(ResponseHeader)), Pattern(5000, 9));

  // Unknown functions and modules, and calls missing their arguments.
  ASSERT_TRUE(n.Send(BuildRecord(44, {{.request = 1, .module = kModuleDriver, .api = 0}})));
  EXPECT_EQ(ReadAnswer(n.answers, 44).entry().result, kTestUnknownFunction);
  ASSERT_TRUE(n.Send(BuildRecord(44, {{.request = 2, .api = 77}})));
  EXPECT_EQ(ReadAnswer(n.answers, 44).entry().result, kTestUnknownFunction);
  ASSERT_TRUE(n.Send(BuildRecord(44, {{.request = 3, .api = k_testFail}})));
  EXPECT_EQ(ReadAnswer(n.answers, 44).entry().result, kTestUnknownFunction);

  n.CloseStream();
  EXPECT_TRUE(ClosedByPeer(n.answers));
  EXPECT_TRUE(ExitedWith(n.node->Wait(kExitWait), 0));
  EXPECT_NE(n.node->process().Stderr().find("records=7 answered=7"), std::string::npos);
}

TEST(NodeNative, RecordOfThreeEntriesIsAnsweredOnceForItsLast) {
  NativeNode n(Native());
  ASSERT_TRUE(n.node);
  ASSERT_TRUE(n.Send(GuestInfo("g")));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(n.Send(BuildRecord(
      50, {{.request = 11, .api = k_testDelay, .args = {25000}},
           {.request = 12, .flags = kRequestDeferrable, .api = k_testDelay, .args = {25000}},
           {.request = 13, .flags = kRequestNoWait | kRequestDeferrable, .api = k_testEcho, .data = "last"}})));
  Message m = ReadAnswer(n.answers, 50);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));  // the delays add up
  EXPECT_EQ(m.entry().request, 13u);
  EXPECT_EQ(m.entry().flags, kRequestNoWait);  // only the no-wait bit is echoed
  EXPECT_EQ(m.payload(), "last");
  // Nothing else for that record: the next message answers the next record.
  ASSERT_TRUE(n.Send(BuildRecord(51, {{.request = 14, .api = k_testEcho}})));
  EXPECT_EQ(ReadAnswer(n.answers, 51).entry().request, 14u);
}

TEST(NodeNative, RecordFileHoldsExactlyTheBytesSent) {
  NodeConfig config = Native();
  config.record = true;
  NativeNode n(config);
  ASSERT_TRUE(n.node);
  const std::vector<std::string> sent = {
      GuestInfo("guest-record"),
      BuildRecord(60, {{.request = 1, .api = k_testEcho, .data = std::string(3000, 'a')}}),
      EncodeExitNotice(61),
      BuildRecord(62, {{.request = 2, .api = k_testFail, .args = {3}}, {.request = 3, .api = k_testEcho}}),
  };
  std::string all;
  for (const std::string& s : sent) {
    ASSERT_TRUE(n.Send(s));
    all += s;
  }
  // Two clients: their answers may come in either order.
  Message first, second;
  ASSERT_TRUE(ReadMessage(n.answers, &first));
  ASSERT_TRUE(ReadMessage(n.answers, &second));
  EXPECT_EQ(first.header.pid + second.header.pid, 60u + 62u);

  NodeRecord record;
  ASSERT_TRUE(n.node->ReadRecord(&record));
  EXPECT_EQ(record.guest, sent[0]);
  ASSERT_EQ(record.messages.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(record.messages[i].bytes, sent[i + 1]) << i;
  EXPECT_EQ(record.messages[1].flags, kLinkClientExit);
  EXPECT_EQ(record.messages[1].pid, 61u);
  EXPECT_EQ(record.partial, 0u);

  n.CloseStream();
  EXPECT_TRUE(ExitedWith(n.node->Wait(kExitWait), 0));
  EXPECT_NE(n.node->process().Stderr().find("exit_notices=1"), std::string::npos);
}

TEST(NodeNative, SkipHeadersPrecedeEveryAnswer) {
  NodeConfig config = Native();
  config.skip_headers = true;
  NativeNode n(config);
  ASSERT_TRUE(n.node);
  ASSERT_TRUE(n.Send(GuestInfo("g")));
  for (uint32_t i = 0; i < 3; ++i) {
    ASSERT_TRUE(n.Send(BuildRecord(70 + i, {{.request = i, .api = k_testEcho, .data = "abc"}})));
    Message skip;
    ASSERT_TRUE(ReadMessage(n.answers, &skip));
    EXPECT_EQ(skip.header.flags, kLinkSkip);
    Message m = ReadAnswer(n.answers, 70 + i);
    EXPECT_EQ(m.header.flags, 0u);
    EXPECT_EQ(m.entry().request, i);
  }
}

TEST(NodeNative, CloseAfterEndsTheLinkAndExitsZero) {
  NodeConfig config = Native();
  config.close_after = 2;
  NativeNode n(config);
  ASSERT_TRUE(n.node);
  ASSERT_TRUE(n.Send(GuestInfo("g")));
  ASSERT_TRUE(n.Send(BuildRecord(80, {{.request = 1, .api = k_testEcho}})));
  ASSERT_TRUE(n.Send(EncodeExitNotice(81)));  // not an answered record
  ASSERT_TRUE(n.Send(BuildRecord(80, {{.request = 2, .api = k_testEcho}})));
  ReadAnswer(n.answers, 80);
  ReadAnswer(n.answers, 80);
  EXPECT_TRUE(ClosedByPeer(n.answers));
  EXPECT_TRUE(ExitedWith(n.node->Wait(kExitWait), 0));
}

TEST(NodeNative, LargeRecordsTravelIntact) {
  NativeNode n(Native());
  ASSERT_TRUE(n.node);
  ASSERT_TRUE(n.Send(GuestInfo("g")));
  const std::string data = Pattern(12 << 20, 5);
  std::thread writer([&] { EXPECT_TRUE(n.Send(BuildRecord(90, {{.request = 9, .api = k_testEcho, .data = data}}))); });
  Message m = ReadAnswer(n.answers, 90);
  writer.join();
  EXPECT_EQ(m.entry().size, data.size());
  EXPECT_TRUE(m.payload() == data);
}

// Each case: a malformed message. When its framing is intact (the header's
// size still tells where the next message starts) only that record is
// dropped and the node goes on; otherwise it stops with status 3.
struct Malformed {
  const char* name;
  std::string bytes;
  bool framing_broken;
};

std::string Patched(std::string record, size_t offset, const void* value, size_t width) {
  record.replace(offset, width, static_cast<const char*>(value), width);
  return record;
}

std::vector<Malformed> MalformedCases() {
  const std::string good = BuildRecord(5, {{.request = 1, .api = k_testEcho, .args = {1, 2}, .data = "abcd"}});
  const uint32_t bad_magic = 20240423, zero = 0, flags = 5, argc = 3;
  const uint64_t entry_size = 21, huge = uint64_t{1} << 40;
  std::string trailing = good + "zzzz";
  const uint64_t longer = good.size() - 28 + 4;
  trailing.replace(12, 8, reinterpret_cast<const char*>(&longer), 8);
  return {
      {"flags", Patched(good, 0, &flags, 4), true},
      {"larger_than_a_ring", Patched(good, 12, &huge, 8), true},
      {"count0", Patched(good, 24, &zero, 4), false},
      {"magic", Patched(good, 28 + 20, &bad_magic, 4), false},
      {"argc", Patched(good, 28 + 28, &argc, 4), false},
      {"entry_past_record", Patched(good, 28 + 32, &entry_size, 8), false},
      {"bytes_after_last_entry", trailing, false},
  };
}

TEST(NodeNative, MalformedRecordsAreDroppedUnlessTheFramingIsBroken) {
  for (const Malformed& c : MalformedCases()) {
    SCOPED_TRACE(c.name);
    NativeNode n(Native());
    ASSERT_TRUE(n.node);
    ASSERT_TRUE(n.Send(GuestInfo("g") + c.bytes + BuildRecord(6, {{.request = 2, .api = k_testEcho}})));
    if (c.framing_broken) {
      EXPECT_TRUE(ExitedWith(n.node->Wait(kExitWait), 3)) << n.node->process().Stderr();
      continue;
    }
    EXPECT_EQ(ReadAnswer(n.answers, 6).entry().request, 2u);  // nothing came for pid 5
    n.CloseStream();
    EXPECT_TRUE(ExitedWith(n.node->Wait(kExitWait), 0));
    EXPECT_NE(n.node->process().Stderr().find("malformed=1"), std::string::npos);
  }
}

TEST(NodeNative, BadCommandLinesExit2) {
  const std::vector<std::vector<std::string>> lines = {
      {},
      {"--transport", "tcp"},
      {"--transport", "native", "--recv-port", "65536"},
      {"--transport", "light", "--drop", "1"},
      {"--transport", "native", "--close-after", "0"},
      {"--transport", "native", "--bogus"},
      {"--transport"},
  };
  for (const auto& args : lines) {
    std::vector<std::string> argv = {testing_util::BinDir() + "/zantu_node"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto child = testing_util::ChildProcess::Spawn(argv);
    ASSERT_NE(child, nullptr);
    EXPECT_TRUE(ExitedWith(child->Wait(kExitWait), 2)) << (args.empty() ? "" : args.back());
    EXPECT_EQ(child->Stdout(), "");
  }
}

}  // namespace
