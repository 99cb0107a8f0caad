// The daemon as a program: the command lines it refuses and accepts, and the
// way it ends when a node goes away.
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon.h"

namespace {

using namespace daemon_test;
using namespace wire_test;
using testing_util::ExitedWith;
using testing_util::NodeProcess;

// Runs the daemon on a command line it must turn down before it contacts any
// node; returns its standard error.
std::string Refused(const std::vector<std::string>& args) {
  auto daemon = Daemon::Start(args);
  EXPECT_TRUE(ExitedWith(daemon->Wait(milliseconds(5000)), 0));
  EXPECT_NE(daemon->Stdout().find("zantu quit"), std::string::npos);
  EXPECT_EQ(daemon->Stdout().find("create gpu-"), std::string::npos);
  return daemon->Stderr();
}

std::vector<std::string> Repeat(const std::vector<std::string>& group, int times) {
  std::vector<std::string> all;
  for (int i = 0; i < times; ++i) all.insert(all.end(), group.begin(), group.end());
  return all;
}

TEST(CommandLineTest, WrongCountsAreRefused) {
  const std::vector<std::string> group = {"0", "127.0.0.1", "native", "1", "2", "3", "0"};
  EXPECT_NE(Refused({}).find("Error Func:main Line:"), std::string::npos);
  EXPECT_NE(Refused({}).find("invalid params count=1\n"), std::string::npos);
  std::vector<std::string> stray = group;
  stray.push_back("x");
  EXPECT_NE(Refused(stray).find("invalid params count=9\n"), std::string::npos);
  std::vector<std::string> short_of_65 = Repeat(group, 65);
  short_of_65.pop_back();  // 454 arguments: a count of 455
  EXPECT_NE(Refused(short_of_65).find("invalid params count=455\n"), std::string::npos);
  EXPECT_NE(Refused(Repeat(group, 65)).find("too many cuda device, count=65\n"), std::string::npos);
}

TEST(CommandLineTest, NodeIdsAndPortsOutOfRangeAreRefused) {
  auto node = StartNode();
  ASSERT_NE(node, nullptr);
  EXPECT_NE(Refused(Concat({Group(0, *node, "native", 7000, 0), Group(2, *node, "native", 7000, 0)}))
                .find("node ids must be 0 to 1, got node=2"),
            std::string::npos);
  std::vector<std::string> many;
  for (uint32_t id = 0; id <= 32; ++id) {
    const auto group = Group(id, *node, "native", 7000, 0);
    many.insert(many.end(), group.begin(), group.end());
  }
  EXPECT_NE(Refused(many).find("too many nodes, count=33"), std::string::npos);
  for (const char* port : {"0", "65536", "port"}) {
    std::vector<std::string> args = Group(0, *node, "native", 7000, 0);
    args[5] = port;
    EXPECT_NE(Refused(args).find("invalid port="), std::string::npos) << port;
  }
  // Nothing reached the node.
  NodeRecord record;
  ASSERT_TRUE(node->ReadRecord(&record));
  EXPECT_TRUE(record.guest.empty());
  EXPECT_TRUE(node->process().Running());
}

TEST(CommandLineTest, NodeThatCannotBeReachedStopsTheStart) {
  auto node = StartNode();
  ASSERT_NE(node, nullptr);
  // Node 0 is fine, node 1 listens nowhere: node 0 is let go again.
  std::vector<std::string> args = Concat({Group(0, *node, "native", 7000, 0), Group(1, *node, "native", 7000, 0)});
  args[7 + 4] = "1";  // node 1's recv_port
  auto daemon = Daemon::Start(args);
  EXPECT_TRUE(ExitedWith(daemon->Wait(milliseconds(5000)), 0));
  EXPECT_NE(daemon->Stderr().find("create network failed"), std::string::npos);
  EXPECT_NE(daemon->Stdout().find("zantu quit"), std::string::npos);
  EXPECT_TRUE(ExitedWith(node->Wait(milliseconds(3000)), 0));
}

TEST(CommandLineTest, SixtyFourGpusAndRepeatedNodeIdsShareOneTransport) {
  auto node = StartNode();
  ASSERT_NE(node, nullptr);
  // The first group of node 0 decides; the later ones add GPUs only, even
  // with another host, type and ports.
  std::vector<std::string> args = Group(0, *node, "Light", 7000, 0);
  for (uint32_t g = 1; g < 64; ++g) {
    const std::vector<std::string> group = {"0", "127.0.0.2", "light", "1", "1", "7999", std::to_string(g)};
    args.insert(args.end(), group.begin(), group.end());
  }
  auto daemon = Daemon::Start(args);
  Reply reply;
  ASSERT_TRUE(daemon->Register(getpid(), &reply)) << daemon->Stderr();
  EXPECT_EQ(reply.raw.size(), 18u + 8 * 64 + 18);
  ASSERT_EQ(reply.indexes.size(), 64u);
  EXPECT_EQ(reply.indexes[63], 63u);
  ASSERT_EQ(reply.node_infos.size(), 1u);
  EXPECT_EQ(reply.node_infos[0].host, "127.0.0.1");
  EXPECT_EQ(reply.node_infos[0].port, 7000);
  const std::string out = daemon->Stdout();
  EXPECT_NE(out.find("create gpu-0 from host=127.0.0.1 network=Light"), std::string::npos);
  EXPECT_NE(out.find("create gpu-63 from host=127.0.0.2 network=light send_port=1 recv_port=1 node_port=7999 "
                     "gpu_index=63"),
            std::string::npos);
  EXPECT_EQ(CountOf(out, "Connection to server"), 2u);  // "Light" is not "light": Native

  node->process().Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(daemon->Wait(milliseconds(5000)), 0));
}

// A node that ends its connection ends the daemon: its two Error lines, every
// thread joined, exit 0 within a second, no ring left.
void ExpectQuitWhenNodeCloses(const std::string& transport) {
  auto closing = StartNode(transport, 2);
  auto other = StartNode("native");
  ASSERT_NE(closing, nullptr);
  ASSERT_NE(other, nullptr);
  auto daemon = Daemon::Start(Concat({Group(0, *closing, transport, 7000, 0), Group(1, *other, "native", 7001, 0)}));
  Reply reply;
  ASSERT_TRUE(daemon->Register(getpid(), &reply)) << daemon->Stderr();
  {
    ClientRings rings(reply.key);
    for (uint64_t i = 0; i < 2; ++i) {
      ASSERT_EQ(rings.Write(EncodeEchoRecord(0, getpid(), i)), kRingSuccess);
    }
    std::vector<Response> responses;
    rings.ReadResponses(2, &responses, milliseconds(2000));
  }
  ASSERT_TRUE(ExitedWith(closing->Wait(milliseconds(5000)), 0));
  const auto closed = Clock::now();
  ASSERT_TRUE(ExitedWith(daemon->Wait(milliseconds(5000)), 0)) << daemon->Stderr();
  EXPECT_LT(Clock::now() - closed, milliseconds(1000));
  const std::string err = daemon->Stderr();
  EXPECT_NE(err.find("Error Func:Recv Line:"), std::string::npos) << err;
  EXPECT_NE(err.find("network recv socket error=0 happened"), std::string::npos);
  EXPECT_NE(err.find("Error Func:ResponseWorker Line:"), std::string::npos);
  EXPECT_NE(err.find("network read error happened"), std::string::npos);
  // The other node's worker and the request worker were woken, not failed.
  EXPECT_EQ(CountOf(err, "\n"), 2u) << err;
  EXPECT_NE(daemon->Stdout().find("zantu quit"), std::string::npos);
  EXPECT_FALSE(ShmExists(RequestRingName(reply.key)));
  EXPECT_FALSE(ShmExists(ResponseRingName(reply.key)));
  // The other node saw the stream end.
  EXPECT_TRUE(ExitedWith(other->Wait(milliseconds(3000)), 0));
}

TEST(LifecycleTest, NativeNodeClosingEndsTheDaemon) { ExpectQuitWhenNodeCloses("native"); }

TEST(LifecycleTest, LightNodeClosingEndsTheDaemon) { ExpectQuitWhenNodeCloses("light"); }

}  // namespace
