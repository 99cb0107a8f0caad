// A client process of the load test, on the sample layer: `threads` threads
// each make at least `calls` calls of every kind (synchronous, deferred,
// no-wait; echoes from 0 bytes to `largest`, failures, compressed answers),
// over every GPU of the process, and check every answer. It reports in lines
// "R name=value" and exits 0 when nothing was wrong or lost.
//
//   load_client <threads> <calls per thread> <largest echo in bytes>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "examples/sample_layer.h"
#include "harness/call_worker.h"

namespace {

using namespace call_worker;

class LoadWorker : public CallWorker {
 public:
  LoadWorker(sample::SampleLayer* layer, int index, uint64_t calls, size_t largest)
      : CallWorker(layer, index, calls, static_cast<uint64_t>(getpid()) * 1000 + static_cast<uint64_t>(index)),
        largest_(largest) {}

  void Run() {
    const uint32_t gpus = layer_->GetRegisterInfo()->gpu_count;
    for (uint64_t round = 0; made() < calls_; ++round) {
      const int gpu = static_cast<int>((index_ + round) % gpus);
      Expect("set device", layer_->SetDevice(gpu), 0);
      if (round % 300 == 7) {
        SyncEcho(Length(64 << 10, largest_));
      } else {
        SyncEcho(round % 8 == 0 ? Length(1500, 20000) : Length(0, 300));
      }
      const int run = 1 + static_cast<int>(round % 3);
      for (int i = 0; i < run; ++i) DeferredEcho(gpu, Length(0, 200));
      SyncThenNoWait(round);
      if (round % 16 == 0) Compressed(round % 320 == 0 ? Length(64 << 10, largest_) : Length(1, 20000));
    }
  }

 private:
  const size_t largest_;
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
  Tally tally = RunWorkers(workers);
  // Answers nobody waits for may still be on their way; a bounded wait.
  AwaitUnwaited(layer, tally.unwaited, std::chrono::seconds(60));
  CheckLateEchoes(workers, &tally);
  const uint64_t answered = layer.answers_without_caller();
  const uint64_t unwaited = tally.unwaited;
  Report("calls", static_cast<long long>(tally.made));
  Report("calls_ms", std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  Report("wrong", static_cast<long long>(tally.wrong));
  Report("lost", static_cast<long long>(unwaited > answered ? unwaited - answered : 0));
  Report("extra", static_cast<long long>(answered > unwaited ? answered - unwaited : 0));
  Report("unwaited_failures_wrong", static_cast<long long>(layer.failures_without_caller() != tally.failures));
  const bool ok = tally.wrong == 0 && answered == unwaited && layer.failures_without_caller() == tally.failures;
  return ok ? 0 : 1;
}
