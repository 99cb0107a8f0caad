// The application side of tovrel_bench: linked against libtovrel, so it
// registers with the daemon at load. It makes the calls of one figure and
// prints the result in lines "name=value"; tovrel_bench reads them.
//
//   tovrel_bench_client sync <rounds>        p50 and p99 of empty synchronous calls
//   tovrel_bench_client deferred <calls> <n> deferred calls per second, n runs
//   tovrel_bench_client idle                 registered, no calls, until killed
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "client/tovrel.h"
#include "common/test_module.h"

namespace {

// Flags of the calling thread's next call, for the prepare hook.
thread_local uint32_t next_flags = 0;

// A layer that adds nothing of its own to a call: the hooks only set the
// flags asked for, so the figures are the library's.
class BenchLayer final : public CudaTovrel {
 public:
  BenchLayer() { module_ = kModuleTest; }

  int32_t PrepareRequest(Request* request) override {
    request->header.flags |= next_flags;
    next_flags = 0;
    return 0;
  }

  void HandleResponse(Request*, ResponseView*) override {}

  // The empty call: echo with no argument and no data, a 68-byte record
  // answered by a 44-byte one.
  int Empty(uint32_t flags) {
    next_flags = flags;
    return Dispatch(k_testEcho, 0);
  }
};

int Sync(BenchLayer& layer, int rounds) {
  int failed_at = -1;
  const bench::Percentiles p = bench::TimeCalls(rounds, [&] { return layer.Empty(0) == 0; }, &failed_at);
  if (failed_at >= 0) {
    std::printf("error=call %d failed\n", failed_at);
    return 1;
  }
  std::printf("p50_us=%.2f\np99_us=%.2f\n", p.p50_us, p.p99_us);
  return 0;
}

// Deferred calls in batches of 1000, each flushed by a synchronous call; the
// time of the flushing calls counts, the calls themselves do not.
int Deferred(BenchLayer& layer, int calls, int runs) {
  constexpr int kBatch = 1000;
  for (int run = -1; run < runs; ++run) {  // run -1 warms up
    const int64_t t0 = bench::NowNs();
    for (int i = 1; i <= calls; ++i) {
      if (layer.Empty(kRequestDeferrable) != 0) return 1;
      if (i % kBatch == 0 && layer.Empty(0) != 0) return 1;
    }
    const int64_t elapsed = bench::NowNs() - t0;
    if (run >= 0) std::printf("deferred_per_s=%.0f\n", calls * 1e9 / elapsed);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  BenchLayer layer;
  std::printf("key=%s\n", layer.GetRegisterInfo()->key);
  std::fflush(stdout);
  const std::string mode = argc > 1 ? argv[1] : "";
  int rc = 2;
  if (mode == "sync" && argc == 3) {
    rc = Sync(layer, std::atoi(argv[2]));
  } else if (mode == "deferred" && argc == 4) {
    rc = Deferred(layer, std::atoi(argv[2]), std::atoi(argv[3]));
  } else if (mode == "idle") {
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) pause();
  } else {
    std::fprintf(stderr, "usage: tovrel_bench_client sync <rounds> | deferred <calls> <runs> | idle\n");
  }
  std::printf("done=%d\n", rc);
  std::fflush(stdout);
  return rc;
}
