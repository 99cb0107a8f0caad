// The latency probe of scale_bench: an application on the sample layer
// (registered at load like any other) that times synchronous 64-byte echoes
// and prints "p50_us=... p99_us=...".
//
//   scale_probe <calls>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "examples/sample_layer.h"

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::atoi(argv[1]) : 2000;
  sample::SampleLayer layer;
  if (layer.GetRegisterInfo()->gpu_count == 0) {
    std::printf("not registered\n");
    return 1;
  }
  const std::string data(64, 'p');
  std::string back(64, '\0');
  std::vector<int64_t> samples;
  samples.reserve(calls);
  for (int i = 0; i < calls + calls / 10; ++i) {
    const int64_t start = bench::NowNs();
    if (layer.Echo(data.data(), data.size(), back.data(), back.size()) != 0 || back != data) {
      std::printf("echo failed\n");
      return 1;
    }
    if (i >= calls / 10) samples.push_back(bench::NowNs() - start);  // the first tenth warms up
  }
  const bench::Percentiles p = bench::Summarize(samples);
  std::printf("p50_us=%.1f p99_us=%.1f\n", p.p50_us, p.p99_us);
  return 0;
}
