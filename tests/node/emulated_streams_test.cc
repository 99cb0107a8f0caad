// The emulated GPUs' stream queues: order within a stream, the legacy
// stream's order against blocking and non-blocking streams, gates, overlap,
// queries and the asynchronous failure, driven directly with work that
// waits on latches the test opens.
#include "node/backends/emulated_streams.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <vector>

namespace zantu_node {
namespace {

using Id = EmulatedStreams::StreamId;
constexpr uint32_t kPid = 41;
constexpr auto kBound = std::chrono::seconds(10);

// A latch the test opens; work that waits on it fails after kBound rather
// than hang the test.
class Latch {
 public:
  void Open() { promise_.set_value(); }
  bool Wait() const { return future_.wait_for(kBound) == std::future_status::ready; }

 private:
  std::promise<void> promise_;
  std::shared_future<void> future_ = promise_.get_future().share();
};

// What ran, in order.
class Trace {
 public:
  void Add(int step) {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.push_back(step);
  }
  std::vector<int> steps() {
    std::lock_guard<std::mutex> lock(mutex_);
    return steps_;
  }

 private:
  std::mutex mutex_;
  std::vector<int> steps_;
};

EmulatedStreams::Work Step(Trace* trace, int step, const Latch* latch = nullptr) {
  return [trace, step, latch] {
    if (latch != nullptr && !latch->Wait()) return uint32_t{999};
    trace->Add(step);
    return uint32_t{0};
  };
}

TEST(EmulatedStreams, OneStreamRunsInOrderAndTwoStreamsOverlap) {
  EmulatedStreams streams(2);
  Trace trace;
  const Id a{kPid, 0, 100};
  const Id b{kPid, 0, 200};
  streams.Create(a, true);
  streams.Create(b, true);
  for (int i = 0; i < 50; ++i) streams.Enqueue(a, Step(&trace, i));
  streams.Drain(a);
  std::vector<int> expected(50);
  for (int i = 0; i < 50; ++i) expected[i] = i;
  EXPECT_EQ(trace.steps(), expected);

  // A's work can only end once B's has started: they must run at once.
  Latch b_started;
  std::atomic<bool> a_saw_b{false};
  streams.Enqueue(a, [&] {
    a_saw_b = b_started.Wait();
    return uint32_t{0};
  });
  streams.Enqueue(b, [&] {
    b_started.Open();
    return uint32_t{0};
  });
  EXPECT_FALSE(streams.Idle(a) && streams.Idle(b) && !a_saw_b);
  streams.DrainGpu(kPid, 0);
  EXPECT_TRUE(a_saw_b);
  EXPECT_TRUE(streams.Idle(a));
  EXPECT_EQ(streams.TakeFailure(kPid, 0), 0u);
}

TEST(EmulatedStreams, LegacyStreamWaitsForBlockingStreamsNotForNonBlockingOnes) {
  EmulatedStreams streams(3);
  Trace trace;
  const Id blocking{kPid, 1, 100};
  const Id free_running{kPid, 1, 300};
  const Id legacy{kPid, 1, 0};
  streams.Create(blocking, true);
  streams.Create(free_running, false);
  Latch open_blocking, open_free;
  streams.Enqueue(blocking, Step(&trace, 1, &open_blocking));
  streams.Enqueue(free_running, Step(&trace, 2, &open_free));
  // Handle 1 is the legacy stream too.
  streams.Enqueue(Id{kPid, 1, 1}, Step(&trace, 3));
  // Work on the blocking stream after the legacy work waits for it.
  streams.Enqueue(blocking, Step(&trace, 4));
  EXPECT_FALSE(streams.Idle(legacy));
  open_blocking.Open();
  streams.Drain(blocking);
  EXPECT_EQ(trace.steps(), (std::vector<int>{1, 3, 4}));
  // The non-blocking stream's work is still held, and held nothing.
  EXPECT_FALSE(streams.Idle(free_running));
  open_free.Open();
  streams.Drain(free_running);
  EXPECT_EQ(trace.steps(), (std::vector<int>{1, 3, 4, 2}));

  // Draining the legacy stream waits for blocking streams' earlier work.
  Latch late;
  streams.Enqueue(blocking, Step(&trace, 5, &late));
  std::thread opener([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    trace.Add(6);
    late.Open();
  });
  streams.Drain(legacy);
  opener.join();
  EXPECT_EQ(trace.steps().back(), 5);
}

TEST(EmulatedStreams, GatesMarksAndQueries) {
  EmulatedStreams streams(2);
  Trace trace;
  const Id a{kPid, 0, 100};
  const Id b{kPid, 0, 200};
  streams.Create(a, false);
  streams.Create(b, false);
  // A mark on an idle stream is reached at once, on the caller's thread.
  bool marked = false;
  const EmulatedStreams::Place now = streams.Mark(a, [&marked] {
    marked = true;
    return uint32_t{0};
  });
  EXPECT_TRUE(marked);
  EXPECT_TRUE(streams.Reached(now));

  Latch open;
  streams.Enqueue(a, Step(&trace, 1, &open));
  const EmulatedStreams::Place after = streams.Mark(a, Step(&trace, 2));
  EXPECT_FALSE(streams.Reached(after));
  streams.Gate(b, after);
  streams.Enqueue(b, Step(&trace, 3));
  EXPECT_FALSE(streams.Idle(b));  // held by its gate
  open.Open();
  streams.Wait(after);
  streams.Drain(b);
  EXPECT_EQ(trace.steps(), (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(streams.Reached(after));

  // A gate on a place already reached, or on a stream that went, holds
  // nothing.
  streams.Gate(b, after);
  EXPECT_TRUE(streams.Idle(b));
  streams.Destroy(a);
  EXPECT_TRUE(streams.Reached(EmulatedStreams::Place{a, 1000}));
}

TEST(EmulatedStreams, AGateOnAStreamThatGoesIsDropped) {
  EmulatedStreams streams(2);
  Trace trace;
  const Id a{kPid, 0, 100};
  const Id b{kPid, 0, 200};
  streams.Create(a, false);
  streams.Create(b, false);
  Latch hold_b, hold_a;
  streams.Enqueue(b, Step(&trace, 1, &hold_b));
  streams.Enqueue(a, Step(&trace, 2, &hold_a));
  const EmulatedStreams::Place place = streams.Mark(a, Step(&trace, 3));
  // B's gate is deep in its queue when A goes.
  streams.Gate(b, place);
  streams.Enqueue(b, Step(&trace, 4));
  hold_a.Open();
  streams.Destroy(a);
  hold_b.Open();
  streams.Drain(b);
  EXPECT_EQ(trace.steps(), (std::vector<int>{2, 3, 1, 4}));
}

TEST(EmulatedStreams, AFailureIsKeptPerGpuUntilTakenAndClientsStayApart) {
  EmulatedStreams streams(2);
  streams.Enqueue(Id{kPid, 0, 0}, [] { return uint32_t{719}; });
  streams.Enqueue(Id{kPid, 0, 0}, [] { return uint32_t{700}; });
  streams.Enqueue(Id{kPid + 1, 0, 0}, [] { return uint32_t{0}; });
  streams.DrainClient(kPid);
  streams.DrainClient(kPid + 1);
  EXPECT_EQ(streams.TakeFailure(kPid, 1), 0u);
  EXPECT_EQ(streams.TakeFailure(kPid + 1, 0), 0u);
  EXPECT_EQ(streams.TakeFailure(kPid, 0), 719u);  // the first
  EXPECT_EQ(streams.TakeFailure(kPid, 0), 0u);

  // Forgetting a GPU or a client waits for its work first.
  std::atomic<int> ran{0};
  for (int i = 0; i < 20; ++i) {
    streams.Enqueue(Id{kPid, 1, uint64_t(100 + i % 3)}, [&ran] {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      ++ran;
      return uint32_t{0};
    });
  }
  streams.DestroyGpu(kPid, 1);
  EXPECT_EQ(ran.load(), 20);
  streams.Enqueue(Id{kPid, 0, 7}, [&ran] {
    ++ran;
    return uint32_t{0};
  });
  streams.DestroyClient(kPid);
  EXPECT_EQ(ran.load(), 21);
}

TEST(EmulatedStreams, ManyStreamsAndWaitersFromSeveralThreads) {
  // Each client's thread queues work across its streams, gates them on one
  // another and drains; the sums must come out whole, nothing may hang.
  EmulatedStreams streams(3);
  std::vector<std::thread> clients;
  std::atomic<uint64_t> total{0};
  for (uint32_t c = 0; c < 4; ++c) {
    clients.emplace_back([&streams, &total, c] {
      for (int round = 0; round < 200; ++round) {
        const Id s{c, 0, uint64_t(10 + round % 4)};
        streams.Enqueue(s, [&total] {
          ++total;
          return uint32_t{0};
        });
        const EmulatedStreams::Place place = streams.Mark(s, [] { return uint32_t{0}; });
        streams.Gate(Id{c, 0, uint64_t(10 + (round + 1) % 4)}, place);
        if (round % 7 == 0) streams.Enqueue(Id{c, 0, 0}, [&total] {
            ++total;
            return uint32_t{0};
          });
        if (round % 50 == 49) streams.DrainGpu(c, 0);
      }
      streams.DestroyClient(c);
    });
  }
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(total.load(), 4u * (200 + 29));
}

}  // namespace
}  // namespace zantu_node
