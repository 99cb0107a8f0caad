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
#include "harness/call_worker.h"

namespace {

using namespace call_worker;

long long MillisSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::string Joined(const uint32_t* values, uint32_t count) {
  std::string text;
  for (uint32_t i = 0; i < count; ++i) text += (i ? "," : "") + std::to_string(values[i]);
  return text;
}

// ---------------------------------------------------------------------------
// mix: threads mixing every kind of call across all GPUs of the process.

class MixWorker : public CallWorker {
 public:
  MixWorker(sample::SampleLayer* layer, int index, uint64_t calls)
      : CallWorker(layer, index, calls, 0x5eed0000u + static_cast<unsigned>(index)) {}

  void Run() {
    const uint32_t gpus = layer_->GetRegisterInfo()->gpu_count;
    for (uint64_t round = 0; made() < calls_; ++round) {
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
      SyncThenNoWait(round);
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
  Tally tally = RunWorkers(workers);
  Report("calls_ms", MillisSince(start));
  const bool all_answered = AwaitUnwaited(layer, tally.unwaited, std::chrono::seconds(30));
  Report("answers_ms", MillisSince(start));
  CheckLateEchoes(workers, &tally);
  Report("calls", static_cast<long long>(tally.made));
  Report("wrong", static_cast<long long>(tally.wrong));
  if (!tally.first_wrong.empty()) Report("first_wrong", tally.first_wrong);
  Report("unwaited", static_cast<long long>(layer.answers_without_caller()));
  Report("unwaited_expected", static_cast<long long>(tally.unwaited));
  Report("unwaited_failures", static_cast<long long>(layer.failures_without_caller()));
  Report("unwaited_failures_expected", static_cast<long long>(tally.failures));
  const bool ok = all_answered && tally.wrong == 0 && layer.answers_without_caller() == tally.unwaited &&
                  layer.failures_without_caller() == tally.failures;
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
