// What the client programs of the end-to-end and load tests (e2e_client,
// load_client) share: "R name=value" reports, and worker threads that make
// calls of every kind through the sample layer (synchronous, deferred,
// no-wait; echoes, failures, compressed answers) and check every answer,
// also the ones that arrive after their call returned.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/test_module.h"
#include "examples/sample_layer.h"

namespace call_worker {

using Clock = std::chrono::steady_clock;
using sample::CallMode;

inline void Report(const char* name, const std::string& value) {
  std::printf("R %s=%s\n", name, value.c_str());
  std::fflush(stdout);
}

inline void Report(const char* name, long long value) { Report(name, std::to_string(value)); }

// Waits until the layer has handled `count` answers nobody waited for.
inline bool AwaitUnwaited(const sample::SampleLayer& layer, uint64_t count, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (layer.answers_without_caller() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// An answer that arrives after its call returned: the bytes the node must
// echo into `out`, or, for a deferred echo that is not the last of its batch
// and is therefore never answered, bytes `out` must still hold untouched.
struct LateEcho {
  std::string expected;
  std::string out;
};

constexpr char kUntouched = '\x5a';

// One worker thread: its own random stream, its own tally, and a model of its
// deferred batch (which call is the last of it, so which answer comes). A
// program's worker adds the rounds of calls (Run).
class CallWorker {
 public:
  CallWorker(sample::SampleLayer* layer, int index, uint64_t calls, uint64_t seed)
      : layer_(layer), index_(index), calls_(calls), random_(seed) {}

  uint64_t made() const { return made_; }
  uint64_t wrong() const { return wrong_; }
  uint64_t expected_unwaited() const { return expected_unwaited_; }
  uint64_t expected_failures() const { return expected_failures_; }
  const std::string& first_wrong() const { return first_wrong_; }

  // After every answer nobody waited for has been handled.
  void CheckLateEchoes() {
    for (const LateEcho& late : late_) {
      if (late.out != late.expected) Wrong("late echo bytes", static_cast<int>(late.expected.size()), -1);
    }
  }

 protected:
  size_t Length(size_t low, size_t high) { return std::uniform_int_distribution<size_t>(low, high)(random_); }
  // A failure status no layer or library status can be mistaken for.
  uint32_t Status() { return std::uniform_int_distribution<uint32_t>(1, 900)(random_); }

  std::string Bytes(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i += 8) {
      const uint64_t word = random_();
      std::memcpy(&bytes[i], &word, std::min<size_t>(8, length - i));
    }
    return bytes;
  }

  void Wrong(const char* what, int got, int expected) {
    ++wrong_;
    if (first_wrong_.empty()) {
      first_wrong_ = "thread " + std::to_string(index_) + " call " + std::to_string(made_) + " " + what + ": got " +
                     std::to_string(got) + " expected " + std::to_string(expected);
    }
  }

  void Expect(const char* what, int got, int expected) {
    ++made_;
    if (got != expected) Wrong(what, got, expected);
  }

  void SetAndCheckDevice(int gpu) {
    Expect("set device", layer_->SetDevice(gpu), 0);
    int current = -1;
    Expect("get device", layer_->GetDevice(&current), 0);
    if (current != gpu) Wrong("current gpu", current, gpu);
  }

  // A call that is not deferrable writes the thread's pending batch first,
  // whose last request is then answered to nobody.
  void CloseBatch() {
    if (!batch_open_) return;
    batch_open_ = false;
    ++expected_unwaited_;
    if (batch_last_fails_) {
      ++expected_failures_;
    } else {
      late_[batch_last_].expected = pending_expected_;
    }
  }

  void OpenBatchFor(int gpu) {
    if (batch_open_ && batch_gpu_ != gpu) CloseBatch();
    batch_open_ = true;
    batch_gpu_ = gpu;
  }

  void SyncEcho(size_t length) {
    const std::string data = Bytes(length);
    std::string back(length, kUntouched);
    CloseBatch();
    Expect("echo", layer_->Echo(data.data(), data.size(), back.data(), back.size()), 0);
    if (back != data) Wrong("echo bytes", static_cast<int>(length), static_cast<int>(length));
  }

  void EchoOnGpu(int gpu, int current, size_t length) {
    const std::string data = Bytes(length);
    std::string back(length, kUntouched);
    CloseBatch();
    Expect("echo on gpu", layer_->EchoOnGpu(gpu, data.data(), data.size(), back.data(), back.size()), 0);
    if (back != data) Wrong("echo on gpu bytes", static_cast<int>(length), static_cast<int>(length));
    if (layer_->GetCurrentGpu() != current) Wrong("gpu restored", layer_->GetCurrentGpu(), current);
  }

  // A synchronous call that writes the pending batch (a failure in even
  // rounds), then a no-wait echo and a no-wait failure.
  void SyncThenNoWait(uint64_t round) {
    if (round % 2 == 0) {
      SyncFail(Status());
    } else {
      SyncEcho(Length(0, 64));
    }
    NoWaitEcho(Length(1, 300));
    NoWaitFail(Status());
  }

  void SyncFail(uint32_t status) {
    CloseBatch();
    Expect("fail", layer_->Fail(status), static_cast<int>(status));
  }

  void Compressed(size_t length) {
    const uint64_t seed = random_();
    std::string out(length, kUntouched);
    CloseBatch();
    Expect("compressed", layer_->Compressed(length, seed, out.data()), 0);
    for (size_t i = 0; i < length; ++i) {
      if (static_cast<uint8_t>(out[i]) != TestPatternByte(seed, i)) {
        Wrong("compressed byte", static_cast<int>(i), -1);
        break;
      }
    }
  }

  // Until its batch is written, a deferred echo is expected to stay
  // unanswered; CloseBatch makes the last one expect its data.
  void DeferredEcho(int gpu, size_t length) {
    OpenBatchFor(gpu);
    std::string data = Bytes(length);
    late_.push_back(LateEcho{std::string(length, kUntouched), std::string(length, kUntouched)});
    LateEcho& late = late_.back();
    Expect("deferred echo",
           layer_->Echo(data.data(), data.size(), late.out.data(), late.out.size(), CallMode::kDeferred), 0);
    batch_last_ = late_.size() - 1;
    batch_last_fails_ = false;
    pending_expected_ = std::move(data);
  }

  void DeferredFail(int gpu, uint32_t status) {
    OpenBatchFor(gpu);
    Expect("deferred fail", layer_->Fail(status, CallMode::kDeferred), 0);
    batch_last_fails_ = true;
  }

  void NoWaitEcho(size_t length) {
    std::string data = Bytes(length);
    CloseBatch();
    late_.push_back(LateEcho{data, std::string(length, kUntouched)});
    LateEcho& late = late_.back();
    Expect("no-wait echo",
           layer_->Echo(data.data(), data.size(), late.out.data(), late.out.size(), CallMode::kNoWait), 0);
    ++expected_unwaited_;
  }

  void NoWaitFail(uint32_t status) {
    CloseBatch();
    Expect("no-wait fail", layer_->Fail(status, CallMode::kNoWait), 0);
    ++expected_unwaited_;
    ++expected_failures_;
  }

  sample::SampleLayer* const layer_;
  const int index_;
  const uint64_t calls_;
  std::mt19937_64 random_;

 private:
  uint64_t made_ = 0;
  uint64_t wrong_ = 0;
  std::string first_wrong_;
  uint64_t expected_unwaited_ = 0;
  uint64_t expected_failures_ = 0;
  // Out buffers of answers that come after their call returned. A deque keeps
  // every element (and so every string's bytes) in place while it grows.
  std::deque<LateEcho> late_;

  // The thread's deferred batch as the library holds it.
  bool batch_open_ = false;
  int batch_gpu_ = 0;
  size_t batch_last_ = 0;
  bool batch_last_fails_ = false;
  std::string pending_expected_;  // data of the batch's last echo
};

// What the workers of a program did, summed.
struct Tally {
  uint64_t made = 0;
  uint64_t wrong = 0;
  uint64_t unwaited = 0;  // answers expected for calls nobody waits on
  uint64_t failures = 0;  // of which carry a failure status
  std::string first_wrong;
};

// Runs every worker on a thread of its own until all are done; their calls
// and the answers they expect nobody to wait for.
template <typename Worker>
Tally RunWorkers(std::vector<Worker>& workers) {
  std::vector<std::thread> threads;
  for (Worker& worker : workers) threads.emplace_back([&worker] { worker.Run(); });
  for (std::thread& thread : threads) thread.join();
  Tally tally;
  for (const Worker& worker : workers) {
    tally.made += worker.made();
    tally.unwaited += worker.expected_unwaited();
    tally.failures += worker.expected_failures();
  }
  return tally;
}

// Once the late answers are in: the wrong answers of all workers.
template <typename Worker>
void CheckLateEchoes(std::vector<Worker>& workers, Tally* tally) {
  for (Worker& worker : workers) {
    worker.CheckLateEchoes();
    tally->wrong += worker.wrong();
    if (tally->first_wrong.empty()) tally->first_wrong = worker.first_wrong();
  }
}

}  // namespace call_worker
