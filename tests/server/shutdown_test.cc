// What the daemon leaves in /dev/shm: nothing when it is stopped by SIGTERM
// or SIGINT with clients registered, and at its start it removes what a
// daemon (or any creator of its kind of rings) that is gone left behind,
// never what a live process owns.
#include <fcntl.h>
#include <sys/stat.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon.h"
#include "trellan/ring_layout.h"

namespace daemon_test {
namespace {

using testing_util::ChildProcess;
using testing_util::ExitedWith;
using testing_util::ForkChild;
using testing_util::UniqueName;
using testing_util::WaitChild;
using wire_test::NodeRecord;

// An e2e_client whose eight threads wait in 30 s Delay calls on all four
// GPUs, once both nodes run some of them.
ChildProcess* StartWaiters(Road& road) {
  ChildProcess* client = road.Client({"waiters", "30000000"});
  if (client == nullptr) return nullptr;
  if (!WaitFor([&] { return CountOf(client->Stdout(), "R calling=") == 8; }, milliseconds(10000))) {
    ADD_FAILURE() << "the waiters did not start";
    return nullptr;
  }
  for (int node = 0; node < 2; ++node) {
    NodeRecord record;
    if (!WaitFor([&] { return road.node(node).ReadRecord(&record) && !RequestsOf(record, client->pid()).empty(); },
                 milliseconds(10000))) {
      ADD_FAILURE() << "node " << node << " got no call of the waiters";
      return nullptr;
    }
  }
  return client;
}

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += " " + name;
  return text;
}

// The daemon with two clients, one of whose threads wait for answers and one
// that is only registered, gets a stop signal: it exits 0 after its usual
// last line, every waiting call gets 999 at once, and neither a ring nor the
// process bell of the daemon is left.
TEST(StopSignalTest, DaemonReleasesEveryRingAndExitsZero) {
  for (const int sig : {SIGTERM, SIGINT}) {
    const std::string name = sig == SIGTERM ? "SIGTERM" : "SIGINT";
    SCOPED_TRACE(name);
    std::string error;
    auto road = Road::Start(true, &error);
    ASSERT_NE(road, nullptr) << error;
    ChildProcess* waiters = StartWaiters(*road);
    ASSERT_NE(waiters, nullptr);
    auto idle = SocketHolder::Start();
    ASSERT_NE(idle, nullptr);
    wire_test::Reply reply;
    ASSERT_TRUE(road->daemon().Register(*idle, &reply));
    const pid_t daemon = road->daemon().process().pid();
    ASSERT_GE(ShmObjectsOf(daemon).size(), 5u) << "two rings per client and the bell:" << Joined(ShmObjectsOf(daemon));

    road->daemon().process().Signal(sig);
    const int status = road->daemon().Wait(milliseconds(5000));
    EXPECT_TRUE(ExitedWith(status, 0)) << "daemon status " << status << "\n" << road->daemon().Stderr();
    const std::string out = road->daemon().Stdout();
    EXPECT_NE(out.find(name + " received, quitting"), std::string::npos) << out;
    EXPECT_NE(out.find("zantu quit"), std::string::npos);
    EXPECT_EQ(CountOf(road->daemon().Stderr(), "Error"), 0u) << road->daemon().Stderr();
    EXPECT_TRUE(ShmObjectsOf(daemon).empty()) << "left in /dev/shm:" << Joined(ShmObjectsOf(daemon));
    EXPECT_TRUE(RingsGone(reply.key));

    ASSERT_TRUE(waiters->WaitForOutput("R results=", milliseconds(3000))) << waiters->Stdout();
    ASSERT_TRUE(testing_util::Finished(*waiters, milliseconds(10000)));
    EXPECT_EQ(Value(waiters->Stdout(), "results"), "999,999,999,999,999,999,999,999");
    EXPECT_EQ(Value(waiters->Stdout(), "later"), "999");
  }
}

// ------------------------------------------------------------------ leftovers

// Makes the shared-memory object `name` of `size` bytes, starting with
// `head`; false if it cannot.
bool Plant(const std::string& name, size_t size, const std::string& head) {
  const int fd = shm_open(("/" + name).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
  if (fd < 0) return false;
  const bool made = ftruncate(fd, static_cast<off_t>(size)) == 0 &&
                    pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size());
  close(fd);
  return made;
}

// The first bytes of a ring header naming `pid` (started at `start_time`) as
// its creator.
std::string RingHead(uint32_t pid, uint64_t start_time) {
  std::string head(offsetof(trellan::RingHeader, closed), '\0');
  const uint64_t magic = trellan::kRingMagic;
  std::memcpy(&head[offsetof(trellan::RingHeader, magic)], &magic, sizeof(magic));
  std::memcpy(&head[offsetof(trellan::RingHeader, creator_start_time)], &start_time, sizeof(start_time));
  std::memcpy(&head[offsetof(trellan::RingHeader, creator_pid)], &pid, sizeof(pid));
  return head;
}

// A process that creates the rings `names` (and so its process bell), then
// ends at once with _exit: no destructor and no exit handler runs, as when it
// is killed. Its pid, once reaped; -1 on failure.
pid_t LeaveRingsBehind(const std::vector<std::string>& names) {
  const pid_t child = ForkChild([&] {
    for (std::string name : names) new RingBuffer(name, 1 << 16, true);  // deliberately never released
    return 0;
  });
  return ExitedWith(WaitChild(child), 0) ? child : -1;
}

// The process bells of `pid` in /dev/shm.
std::vector<std::string> BellsOf(pid_t pid) {
  std::vector<std::string> bells;
  for (const std::string& name : ShmObjectsOf(pid)) {
    if (name.rfind("trellan.bell.", 0) == 0) bells.push_back(name);
  }
  return bells;
}

// Whatever the test planted, removed however it ends; the live creator is
// ended by its pid.
struct Planted {
  std::vector<std::string> names;
  pid_t live = -1;
  ~Planted() {
    if (live > 0) {
      kill(live, SIGKILL);
      WaitChild(live);
      for (const std::string& bell : BellsOf(live)) names.push_back(bell);
    }
    for (const std::string& name : names) shm_unlink(("/" + name).c_str());
  }
};

TEST(LeftoverTest, DaemonRemovesOnlyWhatGoneProcessesLeft) {
  Planted planted;
  const std::string key = std::to_string(getpid()) + "_" + UniqueName("").substr(1, 12);
  // A creator that is gone: its rings and its bell go, but not a ring of it
  // under a name that is not the daemon's.
  const std::string gone_request = kRequestRingPrefix + key + "_gone";
  const std::string gone_response = kResponseRingPrefix + key + "_gone";
  const std::string gone_other = "zantu_test_other_ring_" + key;
  planted.names = {gone_request, gone_response, gone_other};
  const pid_t gone = LeaveRingsBehind({gone_request, gone_response, gone_other});
  ASSERT_GT(gone, 0);
  const std::vector<std::string> gone_bells = BellsOf(gone);
  ASSERT_FALSE(gone_bells.empty());
  planted.names.insert(planted.names.end(), gone_bells.begin(), gone_bells.end());

  // A creator that runs: all of it stays.
  const std::string live_request = kRequestRingPrefix + key + "_live";
  int ready[2];
  ASSERT_EQ(pipe(ready), 0);
  planted.live = ForkChild([&] {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    std::string name = live_request;
    RingBuffer ring(name, 1 << 16, true);
    if (write(ready[1], "r", 1) != 1) return 1;
    for (;;) pause();
  });
  planted.names.push_back(live_request);
  char byte;
  ASSERT_EQ(read(ready[0], &byte, 1), 1);
  close(ready[0]);
  close(ready[1]);
  const std::vector<std::string> live_bells = BellsOf(planted.live);
  ASSERT_FALSE(live_bells.empty());

  // A ring naming this process with another start time: its pid was reused.
  const std::string reused = kResponseRingPrefix + key + "_reused";
  // Not rings: no magic, shorter than a header; not a bell: the wrong size.
  const std::string no_magic = kRequestRingPrefix + key + "_nomagic";
  const std::string too_short = kRequestRingPrefix + key + "_short";
  const std::string not_a_bell = "trellan.bell." + std::to_string(gone) + ".notabell";
  planted.names.insert(planted.names.end(), {reused, no_magic, too_short, not_a_bell});
  ASSERT_TRUE(Plant(reused, 8192, RingHead(static_cast<uint32_t>(getpid()), 1)));
  ASSERT_TRUE(Plant(no_magic, 8192, std::string(64, '\0')));
  ASSERT_TRUE(Plant(too_short, 64, RingHead(static_cast<uint32_t>(gone), 0)));
  ASSERT_TRUE(Plant(not_a_bell, 100, "bell"));
  // Left half made by a creator killed two minutes ago: no magic, unchanged.
  const std::string abandoned = kRequestRingPrefix + key + "_abandoned";
  planted.names.push_back(abandoned);
  ASSERT_TRUE(Plant(abandoned, 8192, std::string(64, '\0')));
  const timespec two_minutes_ago[2] = {{time(nullptr) - 120, 0}, {time(nullptr) - 120, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, ("/dev/shm/" + abandoned).c_str(), two_minutes_ago, 0), 0);

  auto node = StartNode();
  ASSERT_NE(node, nullptr);
  std::string error;
  auto daemon = StartServing(Group(0, *node, "native", 7000, 0), &error);
  ASSERT_NE(daemon, nullptr) << error;
  std::vector<std::string> removed = {gone_request, gone_response, reused, abandoned};
  removed.insert(removed.end(), gone_bells.begin(), gone_bells.end());
  for (const std::string& name : removed) EXPECT_FALSE(ShmExists(name)) << name << " was left";
  std::vector<std::string> kept = {gone_other, live_request, no_magic, too_short, not_a_bell};
  kept.insert(kept.end(), live_bells.begin(), live_bells.end());
  for (const std::string& name : kept) EXPECT_TRUE(ShmExists(name)) << name << " was removed";
  const std::string out = daemon->Stdout();
  const size_t line = out.find("removed ");
  ASSERT_NE(line, std::string::npos) << out;
  EXPECT_GE(std::stoul(out.substr(line + 8)), 4u) << out.substr(line, out.find('\n', line) - line);
  EXPECT_NE(out.find(" ring and bell objects that processes which are gone left in /dev/shm\n", line),
            std::string::npos);
  EXPECT_EQ(CountOf(out, "ring and bell objects"), 1u);

  daemon->process().Signal(SIGTERM);
  EXPECT_TRUE(ExitedWith(daemon->Wait(milliseconds(5000)), 0)) << daemon->Stderr();
  EXPECT_TRUE(ShmObjectsOf(daemon->process().pid()).empty());
}

}  // namespace
}  // namespace daemon_test
