// A client process for the end-to-end tests: linked against libtovrel and the
// sample layer, so it registers with the real daemon before main runs, and
// its calls travel through the daemon to real zantu_node processes. It plays
// the scenario named by argv[1] and reports on stdout in lines
// "R name=value".
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "client/tovrel.h"
#include "common/test_module.h"
#include "examples/sample_layer.h"

namespace {

using sample::CallMode;
using Clock = std::chrono::steady_clock;

void Report(const char* name, const std::string& value) {
  std::printf("R %s=%s\n", name, value.c_str());
  std::fflush(stdout);
}

void Report(const char* name, long long value) { Report(name, std::to_string(value)); }

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Joined(const uint32_t* values, uint32_t count) {
  std::string text;
  for (uint32_t i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(values[i]);
  return text;
}

// Waits until the layer has handled `count` answers nobody waited for.
bool AwaitUnwaited(const sample::SampleLayer& layer, uint64_t count, std::chrono::seconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (layer.answers_without_caller() < count) {
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// ---------------------------------------------------------------------------
// mix: threads mixing every kind of call across all GPUs of the process.

// An answer that arrives after its call returned: the bytes the node must
// echo into `out`, or, for a deferred echo that is not the last of its batch
// and is therefore never answered, bytes `out` must still hold untouched.
struct LateEcho {
  std::string expected;
  std::string out;
};

constexpr char kUntouched = '\x5a';

// One worker thread: its own random stream, its own tally, and a model of its
// deferred batch (which call is the last of it, so which answer comes).
class MixWorker {
 public:
  MixWorker(sample::SampleLayer* layer, int index, uint64_t calls)
      : layer_(layer), index_(index), calls_(calls), random_(0x5eed0000u + static_cast<unsigned>(index)) {}

  void Run() {
    const uint32_t gpus = layer_->GetRegisterInfo()->gpu_count;
    for (uint64_t round = 0; made_ < calls_; ++round) {
      const int gpu = static_cast<int>((index_ + round) % gpus);
      const int other = static_cast<int>((gpu + 1 + round % (gpus - 1)) % gpus);
      SetAndCheckDevice(gpu);
      SyncEcho(round % 8 == 0 ? Length(1500, 70000) : Length(0, 300));

      // A deferred run of one to four calls, flushed by a synchronous call.
      const int run = 1 + static_cast<int>(round % 4);
      for (int i = 0; i < run; ++i) {
        if (i + 1 == run && round % 3 == 0) {
          DeferredFail(gpu, Status());
        } else {
          DeferredEcho(gpu, Length(0, 200));
        }
      }
      if (round % 2 == 0) {
        SyncFail(Status());
      } else {
        SyncEcho(Length(0, 64));
      }

      NoWaitEcho(Length(1, 300));
      NoWaitFail(Status());
      EchoOnGpu(other, gpu, Length(0, 300));

      // A deferred batch cut by a deferred call for another GPU; the second
      // batch travels with the next round's first remote call.
      DeferredEcho(gpu, Length(1, 100));
      SetAndCheckDevice(other);
      DeferredEcho(other, Length(1, 100));
      if (round % 16 == 0) Compressed(Length(1, 20000));
      if (round % 5 == 0) SyncFail(0);
    }
    // Left pending: the thread's exit writes them.
    DeferredEcho(layer_->GetCurrentGpu(), Length(1, 100));
    DeferredEcho(layer_->GetCurrentGpu(), Length(1, 100));
    CloseBatch();
  }

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

 private:
  size_t Length(size_t low, size_t high) { return std::uniform_int_distribution<size_t>(low, high)(random_); }
  // A failure status no layer or library status can be mistaken for.
  uint32_t Status() { return std::uniform_int_distribution<uint32_t>(1, 900)(random_); }

  std::string Bytes(size_t length) {
    std::string bytes(length, '\0');
    for (char& c : bytes) c = static_cast<char>(random_());
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

// argv: calls per thread (at least; a round is finished).
int Mix(int argc, char** argv) {
  constexpr int kThreads = 8;
  const uint64_t calls = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 10000;
  sample::SampleLayer layer;
  if (layer.GetRegisterInfo()->gpu_count < 2) {
    Report("error", "mix needs at least two gpus");
    return 1;
  }
  std::vector<MixWorker> workers;
  workers.reserve(kThreads);
  for (int t = 0; t < kThreads; ++t) workers.emplace_back(&layer, t, calls);
  const auto start = Clock::now();
  std::vector<std::thread> threads;
  for (MixWorker& worker : workers) threads.emplace_back([&worker] { worker.Run(); });
  for (std::thread& thread : threads) thread.join();
  Report("calls_ms", MillisSince(start));

  uint64_t made = 0, wrong = 0, unwaited = 0, failures = 0;
  for (const MixWorker& worker : workers) {
    made += worker.made();
    unwaited += worker.expected_unwaited();
    failures += worker.expected_failures();
  }
  const bool all_answered = AwaitUnwaited(layer, unwaited, std::chrono::seconds(30));
  Report("answers_ms", MillisSince(start));
  std::string first_wrong;
  for (MixWorker& worker : workers) {
    worker.CheckLateEchoes();
    wrong += worker.wrong();
    if (first_wrong.empty()) first_wrong = worker.first_wrong();
  }
  Report("calls", static_cast<long long>(made));
  Report("wrong", static_cast<long long>(wrong));
  if (!first_wrong.empty()) Report("first_wrong", first_wrong);
  Report("unwaited", static_cast<long long>(layer.answers_without_caller()));
  Report("unwaited_expected", static_cast<long long>(unwaited));
  Report("unwaited_failures", static_cast<long long>(layer.failures_without_caller()));
  Report("unwaited_failures_expected", static_cast<long long>(failures));
  const bool ok = all_answered && wrong == 0 && layer.answers_without_caller() == unwaited &&
                  layer.failures_without_caller() == failures;
  return ok ? 0 : 1;
}

// ---------------------------------------------------------------------------

// Eight threads wait in Delay calls of argv[2] microseconds, two on each of
// the first four GPUs, until the test kills the daemon.
int Waiters(int argc, char** argv) {
  constexpr int kThreads = 8;
  const uint32_t micros = argc > 2 ? static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10)) : 30000000;
  sample::SampleLayer layer;
  const uint32_t gpus = layer.GetRegisterInfo()->gpu_count;
  if (gpus == 0) {
    Report("error", "not registered");
    return 1;
  }
  std::vector<std::thread> threads;
  std::vector<int> results(kThreads, -1);
  std::vector<long long> waited(kThreads, -1);
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      layer.SetDevice(static_cast<int>(i % gpus));
      Report("calling", i);
      const auto start = Clock::now();
      results[i] = layer.Delay(micros);
      waited[i] = MillisSince(start);
    });
  }
  for (std::thread& t : threads) t.join();
  std::string all;
  for (int r : results) all += (all.empty() ? "" : ",") + std::to_string(r);
  Report("results", all);
  Report("shortest_wait_ms", *std::min_element(waited.begin(), waited.end()));
  const auto start = Clock::now();
  Report("later", layer.Echo("x", 1, nullptr, 0));
  Report("later_deferred", layer.Delay(0, CallMode::kDeferred));
  Report("later_nowait", layer.Fail(3, CallMode::kNoWait));
  Report("later_ms", MillisSince(start));
  return 0;
}

// The registration as the process sees it, then one echo on each of its GPUs
// carrying a marker that names the process GPU; the test finds the markers
// in the nodes' records.
int Gpus(int, char**) {
  sample::SampleLayer layer;
  const RegisterInfo* info = layer.GetRegisterInfo();
  Report("gpu_count", info->gpu_count);
  Report("indexes", Joined(info->gpu_indexes, info->gpu_count));
  Report("nodes", Joined(info->gpu_nodes, info->gpu_count));
  std::string hosts;
  for (uint32_t i = 0; i < info->node_count; ++i) {
    hosts += (i ? "," : "") + std::string(info->nodes[i].host, strnlen(info->nodes[i].host, 16)) + ":" +
             std::to_string(info->nodes[i].port);
  }
  Report("node_table", hosts);
  int failures = 0;
  for (uint32_t k = 0; k < info->gpu_count; ++k) {
    const std::string marker = "marker-of-process-gpu-" + std::to_string(k) + "-pid-" + std::to_string(getpid());
    std::string back(marker.size(), '\0');
    layer.SetDevice(static_cast<int>(k));
    const int status = layer.Echo(marker.data(), marker.size(), back.data(), back.size());
    if (status != 0 || back != marker) ++failures;
    Report(("echo" + std::to_string(k)).c_str(), status);
  }
  return failures == 0 ? 0 : 1;
}

// ---------------------------------------------------------------------------
// stall: a layer whose response hook blocks on the first answer until the
// file named by E2E_STALL_RELEASE exists, while the answers of argv[2]
// no-wait echoes of 64 KiB pile up behind it in the process's response ring.

constexpr size_t kStallEchoBytes = 64 << 10;

std::string StallData(uint64_t index) {
  std::string data(kStallEchoBytes, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(TestPatternByte(index, i));
  return data;
}

class StallingLayer final : public CudaTovrel {
 public:
  StallingLayer() { module_ = kModuleTest; }

  // Every call is a no-wait echo of the 64 KiB of its first argument.
  int32_t PrepareRequest(Request* request) override {
    request->header.flags |= kRequestNoWait;
    uint64_t index = 0;
    std::memcpy(&index, request->buffers.front().data(), sizeof(index));
    request->buffers.push_back(StallData(index));
    return 0;
  }

  void HandleResponse(Request* request, ResponseView* view) override {
    if (handled_.load(std::memory_order_relaxed) == 0) Stall();
    const std::string& block = request->buffers.front();
    uint64_t index = 0;
    std::memcpy(&index, block.data(), sizeof(index));
    const bool right = view->Result() == 0 && view->PayloadSize() == block.size() + kStallEchoBytes &&
                       std::memcmp(view->payload + block.size(), StallData(index).data(), kStallEchoBytes) == 0;
    if (!right) wrong_.fetch_add(1, std::memory_order_relaxed);
    handled_.fetch_add(1, std::memory_order_release);
  }

  uint64_t handled() const { return handled_.load(std::memory_order_acquire); }
  uint64_t wrong() const { return wrong_.load(std::memory_order_relaxed); }

 private:
  static void Stall() {
    Report("stalled", 1);
    const char* release = std::getenv("E2E_STALL_RELEASE");
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (release != nullptr && access(release, F_OK) != 0 && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    Report("released", 1);
  }

  std::atomic<uint64_t> handled_{0};  // written by the response loop only
  std::atomic<uint64_t> wrong_{0};
};

int Stall(int argc, char** argv) {
  const uint64_t calls = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 256;
  StallingLayer layer;
  int refused = 0;
  for (uint64_t i = 0; i < calls; ++i) {
    layer.SetCurrentGpu(static_cast<int>(i % layer.GetRegisterInfo()->gpu_count));
    if (layer.Dispatch(k_testEcho, 1, i) != 0) ++refused;
  }
  Report("sent", static_cast<long long>(calls - refused));
  const auto deadline = Clock::now() + std::chrono::seconds(120);
  while (layer.handled() < calls && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  Report("handled", static_cast<long long>(layer.handled()));
  Report("wrong", static_cast<long long>(layer.wrong()));
  return refused == 0 && layer.handled() == calls && layer.wrong() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  static const std::map<std::string, int (*)(int, char**)> scenarios = {
      {"mix", Mix},
      {"waiters", Waiters},
      {"gpus", Gpus},
      {"stall", Stall},
  };
  if (argc < 2 || scenarios.count(argv[1]) == 0) {
    std::fprintf(stderr, "usage: e2e_client mix [calls] | waiters [micros] | gpus | stall [calls]\n");
    return 2;
  }
  // First of all, so the test can remove the rings if the daemon dies.
  Report("key", sample::SampleLayer().GetRegisterInfo()->key);
  const int rc = scenarios.at(argv[1])(argc, argv);
  Report("done", rc);
  return rc;
}
