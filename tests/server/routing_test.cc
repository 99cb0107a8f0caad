// Both directions through the real daemon and real nodes: 100 MiB each way
// over Native and over Light with lost datagrams, and answers that arrive
// compressed, behind skip headers, from two nodes at once.
#include <signal.h>
#include <unistd.h>

#include <future>
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

std::string Payload(uint64_t seed, size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(TestPatternByte(seed, i));
  return bytes;
}

class RoutingTest : public testing::Test {
 protected:
  // One daemon on `configs.size()` nodes, ids in order, this process its
  // client.
  void Start(const std::vector<NodeConfig>& configs) {
    std::vector<std::string> args;
    for (size_t i = 0; i < configs.size(); ++i) {
      std::string error;
      nodes_.push_back(NodeProcess::Start(configs[i], &error));
      ASSERT_NE(nodes_.back(), nullptr) << error;
      const auto group = Group(static_cast<uint32_t>(i), *nodes_.back(), configs[i].transport, 7000, 0);
      args.insert(args.end(), group.begin(), group.end());
    }
    daemon_ = Daemon::Start(args);
    ASSERT_TRUE(daemon_->Register(getpid(), &reply_)) << daemon_->Stderr();
    rings_ = std::make_unique<ClientRings>(reply_.key);
  }

  void TearDown() override {
    rings_.reset();
    EndNodesThenDaemon(nodes_, daemon_.get());
  }

  // 100 echo requests of 1 MiB to node 0, written while the answers are
  // read; every answer must carry its request's payload.
  void EchoHundredMiB() {
    constexpr int kRecords = 100;
    constexpr size_t kData = (1 << 20) - 48;  // 1 MiB per record with its headers
    const uint32_t pid = static_cast<uint32_t>(getpid());
    auto writer = std::async(std::launch::async, [&] {
      for (uint64_t i = 0; i < kRecords; ++i) {
        const std::string entry = EncodeRequestEntry(i + 1, 0, kModuleTest, k_testEcho, {i}, Payload(i, kData));
        if (rings_->Write(EncodeRequestRecord(0, 0, pid, {entry})) != kRingSuccess) return false;
      }
      return true;
    });
    std::vector<Response> responses;
    const bool all = rings_->ReadResponses(kRecords, &responses, milliseconds(60000));
    ASSERT_TRUE(writer.get());
    ASSERT_TRUE(all) << responses.size() << " answers; " << daemon_->Stderr();
    for (uint64_t i = 0; i < kRecords; ++i) {
      const Response& response = responses[i];
      ASSERT_EQ(response.request, i + 1);
      EXPECT_EQ(response.result, 0u);
      std::string expected(8, '\0');
      StoreRecord(expected.data(), i);
      expected += Payload(i, kData);
      ASSERT_EQ(response.payload.size(), expected.size());
      EXPECT_TRUE(response.payload == expected) << "answer " << i;
    }
  }

  std::vector<std::unique_ptr<NodeProcess>> nodes_;
  std::unique_ptr<Daemon> daemon_;
  Reply reply_;
  std::unique_ptr<ClientRings> rings_;
};

TEST_F(RoutingTest, NativeCarriesHundredMiBEachWay) {
  NodeConfig config;
  Start({config});
  EchoHundredMiB();
}

TEST_F(RoutingTest, LightCarriesHundredMiBEachWayThroughLostDatagrams) {
  NodeConfig config;
  config.transport = "light";
  config.drop = 0.1;
  config.seed = 17;
  Start({config});
  EchoHundredMiB();
}

TEST_F(RoutingTest, CompressedAndSkippedAnswersFromTwoNodesReachTheirCalls) {
  NodeConfig native;
  native.skip_headers = true;
  NodeConfig light;
  light.transport = "light";
  light.skip_headers = true;
  Start({native, light});
  const uint32_t pid = static_cast<uint32_t>(getpid());
  constexpr uint64_t kCalls = 40;
  for (uint64_t i = 0; i < kCalls; ++i) {
    std::string entry;
    switch (i % 4) {
      case 0:
        entry = EncodeRequestEntry(i, 0, kModuleTest, k_testCompressed, {100000 + i, i});
        break;
      case 1:
        entry = EncodeRequestEntry(i, kRequestNoWait, kModuleTest, k_testFail, {42});
        break;
      case 2:
        entry = EncodeRequestEntry(i, 0, kModuleTest, k_testDelay, {200}, "late");
        break;
      default:
        entry = EncodeRequestEntry(i, 0, kModuleTest, k_testCompressed, {0, i});
        break;
    }
    // The answered entry is the last of a record; the first is only run.
    const std::string filler = EncodeRequestEntry(1000 + i, 0, kModuleTest, k_testEcho, {}, "filler");
    ASSERT_EQ(rings_->Write(EncodeRequestRecord(i % 2, 0, pid, {filler, entry})), kRingSuccess);
  }
  std::vector<Response> responses;
  ASSERT_TRUE(rings_->ReadResponses(kCalls, &responses)) << daemon_->Stderr();
  ASSERT_EQ(responses.size(), kCalls);
  std::vector<bool> seen(kCalls, false);
  for (const Response& response : responses) {
    const uint64_t i = response.request;
    ASSERT_LT(i, kCalls);
    EXPECT_FALSE(seen[i]);
    seen[i] = true;
    EXPECT_EQ(response.pid, pid);
    EXPECT_EQ(response.count, 1u);
    EXPECT_EQ(response.raw.size(), 20 + response.size);
    switch (i % 4) {
      case 0:
      case 3: {
        // Written decompressed, with the plain size and the flag kept.
        const size_t n = i % 4 == 0 ? 100000 + i : 0;
        EXPECT_EQ(response.flags & kLinkCompressed, kLinkCompressed);
        EXPECT_EQ(response.size, 24 + n);
        EXPECT_EQ(response.result, 0u);
        EXPECT_TRUE(response.payload == Payload(i, n)) << "call " << i;
        break;
      }
      case 1:
        EXPECT_EQ(response.result, 42u);
        EXPECT_EQ(response.entry_flags & kRequestNoWait, kRequestNoWait);
        break;
      default: {
        std::string expected(8, '\0');
        StoreRecord(expected.data(), uint64_t{200});
        EXPECT_EQ(response.payload, expected + "late");
        break;
      }
    }
  }
  EXPECT_EQ(daemon_->Stderr(), "");
}

}  // namespace
