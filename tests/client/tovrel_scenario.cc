// A client process for the libtovrel tests: linked against libtovrel, so it
// registers with whatever answers on 127.0.0.1:9979 before main runs. It plays
// the scenario named by argv[1] and reports on stdout in lines "R name=value",
// which the test that started it reads next to the library's own log lines.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/tovrel.h"
#include "common/test_module.h"
#include "examples/sample_layer.h"

namespace {

void Report(const char* name, const std::string& value) {
  std::printf("R %s=%s\n", name, value.c_str());
  std::fflush(stdout);
}

void Report(const char* name, long long value) { Report(name, std::to_string(value)); }

// Blocks until the test creates the file named by TOVREL_SCENARIO_GO.
void WaitForGo() {
  const char* path = std::getenv("TOVREL_SCENARIO_GO");
  if (path == nullptr) return;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (access(path, F_OK) != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// What the prepare hook does with the next call of this thread.
struct HookScript {
  int32_t status = 0;
  uint32_t flags = 0;
  std::vector<std::string> extra;  // appended pieces
  int switch_gpu = -1;             // >= 0: SwitchGpuWithRestore to it
};

thread_local HookScript script;

// A layer whose hooks do what the scenario scripts, and remember what the
// response hook saw.
class ScriptedLayer final : public CudaTovrel {
 public:
  explicit ScriptedLayer(int32_t module) { module_ = module; }

  int32_t PrepareRequest(Request* request) override {
    prepare_calls.fetch_add(1, std::memory_order_relaxed);
    const HookScript s = script;
    script = HookScript{};
    request->header.flags |= s.flags;
    for (const std::string& piece : s.extra) request->buffers.push_back(piece);
    if (s.switch_gpu >= 0) SwitchGpuWithRestore(request, s.switch_gpu);
    return s.status;
  }

  void HandleResponse(Request* request, ResponseView* view) override {
    std::lock_guard<std::mutex> lock(mutex);
    if (!hooks.empty()) hooks += ",";
    hooks += std::to_string(request->header.api) + ":" + std::to_string(view->Result());
    if (override_result != 0) view->SetResult(override_result);
  }

  std::string Hooks() {
    std::lock_guard<std::mutex> lock(mutex);
    return hooks;
  }

  std::atomic<int> prepare_calls{0};
  std::atomic<uint32_t> override_result{0};  // set between calls only

 private:
  std::mutex mutex;
  std::string hooks;  // guarded by mutex: "api:result" per response hook call
};

// A call with the next hook behaviour.
template <typename... Args>
int Call(ScriptedLayer& layer, HookScript s, unsigned api, Args... args) {
  script = std::move(s);
  return layer.Dispatch(api, sizeof...(args), static_cast<uint64_t>(args)...);
}

HookScript Flags(uint32_t flags) {
  HookScript s;
  s.flags = flags;
  return s;
}

// The worked example (module 2, api 17, one argument 16), a call without
// arguments, and three deferred calls of 8, 16 and 0 argument bytes followed
// by a synchronous one.
int Records() {
  ScriptedLayer layer(2);
  Report("tid", gettid());
  Report("worked", Call(layer, {}, 17, 16));
  Report("argc0", Call(layer, {}, 5));
  Report("d1", Call(layer, Flags(kRequestDeferrable), 10, 1));
  Report("d2", Call(layer, Flags(kRequestDeferrable), 11, 2, 3));
  Report("d3", Call(layer, Flags(kRequestDeferrable), 12));
  Report("sync", Call(layer, {}, 13));
  Report("hooks", layer.Hooks());
  return 0;
}

// Calls that write nothing: completed by the hook, failed by the hook, sent
// to a GPU the process does not have. A marker call follows.
int NothingWritten() {
  ScriptedLayer layer(kModuleTest);
  HookScript local;
  local.status = kCompletedLocally;
  Report("local", Call(layer, local, 1));
  HookScript failing;
  failing.status = 35;
  Report("prepare_failed", Call(layer, failing, k_testFail));
  layer.SetCurrentGpu(9);
  Report("bad_gpu", Call(layer, {}, 3));
  layer.SetCurrentGpu(0);
  Report("marker", Call(layer, {}, 20));
  Report("prepare_calls", layer.prepare_calls.load());
  return 0;
}

int DeferredGpus() {
  ScriptedLayer layer(kModuleTest);
  Report("d0", Call(layer, Flags(kRequestDeferrable), 30));
  layer.SetCurrentGpu(1);
  Report("d1", Call(layer, Flags(kRequestDeferrable), 31));
  WaitForGo();
  Report("sync", Call(layer, {}, 32));
  return 0;
}

int NoWait() {
  ScriptedLayer layer(kModuleTest);
  Report("nowait", Call(layer, Flags(kRequestNoWait), 40));
  Report("marker", Call(layer, {}, 41));
  Report("hooks", layer.Hooks());
  return 0;
}

int Results() {
  ScriptedLayer layer(kModuleTest);
  Report("r2", Call(layer, {}, 50));
  Report("r7", Call(layer, {}, 51));
  layer.override_result = 5;
  Report("r5", Call(layer, {}, 52));
  layer.override_result = 0;
  Report("hooks", layer.Hooks());
  return 0;
}

int SwitchGpu() {
  ScriptedLayer layer(kModuleTest);
  HookScript to1;
  to1.switch_gpu = 1;
  Report("ok", Call(layer, to1, 60));
  Report("after_success", layer.GetCurrentGpu());
  to1.switch_gpu = 1;
  Report("failed", Call(layer, to1, 61));
  Report("after_failure", layer.GetCurrentGpu());
  Report("node", layer.GetCurrentNode());
  return 0;
}

// One synchronous call, for tests that shape its answer.
int OneCall() {
  ScriptedLayer layer(kModuleTest);
  Report("result", Call(layer, {}, 70));
  return 0;
}

// A call of 1.5 MiB while the request ring is full, and a small call from a
// second thread started while the first one waits for room.
int RingFull() {
  ScriptedLayer layer(kModuleTest);
  std::thread big([&layer] {
    HookScript s;
    s.extra.push_back(std::string(3 << 19, 'x'));
    Report("a_start", 1);
    Report("a", Call(layer, s, 80));
  });
  // The test lets the second thread go once the first waits for room.
  WaitForGo();
  std::thread small([&layer] {
    Report("b_start", 1);
    Report("b", Call(layer, {}, 81));
  });
  big.join();
  small.join();
  return 0;
}

// A call of 1.5 MiB, beyond the ring's first MiB, then a small one.
int BigCall() {
  ScriptedLayer layer(kModuleTest);
  HookScript s;
  s.extra.push_back(std::string(3 << 19, 'x'));
  Report("result", Call(layer, s, 85));
  Report("later", Call(layer, {}, 86));
  return 0;
}

int Gpus() {
  ScriptedLayer layer(kModuleTest);
  const RegisterInfo* info = layer.GetRegisterInfo();
  Report("key", info->key);
  Report("gpu_count", info->gpu_count);
  std::string indexes;
  std::string nodes;
  for (uint32_t k = 0; k < info->gpu_count; ++k) {
    indexes += (k ? "," : "") + std::to_string(info->gpu_indexes[k]);
    nodes += (k ? "," : "") + std::to_string(info->gpu_nodes[k]);
  }
  Report("indexes", indexes);
  Report("nodes", nodes);
  Report("node_count", info->node_count);
  if (info->node_count > 0) Report("node0", std::string(info->nodes[0].host) + ":" + std::to_string(info->nodes[0].port));
  return 0;
}

int Unregistered() {
  ScriptedLayer layer(kModuleTest);
  Report("result", Call(layer, {}, 1));
  Report("prepare_calls", layer.prepare_calls.load());
  return 0;
}

// Registration found nobody on the port at load; a second Initialize tries
// again and is timed.
int NoDaemon() {
  ScriptedLayer layer(kModuleTest);
  Report("result", Call(layer, {}, 1));
  const auto start = std::chrono::steady_clock::now();
  CudaTovrel::Initialize();
  Report("initialize_us",
         std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count());
  Report("again", Call(layer, {}, 2));
  return 0;
}

int Fork() {
  ScriptedLayer layer(kModuleTest);
  const pid_t child = fork();
  if (child == 0) _exit(Call(layer, {}, 90) == kTovrelFailure ? 0 : 1);
  int status = 0;
  waitpid(child, &status, 0);
  Report("child", WIFEXITED(status) ? WEXITSTATUS(status) : 100);
  Report("marker", Call(layer, {}, 91));
  return 0;
}

int ThreadExit() {
  ScriptedLayer layer(kModuleTest);
  std::thread worker([&layer] {
    Report("d1", Call(layer, Flags(kRequestDeferrable), 100));
    Report("d2", Call(layer, Flags(kRequestDeferrable), 101));
  });
  worker.join();
  Report("joined", 1);
  Report("marker", Call(layer, {}, 102));
  return 0;
}

// Deferred calls of 6 MiB each: the third would take the batch past its bound.
int PendingBound() {
  ScriptedLayer layer(kModuleTest);
  for (unsigned api = 110; api < 113; ++api) {
    HookScript s = Flags(kRequestDeferrable);
    s.extra.push_back(std::string(6 << 20, static_cast<char>(api)));
    Report(("d" + std::to_string(api)).c_str(), Call(layer, s, api));
  }
  Report("sync", Call(layer, {}, 113));
  return 0;
}

// Eight threads wait for answers that never come; their daemon dies.
int Waiters() {
  ScriptedLayer layer(kModuleTest);
  std::vector<std::thread> threads;
  std::vector<int> results(8, -1);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&layer, &results, i] { results[i] = Call(layer, {}, 120 + i); });
  }
  for (std::thread& t : threads) t.join();
  std::string all;
  for (int r : results) all += (all.empty() ? "" : ",") + std::to_string(r);
  Report("results", all);
  const auto start = std::chrono::steady_clock::now();
  Report("later", Call(layer, {}, 130));
  Report("later_deferred", Call(layer, Flags(kRequestDeferrable), 131));
  Report("later_ms", std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
  return 0;
}

// The sample layer against a stand-in that answers like the reference node.
int Sample() {
  sample::SampleLayer layer;
  int failures = 0;
  auto check = [&failures](const char* name, bool ok) {
    Report(name, ok ? 1 : 0);
    if (!ok) ++failures;
  };

  const std::string message = "payload travels there and back";
  std::string back(message.size(), '\0');
  check("echo", layer.Echo(message.data(), message.size(), back.data(), back.size()) == 0 && back == message);

  std::string later(message.size(), '\0');
  check("nowait_returned", layer.Echo(message.data(), message.size(), later.data(), later.size(),
                                      sample::CallMode::kNoWait) == 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (layer.answers_without_caller() < 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  check("nowait_echo", layer.answers_without_caller() == 1 && later == message);

  for (int i = 0; i < 3; ++i) layer.Echo(message.data(), message.size(), nullptr, 0, sample::CallMode::kDeferred);
  check("deferred_then_delay", layer.Delay(200) == 0);
  check("deferred_answered", layer.answers_without_caller() == 2);

  check("fail", layer.Fail(6) == 6);
  layer.Fail(9, sample::CallMode::kDeferred);
  check("deferred_failure_seen", layer.Delay(0) == 0 && layer.failures_without_caller() == 1);

  std::vector<uint8_t> pattern(100000);
  bool same = layer.Compressed(pattern.size(), 5, pattern.data()) == 0;
  for (size_t i = 0; same && i < pattern.size(); ++i) same = pattern[i] == TestPatternByte(5, i);
  check("compressed", same);

  int gpu = -1;
  check("set_device", layer.SetDevice(2) == 0 && layer.GetDevice(&gpu) == 0 && gpu == 2);
  check("set_invalid", layer.SetDevice(9) == sample::kInvalidDevice && layer.GetCurrentGpu() == 2);
  check("on_gpu3", layer.EchoOnGpu(3, message.data(), message.size(), back.data(), back.size()) == 0 &&
                       layer.GetCurrentGpu() == 2);
  return failures == 0 ? 0 : 1;
}

// Threads mixing synchronous, deferred, no-wait and failing calls through
// the sample layer; every answer that reaches a caller is checked.
int Threads() {
  constexpr int kThreads = 4;
  constexpr int kRounds = 200;  // of ten calls each
  sample::SampleLayer layer;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&layer, &wrong, t] {
      for (int i = 0; i < kRounds * 10; ++i) {
        const std::string data = std::to_string(t) + ":" + std::to_string(i);
        std::string back(data.size(), '\0');
        const int kind = i % 10;
        int result = 0;
        int expected = 0;
        if (kind < 5) {
          result = layer.Echo(data.data(), data.size(), back.data(), back.size());
          if (back != data) wrong.fetch_add(1, std::memory_order_relaxed);
        } else if (kind < 8) {
          result = layer.Echo(data.data(), data.size(), nullptr, 0, sample::CallMode::kDeferred);
        } else if (kind == 8) {
          result = layer.Echo(data.data(), data.size(), nullptr, 0, sample::CallMode::kNoWait);
        } else {
          expected = 1 + i % 50;
          result = layer.Fail(static_cast<uint32_t>(expected));
        }
        if (result != expected) wrong.fetch_add(1, std::memory_order_relaxed);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  // Per round: one deferred batch and one no-wait call are answered to nobody.
  const uint64_t expected_unwaited = uint64_t{kThreads} * kRounds * 2;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (layer.answers_without_caller() < expected_unwaited && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Report("wrong", wrong.load());
  Report("unwaited", static_cast<long long>(layer.answers_without_caller()));
  return wrong.load() == 0 && layer.answers_without_caller() == expected_unwaited ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  static const std::map<std::string, int (*)()> scenarios = {
      {"records", Records},       {"nothing_written", NothingWritten},
      {"deferred_gpus", DeferredGpus}, {"nowait", NoWait},
      {"results", Results},       {"switch_gpu", SwitchGpu},
      {"one_call", OneCall},      {"ring_full", RingFull},
      {"big_call", BigCall},
      {"gpus", Gpus},             {"unregistered", Unregistered},
      {"no_daemon", NoDaemon},
      {"fork", Fork},             {"thread_exit", ThreadExit},
      {"pending_bound", PendingBound}, {"waiters", Waiters},
      {"sample", Sample},         {"threads", Threads},
  };
  if (argc != 2 || scenarios.count(argv[1]) == 0) {
    std::fprintf(stderr, "usage: tovrel_scenario <scenario>\n");
    return 2;
  }
  const int rc = scenarios.at(argv[1])();
  Report("done", rc);
  return rc;
}
