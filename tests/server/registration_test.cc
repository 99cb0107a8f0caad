// The registration service of the real daemon: the reply byte for byte, the
// rings it creates, a pid that registers again, datagrams it refuses, and a
// second daemon that cannot have the port.
#include <dirent.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon.h"

namespace {

using namespace daemon_test;
using namespace wire_test;
using testing_util::NodeProcess;

// Ends the nodes, which ends the daemon; it must exit 0 and take its rings
// with it.
void StopAll(Daemon& daemon, std::vector<std::unique_ptr<NodeProcess>>& nodes, const std::vector<std::string>& keys) {
  EndNodesThenDaemon(nodes, &daemon);
  EXPECT_NE(daemon.Stdout().find("zantu quit"), std::string::npos);
  for (const std::string& key : keys) {
    EXPECT_FALSE(ShmExists(RequestRingName(key)));
    EXPECT_FALSE(ShmExists(ResponseRingName(key)));
  }
}

TEST(RegistrationTest, TwoGpusOnOneNodeGetThe52ByteReply) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode());
  ASSERT_NE(nodes[0], nullptr);
  auto daemon = Daemon::Start(Concat({Group(0, *nodes[0], "native", 7001, 3), Group(0, *nodes[0], "native", 7002, 5)}));
  Reply reply;
  ASSERT_TRUE(daemon->Register(getpid(), &reply)) << daemon->Stderr();

  ASSERT_EQ(reply.raw.size(), 52u);
  for (char c : reply.key) EXPECT_TRUE(std::isalnum(static_cast<unsigned char>(c)));
  EXPECT_EQ(reply.indexes, (std::vector<uint32_t>{3, 5}));
  EXPECT_EQ(reply.nodes, (std::vector<uint32_t>{0, 0}));
  ASSERT_EQ(reply.node_infos.size(), 1u);
  EXPECT_EQ(reply.node_infos[0].host, "127.0.0.1");
  EXPECT_EQ(reply.node_infos[0].port, 7001);  // the first group's node port
  // The host field is zero-filled after the text.
  EXPECT_EQ(reply.raw.substr(34, 16), std::string("127.0.0.1") + std::string(7, '\0'));

  // Both rings exist, private to their owner.
  for (const std::string& name : {RequestRingName(reply.key), ResponseRingName(reply.key)}) {
    struct stat st;
    ASSERT_EQ(stat(("/dev/shm/" + name).c_str(), &st), 0) << name;
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, getuid());
  }
  ClientRings rings(reply.key);

  // One connection, one guest information, two GPUs in the log.
  NodeRecord record;
  ASSERT_TRUE(nodes[0]->ReadRecord(&record));
  ASSERT_EQ(record.guest.size(), 32u);
  EXPECT_EQ(record.guest[31], '\0');
  EXPECT_EQ(std::strlen(record.guest.c_str()), 31u);
  const std::string out = daemon->Stdout();
  EXPECT_NE(out.find("create gpu-0 from host=127.0.0.1 network=native send_port=" +
                     std::to_string(nodes[0]->send_port()) + " recv_port=" + std::to_string(nodes[0]->recv_port()) +
                     " node_port=7001 gpu_index=3 uuid=" + record.guest.substr(0, 31)),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("create gpu-1 from host=127.0.0.1 network=native"), std::string::npos);
  StopAll(*daemon, nodes, {reply.key});
}

TEST(RegistrationTest, NodesGivenAs201AreListedInAscendingOrder) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode("native"));
  nodes.push_back(StartNode("light"));
  nodes.push_back(StartNode("native"));
  for (auto& node : nodes) ASSERT_NE(node, nullptr);
  // Command-line order: node 2 (nodes[0]), node 0 (nodes[1]), node 1 (nodes[2]).
  auto daemon = Daemon::Start(Concat({Group(2, *nodes[0], "native", 7200, 10), Group(0, *nodes[1], "light", 7000, 11),
                                      Group(1, *nodes[2], "native", 7100, 12)}));
  Reply reply;
  ASSERT_TRUE(daemon->Register(getpid(), &reply)) << daemon->Stderr();
  ASSERT_EQ(reply.raw.size(), 18u + 8 * 3 + 18 * 3);
  EXPECT_EQ(reply.indexes, (std::vector<uint32_t>{10, 11, 12}));
  EXPECT_EQ(reply.nodes, (std::vector<uint32_t>{2, 0, 1}));
  ASSERT_EQ(reply.node_infos.size(), 3u);
  const uint16_t ports[] = {7000, 7100, 7200};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(reply.node_infos[i].host, "127.0.0.1");
    EXPECT_EQ(reply.node_infos[i].port, ports[i]);
  }
  // Every node was greeted with the same guest information.
  NodeRecord first;
  ASSERT_TRUE(nodes[0]->ReadRecord(&first));
  for (auto& node : nodes) {
    NodeRecord record;
    ASSERT_TRUE(node->ReadRecord(&record));
    EXPECT_EQ(record.guest, first.guest);
  }
  StopAll(*daemon, nodes, {reply.key});
}

TEST(RegistrationTest, SamePidTwiceReleasesTheFirstRingsAfterTellingEveryNode) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode("native"));
  nodes.push_back(StartNode("light"));
  auto daemon = Daemon::Start(Concat({Group(0, *nodes[0], "native", 7000, 0), Group(1, *nodes[1], "light", 7001, 0)}));
  Reply first, second;
  ASSERT_TRUE(daemon->Register(getpid(), &first)) << daemon->Stderr();
  ASSERT_TRUE(daemon->Register(getpid(), &second));
  EXPECT_NE(first.key, second.key);
  EXPECT_FALSE(ShmExists(RequestRingName(first.key)));
  EXPECT_FALSE(ShmExists(ResponseRingName(first.key)));
  EXPECT_TRUE(ShmExists(RequestRingName(second.key)));
  EXPECT_TRUE(ShmExists(ResponseRingName(second.key)));

  // The new rings work; each node saw the notice first.
  ClientRings rings(second.key);
  ASSERT_EQ(rings.Write(EncodeEchoRecord(0, getpid(), 1)), kRingSuccess);
  std::vector<Response> responses;
  ASSERT_TRUE(rings.ReadResponses(1, &responses));
  EXPECT_EQ(responses[0].request, 1u);
  for (size_t n = 0; n < nodes.size(); ++n) {
    NodeRecord record;
    ASSERT_TRUE(AwaitMessages(*nodes[n], n == 0 ? 2 : 1, &record));
    EXPECT_EQ(record.messages[0].bytes.size(), 28u);
    EXPECT_EQ(record.messages[0].flags, kLinkClientExit);
    EXPECT_EQ(record.messages[0].pid, static_cast<uint32_t>(getpid()));
  }
  StopAll(*daemon, nodes, {first.key, second.key});
}

TEST(RegistrationTest, ShortDatagramIsIgnoredAndLongOneReadsItsFirstFourBytes) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode());
  auto daemon = Daemon::Start(Group(0, *nodes[0], "native", 7000, 0));
  Reply reply;
  ASSERT_TRUE(daemon->Register(getpid(), &reply)) << daemon->Stderr();
  EXPECT_EQ(Exchange(std::string("\x01\x02\x03", 3), milliseconds(300)), "");
  EXPECT_NE(daemon->Stderr().find("registration datagram of 3 bytes is shorter than a pid"), std::string::npos);

  const std::string longer = EncodePidDatagram(getpid()) + "trailing";
  Reply again;
  ASSERT_TRUE(ParseReply(Exchange(longer, milliseconds(3000)), &again));
  EXPECT_NE(again.key, reply.key);
  EXPECT_TRUE(ShmExists(RequestRingName(again.key)));
  StopAll(*daemon, nodes, {reply.key, again.key});
}

// A pid is registered only from a socket that the process holds: anybody
// else's datagram, which would tear down the client's rings by registering
// its pid again, gets no reply and one Error line.
TEST(RegistrationTest, OnlyTheProcessItselfMayRegisterItsPid) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode());
  auto daemon = Daemon::Start(Group(0, *nodes[0], "native", 7000, 0));
  auto holder = SocketHolder::Start();
  ASSERT_NE(holder, nullptr);
  Reply reply;
  ASSERT_TRUE(daemon->Register(*holder, &reply)) << daemon->Stderr();

  EXPECT_EQ(Exchange(EncodePidDatagram(holder->pid()), milliseconds(300)), "");
  EXPECT_EQ(Exchange(EncodePidDatagram(1), milliseconds(300)), "");
  EXPECT_TRUE(ShmExists(RequestRingName(reply.key)));
  EXPECT_TRUE(ShmExists(ResponseRingName(reply.key)));
  const std::string err = daemon->Stderr();
  EXPECT_GE(CountOf(err, "registration of pid=" + std::to_string(holder->pid()) + " from port"), 1u) << err;
  EXPECT_GE(CountOf(err, "registration of pid=1 from port"), 1u) << err;

  Reply mine;
  EXPECT_TRUE(daemon->Register(getpid(), &mine));
  StopAll(*daemon, nodes, {reply.key, mine.key});
}

// Rings keep no descriptors (a client costs the daemon one, its pidfd), and
// the daemon lifts its soft descriptor limit:
// started under a soft limit of 1024 it takes 1100 clients (real processes).
// Their rings take 4.3 TiB of address space, more than a sanitizer leaves.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
TEST(RegistrationTest, ElevenHundredClientsFitUnderASoftLimitOf1024) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode());
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  if (saved.rlim_max < 4096) GTEST_SKIP() << "the hard descriptor limit is " << saved.rlim_max;
  rlimit low = saved;
  low.rlim_cur = 1024;
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
  auto daemon = Daemon::Start(Group(0, *nodes[0], "native", 7000, 0));
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);

  constexpr int kClients = 1100;
  std::vector<std::unique_ptr<SocketHolder>> holders;
  std::vector<std::string> keys;
  for (int i = 0; i < kClients; ++i) {
    holders.push_back(SocketHolder::Start());
    ASSERT_NE(holders.back(), nullptr) << i;
    Reply reply;
    ASSERT_TRUE(daemon->Register(*holders.back(), &reply)) << i << daemon->Stderr();
    holders.back()->CloseOwnCopy();
    keys.push_back(reply.key);
  }
  size_t descriptors = 0;
  const std::string fd_dir = "/proc/" + std::to_string(daemon->process().pid()) + "/fd";
  if (DIR* dir = opendir(fd_dir.c_str())) {
    while (dirent* entry = readdir(dir)) descriptors += entry->d_name[0] != '.';
    closedir(dir);
  }
  // One pidfd per client, by which the liveness check watches it.
  EXPECT_LT(descriptors, 64u + kClients);
  EXPECT_TRUE(ShmExists(ResponseRingName(keys.back())));
  holders.clear();
  StopAll(*daemon, nodes, keys);
}
#endif

// The sanitizers reserve more address space than the limit below allows.
// A client whose main thread has ended while another runs is alive (its
// leader a zombie, as after pthread_exit): its rings stay for more than two
// liveness periods, and go within a second of its last thread's end.
TEST(RegistrationTest, ClientIsReleasedWhenItsLastThreadEndsNotItsLeader) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode());
  auto daemon = Daemon::Start(Group(0, *nodes[0], "native", 7000, 0));
  ASSERT_NE(daemon, nullptr);
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int leader_go[2], worker_go[2];
  ASSERT_GE(fd, 0);
  ASSERT_EQ(pipe(leader_go), 0);
  ASSERT_EQ(pipe(worker_go), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    close(leader_go[1]);
    close(worker_go[1]);
    pthread_t worker;
    // The worker ends the process once worker_go is closed.
    pthread_create(&worker, nullptr, [](void* arg) -> void* {
      char byte;
      while (read(*static_cast<int*>(arg), &byte, 1) > 0) {
      }
      _exit(0);
    }, &worker_go[0]);
    char byte;
    while (read(leader_go[0], &byte, 1) > 0) {
    }
    // As pthread_exit does in the end, without unwinding into the test.
    syscall(SYS_exit, 0);
  }
  close(leader_go[0]);
  close(worker_go[0]);
  Reply reply;
  const bool registered = daemon->RegisterOn(fd, static_cast<uint32_t>(child), &reply);
  close(fd);
  close(leader_go[1]);
  // The leader is a zombie once its thread has ended.
  const std::string stat_path = "/proc/" + std::to_string(child) + "/stat";
  EXPECT_TRUE(WaitFor(
      [&] {
        std::ifstream in(stat_path);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const size_t paren = text.rfind(')');
        return paren != std::string::npos && text.compare(paren, 3, ") Z") == 0;
      },
      milliseconds(2000)));
  if (registered) {
    usleep(1200 * 1000);
    EXPECT_TRUE(ShmExists(RequestRingName(reply.key))) << "released while a thread still ran";
  }
  close(worker_go[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  // The bound starts once the process has ended: under a sanitizer its exit
  // alone can take longer than a second.
  const auto closed = std::chrono::steady_clock::now();
  ASSERT_TRUE(registered) << daemon->Stderr();
  EXPECT_TRUE(WaitFor([&] { return !ShmExists(RequestRingName(reply.key)); },
                      milliseconds(1000) - std::chrono::duration_cast<milliseconds>(
                                               std::chrono::steady_clock::now() - closed)))
      << "not released within 1 s of the last thread's end";
  StopAll(*daemon, nodes, {reply.key});
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// The keys of the rings that the daemon's Error lines say it failed to make
// ("RingBuffer create /<name>: ..."). /dev/shm is shared with whatever else
// runs on the machine, so only these names are looked for.
std::vector<std::string> FailedKeys(const std::string& err) {
  std::vector<std::string> keys;
  const std::string mark = "RingBuffer create /";
  for (size_t at = err.find(mark); at != std::string::npos; at = err.find(mark, at + 1)) {
    const size_t colon = err.find(':', at + mark.size());
    if (colon != std::string::npos && colon - at - mark.size() > kKeyChars) {
      keys.push_back(err.substr(colon - kKeyChars, kKeyChars));
    }
  }
  return keys;
}

TEST(RegistrationTest, RingsThatCannotBeMadeGetNoReplyAndServingGoesOn) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode());
  // With 1 GiB of address space the daemon runs but cannot map a 2 GiB ring.
  rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_AS, &saved), 0);
  rlimit small = saved;
  small.rlim_cur = rlim_t{1} << 30;
  ASSERT_EQ(setrlimit(RLIMIT_AS, &small), 0);
  auto daemon = Daemon::Start(Group(0, *nodes[0], "native", 7000, 0));
  ASSERT_EQ(setrlimit(RLIMIT_AS, &saved), 0);

  Reply reply;
  EXPECT_FALSE(daemon->Register(getpid(), &reply, milliseconds(500)));
  EXPECT_NE(daemon->Stderr().find("create ring buffers for pid=" + std::to_string(getpid()) + " failed"),
            std::string::npos)
      << daemon->Stderr();
  const std::vector<std::string> failed = FailedKeys(daemon->Stderr());
  EXPECT_FALSE(failed.empty());
  for (const std::string& key : failed) {
    EXPECT_FALSE(ShmExists(RequestRingName(key))) << key;
    EXPECT_FALSE(ShmExists(ResponseRingName(key))) << key;
  }
  EXPECT_TRUE(daemon->process().Running());
  StopAll(*daemon, nodes, {});
}
#endif

TEST(RegistrationTest, SecondDaemonCannotBindAndQuits) {
  std::vector<std::unique_ptr<NodeProcess>> nodes;
  nodes.push_back(StartNode());
  nodes.push_back(StartNode());
  auto daemon = Daemon::Start(Group(0, *nodes[0], "native", 7000, 0));
  Reply reply;
  ASSERT_TRUE(daemon->Register(getpid(), &reply)) << daemon->Stderr();

  auto second = Daemon::Start(Group(0, *nodes[1], "native", 7000, 0));
  EXPECT_TRUE(testing_util::ExitedWith(second->Wait(milliseconds(3000)), 0));
  EXPECT_NE(second->Stderr().find("Error Func:Server Line:"), std::string::npos);
  EXPECT_NE(second->Stderr().find("Bind failed=-1"), std::string::npos) << second->Stderr();
  EXPECT_NE(second->Stdout().find("zantu quit"), std::string::npos);
  // Its node's stream ended.
  EXPECT_TRUE(testing_util::ExitedWith(nodes[1]->Wait(milliseconds(3000)), 0));

  Reply still;
  EXPECT_TRUE(daemon->Register(getpid(), &still));
  StopAll(*daemon, nodes, {reply.key, still.key});
}

}  // namespace
