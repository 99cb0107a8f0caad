// Registration at load time as a process sees it: the GPU table narrowed by
// CUDA_VISIBLE_DEVICES, replies that are refused, rings that cannot be
// attached, and a daemon that never answers. Every case is a fresh process:
// the library registers once, when it loads.
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>

#include <chrono>
#include <fstream>

#include "harness/stand_in.h"

namespace testing_util {
namespace {

using BootstrapTest = ClientTest;

struct VisibleCase {
  const char* value;  // null: unset
  const char* indexes;
  const char* nodes;
  int error_lines;
};

TEST_F(BootstrapTest, CudaVisibleDevicesNarrowsTheGpuTable) {
  std::string sixty_four_zeros;
  for (int i = 0; i < 64; ++i) sixty_four_zeros += "0,";
  std::string sixty_four_indexes = "100";
  std::string sixty_four_nodes = "0";
  for (int i = 1; i < 64; ++i) {
    sixty_four_indexes += ",100";
    sixty_four_nodes += ",0";
  }
  const std::string beyond_64 = sixty_four_zeros + "1,3";
  const VisibleCase cases[] = {
      {nullptr, "100,101,102,103", "0,1,0,1", 0},
      {"3,1", "101,103", "1,1", 0},
      {"2", "102", "0", 0},
      {"0,0", "100,100", "0,0", 0},
      {"5", "100,101,102,103", "0,1,0,1", 0},
      {"", "100,101,102,103", "0,1,0,1", 0},
      {"a,1", "101", "1", 1},
      {",1", "101", "1", 1},
      {"1,", "101", "1", 0},
      {" 1", "101", "1", 0},
      {"1x", "101", "1", 0},
      {"-1", "100,101,102,103", "0,1,0,1", 0},
      {beyond_64.c_str(), sixty_four_indexes.c_str(), sixty_four_nodes.c_str(), 0},
  };
  for (const VisibleCase& c : cases) {
    SCOPED_TRACE(c.value == nullptr ? "unset" : "'" + std::string(c.value).substr(0, 20) + "'");
    std::vector<std::string> env;
    if (c.value != nullptr) env.push_back(std::string("CUDA_VISIBLE_DEVICES=") + c.value);
    auto child = Start("gpus", env);
    ASSERT_NE(child, nullptr);
    ASSERT_TRUE(Finished(*child));
    ExpectValues(*child, {{"indexes", c.indexes}, {"nodes", c.nodes}, {"node_count", "2"}, {"node0", "127.0.0.1:7000"},
        {"key", stand_in_.key()}});
    const std::string err = child->Stderr();
    EXPECT_EQ(CountOf(err, "in CUDA_VISIBLE_DEVICES, exception=stoul\n"), static_cast<size_t>(c.error_lines)) << err;
    const bool too_many = c.value == beyond_64.c_str();
    EXPECT_EQ(CountOf(err, "CUDA_VISIBLE_DEVICES names 66 gpus, only the first 64 are used\n"), too_many ? 1u : 0u)
        << err;
    if (c.value != nullptr && std::string(c.value) == ",1") {
      EXPECT_EQ(CountOf(err, "Invalid value= in CUDA_VISIBLE_DEVICES, exception=stoul\n"), 1u) << err;
    }
    if (c.value != nullptr && std::string(c.value) == "a,1") {
      EXPECT_EQ(CountOf(err, "Invalid value=a in CUDA_VISIBLE_DEVICES, exception=stoul\n"), 1u) << err;
    }
  }
}

// The sockets of `pid`, and how many of them an exec would pass on.
struct Sockets {
  int open = 0;
  int inherited_by_exec = 0;
};
Sockets SocketsOf(pid_t pid) {
  Sockets sockets;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
  DIR* fds = opendir(dir.c_str());
  if (fds == nullptr) return sockets;
  while (dirent* entry = readdir(fds)) {
    char target[64] = {};
    if (readlink((dir + "/" + entry->d_name).c_str(), target, sizeof(target) - 1) <= 0) continue;
    if (std::string(target).rfind("socket:", 0) != 0) continue;
    ++sockets.open;
    std::ifstream info("/proc/" + std::to_string(pid) + "/fdinfo/" + entry->d_name);
    std::string line;
    while (std::getline(info, line)) {
      if (line.rfind("flags:", 0) == 0 && (std::stoul(line.substr(6), nullptr, 8) & O_CLOEXEC) == 0) {
        ++sockets.inherited_by_exec;
      }
    }
  }
  closedir(fds);
  return sockets;
}

// While the process waits for its reply, its registration socket would not
// outlive an exec.
TEST_F(BootstrapTest, KeyIsCutAtNineCharacters) {
  auto child = Spawn("gpus");
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(stand_in_.ReceivePid(Millis(20000)), child->pid());
  const Sockets sockets = SocketsOf(child->pid());
  EXPECT_GE(sockets.open, 1);
  EXPECT_EQ(sockets.inherited_by_exec, 0);
  const std::string key = GenerateRandomString(kKeyChars);
  ASSERT_TRUE(stand_in_.CreateRings(key));
  ASSERT_TRUE(stand_in_.SendToClient(DaemonStandIn::Reply(key + "Z", FourGpus(), 2)));
  ASSERT_TRUE(Finished(*child));
  EXPECT_EQ(Value(*child, "key"), key);
  EXPECT_EQ(Value(*child, "gpu_count"), "4");
}

// Replies the library must refuse; the process then runs unregistered.
TEST_F(BootstrapTest, MalformedRepliesLeaveTheProcessUnregistered) {
  const std::string key = GenerateRandomString(kKeyChars) + '\0';
  std::string truncated = DaemonStandIn::Reply(key, FourGpus(), 2);
  truncated.pop_back();
  std::string many_gpus = DaemonStandIn::Reply(key, std::vector<GpuEntry>(65, GpuEntry{0, 0}), 1);
  std::string many_nodes = DaemonStandIn::Reply(key, FourGpus(), 33);
  struct Case {
    std::string reply;
    const char* message;
  } cases[] = {
      {std::string(17, 'k'), "registration reply refused: 17 bytes"},
      {truncated, "registration reply refused: 85 bytes for 4 gpus and 2 nodes"},
      {many_gpus, "registration reply refused: gpu count=65 above 64"},
      {many_nodes, "registration reply refused: node count=33 above 32"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    auto child = Spawn("unregistered");
    ASSERT_NE(child, nullptr);
    ASSERT_EQ(stand_in_.ReceivePid(Millis(20000)), child->pid());
    ASSERT_TRUE(stand_in_.SendToClient(c.reply));
    ASSERT_TRUE(Finished(*child));
    EXPECT_EQ(Value(*child, "result"), "999");
    EXPECT_EQ(Value(*child, "prepare_calls"), "0");
    const std::string err = child->Stderr();
    EXPECT_EQ(CountOf(err, c.message), 1u) << err;
    EXPECT_EQ(CountOf(err, "tovrel has not been initialized yet.\n"), 1u) << err;
    EXPECT_EQ(child->Stdout().find("Initialize done"), std::string::npos);
  }
}

TEST_F(BootstrapTest, RingsThatCannotBeAttachedLeaveTheProcessUnregistered) {
  auto child = Spawn("unregistered");
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(stand_in_.ReceivePid(Millis(20000)), child->pid());
  // A key for which no rings exist.
  ASSERT_TRUE(stand_in_.SendToClient(DaemonStandIn::Reply(GenerateRandomString(kKeyChars) + '\0', FourGpus(), 2)));
  ASSERT_TRUE(Finished(*child));
  EXPECT_EQ(Value(*child, "result"), "999");
  EXPECT_EQ(Value(*child, "done"), "0");
  EXPECT_EQ(CountOf(child->Stderr(), "attach ring buffers failed: "), 1u) << child->Stderr();
}

// A daemon slow to answer while processes start in numbers: the first pid
// datagram goes unanswered until the process has repeated it (within about
// 100 ms). The daemon then answers both, as the daemon does: the first with a
// key whose rings it releases on the second, the second with a fresh key.
// The process takes only the reply to its newest datagram and works.
TEST_F(BootstrapTest, AnUnansweredRequestIsRepeatedAndOnlyTheNewestReplyCounts) {
  auto child = Spawn("one_call");
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(stand_in_.ReceivePid(Millis(20000)), child->pid());
  const auto first_at = std::chrono::steady_clock::now();
  const sockaddr_in first = stand_in_.client();
  ASSERT_EQ(stand_in_.ReceivePid(Millis(1000), true), child->pid()) << "the pid datagram was not repeated";
  EXPECT_LT(std::chrono::steady_clock::now() - first_at, Millis(500));
  EXPECT_NE(stand_in_.client().sin_port, first.sin_port) << "a repeat from the same socket cannot be told apart";

  const std::string old_key = GenerateRandomString(kKeyChars);
  ASSERT_TRUE(stand_in_.CreateRings(old_key));
  ASSERT_TRUE(stand_in_.SendTo(first, DaemonStandIn::Reply(old_key + '\0', FourGpus(), 2)));
  const std::string key = GenerateRandomString(kKeyChars);
  ASSERT_TRUE(stand_in_.CreateRings(key));  // releases the rings of old_key
  ASSERT_TRUE(stand_in_.SendToClient(DaemonStandIn::Reply(key + '\0', FourGpus(), 2)));

  const RequestRecord record = Next();
  EXPECT_EQ(record.batch.pid, static_cast<uint32_t>(child->pid()));
  ASSERT_TRUE(stand_in_.Respond(record, 0));
  ASSERT_TRUE(Finished(*child));
  EXPECT_EQ(Value(*child, "result"), "0");
  EXPECT_EQ(CountOf(child->Stdout(), "Get ring buffer key=" + key + "\n"), 1u) << child->Stdout();
  EXPECT_EQ(CountOf(child->Stdout(), old_key), 0u) << child->Stdout();
  EXPECT_EQ(CountOf(child->Stderr(), "Error"), 0u) << child->Stderr();
}

// Anybody may bind the registration port while no daemon runs. Rings that
// belong to another user (not root, not the process's own) are refused with
// one Error line, and not one byte of a call reaches them.
TEST_F(BootstrapTest, RingsOfAnotherUserAreRefused) {
  constexpr uid_t kSquatter = 65534;
  if (geteuid() != 0) GTEST_SKIP() << "handing rings to another user needs root";
  auto child = Start("unregistered", {}, FourGpus(), 2, [this] { ASSERT_TRUE(stand_in_.GiveRingsTo(kSquatter, kSquatter)); });
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(Finished(*child));
  EXPECT_EQ(Value(*child, "result"), "999");
  EXPECT_EQ(Value(*child, "prepare_calls"), "0");
  const std::string err = child->Stderr();
  EXPECT_EQ(
      CountOf(err, "registration refused: the rings belong to uid=65534, neither root nor this process's uid=0\n"), 1u)
      << err;
  EXPECT_EQ(CountOf(err, "Error"), 2u) << err;  // and "tovrel has not been initialized yet."
  EXPECT_FALSE(stand_in_.NextRecord(Millis(200)).has_value());
}

// Takes the full 30 s registration timeout. The port is held but nobody
// answers; a reply from any other port does not even reach the process.
TEST_F(BootstrapTest, NoAnswerWithinThirtySecondsLeavesTheProcessUnregistered) {
  const auto start = std::chrono::steady_clock::now();
  auto child = Spawn("unregistered");
  ASSERT_NE(child, nullptr);
  ASSERT_EQ(stand_in_.ReceivePid(Millis(20000)), child->pid());
  const int other = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  ASSERT_GE(other, 0);
  const std::string key = GenerateRandomString(kKeyChars);
  ASSERT_TRUE(stand_in_.SendToClient(DaemonStandIn::Reply(key + '\0', FourGpus(), 2), other));
  close(other);
  ASSERT_TRUE(Finished(*child, Millis(60000)));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(29900));
  EXPECT_LT(elapsed, std::chrono::milliseconds(45000));
  EXPECT_EQ(Value(*child, "result"), "999");
  const std::string err = child->Stderr();
  EXPECT_EQ(CountOf(err, "recv info from server failed=-1\n"), 1u) << err;
  EXPECT_EQ(CountOf(err, "attach ring buffers failed"), 0u) << err;
  EXPECT_EQ(CountOf(err, "Error"), 2u) << err;
}

}  // namespace
}  // namespace testing_util
