// The runtime library's own state, without a daemon or a program: the error
// rules CUDA programs rely on (last error per thread, sticky errors per GPU,
// failures of no-wait calls reported once) and the stream and event handle
// tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "common/runtime_calls.h"
#include "cudart/error_state.h"
#include "cudart/handle_table.h"

namespace {

using cudart::ErrorState;
using cudart::HandleTable;

// Every test leaves the GPUs it used and this thread's last error clean.
class ErrorStateTest : public testing::Test {
 protected:
  void TearDown() override {
    for (int gpu = 0; gpu < 4; ++gpu) ErrorState::ClearGpu(gpu);
    ErrorState::Record(0);
    ErrorState::TakeLast(-1);
  }
};

TEST_F(ErrorStateTest, LastErrorIsPerThreadKeptUntilTakenAndNeverANotReady) {
  EXPECT_EQ(ErrorState::Record(kRtInvalidValue), kRtInvalidValue);
  EXPECT_EQ(ErrorState::Record(0), 0);  // a success does not clear it
  EXPECT_EQ(ErrorState::Record(kRtNotReady), kRtNotReady);  // a query's answer is no failure
  EXPECT_EQ(ErrorState::PeekLast(0), kRtInvalidValue);
  EXPECT_EQ(ErrorState::PeekLast(0), kRtInvalidValue);
  int other_thread = -1;
  std::thread([&other_thread] { other_thread = ErrorState::TakeLast(0); }).join();
  EXPECT_EQ(other_thread, 0);
  EXPECT_EQ(ErrorState::TakeLast(0), kRtInvalidValue);
  EXPECT_EQ(ErrorState::TakeLast(0), 0);
}

TEST_F(ErrorStateTest, FaultsOfAKernelStickToTheirGpuAlone) {
  struct Case {
    int status;
    bool sticky;
  };
  const Case cases[] = {{kRtIllegalAddress, true}, {702, true},  {710, true},  {714, true},
                        {715, true},               {716, true},  {717, true},  {718, true},
                        {719, true},               {1, false},   {2, false},   {98, false},
                        {400, false},              {600, false}, {701, false}, {999, false}};
  for (const Case& c : cases) {
    ErrorState::RecordOn(1, c.status);
    EXPECT_EQ(ErrorState::Sticky(1), c.sticky ? c.status : 0) << c.status;
    EXPECT_EQ(ErrorState::Sticky(0), 0) << c.status;
    if (c.sticky) {
      // Taking the last error does not clear a sticky one; the first stays.
      EXPECT_EQ(ErrorState::TakeLast(1), c.status);
      EXPECT_EQ(ErrorState::TakeLast(1), c.status);
      ErrorState::RecordOn(1, static_cast<int>(kRtIllegalAddress) == c.status ? 719 : static_cast<int>(kRtIllegalAddress));
      EXPECT_EQ(ErrorState::Sticky(1), c.status);
      EXPECT_EQ(ErrorState::PeekLast(0), ErrorState::PeekLast(0));
    }
    ErrorState::ClearGpu(1);  // cudaDeviceReset
    EXPECT_EQ(ErrorState::Sticky(1), 0);
    ErrorState::TakeLast(1);
  }
  EXPECT_EQ(ErrorState::Sticky(-1), 0);
  EXPECT_EQ(ErrorState::Sticky(1 << 20), 0);
  ErrorState::RecordOn(1 << 20, kRtIllegalAddress);  // no GPU: recorded, nothing stuck
  EXPECT_EQ(ErrorState::TakeLast(0), kRtIllegalAddress);
}

TEST_F(ErrorStateTest, NoWaitFailuresAreReportedOnceByTheirGpu) {
  ErrorState::NoteAsyncFailure(2, 0);
  EXPECT_EQ(ErrorState::TakeAsyncFailure(2), 0);
  ErrorState::NoteAsyncFailure(2, kRtInvalidValue);
  ErrorState::NoteAsyncFailure(2, kRtLaunchFailure);  // the first one is reported
  ErrorState::NoteAsyncFailure(3, kRtInvalidResourceHandle);
  EXPECT_EQ(ErrorState::TakeAsyncFailure(2), kRtInvalidValue);
  EXPECT_EQ(ErrorState::TakeAsyncFailure(2), 0);
  ErrorState::ClearGpu(3);
  EXPECT_EQ(ErrorState::TakeAsyncFailure(3), 0);
  ErrorState::NoteAsyncFailure(-1, kRtInvalidValue);
  EXPECT_EQ(ErrorState::TakeAsyncFailure(-1), 0);
}

TEST(HandleTableTest, HandlesAreDistinctBoundToTheirGpuAndLiveUntilRemoved) {
  HandleTable streams(0x1000), events(0x1008);
  std::set<uint64_t> seen;
  for (int i = 0; i < 100; ++i) {
    const uint64_t stream = streams.Create(i % 3);
    const uint64_t event = events.Create(i % 3);
    for (uint64_t handle : {stream, event}) {
      EXPECT_GT(handle, 2u);  // 0, 1 and 2 name default streams
      EXPECT_TRUE(seen.insert(handle).second) << handle;
    }
    EXPECT_EQ(streams.Find(stream), i % 3);
    EXPECT_EQ(streams.Find(event), -1);  // one table's handle is not the other's
    EXPECT_EQ(events.Find(stream), -1);
  }
  const uint64_t kept = streams.Create(0);
  const uint64_t gone = streams.Create(1);
  EXPECT_EQ(streams.Remove(gone), 1);
  EXPECT_EQ(streams.Remove(gone), -1);
  EXPECT_EQ(streams.Find(gone), -1);
  EXPECT_EQ(streams.Find(0), -1);
  const uint64_t on_two = streams.Create(2);
  streams.ClearGpu(2);
  EXPECT_EQ(streams.Find(on_two), -1);
  EXPECT_EQ(streams.Find(kept), 0);
  EXPECT_NE(streams.Create(2), on_two);  // a number is never given twice
}

TEST(HandleTableTest, ThreadsCreatingAndRemovingAtOnceGetDistinctHandles) {
  HandleTable table(0x1000);
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::vector<uint64_t>> made(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&table, &made, t] {
      for (int i = 0; i < kEach; ++i) {
        const uint64_t handle = table.Create(t);
        if (i % 2 == 0) {
          EXPECT_EQ(table.Remove(handle), t);
        } else {
          made[t].push_back(handle);
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  std::set<uint64_t> all;
  for (int t = 0; t < kThreads; ++t) {
    for (uint64_t handle : made[t]) {
      EXPECT_EQ(table.Find(handle), t);
      all.insert(handle);
    }
  }
  EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach / 2));
}

}  // namespace
