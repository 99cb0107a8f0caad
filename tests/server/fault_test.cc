// Clients that damage their own rings: each is released (its rings go, so its
// response loop ends and every waiting call gets 999) within 2 s, while the
// daemon lives on and serves every other client over the same node stream.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon.h"
#include "trellan/ring_layout.h"

namespace {

using namespace daemon_test;
using namespace wire_test;
using testing_util::NodeConfig;
using testing_util::NodeProcess;

// Cuts the ring object called `name` to `size` bytes, as a client may.
bool Shrink(const std::string& name, off_t size) {
  const int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
  if (fd < 0) return false;
  const bool done = ftruncate(fd, size) == 0;
  close(fd);
  return done;
}

// Writes `value` at `offset` of the ring object called `name`.
bool Scribble(const std::string& name, off_t offset, uint64_t value) {
  const int fd = shm_open(("/" + name).c_str(), O_RDWR, 0);
  if (fd < 0) return false;
  const bool done = pwrite(fd, &value, sizeof(value), offset) == static_cast<ssize_t>(sizeof(value));
  close(fd);
  return done;
}

// Over either transport: a Native send straight from a shrunk ring fails with
// EFAULT, a Light one copies it into datagrams and meets SIGBUS.
class FaultTest : public testing::TestWithParam<const char*> {};

TEST_P(FaultTest, ClientsThatDamageTheirRingsAreReleasedAndTheOthersServed) {
  NodeConfig config;
  config.transport = GetParam();
  std::string error;
  auto node = NodeProcess::Start(config, &error);
  ASSERT_NE(node, nullptr) << error;
  auto daemon = Daemon::Start(Group(0, *node, GetParam(), 7000, 0));
  Reply mine;
  ASSERT_TRUE(daemon->Register(getpid(), &mine)) << daemon->Stderr();
  ClientRings my_rings(mine.key);
  const uint32_t me = static_cast<uint32_t>(getpid());

  // Each damage, done to a client of its own (a child holding its socket,
  // whose rings this process works on).
  const std::vector<std::function<void(const std::string& key, uint32_t pid, ClientRings& rings)>> damages = {
      // The request ring is gone under the daemon's reader: SIGBUS.
      [&](const std::string& key, uint32_t, ClientRings&) { ASSERT_TRUE(Shrink(RequestRingName(key), 0)); },
      // A large record whose payload is cut off once written, under the
      // daemon's send straight from the ring.
      [&](const std::string& key, uint32_t pid, ClientRings& rings) {
        const std::string record = EncodeEchoRecord(0, pid, 1, std::string(256 << 10, 'p'));
        ASSERT_EQ(rings.WriteWith(record.size(),
                                  [&](void* space) {
                                    std::memcpy(space, record.data(), record.size());
                                    return Shrink(RequestRingName(key), 4096 + 8192) ? kRingSuccess : kRingRecvFailed;
                                  }),
                  kRingSuccess);
      },
      // The response ring is gone when the answer comes.
      [&](const std::string& key, uint32_t pid, ClientRings& rings) {
        ASSERT_TRUE(Shrink(ResponseRingName(key), 0));
        ASSERT_EQ(rings.Write(EncodeEchoRecord(0, pid, 1, "lost")), kRingSuccess);
      },
      // The response ring's read position is impossible: the answer is
      // dropped, and must not leave its caller waiting.
      [&](const std::string& key, uint32_t pid, ClientRings& rings) {
        ASSERT_TRUE(Scribble(ResponseRingName(key), offsetof(trellan::RingHeader, read_pos), 12345));
        ASSERT_EQ(rings.Write(EncodeEchoRecord(0, pid, 1, "lost")), kRingSuccess);
      },
  };

  for (size_t i = 0; i < damages.size(); ++i) {
    SCOPED_TRACE(i);
    auto holder = SocketHolder::Start();
    ASSERT_NE(holder, nullptr);
    Reply reply;
    ASSERT_TRUE(daemon->Register(*holder, &reply)) << daemon->Stderr();
    ClientRings rings(reply.key);
    const auto damaged = Clock::now();
    damages[i](reply.key, holder->pid(), rings);
    // The daemon deletes the request ring first and the response ring a
    // moment later, once no answer is being written into it.
    EXPECT_TRUE(WaitFor([&] { return RingsGone(reply.key); }, milliseconds(2000))) << daemon->Stderr();
    EXPECT_LT(Clock::now() - damaged, milliseconds(2000));
    ASSERT_TRUE(daemon->process().Running()) << daemon->Stderr();

    // The node stream is in step: this client's next call is answered.
    ASSERT_EQ(my_rings.Write(EncodeEchoRecord(0, me, 100 + i, "still here")), kRingSuccess);
    std::vector<Response> responses;
    ASSERT_TRUE(my_rings.ReadResponses(1, &responses)) << daemon->Stderr();
    EXPECT_EQ(responses[0].request, 100 + i);
    EXPECT_EQ(responses[0].payload, "still here");
  }

  node->process().Signal(SIGTERM);
  EXPECT_TRUE(testing_util::ExitedWith(daemon->Wait(milliseconds(5000)), 0)) << daemon->Stderr();
}

INSTANTIATE_TEST_SUITE_P(Transports, FaultTest, testing::Values("native", "light"));

}  // namespace
