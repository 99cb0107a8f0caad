// Figures of the client library beside baselines measured in the same run:
//
// 1. The empty synchronous call (no argument, no data) through libtovrel,
//    the daemon and zantu_node (Native), beside the floor of the daemon
//    benchmark with the library's hand-off (a caller waiting on a semaphore,
//    a response-loop thread posting it), with every process pinned to one
//    CPU and placed freely. Runs alternate between the two roads; medians.
// 2. Deferred calls per second on one thread, batches flushed by a
//    synchronous call every 1000 calls.
// 3. CPU of an idle registered application whose response loop runs.
//
// Usage: tovrel_bench [--quick]. Needs UDP port 9979 free. Prints figures;
// checks nothing.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/server/bare_roads.h"
#include "common/test_module.h"

namespace {

using bench::Median;
using bench::NowNs;
using bench::Percentiles;
using bench::Program;

bool quick = false;

// A value "name=value" of a program's output; empty if absent.
std::string ValueOf(const std::string& out, const std::string& name) {
  std::smatch m;
  if (!std::regex_search(out, m, std::regex("(^|\n)" + name + "=([^\n]*)"))) return "";
  return m[2].str();
}

// A reference node and a daemon serving one GPU on it, and the applications
// run against them. The daemon is killed at the end, so the rings it made
// for the applications are unlinked here.
class LibraryRoad {
 public:
  static std::unique_ptr<LibraryRoad> Start() {
    std::unique_ptr<LibraryRoad> road(new LibraryRoad());
    const std::string bin = bench::BinDir();
    const std::vector<std::string> node{bin + "/zantu_node", "--transport", "native"};
    if (!bench::StartNodeAndDaemon(node, &road->node_, &road->daemon_)) return nullptr;
    return road;
  }

  ~LibraryRoad() {
    daemon_.reset();
    node_.reset();
    for (const std::string& key : keys_) bench::UnlinkRings(key);
  }

  // Starts tovrel_bench_client with `args`; it registers at load.
  std::unique_ptr<Program> Client(const std::vector<std::string>& args) {
    std::vector<std::string> argv = {bench::BinDir() + "/tovrel_bench_client"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto client = std::make_unique<Program>(argv);
    if (client->WaitForOutput("key=", 15000)) {
      // Wait for the whole line.
      client->WaitForOutput("\n", 1000);
      const std::string key = ValueOf(client->Output(), "key");
      if (key.size() == kKeyChars) keys_.push_back(key);
    }
    return client;
  }

  // Runs a client to its end; its output, or empty on failure.
  std::string Run(const std::vector<std::string>& args, int timeout_ms) {
    auto client = Client(args);
    if (!client->WaitForOutput("done=", timeout_ms)) {
      std::fprintf(stderr, "client did not finish: %s\n", client->Output().c_str());
      return "";
    }
    const std::string out = client->Output();
    if (ValueOf(out, "done") != "0") {
      std::fprintf(stderr, "client failed: %s\n", out.c_str());
      return "";
    }
    return out;
  }

  pid_t daemon_pid() const { return daemon_->pid(); }

 private:
  LibraryRoad() = default;

  std::unique_ptr<Program> node_;
  std::unique_ptr<Program> daemon_;
  std::vector<std::string> keys_;
};

Percentiles FloorCalls(int rounds) {
  auto floor = bench::HandOffFloor::Start();
  if (!floor) return Percentiles{};
  std::string record;
  bench::BuildRequest(static_cast<uint32_t>(getpid()), 0, k_testEcho, {}, 0, &record);  // 68 bytes
  return bench::TimeCalls(rounds, [&] { return floor->Call(&record); });
}

Percentiles LibraryCalls(int rounds) {
  Percentiles p;
  auto road = LibraryRoad::Start();
  if (!road) return p;
  const std::string out = road->Run({"sync", std::to_string(rounds)}, 120000);
  p.p50_us = std::atof(ValueOf(out, "p50_us").c_str());
  p.p99_us = std::atof(ValueOf(out, "p99_us").c_str());
  return p;
}

void SyncFigures() {
  const int rounds = quick ? 3000 : 20000;
  const int repeats = quick ? 2 : 5;
  std::printf("\n== Empty synchronous call, %d calls per run, median of %d runs ==\n", rounds, repeats);
  bench::PrintBesideFloor(repeats, [rounds] { return FloorCalls(rounds); }, "libtovrel + daemon + zantu_node",
                          [rounds] { return LibraryCalls(rounds); }, "ratio library/floor", "<= 1.5");
}

void DeferredFigures() {
  const int calls = quick ? 200000 : 1000000;
  const int runs = quick ? 3 : 7;
  std::printf("\n== Deferred calls on one thread, flushed every 1000 calls (%d calls, median of %d runs) ==\n", calls,
              runs);
  auto road = LibraryRoad::Start();
  if (!road) return;
  const std::string out = road->Run({"deferred", std::to_string(calls), std::to_string(runs)}, 300000);
  const std::vector<double> rates = bench::AllValuesOf(out, "deferred_per_s");
  std::string each;
  for (double r : rates) each += (each.empty() ? "" : " ") + std::to_string(static_cast<int>(r / 1000 + 0.5)) + "k";
  std::printf("deferred calls per second  %.0f  (target >= 1000000)   runs: %s\n", Median(rates), each.c_str());
}

void IdleFigures() {
  const int seconds = quick ? 2 : 5;
  auto road = LibraryRoad::Start();
  if (!road) return;
  auto client = road->Client({"idle"});
  if (!client->WaitForOutput("ready", 15000)) {
    std::fprintf(stderr, "idle client did not register: %s\n", client->Output().c_str());
    return;
  }
  usleep(300000);
  const int64_t c0 = bench::ProcessCpuNs(client->pid());
  const int64_t d0 = bench::ProcessCpuNs(road->daemon_pid());
  const int64_t t0 = NowNs();
  sleep(static_cast<unsigned>(seconds));
  const int64_t cpu = bench::ProcessCpuNs(client->pid()) - c0;
  const int64_t daemon_cpu = bench::ProcessCpuNs(road->daemon_pid()) - d0;
  const int64_t wall = NowNs() - t0;
  std::printf("\n== Idle application, registered, response loop running, no calls (%d s) ==\n", seconds);
  std::printf("application CPU  %.3f %% of one core  (target <= 0.5 %%)   daemon beside it %.3f %%\n",
              100.0 * cpu / wall, 100.0 * daemon_cpu / wall);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> only;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) {
      quick = true;
    } else {
      only.push_back(argv[i]);  // "sync", "deferred", "idle": run only these figures
    }
  }
  auto wanted = [&only](const char* figure) {
    return only.empty() || std::find(only.begin(), only.end(), figure) != only.end();
  };
  signal(SIGPIPE, SIG_IGN);
  if (wanted("sync")) SyncFigures();
  if (wanted("deferred")) DeferredFigures();
  if (wanted("idle")) IdleFigures();
  return 0;
}
