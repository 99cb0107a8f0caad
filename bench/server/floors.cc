// The floors that scripts/demo.sh prints beside the samples' figures, from
// the benchmarks' bare parts, measured in the same run as the samples:
// - raw TCP loopback streaming and raw UDP datagram sending, 64 MiB copies'
//   ceiling over Native and Light;
// - the bare-parts call chain with the client library's hand-off (a caller
//   waiting on a semaphore, a response-loop thread posting it): the floor of
//   a synchronous call.
//
// Usage: zantu_floors [--quick]. Prints "floors: name=value ..." last.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/server/bare_roads.h"
#include "common/test_module.h"

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  signal(SIGPIPE, SIG_IGN);
  const int rounds = quick ? 2000 : 10000;
  const int runs = 3;
  std::vector<double> p50, p99, tcp, udp, lost;
  for (int r = 0; r < runs; ++r) {
    auto floor = bench::HandOffFloor::Start();
    if (!floor) {
      std::fprintf(stderr, "the bare-parts road did not start\n");
      return 1;
    }
    std::string record;
    bench::BuildRequest(static_cast<uint32_t>(getpid()), 0, k_testEcho, {}, 0, &record);
    std::vector<int64_t> samples;
    for (int i = 0; i < rounds + rounds / 10; ++i) {
      const int64_t t0 = bench::NowNs();
      if (!floor->Call(&record)) return 1;
      if (i >= rounds / 10) samples.push_back(bench::NowNs() - t0);
    }
    const bench::Percentiles p = bench::Summarize(samples);
    p50.push_back(p.p50_us);
    p99.push_back(p.p99_us);
    const uint64_t bytes = uint64_t{64} << 20 << (quick ? 1 : 2);
    tcp.push_back(bench::RawTcpStream(bytes) / 1e9);
    double l = 0;
    udp.push_back(bench::RawUdpStream(bytes, &l) / 1e9);
    lost.push_back(l);
  }
  std::printf("floors: sync_p50_us=%.2f sync_p99_us=%.2f tcp_gbps=%.3f udp_gbps=%.3f udp_lost=%.4f\n",
              bench::Median(p50), bench::Median(p99), bench::Median(tcp), bench::Median(udp), bench::Median(lost));
  return 0;
}
