// Clients that do not read their answers, through the real daemon, with the
// test playing the node: their answers wait in daemon memory while the
// node's answers for a bystander on the same link keep arriving within a
// second. A client that reads again gets the held answers in order; one that
// takes none for 5 s, or whose held answers would pass 512 MiB, is released
// (its rings go); each change of state is one log line, and the daemon
// serves on.
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness/daemon.h"
#include "harness/scripted_node.h"

namespace {

using namespace daemon_test;
using namespace wire_test;
using link_test::ScriptedNode;
using testing_util::ExitedWith;

constexpr size_t kBig = size_t{64} << 20;  // the payload of a large answer
constexpr uint64_t kBigRecord = sizeof(ResponseBatchHeader) + sizeof(ResponseHeader) + kBig;
// Large answers that a response ring takes before it is full.
constexpr uint64_t kFit = kRingBufferSize / kBigRecord;
static_assert(kFit == 31 && kRingBufferSize - kFit * kBigRecord < kBigRecord);

// This process's calls, one at a time on a thread of their own, each
// answered by the node as it comes; the slowest answer is kept.
class Bystander {
 public:
  explicit Bystander(ClientRings* rings) : rings_(rings), thread_([this] { Run(); }) {}
  ~Bystander() { Stop(); }

  void Stop() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }
  uint64_t calls() const { return calls_.load(); }
  bool failed() const { return failed_.load(); }
  milliseconds slowest() const { return milliseconds(slowest_ms_.load()); }

 private:
  void Run() {
    const uint32_t me = static_cast<uint32_t>(getpid());
    for (uint64_t i = 1; !stop_.load(); ++i) {
      const auto start = Clock::now();
      std::vector<Response> responses;
      if (rings_->Write(EncodeEchoRecord(0, me, i, "still here")) != kRingSuccess ||
          !rings_->ReadResponses(1, &responses, milliseconds(3000)) || responses[0].request != i) {
        failed_.store(true);
        return;
      }
      const int64_t ms = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
      if (ms > slowest_ms_.load()) slowest_ms_.store(ms);
      calls_.fetch_add(1);
      std::this_thread::sleep_for(milliseconds(20));
    }
  }

  ClientRings* rings_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::atomic<uint64_t> calls_{0};
  std::atomic<int64_t> slowest_ms_{0};
  std::thread thread_;
};

// Takes up to `want` whole answers off `ring`, as a client does, noting the
// request each answers; the rest stays in the ring. False on a failed read.
bool TakeAnswers(RingBuffer& ring, size_t want, std::vector<uint64_t>* requests) {
  const auto deadline = Clock::now() + milliseconds(5000);
  while (requests->size() < want && Clock::now() < deadline) {
    const RingBufferStatus status = ring.ReadPrefix([&](void* data, size_t length, size_t* taken) {
      const char* p = static_cast<const char*>(data);
      size_t at = 0;
      while (requests->size() < want) {
        const size_t size = WholeResponseRecord(p + at, length - at);
        if (size == 0) break;
        requests->push_back(DecodeResponseEntryHead(p + at + sizeof(ResponseBatchHeader)).request);
        at += size;
      }
      *taken = at;
      return kRingSuccess;
    });
    if (status != kRingSuccess && status != kRingEmpty) return false;
  }
  return requests->size() >= want;
}

class OverflowTest : public testing::Test {
 protected:
  void SetUp() override {
    node_ = ScriptedNode::Listen();
    ASSERT_NE(node_, nullptr);
    daemon_ = Daemon::Start(node_->Group(0, 0));
    ASSERT_TRUE(node_->Accept()) << daemon_->Stderr();
    ASSERT_TRUE(daemon_->Register(getpid(), &mine_)) << daemon_->Stderr();
    my_rings_ = std::make_unique<ClientRings>(mine_.key);
    node_->AnswerAtOnce(static_cast<uint32_t>(getpid()));
  }

  void TearDown() override {
    my_rings_.reset();
    if (node_) node_->Close();
    if (daemon_) {
      EXPECT_TRUE(ExitedWith(daemon_->Wait(milliseconds(5000)), 0)) << daemon_->Stderr();
    }
  }

  // Sends large answers `first` to `last` for `pid`.
  void SendBig(uint32_t pid, uint64_t first, uint64_t last) {
    for (uint64_t i = first; i <= last; ++i) ASSERT_TRUE(node_->SendAnswer(pid, i, big_)) << "answer " << i;
  }

  size_t FullLines(uint32_t pid) {
    return CountOf(daemon_->Stdout(), "response ringbuffer is full pid=" + std::to_string(pid) + "\n");
  }

  std::unique_ptr<ScriptedNode> node_;
  std::unique_ptr<Daemon> daemon_;
  Reply mine_;
  std::unique_ptr<ClientRings> my_rings_;
  const std::string big_ = std::string(kBig, 'x');
};

TEST_F(OverflowTest, ClientsThatDoNotReadAreReleasedWhileTheBystanderIsServed) {
  auto stalled = SocketHolder::Start();
  ASSERT_NE(stalled, nullptr);
  Reply stalled_reply;
  ASSERT_TRUE(daemon_->Register(*stalled, &stalled_reply)) << daemon_->Stderr();
  const uint32_t x = stalled->pid();
  std::string response_name = ResponseRingName(stalled_reply.key);
  auto answers = std::make_unique<RingBuffer>(response_name, kRingBufferSize, false);
  Bystander bystander(my_rings_.get());

  // Its ring fills and two answers are held.
  SendBig(x, 1, kFit + 2);
  EXPECT_TRUE(WaitFor([&] { return FullLines(x) == 1; }, milliseconds(3000))) << daemon_->Stdout();
  // It reads three: the two held ones follow into its ring.
  std::vector<uint64_t> requests;
  ASSERT_TRUE(TakeAnswers(*answers, 3, &requests));
  EXPECT_EQ(requests, (std::vector<uint64_t>{1, 2, 3}));
  const std::string drained = "response ringbuffer of pid=" + std::to_string(x) + " has taken every held answer";
  EXPECT_TRUE(WaitFor([&] { return CountOf(daemon_->Stdout(), drained) == 1; }, milliseconds(3000)))
      << daemon_->Stdout();

  // It reads no more: two more answers, and what does not fit waits 5 s
  // before the client is released.
  const auto held = Clock::now();
  SendBig(x, kFit + 3, kFit + 4);
  EXPECT_TRUE(WaitFor([&] { return RingsGone(stalled_reply.key); }, milliseconds(9000)));
  EXPECT_GE(Clock::now() - held, milliseconds(4500));
  EXPECT_LE(Clock::now() - held, milliseconds(8000));
  answers.reset();
  EXPECT_EQ(FullLines(x), 2u) << "one line each time the ring turned answers away";
  EXPECT_EQ(CountOf(daemon_->Stderr(), "pid=" + std::to_string(x) +
                                           " took none of its held answers for 5 s, the client is released"),
            1u)
      << daemon_->Stderr();
  // A late answer for it is dropped.
  ASSERT_TRUE(node_->SendAnswer(x, 999, "late"));

  // Another fills its ring; the eighth held answer would pass 512 MiB: it
  // is released at once.
  auto greedy = SocketHolder::Start();
  ASSERT_NE(greedy, nullptr);
  Reply greedy_reply;
  ASSERT_TRUE(daemon_->Register(*greedy, &greedy_reply)) << daemon_->Stderr();
  const uint32_t y = greedy->pid();
  SendBig(y, 1, kFit + 8);
  const auto over = Clock::now();
  EXPECT_TRUE(WaitFor([&] { return RingsGone(greedy_reply.key); }, milliseconds(2000)));
  EXPECT_LT(Clock::now() - over, milliseconds(2000));
  EXPECT_EQ(FullLines(y), 1u);
  EXPECT_EQ(CountOf(daemon_->Stderr(),
                    "answers held for pid=" + std::to_string(y) + " would pass 512 MiB, the client is released"),
            1u)
      << daemon_->Stderr();

  bystander.Stop();
  EXPECT_FALSE(bystander.failed()) << daemon_->Stderr();
  EXPECT_GT(bystander.calls(), 20u);
  EXPECT_LT(bystander.slowest(), milliseconds(1000));
  EXPECT_EQ(CountOf(daemon_->Stdout(), "response ringbuffer is full"), 3u);
  EXPECT_TRUE(daemon_->process().Running());
}

}  // namespace
