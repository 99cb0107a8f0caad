// Figures of the daemon beside baselines measured in the same run:
//
// 1. 100-byte echo round trips through daemon and reference node, beside the
//    floor (the same road built from bare parts), placed freely and with
//    every process pinned to one CPU.
// 2. Bulk: 64 MiB requests one way over Native and over Light, beside raw
//    TCP loopback streaming and raw UDP datagram sending.
// 3. Daemon CPU while 16 registered clients are idle.
//
// Usage: daemon_bench [--quick]. Needs UDP port 9979 free. Prints figures;
// checks nothing.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <thread>
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

// A reference node and a daemon serving one GPU on it.
struct DaemonRoad {
  ~DaemonRoad() {
    std::string key = client ? client->key : "";
    client.reset();
    daemon.reset();
    node.reset();
    // The daemon is killed, so nobody unlinked the rings it made for us.
    if (!key.empty()) bench::UnlinkRings(key);
  }
  std::unique_ptr<Program> node;
  std::unique_ptr<Program> daemon;
  std::unique_ptr<bench::Registration> client;
};

std::unique_ptr<DaemonRoad> StartDaemonRoad(const std::string& transport, bool register_self = true) {
  auto road = std::make_unique<DaemonRoad>();
  const std::string bin = bench::BinDir();
  road->node = std::make_unique<Program>(std::vector<std::string>{bin + "/zantu_node", "--transport", transport});
  if (!road->node->WaitForOutput("zantu_node ready", 5000)) {
    std::fprintf(stderr, "zantu_node did not start: %s\n", road->node->Output().c_str());
    return nullptr;
  }
  std::smatch m;
  std::string out = road->node->Output();
  if (!std::regex_search(out, m, std::regex("recv_port=(\\d+) send_port=(\\d+)"))) return nullptr;
  road->daemon = std::make_unique<Program>(std::vector<std::string>{
      bin + "/zantu_server", "0", "127.0.0.1", transport, m[2].str(), m[1].str(), "1", "0"});
  if (!register_self) {
    usleep(300000);
    return road;
  }
  for (int attempt = 0; attempt < 50 && road->client == nullptr; ++attempt) {
    road->client = bench::Register(static_cast<uint32_t>(getpid()), 200);
  }
  if (road->client == nullptr) {
    std::fprintf(stderr, "daemon did not answer the registration\n");
    return nullptr;
  }
  return road;
}

Percentiles PingPong(RingBuffer& request, RingBuffer& response, int rounds) {
  std::string record;
  bench::BuildRequest(static_cast<uint32_t>(getpid()), 0, k_testEcho, {}, 32, &record);  // 100 bytes
  std::vector<int64_t> samples;
  samples.reserve(rounds);
  for (int i = 0; i < rounds + rounds / 10; ++i) {
    const int64_t t0 = NowNs();
    if (!bench::WriteRecord(request, record.data(), record.size())) break;
    if (!bench::ReadResponses(response, 1, 5000)) break;
    if (i >= rounds / 10) samples.push_back(NowNs() - t0);  // the first tenth warms up
  }
  return bench::Summarize(samples);
}

// Several runs per placement, floor and daemon interleaved; the medians of
// their p50s and p99s are compared. Free placement in particular varies from
// run to run on this machine: a round trip may or may not need a thread to be
// woken on the other CPU.
void EchoFigures() {
  const int rounds = quick ? 3000 : 10000;
  const int runs = quick ? 1 : 5;
  std::printf("\n== 100-byte echo round trip (%d per run, median of %d runs) ==\n", rounds, runs);
  std::printf("%-9s %-26s %9s %9s   %s\n", "placement", "road", "p50 us", "p99 us", "p50 of each run");
  for (bool pinned : {true, false}) {
    bench::Place(pinned);
    const char* where = pinned ? "one CPU" : "free";
    std::vector<double> floor50, floor99, daemon50, daemon99;
    for (int run = 0; run < runs; ++run) {
      Percentiles floor, daemon;
      {
        auto road = bench::FloorRoad::Start();
        if (road) floor = PingPong(road->request(), road->response(), rounds);
      }
      {
        auto road = StartDaemonRoad("native");
        if (road) daemon = PingPong(*road->client->request, *road->client->response, rounds);
      }
      floor50.push_back(floor.p50_us);
      floor99.push_back(floor.p99_us);
      daemon50.push_back(daemon.p50_us);
      daemon99.push_back(daemon.p99_us);
    }
    auto each = [](const std::vector<double>& v) {
      std::string text;
      for (double x : v) text += std::to_string(static_cast<int>(x + 0.5)) + " ";
      return text;
    };
    const double f50 = Median(floor50), f99 = Median(floor99), d50 = Median(daemon50), d99 = Median(daemon99);
    std::printf("%-9s %-26s %9.1f %9.1f   %s\n", where, "floor (bare parts)", f50, f99, each(floor50).c_str());
    std::printf("%-9s %-26s %9.1f %9.1f   %s\n", where, "daemon + zantu_node", d50, d99, each(daemon50).c_str());
    std::printf("%-9s %-26s %9.2f %9.2f   (target <= 1.5)\n", where, "ratio daemon/floor", d50 / f50, d99 / f99);
  }
  bench::Place(false);
}

// Bytes per second of `records` requests of 64 MiB, each answered by a small
// response. The client keeps at most kWindow requests unanswered, as a caller
// streaming data with flow control would; the ring's pages are in use after
// the warm-up, so the steady state is measured.
double Bulk(const std::string& transport, int records) {
  constexpr int kWindow = 3;
  constexpr int kWarmUp = 2 * kWindow;
  auto road = StartDaemonRoad(transport);
  if (!road) return 0;
  const size_t data = size_t{64} << 20;
  std::string record;
  bench::BuildRequest(static_cast<uint32_t>(getpid()), 0, k_testFail, {0}, data, &record);
  std::mutex mutex;
  std::condition_variable changed;
  int answered = 0;  // guarded by mutex
  bool read_ok = true;
  std::thread reader([&] {
    for (int i = 0; i < kWarmUp + records; ++i) {
      bool ok = bench::ReadResponses(*road->client->response, 1, 120000);
      std::lock_guard<std::mutex> lock(mutex);
      read_ok = ok;
      ++answered;
      changed.notify_all();
      if (!ok) break;
    }
  });
  int64_t t0 = 0;
  for (int i = 0; i < kWarmUp + records; ++i) {
    {
      std::unique_lock<std::mutex> lock(mutex);
      if (i == kWarmUp) {
        changed.wait(lock, [&] { return answered >= kWarmUp || !read_ok; });
        t0 = NowNs();
      }
      changed.wait(lock, [&] { return i - answered < kWindow || !read_ok; });
      if (!read_ok) break;
    }
    if (!bench::WriteRecord(*road->client->request, record.data(), record.size())) break;
  }
  reader.join();
  const int64_t elapsed = NowNs() - t0;
  if (!read_ok || t0 == 0) return 0;
  return static_cast<double>(records) * static_cast<double>(record.size()) * 1e9 / elapsed;
}


// Each road runs several times, interleaved with its baseline, and the
// medians are compared: this machine is shared and single runs vary widely.
void BulkFigures() {
  const int records = quick ? 4 : 16;
  const int repeats = quick ? 1 : 3;
  const uint64_t bytes = uint64_t{64} << 20 << (quick ? 2 : 4);
  std::printf("\n== Bulk, %d requests of 64 MiB one way, at most 3 unanswered (median of %d) ==\n", records,
              repeats);
  std::vector<double> tcp, udp, native, light, lost;
  for (int r = 0; r < repeats; ++r) {
    double l = 0;
    tcp.push_back(bench::RawTcpStream(bytes));
    native.push_back(Bulk("native", records));
    udp.push_back(bench::RawUdpStream(bytes, &l));
    lost.push_back(l);
    light.push_back(Bulk("light", records));
  }
  const double t = Median(tcp), u = Median(udp), n = Median(native), g = Median(light);
  std::printf("%-34s %8.2f GB/s\n", "raw TCP loopback stream", t / 1e9);
  std::printf("%-34s %8.2f GB/s  (%.1f %% lost)\n", "raw UDP 1472-byte datagrams", u / 1e9, Median(lost) * 100);
  std::printf("%-34s %8.2f GB/s  = %5.1f %% of raw TCP  (target >= 70 %%)\n", "daemon over Native", n / 1e9,
              100 * n / t);
  std::printf("%-34s %8.2f GB/s  = %5.1f %% of raw UDP  (target >= 50 %%)\n", "daemon over Light", g / 1e9,
              100 * g / u);
}

void IdleFigures() {
  const int seconds = quick ? 2 : 5;
  auto road = StartDaemonRoad("native", false);
  if (!road) return;
  std::vector<pid_t> clients;
  for (int i = 0; i < 16; ++i) {
    int ready[2];
    if (pipe(ready) != 0) break;
    pid_t pid = fork();
    if (pid == 0) {
      auto reg = bench::Register(static_cast<uint32_t>(getpid()), 3000);
      char c = reg ? 1 : 0;
      if (write(ready[1], &c, 1) != 1) _exit(1);
      pause();
      _exit(0);
    }
    char c = 0;
    if (read(ready[0], &c, 1) != 1 || c != 1) std::fprintf(stderr, "client %d did not register\n", i);
    close(ready[0]);
    close(ready[1]);
    clients.push_back(pid);
  }
  usleep(300000);
  const int64_t c0 = bench::ProcessCpuNs(road->daemon->pid());
  const int64_t t0 = NowNs();
  sleep(static_cast<unsigned>(seconds));
  const int64_t cpu = bench::ProcessCpuNs(road->daemon->pid()) - c0;
  const int64_t wall = NowNs() - t0;
  std::printf("\n== Idle daemon with %zu registered clients (%d s) ==\n", clients.size(), seconds);
  std::printf("daemon CPU  %.3f %% of one core  (target <= 1 %%)\n", 100.0 * cpu / wall);
  for (pid_t pid : clients) {
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
  usleep(1500000);  // the daemon notices the clients are gone and releases their rings
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
  }
  signal(SIGPIPE, SIG_IGN);
  if (argc > 1 && std::strcmp(argv[argc - 1], "--echo-only") == 0) {
    EchoFigures();
    return 0;
  }
  EchoFigures();
  BulkFigures();
  IdleFigures();
  return 0;
}
