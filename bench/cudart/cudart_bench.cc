// Figures of our runtime library beside baselines measured in the same run:
//
// 1. A synchronous empty call (cudaStreamQuery on an idle stream) of an
//    nvcc-built program through libcudart.so.13, libtovrel, the daemon and
//    an emulated zantu_node (Native), beside the bare-parts floor with the
//    library's hand-off (bench/server/bare_roads.h) for a record of the same
//    size. Runs alternate between the two roads; medians of the runs.
// 2. Deferred kernel launches (<<<>>> of an empty kernel) per second on one
//    application thread, and how long the node then takes to drain them.
// 3. A graph launch's cost per kernel node against plain launches.
// Usage: cudart_bench [--quick] [sync] [launch] [graph]. Needs UDP port 9979 free.
// Prints figures; checks nothing.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/server/bare_roads.h"
#include "common/api_numbers.h"

namespace {

using bench::Median;
using bench::NowNs;
using bench::Percentiles;
using bench::Program;

bool quick = false;

// An emulated node with the benchmark's kernel and a daemon serving one GPU
// on it. Killed at the end; the rings it made for the programs are unlinked.
class RuntimeRoad {
 public:
  static std::unique_ptr<RuntimeRoad> Start() {
    std::unique_ptr<RuntimeRoad> road(new RuntimeRoad());
    const std::string bin = bench::BinDir();
    const std::vector<std::string> node{bin + "/zantu_node", "--transport", "native", "--backend", "emulated",
                                        "--gpus",          "1",           "--kernels",
                                        bin + "/libcudart_bench_kernels.so"};
    if (!bench::StartNodeAndDaemon(node, &road->node_, &road->daemon_)) return nullptr;
    return road;
  }

  ~RuntimeRoad() {
    daemon_.reset();
    node_.reset();
  }

  // Runs the program to its end; its output, or empty on failure.
  std::string Run(const std::vector<std::string>& args, int timeout_ms) {
    std::vector<std::string> argv = {bench::BinDir() + "/cudart_bench_app"};
    argv.insert(argv.end(), args.begin(), args.end());
    Program app(argv);
    if (!app.WaitForOutput("done=", timeout_ms)) {
      std::fprintf(stderr, "program did not finish: %s\n", app.Output().c_str());
      return "";
    }
    const std::string out = app.Output();
    if (out.find("done=0") == std::string::npos) {
      std::fprintf(stderr, "program failed: %s\n", out.c_str());
      return "";
    }
    return out;
  }

 private:
  RuntimeRoad() = default;
  std::unique_ptr<Program> node_;
  std::unique_ptr<Program> daemon_;
};

Percentiles FloorCalls(int rounds) {
  auto floor = bench::HandOffFloor::Start();
  if (!floor) return Percentiles{};
  // The size of cudaStreamQuery's record: one argument word.
  std::string record;
  bench::BuildRequest(static_cast<uint32_t>(getpid()), 0, k_cudaStreamQuery, {0x100}, 0, &record);
  return bench::TimeCalls(rounds, [&] { return floor->Call(&record); });
}

Percentiles RuntimeCalls(int rounds) {
  Percentiles p;
  auto road = RuntimeRoad::Start();
  if (!road) return p;
  const std::string out = road->Run({"sync", std::to_string(rounds)}, 120000);
  const std::vector<double> p50 = bench::AllValuesOf(out, "p50_us");
  const std::vector<double> p99 = bench::AllValuesOf(out, "p99_us");
  if (!p50.empty()) p.p50_us = p50[0];
  if (!p99.empty()) p.p99_us = p99[0];
  return p;
}

void SyncFigures() {
  const int rounds = quick ? 3000 : 20000;
  const int repeats = quick ? 2 : 5;
  std::printf("\n== Synchronous empty call (cudaStreamQuery, idle stream), %d calls per run, median of %d runs ==\n",
              rounds, repeats);
  bench::PrintBesideFloor(repeats, [rounds] { return FloorCalls(rounds); }, "libcudart + daemon + emulated node",
                          [rounds] { return RuntimeCalls(rounds); }, "ratio runtime/floor", "p50 <= 1.3");
}

void LaunchFigures() {
  const int launches = quick ? 200000 : 1000000;
  const int runs = quick ? 3 : 5;
  std::printf("\n== Deferred kernel launches on one thread (%d launches per run, %d runs) ==\n", launches, runs);
  auto road = RuntimeRoad::Start();
  if (!road) return;
  const std::string out = road->Run({"launch", std::to_string(launches), std::to_string(runs)}, 600000);
  const std::vector<double> rates = bench::AllValuesOf(out, "launches_per_s");
  const std::vector<double> cpu_rates = bench::AllValuesOf(out, "launches_per_cpu_s");
  const std::vector<double> drains = bench::AllValuesOf(out, "drain_ms");
  std::string each;
  for (double r : rates) each += (each.empty() ? "" : " ") + std::to_string(static_cast<int>(r / 1000 + 0.5)) + "k";
  std::printf("launches per second (application thread)  %.0f  (target >= 1000000)   runs: %s\n", Median(rates),
              each.c_str());
  std::printf("launches per second of the thread's CPU   %.0f  (the same loop, without time spent descheduled)\n",
              Median(cpu_rates));
  std::printf("then the synchronize waits for the node   %.0f ms median (the emulated node runs every launch)\n",
              Median(drains));
}

void GraphFigures() {
  const int launches = quick ? 20000 : 200000;
  const int nodes = 100;
  const int runs = quick ? 3 : 5;
  std::printf("\n== Graph launches: %d kernels per run as launches of a %d-node graph and as plain launches,"
              " each run then synchronized (%d runs) ==\n", launches, nodes, runs);
  auto road = RuntimeRoad::Start();
  if (!road) return;
  const std::string out =
      road->Run({"graph", std::to_string(launches), std::to_string(nodes), std::to_string(runs)}, 600000);
  const double graph_us = Median(bench::AllValuesOf(out, "graph_node_us"));
  const double plain_us = Median(bench::AllValuesOf(out, "plain_launch_us"));
  std::printf("per kernel node of a graph launch         %.3f us\n", graph_us);
  std::printf("per plain launch                          %.3f us\n", plain_us);
  std::printf("ratio graph node / plain launch           %.2f\n", plain_us > 0 ? graph_us / plain_us : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else {
      only.push_back(argv[i]);
    }
  }
  auto wanted = [&only](const char* figure) {
    return only.empty() || std::find(only.begin(), only.end(), figure) != only.end();
  };
  signal(SIGPIPE, SIG_IGN);
  // The program finds our runtime library first, as a user's would.
  const std::string cudart_dir = bench::BinDir() + "/../cudart";
  setenv("LD_LIBRARY_PATH", cudart_dir.c_str(), 1);
  if (wanted("sync")) SyncFigures();
  if (wanted("launch")) LaunchFigures();
  if (wanted("graph")) GraphFigures();
  return 0;
}
