// Loads libtovrel (which registers the process with the daemon, if one runs)
// and makes one call through the layer. Without a daemon the call fails at
// once with kTovrelFailure.
#include <cstdio>

#include "ping_layer.h"

int main() {
  PingLayer layer;
  const RegisterInfo* info = layer.GetRegisterInfo();
  const int status = layer.Ping(42);
  std::printf("installed_layer: %u GPUs, ping status %d%s\n", info->gpu_count, status,
              status == kTovrelFailure ? " (no daemon)" : "");
  return 0;
}
