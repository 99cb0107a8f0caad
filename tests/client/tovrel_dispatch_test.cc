// Calls through libtovrel as the daemon's side sees them: the bytes of request
// records, which calls are written when and as what, how answers are matched
// and handed back, and the request ring being full.
//
// Record fields are packed and may be misaligned: they are compared as values
// (unary +), never bound to references.
#include <sys/wait.h>

#include <cstdio>
#include <thread>

#include "harness/stand_in.h"

namespace testing_util {
namespace {

void Put32(std::string& b, size_t at, uint32_t v) { std::memcpy(&b[at], &v, 4); }
void Put64(std::string& b, size_t at, uint64_t v) { std::memcpy(&b[at], &v, 8); }

std::string Hex(const std::string& bytes) {
  std::string out;
  char buf[4];
  for (unsigned char c : bytes) {
    std::snprintf(buf, sizeof(buf), "%02x ", c);
    out += buf;
  }
  return out;
}

using DispatchTest = ClientTest;

TEST_F(DispatchTest, RecordsAreLaidOutByteForByte) {
  // GPU 0 is GPU 0 of node 1, as in the worked example.
  auto child = Start("records", {}, {{0, 1}, {1, 0}}, 2);
  ASSERT_NE(child, nullptr);
  const uint32_t pid = static_cast<uint32_t>(child->pid());

  // Module 2, api 17, one argument 16: 76 bytes.
  RequestRecord worked = Next();
  ASSERT_TRUE(child->WaitForOutput("R tid=", Millis(5000)));
  const uint32_t tid = static_cast<uint32_t>(std::stoul(Value(*child, "tid")));
  const uint64_t address = worked.entries.at(0).header.request;
  EXPECT_NE(address, 0u);
  std::string expected(76, '\0');
  Put32(expected, 0, 0);
  Put32(expected, 4, 1);
  Put32(expected, 8, 0);
  Put64(expected, 12, 48);
  Put32(expected, 20, pid);
  Put32(expected, 24, 1);
  Put64(expected, 28, address);
  Put32(expected, 36, 0);
  Put32(expected, 40, tid);
  Put32(expected, 44, 2);
  Put32(expected, 48, 20240422);
  Put32(expected, 52, 17);
  Put32(expected, 56, 1);
  Put64(expected, 60, 8);
  Put64(expected, 68, 16);
  EXPECT_EQ(Hex(worked.bytes), Hex(expected));
  EXPECT_EQ(Hex(worked.bytes.substr(48, 4)), "26 d8 34 01 ");
  ASSERT_TRUE(stand_in_.Respond(worked, 0));

  // No arguments, nothing appended: a 40-byte entry of size 0, 68 bytes.
  RequestRecord empty = Next();
  EXPECT_EQ(empty.bytes.size(), 68u);
  EXPECT_EQ(+empty.batch.size, 40u);
  EXPECT_EQ(+empty.entries.at(0).header.argc, 0u);
  EXPECT_EQ(+empty.entries.at(0).header.size, 0u);
  ASSERT_TRUE(stand_in_.Respond(empty, 0));

  // Three deferred calls with 8, 16 and 0 argument bytes travel as one record
  // ahead of the synchronous call that follows them.
  RequestRecord batch = Next();
  EXPECT_EQ(+batch.batch.count, 3u);
  EXPECT_EQ(+batch.batch.size, 144u);
  EXPECT_EQ(batch.bytes.size(), 172u);
  ASSERT_EQ(batch.entries.size(), 3u);
  EXPECT_EQ(+batch.entries[0].header.size, 8u);
  EXPECT_EQ(batch.entries[0].Argument(0), 1u);
  EXPECT_EQ(+batch.entries[1].header.size, 16u);
  EXPECT_EQ(batch.entries[1].Argument(1), 3u);
  EXPECT_EQ(+batch.entries[2].header.size, 0u);
  for (const RequestEntry& e : batch.entries) EXPECT_EQ(+e.header.flags, kRequestDeferrable);
  ASSERT_TRUE(stand_in_.Respond(batch, 0));
  RequestRecord sync = Next();
  EXPECT_EQ(+sync.batch.count, 1u);
  EXPECT_EQ(+sync.entries.at(0).header.api, 13u);
  ASSERT_TRUE(stand_in_.Respond(sync, 0));

  ASSERT_TRUE(Finished(*child));
  ExpectValues(*child, {{"worked", "0"}, {"argc0", "0"}, {"d3", "0"}, {"sync", "0"}});
  // The deferred batch's answer reached the hook before the synchronous one.
  EXPECT_EQ(Value(*child, "hooks"), "17:0,5:0,12:0,13:0");
}

TEST_F(DispatchTest, LocalCompletionHookFailureAndUnknownGpuWriteNothing) {
  auto child = Start("nothing_written");
  ASSERT_NE(child, nullptr);
  RequestRecord marker = Next();
  EXPECT_EQ(+marker.entries.at(0).header.api, 20u);
  ASSERT_TRUE(stand_in_.Respond(marker, 0));
  ASSERT_TRUE(Finished(*child));
  ExpectValues(*child, {{"local", "0"}, {"prepare_failed", "35"}, {"bad_gpu", "999"}, {"prepare_calls", "4"}});
  const std::string err = child->Stderr();
  EXPECT_EQ(CountOf(err, "failed to prepare request api=testFail\n"), 1u) << err;
  EXPECT_EQ(CountOf(err, "current gpu=9 is outside the 4 gpus of this process"), 1u) << err;
  EXPECT_EQ(CountOf(err, "send request error happened"), 0u) << err;
}

TEST_F(DispatchTest, DeferredCallForAnotherGpuWritesTheBatchFirst) {
  const std::string go = "/tmp/" + UniqueName("tovrel_go");
  auto child = Start("deferred_gpus", {"TOVREL_SCENARIO_GO=" + go});
  ASSERT_NE(child, nullptr);
  // Written when the call for GPU 1 is made, not when a synchronous call
  // comes: the scenario waits for `go` before its synchronous call.
  RequestRecord gpu0 = Next();
  EXPECT_EQ(+gpu0.batch.node, 0u);
  EXPECT_EQ(+gpu0.batch.device, 100u);
  EXPECT_EQ(+gpu0.batch.count, 1u);
  EXPECT_EQ(+gpu0.entries.at(0).header.api, 30u);
  EXPECT_FALSE(stand_in_.NextRecord(Millis(150)).has_value()) << "the call for GPU 1 did not stay pending";
  ASSERT_TRUE(stand_in_.Respond(gpu0, 0));
  FILE* f = std::fopen(go.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);

  RequestRecord gpu1 = Next();
  EXPECT_EQ(+gpu1.batch.node, 1u);
  EXPECT_EQ(+gpu1.batch.device, 101u);
  EXPECT_EQ(+gpu1.entries.at(0).header.api, 31u);
  ASSERT_TRUE(stand_in_.Respond(gpu1, 0));
  RequestRecord sync = Next();
  EXPECT_EQ(+sync.batch.device, 101u);
  EXPECT_EQ(+sync.entries.at(0).header.api, 32u);
  ASSERT_TRUE(stand_in_.Respond(sync, 0));
  ASSERT_TRUE(Finished(*child));
  std::remove(go.c_str());
  EXPECT_EQ(Value(*child, "sync"), "0");
}

TEST_F(DispatchTest, NoWaitCallReturnsBeforeItsAnswerWhichTheHookConsumes) {
  auto child = Start("nowait");
  ASSERT_NE(child, nullptr);
  RequestRecord nowait = Next();
  EXPECT_EQ(+nowait.entries.at(0).header.flags, kRequestNoWait);
  ASSERT_TRUE(child->WaitForOutput("R nowait=0", Millis(5000)));
  // Answered only now, with a failure nobody waits for.
  ASSERT_TRUE(stand_in_.Respond(nowait, 3));
  RequestRecord marker = Next();
  ASSERT_TRUE(stand_in_.Respond(marker, 0));
  ASSERT_TRUE(Finished(*child));
  EXPECT_EQ(Value(*child, "hooks"), "40:3,41:0");
}

TEST_F(DispatchTest, AnswerStatusesReachTheCaller) {
  auto child = Start("results");
  ASSERT_NE(child, nullptr);
  RequestRecord r2 = Next();
  ASSERT_TRUE(stand_in_.Respond(r2, 2));
  // An answer echoing the no-wait bit of a call somebody waits on: the caller
  // still gets it (the request's own flags decide).
  RequestRecord r7 = Next();
  ASSERT_TRUE(stand_in_.Respond({{r7.entries.at(0).header.request, kRequestNoWait, 7, ""}}));
  RequestRecord r5 = Next();
  ASSERT_TRUE(stand_in_.Respond(r5, 0));
  ASSERT_TRUE(Finished(*child));
  ExpectValues(*child, {{"r2", "2"}, {"r7", "7"}, {"r5", "5"}});  // r5: the hook replaced the answer's 0
  // Failed answers of waiting calls never reach the hook.
  EXPECT_EQ(Value(*child, "hooks"), "52:0");
  const std::string pid = std::to_string(child->pid());
  const std::string line = "request api=unknown(126:50) pid=" + pid + " tid=" + pid + " result=2 failed\n";
  EXPECT_EQ(CountOf(child->Stderr(), line), 1u) << child->Stderr();
}

TEST_F(DispatchTest, SwitchGpuWithRestoreRestoresOnlyAfterSuccess) {
  auto child = Start("switch_gpu");
  ASSERT_NE(child, nullptr);
  for (uint32_t result : {0u, 4u}) {
    RequestRecord r = Next();
    EXPECT_EQ(+r.batch.node, 1u);
    EXPECT_EQ(+r.batch.device, 101u);
    ASSERT_TRUE(stand_in_.Respond(r, result));
  }
  ASSERT_TRUE(Finished(*child));
  ExpectValues(*child, {{"ok", "0"}, {"after_success", "0"}, {"failed", "4"}, {"after_failure", "1"}, {"node", "1"}});
}

TEST_F(DispatchTest, AnswersNotMatchingAnAwaitedRequestAreSkipped) {
  auto child = Start("one_call");
  ASSERT_NE(child, nullptr);
  RequestRecord call = Next();
  const uint64_t request = call.entries.at(0).header.request;
  const uint32_t pid = stand_in_.pid();
  // An address the process never sent, and an empty record.
  ASSERT_TRUE(stand_in_.Respond({{0x1000, 0, 0, "xx"}}));
  ASSERT_TRUE(stand_in_.WriteResponse(wire_test::EncodeResponseRecord(pid, {})));
  // The right address in an entry whose payload runs past its record.
  std::string bad = wire_test::EncodeResponseRecord(pid, {{request, 0, 0, "abcd"}});
  ResponseHeader h = LoadRecord<ResponseHeader>(&bad[sizeof(ResponseBatchHeader)]);
  h.size = 1000;
  StoreRecord(&bad[sizeof(ResponseBatchHeader)], h);
  ASSERT_TRUE(stand_in_.WriteResponse(bad));
  ASSERT_TRUE(child->WaitForOutput("runs past its record", Millis(5000), true));
  EXPECT_TRUE(child->Running()) << "a skipped answer woke the caller";
  ASSERT_TRUE(stand_in_.Respond(call, 0));
  ASSERT_TRUE(Finished(*child));
  EXPECT_EQ(Value(*child, "result"), "0");
  EXPECT_EQ(CountOf(child->Stderr(), "answer for unknown request=0x1000 skipped"), 1u) << child->Stderr();
}

TEST_F(DispatchTest, AnswerForAnotherProcessStopsTheProcess) {
  auto child = Start("one_call");
  ASSERT_NE(child, nullptr);
  RequestRecord call = Next();
  const RequestHeader& h = call.entries.at(0).header;
  ASSERT_TRUE(stand_in_.WriteResponse(wire_test::EncodeResponseRecord(stand_in_.pid() + 1, {{h.request, 0, 0, ""}})));
  const int status = child->Wait(Millis(10000));
  ASSERT_TRUE(status >= 0 && WIFSIGNALED(status)) << status;
  EXPECT_EQ(WTERMSIG(status), SIGINT);
  EXPECT_NE(child->Stderr().find("[Zantu] ASSERT Func:operator() Line:"), std::string::npos) << child->Stderr();
  EXPECT_NE(child->Stderr().find("Assertion failed, header->pid == pid_\n"), std::string::npos);
}

TEST_F(DispatchTest, FullRequestRingHoldsTheWriterAndItsMutex) {
  const std::string go = "/tmp/" + UniqueName("tovrel_go");
  auto child = Start("ring_full", {"TOVREL_SCENARIO_GO=" + go}, FourGpus(), 2,
                     [this] { ASSERT_TRUE(stand_in_.HoldRequestRingFull(true)); });
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->WaitForOutput("request ringbuffer is full pid=" + std::to_string(child->pid()), Millis(5000)));
  FILE* f = std::fopen(go.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  ASSERT_TRUE(child->WaitForOutput("R b_start=1", Millis(5000)));
  std::this_thread::sleep_for(Millis(5));
  EXPECT_FALSE(stand_in_.NextRecord(Millis(1)).has_value()) << "the second writer did not wait for the first";
  ASSERT_TRUE(stand_in_.HoldRequestRingFull(false));

  RequestRecord big = Next();
  EXPECT_EQ(+big.entries.at(0).header.api, 80u);
  EXPECT_EQ(big.bytes.size(), 28u + 40u + (3u << 19));
  RequestRecord small = Next();
  EXPECT_EQ(+small.entries.at(0).header.api, 81u);
  ASSERT_TRUE(stand_in_.Respond(big, 0));
  ASSERT_TRUE(stand_in_.Respond(small, 0));
  ASSERT_TRUE(Finished(*child));
  std::remove(go.c_str());
  EXPECT_EQ(Value(*child, "a"), "0");
  EXPECT_EQ(Value(*child, "b"), "0");
  // One line when the wait started, none for each 1 ms pause.
  EXPECT_EQ(CountOf(child->Stdout(), "request ringbuffer is full pid="), 1u) << child->Stdout();
}

TEST_F(DispatchTest, WriterWaitingForRoomGivesUpWhenTheDaemonGoes) {
  auto child = Start("big_call", {}, FourGpus(), 2, [this] { ASSERT_TRUE(stand_in_.HoldRequestRingFull(true)); });
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(child->WaitForOutput("request ringbuffer is full pid=", Millis(5000)));
  stand_in_.ReleaseRings();
  ASSERT_TRUE(Finished(*child, Millis(5000)));
  EXPECT_EQ(Value(*child, "result"), "999");
  EXPECT_EQ(Value(*child, "later"), "999");
  EXPECT_EQ(CountOf(child->Stderr(), "send request error happened\n"), 1u) << child->Stderr();
  EXPECT_EQ(CountOf(child->Stderr(), "read ring buffer failed=7\n"), 1u) << child->Stderr();
}

TEST_F(DispatchTest, PendingBatchStaysWithinItsBound) {
  auto child = Start("pending_bound");
  ASSERT_NE(child, nullptr);
  // Two 6 MiB calls fit the 16 MiB bound; the third starts a new batch.
  RequestRecord first = Next();
  ASSERT_EQ(first.entries.size(), 2u);
  EXPECT_EQ(+first.entries[0].header.api, 110u);
  EXPECT_EQ(+first.entries[1].header.api, 111u);
  EXPECT_EQ(first.entries[1].payload, std::string(6 << 20, static_cast<char>(111)));
  ASSERT_TRUE(stand_in_.Respond(first, 0));
  RequestRecord second = Next();
  ASSERT_EQ(second.entries.size(), 1u);
  EXPECT_EQ(+second.entries[0].header.api, 112u);
  ASSERT_TRUE(stand_in_.Respond(second, 0));
  RequestRecord sync = Next();
  EXPECT_EQ(+sync.entries.at(0).header.api, 113u);
  ASSERT_TRUE(stand_in_.Respond(sync, 0));
  ASSERT_TRUE(Finished(*child));
  EXPECT_EQ(Value(*child, "sync"), "0");
}

TEST_F(DispatchTest, ExitingThreadWritesItsDeferredCalls) {
  auto child = Start("thread_exit");
  ASSERT_NE(child, nullptr);
  RequestRecord deferred = Next();
  ASSERT_EQ(deferred.entries.size(), 2u);
  EXPECT_EQ(+deferred.entries[0].header.api, 100u);
  EXPECT_EQ(+deferred.entries[1].header.api, 101u);
  ASSERT_TRUE(stand_in_.Respond(deferred, 0));
  RequestRecord marker = Next();
  EXPECT_EQ(+marker.entries.at(0).header.api, 102u);
  ASSERT_TRUE(stand_in_.Respond(marker, 0));
  ASSERT_TRUE(Finished(*child));
}

TEST_F(DispatchTest, ForkedChildIsNotRegistered) {
  auto child = Start("fork");
  ASSERT_NE(child, nullptr);
  RequestRecord marker = Next();
  EXPECT_EQ(+marker.entries.at(0).header.api, 91u);  // nothing from the child
  ASSERT_TRUE(stand_in_.Respond(marker, 0));
  ASSERT_TRUE(Finished(*child));
  EXPECT_EQ(Value(*child, "child"), "0");
  EXPECT_EQ(CountOf(child->Stderr(), "is a fork of registered pid=" + std::to_string(child->pid())), 1u);
}

TEST_F(DispatchTest, SampleLayerAgainstTheTestModule) {
  auto child = Start("sample");
  ASSERT_NE(child, nullptr);
  std::vector<RequestRecord> seen;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (child->Running() && std::chrono::steady_clock::now() < deadline) {
    std::optional<RequestRecord> record = stand_in_.NextRecord(Millis(20));
    if (!record) continue;
    ASSERT_TRUE(stand_in_.RespondAsNode(*record));
    seen.push_back(std::move(*record));
  }
  ASSERT_TRUE(Finished(*child)) << child->Stdout();
  for (const RequestRecord& r : seen) {
    for (const RequestEntry& e : r.entries) {
      EXPECT_EQ(+e.header.module, kModuleTest);
      EXPECT_LT(+e.header.api, static_cast<uint32_t>(kTestApiCount)) << "a local call was sent";
    }
  }
  // echo, no-wait echo, batch of 3, delay, fail, deferred fail, delay,
  // compressed, echo on GPU 3.
  ASSERT_EQ(seen.size(), 9u);
  EXPECT_EQ(+seen[2].batch.count, 3u);
  EXPECT_EQ(+seen[8].batch.device, 103u);
  EXPECT_EQ(seen[8].entries.at(0).payload.substr(16), "payload travels there and back");
}

TEST_F(DispatchTest, ThreadsMixingAllKindsOfCallsGetTheirOwnAnswers) {
  // The scenario logs every answer with a non-zero status; keep it quiet.
  auto child = Start("threads", {"ZANTU_DISABLE_LOG=1"});
  ASSERT_NE(child, nullptr);
  size_t records = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (child->Running() && std::chrono::steady_clock::now() < deadline) {
    std::optional<RequestRecord> record = stand_in_.NextRecord(Millis(20));
    if (!record) continue;
    ASSERT_TRUE(stand_in_.RespondAsNode(*record));
    ++records;
  }
  ASSERT_TRUE(Finished(*child)) << child->Stdout();
  EXPECT_EQ(Value(*child, "wrong"), "0");
  EXPECT_EQ(Value(*child, "unwaited"), "1600");
  EXPECT_EQ(records, 4u * 200u * 8u);  // three deferred calls travel as one record
}

}  // namespace
}  // namespace testing_util
