// Flow control through the real daemon, with the test playing the node: a
// node's grant bounds each client's forwarded, unanswered work there. A
// client over its grant waits in its own ring while the others are served
// and new clients register; each answer lets exactly what fits go, in order.
// A node that never grants is fed as before, and a client registered anew
// starts with nothing outstanding.
#include <unistd.h>

#include <deque>
#include <fstream>
#include <memory>
#include <sstream>
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

// An echo record of 100 payload bytes: 28 + 40 + 100.
constexpr uint64_t kRecord = 168;

std::string Echo(uint32_t pid, uint64_t request, size_t payload = 100) {
  return EncodeEchoRecord(0, pid, request, std::string(payload, static_cast<char>('a' + request % 26)));
}

// CPU seconds the process has used (user and system).
double CpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string field;
  unsigned long long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && fields >> field; ++i) {
    if (i == 14) utime = std::stoull(field);
    if (i == 15) stime = std::stoull(field);
  }
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

class FlowControlTest : public testing::Test {
 protected:
  // A client of its own: a child that holds its registration socket; this
  // process works its rings.
  struct Client {
    std::unique_ptr<SocketHolder> holder;
    Reply reply;
    std::unique_ptr<ClientRings> rings;
    uint32_t pid() const { return holder->pid(); }
  };

  void SetUp() override {
    node_ = ScriptedNode::Listen();
    ASSERT_NE(node_, nullptr);
    daemon_ = Daemon::Start(node_->Group(0, 0));
    ASSERT_TRUE(node_->Accept()) << daemon_->Stderr();
    ASSERT_TRUE(daemon_->Register(getpid(), &mine_)) << daemon_->Stderr();
    my_rings_ = std::make_unique<ClientRings>(mine_.key);
  }

  void TearDown() override {
    my_rings_.reset();
    clients_.clear();
    if (node_) node_->Close();
    if (daemon_) {
      EXPECT_TRUE(ExitedWith(daemon_->Wait(milliseconds(5000)), 0)) << daemon_->Stderr();
    }
  }

  Client& AddClient() {
    auto client = std::make_unique<Client>();
    client->holder = SocketHolder::Start();
    EXPECT_NE(client->holder, nullptr);
    EXPECT_TRUE(daemon_->Register(*client->holder, &client->reply)) << daemon_->Stderr();
    client->rings = std::make_unique<ClientRings>(client->reply.key);
    clients_.push_back(std::move(client));
    return *clients_.back();
  }

  // Until the daemon has taken in `count` grants.
  bool AwaitGrants(size_t count) {
    return WaitFor([&] { return CountOf(daemon_->Stdout(), " grants pid=") >= count; }, milliseconds(5000));
  }

  // One call of this process, answered by the node as it comes.
  void CallOnce(uint64_t request) {
    ASSERT_EQ(my_rings_->Write(Echo(getpid(), request, 4)), kRingSuccess);
    std::vector<Response> responses;
    ASSERT_TRUE(my_rings_->ReadResponses(1, &responses, milliseconds(2000))) << daemon_->Stderr();
    EXPECT_EQ(responses[0].request, request);
  }

  std::unique_ptr<ScriptedNode> node_;
  std::unique_ptr<Daemon> daemon_;
  Reply mine_;
  std::unique_ptr<ClientRings> my_rings_;
  std::vector<std::unique_ptr<Client>> clients_;
};

TEST_F(FlowControlTest, ClientOverItsGrantWaitsInItsRingWhileOthersAreServed) {
  const uint32_t me = static_cast<uint32_t>(getpid());
  Client& x = AddClient();
  constexpr uint64_t kGrant = 2 * kRecord + kRecord / 2;
  ASSERT_TRUE(node_->Grant(0, 1 << 20, 2));        // every client: two records
  ASSERT_TRUE(node_->Grant(x.pid(), kGrant, 0));  // x: two and a half records' bytes
  ASSERT_TRUE(AwaitGrants(2)) << daemon_->Stdout();
  // Six records, one larger than x's whole grant, one more.
  std::vector<std::string> records;
  for (uint64_t i = 1; i <= 8; ++i) records.push_back(Echo(x.pid(), i, i == 7 ? 1000 : 100));
  for (const std::string& record : records) ASSERT_EQ(x.rings->Write(record), kRingSuccess);

  std::vector<DecodedRecord> got(records.size());
  ASSERT_TRUE(node_->Next(x.pid(), &got[0]));
  ASSERT_TRUE(node_->Next(x.pid(), &got[1]));
  // While x waits: this process is served call after call, a new client
  // registers, and the daemon does not spin.
  node_->AnswerAtOnce(me);
  for (uint64_t i = 0; i < 20; ++i) CallOnce(100 + i);
  const auto registering = Clock::now();
  AddClient();
  EXPECT_LT(Clock::now() - registering, milliseconds(1000));
  const double cpu_before = CpuSeconds(daemon_->process().pid());
  std::this_thread::sleep_for(milliseconds(1000));
  EXPECT_LT(CpuSeconds(daemon_->process().pid()) - cpu_before, 0.5) << "the daemon spins while x is held back";
  EXPECT_EQ(node_->Queued(x.pid()), 0u) << "x's third record went over its grant";

  // Each answer lets exactly what fits go, in order; the large record only
  // once nothing of x is outstanding.
  std::deque<size_t> outstanding = {0, 1};
  uint64_t outstanding_bytes = 2 * kRecord;
  size_t next = 2;
  for (size_t answered = 0; answered < records.size(); ++answered) {
    SCOPED_TRACE(answered);
    EXPECT_EQ(got[answered].bytes, records[answered]);
    ASSERT_TRUE(node_->Answer(got[answered]));
    outstanding.pop_front();
    outstanding_bytes -= records[answered].size();
    while (next < records.size() && (outstanding.empty() || outstanding_bytes + records[next].size() <= kGrant)) {
      ASSERT_TRUE(node_->Next(x.pid(), &got[next], milliseconds(5000))) << "record " << next;
      outstanding.push_back(next);
      outstanding_bytes += records[next].size();
      ++next;
    }
    if (next < records.size()) {
      std::this_thread::sleep_for(milliseconds(100));
      EXPECT_EQ(node_->Queued(x.pid()), 0u) << "record " << next << " went early";
    }
  }
  std::vector<Response> answers;
  ASSERT_TRUE(x.rings->ReadResponses(records.size(), &answers)) << daemon_->Stderr();
  for (size_t i = 0; i < answers.size(); ++i) EXPECT_EQ(answers[i].request, i + 1);
  EXPECT_EQ(daemon_->Stderr(), "");
}

TEST_F(FlowControlTest, NodeThatNeverGrantsIsFedWithoutLimit) {
  Client& x = AddClient();
  constexpr uint64_t kRecords = 20;
  for (uint64_t i = 1; i <= kRecords; ++i) ASSERT_EQ(x.rings->Write(Echo(x.pid(), i, 100000)), kRingSuccess);
  std::vector<DecodedRecord> got(kRecords);
  for (uint64_t i = 0; i < kRecords; ++i) {
    ASSERT_TRUE(node_->Next(x.pid(), &got[i], milliseconds(5000))) << "record " << i;
    EXPECT_EQ(got[i].entries.at(0).header.request, i + 1);
  }
  for (const DecodedRecord& record : got) ASSERT_TRUE(node_->Answer(record));
  std::vector<Response> answers;
  ASSERT_TRUE(x.rings->ReadResponses(kRecords, &answers)) << daemon_->Stderr();
}

TEST_F(FlowControlTest, ClientRegisteredAnewStartsWithNothingOutstanding) {
  Client& x = AddClient();
  ASSERT_TRUE(node_->Grant(0, 1 << 20, 1));        // every client: one record at a time
  ASSERT_TRUE(node_->Grant(x.pid(), 1 << 20, 3));  // x: three
  ASSERT_TRUE(AwaitGrants(2)) << daemon_->Stdout();
  for (uint64_t i = 1; i <= 5; ++i) ASSERT_EQ(x.rings->Write(Echo(x.pid(), i)), kRingSuccess);
  DecodedRecord got;
  for (uint64_t i = 1; i <= 3; ++i) ASSERT_TRUE(node_->Next(x.pid(), &got));
  EXPECT_FALSE(node_->Next(x.pid(), &got, milliseconds(200)));

  // The same process, which has begun to read its answers, registers again:
  // its old records are gone with its old rings, the node is told, and
  // nothing of it is outstanding any more; its own grant went with it, so
  // the grant for every client holds.
  std::vector<Response> none;
  EXPECT_FALSE(x.rings->ReadResponses(1, &none, milliseconds(50)));
  ASSERT_TRUE(daemon_->Register(*x.holder, &x.reply)) << daemon_->Stderr();
  x.rings = std::make_unique<ClientRings>(x.reply.key);
  EXPECT_TRUE(WaitFor([&] { return node_->ExitNotices(x.pid()) == 1; }, milliseconds(2000)));
  ASSERT_EQ(x.rings->Write(Echo(x.pid(), 10)), kRingSuccess);
  ASSERT_EQ(x.rings->Write(Echo(x.pid(), 11)), kRingSuccess);
  ASSERT_TRUE(node_->Next(x.pid(), &got, milliseconds(2000)));
  EXPECT_EQ(got.entries.at(0).header.request, 10u);
  EXPECT_FALSE(node_->Next(x.pid(), &got, milliseconds(200))) << "a second record went over the grant";
  ASSERT_TRUE(node_->Answer(got));
  ASSERT_TRUE(node_->Next(x.pid(), &got, milliseconds(2000)));
  EXPECT_EQ(got.entries.at(0).header.request, 11u);
}

}  // namespace
