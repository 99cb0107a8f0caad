// A tiny application on the sample layer: the process registers when
// libtovrel loads, then echoes a message through the first GPU's node, fetches
// a compressed pattern and queues a few deferred calls.
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/test_module.h"
#include "examples/sample_layer.h"

int main() {
  sample::SampleLayer layer;
  const RegisterInfo* info = layer.GetRegisterInfo();
  std::printf("registered with %u gpus on %u nodes\n", info->gpu_count, info->node_count);

  const char message[] = "hello through the sample layer";
  char echoed[sizeof(message)] = {};
  int status = layer.Echo(message, sizeof(message), echoed, sizeof(echoed));
  std::printf("echo: status %d%s%s\n", status, status == 0 ? ", " : "", status == 0 ? echoed : "");
  if (status != 0) return 1;

  std::vector<uint8_t> pattern(64 << 10);
  status = layer.Compressed(pattern.size(), 7, pattern.data());
  bool same = status == 0;
  for (size_t i = 0; same && i < pattern.size(); ++i) same = pattern[i] == TestPatternByte(7, i);
  std::printf("compressed: status %d, pattern %s\n", status, same ? "intact" : "damaged");

  for (int i = 0; i < 3; ++i) layer.Echo(message, sizeof(message), nullptr, 0, sample::CallMode::kDeferred);
  status = layer.Delay(100);  // carries the deferred batch out first
  std::printf("deferred batch flushed: status %d\n", status);
  return same && status == 0 ? 0 : 1;
}
