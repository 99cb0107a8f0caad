// A client process of the load test, on the sample layer: `threads` threads
// each make at least `calls` calls of every kind (synchronous, deferred,
// no-wait; echoes from 0 bytes to `largest`, failures, compressed answers),
// over every GPU of the process, and check every answer. It reports in lines
// "R name=value" and exits 0 when nothing was wrong or lost.
//
//   load_client <threads> <calls per thread> <largest echo in bytes>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/test_module.h"
#include "examples/sample_layer.h"

namespace {

using sample::CallMode;
using Clock = std::chrono::steady_clock;

void Report(const char* name, long long value) {
  std::printf("R %s=%lld\n", name, value);
  std::fflush(stdout);
}

constexpr char kUntouched = '\x5a';

// An answer that lands after its call returned: the bytes `out` must end
// up holding (untouched ones for a deferred echo that is not answered).
struct LateEcho {
  std::string expected;
  std::string out;
};

class LoadWorker {
 public:
  LoadWorker(sample::SampleLayer* layer, int index, uint64_t calls, size_t largest)
      : layer_(layer), index_(index), calls_(calls), largest_(largest),
        random_(static_cast<uint64_t>(getpid()) * 1000 + static_cast<uint64_t>(index)) {}

  void Run() {
    const uint32_t gpus = layer_->GetRegisterInfo()->gpu_count;
    for (uint64_t round = 0; made_ < calls_; ++round) {
      const int gpu = static_cast<int>((index_ + round) % gpus);
      Expect(layer_->SetDevice(gpu), 0);
      if (round % 300 == 7) {
        SyncEcho(Length(64 << 10, largest_));
      } else {
        SyncEcho(round % 8 == 0 ? Length(1500, 20000) : Length(0, 300));
      }
      const int run = 1 + static_cast<int>(round % 3);
      for (int i = 0; i < run; ++i) DeferredEcho(Length(0, 200));
      if (round % 2 == 0) {
        SyncFail(Status());
      } else {
        SyncEcho(Length(0, 64));
      }
      NoWaitEcho(Length(1, 300));
      NoWaitFail(Status());
      if (round % 16 == 0) Compressed(round % 320 == 0 ? Length(64 << 10, largest_) : Length(1, 20000));
    }
  }

  uint64_t made() const { return made_; }
  uint64_t wrong() const { return wrong_; }
  uint64_t unwaited() const { return unwaited_; }
  uint64_t failures() const { return failures_; }

  // After every answer nobody waited for has been handled.
  void CheckLateEchoes() {
    for (const LateEcho& late : late_) {
      if (late.out != late.expected) ++wrong_;
    }
  }

 private:
  size_t Length(size_t low, size_t high) { return std::uniform_int_distribution<size_t>(low, high)(random_); }
  uint32_t Status() { return std::uniform_int_distribution<uint32_t>(1, 900)(random_); }

  std::string Bytes(size_t length) {
    std::string bytes(length, '\0');
    for (size_t i = 0; i < length; i += 8) {
      const uint64_t word = random_();
      std::memcpy(&bytes[i], &word, std::min<size_t>(8, length - i));
    }
    return bytes;
  }

  void Expect(int got, int expected) {
    ++made_;
    if (got != expected) ++wrong_;
  }

  // A call that is not deferred writes the thread's pending batch first;
  // only the batch's last echo is answered, to nobody.
  void CloseBatch() {
    if (!batch_open_) return;
    batch_open_ = false;
    ++unwaited_;
    late_[batch_last_].expected = batch_last_data_;
  }

  void SyncEcho(size_t length) {
    const std::string data = Bytes(length);
    std::string back(length, kUntouched);
    CloseBatch();
    Expect(layer_->Echo(data.data(), data.size(), back.data(), back.size()), 0);
    if (back != data) ++wrong_;
  }

  void SyncFail(uint32_t status) {
    CloseBatch();
    Expect(layer_->Fail(status), static_cast<int>(status));
  }

  void Compressed(size_t length) {
    const uint64_t seed = random_();
    std::string out(length, kUntouched);
    CloseBatch();
    Expect(layer_->Compressed(length, seed, out.data()), 0);
    for (size_t i = 0; i < length; ++i) {
      if (static_cast<uint8_t>(out[i]) != TestPatternByte(seed, i)) {
        ++wrong_;
        break;
      }
    }
  }

  void DeferredEcho(size_t length) {
    batch_open_ = true;
    std::string data = Bytes(length);
    late_.push_back(LateEcho{std::string(length, kUntouched), std::string(length, kUntouched)});
    LateEcho& late = late_.back();
    Expect(layer_->Echo(data.data(), data.size(), late.out.data(), late.out.size(), CallMode::kDeferred), 0);
    batch_last_ = late_.size() - 1;
    batch_last_data_ = std::move(data);
  }

  void NoWaitEcho(size_t length) {
    std::string data = Bytes(length);
    CloseBatch();
    late_.push_back(LateEcho{data, std::string(length, kUntouched)});
    LateEcho& late = late_.back();
    Expect(layer_->Echo(data.data(), data.size(), late.out.data(), late.out.size(), CallMode::kNoWait), 0);
    ++unwaited_;
  }

  void NoWaitFail(uint32_t status) {
    CloseBatch();
    Expect(layer_->Fail(status, CallMode::kNoWait), 0);
    ++unwaited_;
    ++failures_;
  }

  sample::SampleLayer* const layer_;
  const int index_;
  const uint64_t calls_;
  const size_t largest_;
  std::mt19937_64 random_;
  uint64_t made_ = 0;
  uint64_t wrong_ = 0;
  uint64_t unwaited_ = 0;  // answers expected for calls nobody waits on
  uint64_t failures_ = 0;  // of which carry a failure status
  std::deque<LateEcho> late_;  // a deque keeps every element in place
  bool batch_open_ = false;
  size_t batch_last_ = 0;
  std::string batch_last_data_;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: load_client <threads> <calls per thread> <largest echo>\n");
    return 2;
  }
  const int threads = std::atoi(argv[1]);
  const uint64_t calls = std::strtoull(argv[2], nullptr, 10);
  const size_t largest = std::strtoull(argv[3], nullptr, 10);
  sample::SampleLayer layer;
  if (layer.GetRegisterInfo()->gpu_count == 0) {
    std::fprintf(stderr, "not registered\n");
    return 1;
  }
  std::vector<LoadWorker> workers;
  workers.reserve(threads);
  for (int t = 0; t < threads; ++t) workers.emplace_back(&layer, t, calls, largest);
  const auto start = Clock::now();
  std::vector<std::thread> running;
  for (LoadWorker& worker : workers) running.emplace_back([&worker] { worker.Run(); });
  for (std::thread& thread : running) thread.join();

  uint64_t made = 0, wrong = 0, unwaited = 0, failures = 0;
  for (const LoadWorker& worker : workers) {
    made += worker.made();
    unwaited += worker.unwaited();
    failures += worker.failures();
  }
  // Answers nobody waits for may still be on their way; a bounded wait.
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  while (layer.answers_without_caller() < unwaited && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  for (LoadWorker& worker : workers) {
    worker.CheckLateEchoes();
    wrong += worker.wrong();
  }
  const uint64_t answered = layer.answers_without_caller();
  Report("calls", static_cast<long long>(made));
  Report("calls_ms",
         std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  Report("wrong", static_cast<long long>(wrong));
  Report("lost", static_cast<long long>(unwaited > answered ? unwaited - answered : 0));
  Report("extra", static_cast<long long>(answered > unwaited ? answered - unwaited : 0));
  Report("unwaited_failures_wrong",
         static_cast<long long>(layer.failures_without_caller() != failures));
  const bool ok = wrong == 0 && answered == unwaited && layer.failures_without_caller() == failures;
  return ok ? 0 : 1;
}
