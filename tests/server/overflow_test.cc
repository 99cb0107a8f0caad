// Clients that do not read their answers, through the real daemon, with the
// test playing the node: their answers wait in daemon memory while the
// node's answers for a bystander on the same link keep arriving within a
// second. A client that reads again gets the held answers in order; one that
// reads now and then stays; one that takes no answer for 5 s, or whose held
// answers would pass 512 MiB, is released (its rings go). Each change of
// state is one log line, and the daemon serves on. Each client fills its
// 2 GiB response ring first.
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
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer checks every byte the daemon receives: a 64 MiB answer takes
// it several times longer, and the bystander's answer may queue behind one.
constexpr int kSlowdown = 4;
#else
constexpr int kSlowdown = 1;
#endif
#if defined(__SANITIZE_THREAD__)
// ThreadSanitizer marks every received byte in its shadow memory: a 2 GiB
// ring takes it most of a minute to fill, so it fills one ring only.
constexpr bool kOneFillOnly = true;
#else
constexpr bool kOneFillOnly = false;
#endif

// Large answers held at most: one more would pass 512 MiB.
constexpr uint64_t kMostHeld = (uint64_t{512} << 20) / kBigRecord;
static_assert(kMostHeld == 7);

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
  const auto deadline = Clock::now() + milliseconds(20000);
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
    bystander_ = std::make_unique<Bystander>(my_rings_.get());
  }

  void TearDown() override {
    // This process's calls were answered throughout, each within a second,
    // and the daemon serves on.
    bystander_->Stop();
    EXPECT_FALSE(bystander_->failed()) << daemon_->Stderr();
    if (!IsSkipped()) {
      EXPECT_GT(bystander_->calls(), 20u);
    }
    EXPECT_LT(bystander_->slowest(), milliseconds(1000 * kSlowdown));
    EXPECT_TRUE(daemon_->process().Running());
    bystander_.reset();
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

  // Registers a child that holds its socket and does nothing.
  uint32_t AddIdleClient(std::unique_ptr<SocketHolder>* holder, Reply* reply) {
    *holder = SocketHolder::Start();
    if (*holder == nullptr) {
      ADD_FAILURE() << "fork failed";
      return 0;
    }
    EXPECT_TRUE(daemon_->Register(**holder, reply)) << daemon_->Stderr();
    return (*holder)->pid();
  }

  size_t FullLines(uint32_t pid) {
    return CountOf(daemon_->Stdout(), "response ringbuffer is full pid=" + std::to_string(pid) + "\n");
  }

  std::unique_ptr<ScriptedNode> node_;
  std::unique_ptr<Daemon> daemon_;
  Reply mine_;
  std::unique_ptr<ClientRings> my_rings_;
  std::unique_ptr<Bystander> bystander_;
  const ScriptedNode::Bulk big_{kBig, 'x'};
};

TEST_F(OverflowTest, HeldAnswersFollowOnceTheClientReadsAndTooManyReleaseIt) {
  std::unique_ptr<SocketHolder> holder;
  Reply reply;
  const uint32_t x = AddIdleClient(&holder, &reply);
  std::string response_name = ResponseRingName(reply.key);
  auto answers = std::make_unique<RingBuffer>(response_name, kRingBufferSize, false);

  // Its ring fills and two answers are held.
  SendBig(x, 1, kFit + 2);
  EXPECT_TRUE(WaitFor([&] { return FullLines(x) == 1; }, milliseconds(5000))) << daemon_->Stdout();
  // It reads all: the held ones follow, in order.
  std::vector<uint64_t> requests;
  ASSERT_TRUE(TakeAnswers(*answers, kFit + 2, &requests));
  for (uint64_t i = 0; i < requests.size(); ++i) ASSERT_EQ(requests[i], i + 1);
  const std::string drained = "response ringbuffer of pid=" + std::to_string(x) + " has taken every held answer";
  EXPECT_TRUE(WaitFor([&] { return CountOf(daemon_->Stdout(), drained) == 1; }, milliseconds(2000)))
      << daemon_->Stdout();
  if (kOneFillOnly) GTEST_SKIP() << "a second fill would take ThreadSanitizer most of a minute";

  // It reads no more: its ring fills again, answers are held, and the one
  // that would take them past 512 MiB releases it at once.
  SendBig(x, kFit + 3, 2 * kFit + 2 + kMostHeld);
  EXPECT_FALSE(RingsGone(reply.key));
  SendBig(x, 2 * kFit + 3 + kMostHeld, 2 * kFit + 3 + kMostHeld);
  const auto over = Clock::now();
  EXPECT_TRUE(WaitFor([&] { return RingsGone(reply.key); }, milliseconds(3000)));
  EXPECT_LT(Clock::now() - over, milliseconds(3000));
  // One line each time the ring turned answers away, not one per try: twice
  // here, give or take a moment in which the ring turned one away.
  EXPECT_GE(FullLines(x), 2u);
  EXPECT_LE(FullLines(x), 4u) << daemon_->Stdout();
  EXPECT_EQ(CountOf(daemon_->Stderr(),
                    "answers held for pid=" + std::to_string(x) + " would pass 512 MiB, the client is released"),
            1u)
      << daemon_->Stderr();
}

TEST_F(OverflowTest, ClientThatTakesNoAnswerFor5sIsReleased) {
  if (kOneFillOnly) GTEST_SKIP() << "filling a ring takes ThreadSanitizer most of a minute";
  std::unique_ptr<SocketHolder> holder;
  Reply reply;
  const uint32_t x = AddIdleClient(&holder, &reply);
  std::string response_name = ResponseRingName(reply.key);
  auto answers = std::make_unique<RingBuffer>(response_name, kRingBufferSize, false);
  SendBig(x, 1, kFit + 1);
  EXPECT_TRUE(WaitFor([&] { return FullLines(x) >= 1; }, milliseconds(5000))) << daemon_->Stdout();

  // While it takes an answer now and then it stays, for longer than 5 s,
  // however little room that makes; the node keeps more coming.
  std::vector<uint64_t> requests;
  for (uint64_t i = 1; i <= 4; ++i) {
    std::this_thread::sleep_for(milliseconds(1500));
    ASSERT_TRUE(TakeAnswers(*answers, i, &requests));
    SendBig(x, kFit + 1 + i, kFit + 1 + i);
  }
  EXPECT_EQ(requests, (std::vector<uint64_t>{1, 2, 3, 4}));
  EXPECT_FALSE(RingsGone(reply.key)) << daemon_->Stderr();

  // It takes no more: 5 s after the last it is released.
  const auto last = Clock::now();
  EXPECT_TRUE(WaitFor([&] { return RingsGone(reply.key); }, milliseconds(10000)));
  EXPECT_GE(Clock::now() - last, milliseconds(4500));
  EXPECT_LE(Clock::now() - last, milliseconds(8000));
  answers.reset();
  EXPECT_LE(FullLines(x), 6u) << daemon_->Stdout();
  EXPECT_EQ(CountOf(daemon_->Stderr(), "pid=" + std::to_string(x) +
                                           " took no answer from its full ring for 5 s, the client is released"),
            1u)
      << daemon_->Stderr();
  // A late answer for it is dropped.
  ASSERT_TRUE(node_->SendAnswer(x, 999, "late"));
}

}  // namespace
