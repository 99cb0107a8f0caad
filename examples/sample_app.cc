// A small application on the sample layer, the demo's client: the process
// registers when libtovrel loads, then walks through the kinds of call the
// library forwards and prints what came back.
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/test_module.h"
#include "examples/sample_layer.h"

namespace {

bool Check(bool ok, const char* what) {
  std::printf("  %-44s %s\n", what, ok ? "ok" : "FAILED");
  return ok;
}

}  // namespace

int main() {
  sample::SampleLayer layer;
  const RegisterInfo* info = layer.GetRegisterInfo();
  std::printf("registered: key %s, %u gpus on %u nodes\n", info->key, info->gpu_count, info->node_count);
  if (info->gpu_count == 0) return 1;
  for (uint32_t i = 0; i < info->node_count; ++i) {
    std::printf("  node %u at %.16s port %u\n", i, info->nodes[i].host, static_cast<unsigned>(info->nodes[i].port));
  }
  bool all_ok = true;

  // One echo per GPU: the call travels to that GPU's node.
  const char message[] = "hello through the sample layer";
  for (uint32_t gpu = 0; gpu < info->gpu_count; ++gpu) {
    char echoed[sizeof(message)] = {};
    int status = layer.EchoOnGpu(static_cast<int>(gpu), message, sizeof(message), echoed, sizeof(echoed));
    char what[96];
    std::snprintf(what, sizeof(what), "echo on gpu %u (node %u, device %u)", gpu, info->gpu_nodes[gpu],
                  info->gpu_indexes[gpu]);
    all_ok &= Check(status == 0 && std::memcmp(echoed, message, sizeof(message)) == 0, what);
  }

  // The thread's current GPU is local state: answered without a round trip.
  int gpu = -1;
  all_ok &= Check(layer.SetDevice(static_cast<int>(info->gpu_count) - 1) == 0 && layer.GetDevice(&gpu) == 0 &&
                      gpu == static_cast<int>(info->gpu_count) - 1,
                  "set and get the current gpu locally");
  layer.SetDevice(0);

  // A remote failure comes back as the call's status.
  all_ok &= Check(layer.Fail(7) == 7, "a remote failure returns its status (7)");

  // A compressed answer arrives decompressed by the daemon.
  std::vector<uint8_t> pattern(256 << 10);
  bool same = layer.Compressed(pattern.size(), 7, pattern.data()) == 0;
  for (size_t i = 0; same && i < pattern.size(); ++i) same = pattern[i] == TestPatternByte(7, i);
  all_ok &= Check(same, "256 KiB compressed answer arrives intact");

  // Deferred calls return at once and travel together with the next call.
  for (int i = 0; i < 100; ++i) layer.Echo(message, sizeof(message), nullptr, 0, sample::CallMode::kDeferred);
  all_ok &= Check(layer.Delay(100) == 0, "100 deferred calls flushed by a sync call");

  // No-wait calls return once written; their answers are handled later.
  const uint64_t before = layer.answers_without_caller();
  for (int i = 0; i < 100; ++i) layer.Echo(message, sizeof(message), nullptr, 0, sample::CallMode::kNoWait);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (layer.answers_without_caller() < before + 100 && std::chrono::steady_clock::now() < until) {
    layer.Delay(0);
  }
  all_ok &= Check(layer.answers_without_caller() >= before + 100, "100 no-wait answers handled");

  // Round trips of a small synchronous call.
  constexpr int kRounds = 2000;
  const auto start = std::chrono::steady_clock::now();
  int failures = 0;
  for (int i = 0; i < kRounds; ++i) failures += layer.Echo(message, sizeof(message), nullptr, 0) != 0;
  const double micros =
      std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / kRounds;
  all_ok &= Check(failures == 0, "2000 synchronous echoes");
  std::printf("  mean synchronous round trip: %.1f us\n", micros);

  std::printf("%s\n", all_ok ? "all calls came back right" : "SOME CALLS FAILED");
  return all_ok ? 0 : 1;
}
