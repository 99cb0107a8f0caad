// A thousand clients on one daemon: 1024 processes register (each loads
// libtovrel, which registers it, and then stays idle), and beside figures of
// the same run with no other client:
//
// 1. registration time per client, p50 and p99 (loading libtovrel, whose
//    initialiser registers and attaches both rings; its dependencies are
//    loaded beforehand);
// 2. the daemon's CPU while every client is idle, in % of one core;
// 3. a synchronous 64-byte echo's latency (scale_probe) with the 1024
//    registered, beside the figure with none, before and after;
// 4. the shared memory that each client's two rings hold while it idles:
//    before any burst, and 1.5 s after a sample of the clients each sent a
//    burst of two 4 MiB echoes through its rings (beside the figure at the
//    end of each burst, and the ring's hot bytes, which it keeps).
//
// Usage: scale_bench [clients] (default 1024). ZANTU_SCALE_BARE=1 registers
// bare clients instead (the exchange and the rings, no library): the daemon's
// own share of the figures. Needs UDP port 9979 free. The
// soft descriptor limit is raised to the hard one first (the daemon inherits
// it) unless ZANTU_SCALE_KEEP_FD_LIMIT=1. Prints figures; checks nothing.
#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "bench/bench_util.h"

namespace {

// ZANTU_SCALE_BARE=1: clients register with the bare exchange and attach
// their rings, but run no library and no response thread: what the daemon
// costs alone.
bool bare_clients = false;

using bench::Median;
using bench::NowNs;
using bench::Program;

struct HolderReport {
  int64_t register_ns;
  int32_t registered;  // 1 when the library says it is registered
  int32_t pid;
  char key[kKeyChars + 1];  // of its rings, from its own mappings; empty if none
};

// A holder's answer to SIGUSR1: it sent its burst.
struct BurstReport {
  int32_t pid;
  int32_t ok;  // 1 when every echo came back whole
};

constexpr uint64_t kBurstEchoBytes = uint64_t{4} << 20;
constexpr int kBurstEchoes = 2;

// The key of the rings this process has mapped (its request ring's name
// ends with it), as /proc/self/maps names them.
std::string OwnRingKey() {
  std::ifstream maps("/proc/self/maps");
  const std::string prefix = kRequestRingPrefix;
  for (std::string line; std::getline(maps, line);) {
    const size_t at = line.find(prefix);
    if (at != std::string::npos) return line.substr(at + prefix.size(), kKeyChars);
  }
  return "";
}

// Bytes allocated to both rings of the client with `key`.
int64_t RingBytesOf(const std::string& key) {
  int64_t total = 0;
  for (const char* prefix : {kRequestRingPrefix, kResponseRingPrefix}) {
    struct stat st;
    if (stat(("/dev/shm/" + std::string(prefix) + key).c_str(), &st) == 0) total += st.st_blocks * 512;
  }
  return total;
}

// The burst of a bare client: echoes written and read on its own rings.
bool BareBurst(bench::Registration* reg, uint32_t pid) {
  std::string record;
  bench::BuildRequest(pid, 0, k_testEcho, {}, kBurstEchoBytes, &record);
  for (int i = 0; i < kBurstEchoes; ++i) {
    if (!bench::WriteRecord(*reg->request, record.data(), record.size()) || !bench::ReadResponses(*reg->response, 1)) {
      return false;
    }
  }
  return true;
}

// The burst of a client on the library: the echoes of libscale_burst.
bool LibraryBurst(const std::string& bin) {
  void* burst = dlopen((bin + "/libscale_burst.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  auto* send = burst == nullptr ? nullptr : reinterpret_cast<int (*)(uint64_t, int)>(dlsym(burst, "ScaleBurst"));
  return send != nullptr && send(kBurstEchoBytes, kBurstEchoes) == 0;
}

volatile sig_atomic_t burst_asked = 0;
void AskBurst(int) { burst_asked = 1; }

// Idles until `hold_read` reaches end of file; sends its burst whenever
// SIGUSR1 comes (blocked except while waiting), and reports it on `report`.
void Idle(int hold_read, int report, const std::function<bool()>& send_burst) {
  sigset_t waiting;
  pthread_sigmask(SIG_SETMASK, nullptr, &waiting);
  sigdelset(&waiting, SIGUSR1);
  pollfd hold{hold_read, POLLIN, 0};
  for (;;) {
    const int ready = ppoll(&hold, 1, nullptr, &waiting);
    if (ready < 0 && burst_asked) {
      burst_asked = 0;
      const BurstReport out{static_cast<int32_t>(getpid()), send_burst() ? 1 : 0};
      if (write(report, &out, sizeof(out)) != sizeof(out)) return;
      continue;
    }
    char byte;
    if (ready > 0 && read(hold_read, &byte, 1) <= 0) return;
  }
}

// Forks one client that loads libtovrel (registering), reports on `report`
// and stays until `hold` reaches end of file, sending a burst through its
// rings whenever SIGUSR1 asks. The caller is single-threaded.
pid_t StartHolder(const std::string& bin, int report, int hold_read, int hold_write) {
  std::fflush(stdout);  // nothing buffered may be written twice
  const pid_t pid = fork();
  if (pid != 0) return pid;
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  setenv("ZANTU_DISABLE_LOG", "1", 1);
  close(hold_write);
  // Blocked before the library starts its thread: only Idle takes it.
  sigset_t burst_signal;
  sigemptyset(&burst_signal);
  sigaddset(&burst_signal, SIGUSR1);
  pthread_sigmask(SIG_BLOCK, &burst_signal, nullptr);
  signal(SIGUSR1, AskBurst);
  HolderReport out{-1, 0, static_cast<int32_t>(getpid()), {}};
  std::unique_ptr<bench::Registration> bare;
  if (bare_clients) {
    // The exchange and both rings, without the library's response thread.
    const int64_t start = NowNs();
    bare = bench::Register(static_cast<uint32_t>(getpid()));
    out.register_ns = NowNs() - start;
    out.registered = bare != nullptr ? 1 : 0;
  } else if (dlopen((bin + "/libtrellan.so").c_str(), RTLD_NOW | RTLD_GLOBAL) != nullptr) {
    // Dependencies first, so the timed load is libtovrel and its registration.
    const int64_t start = NowNs();
    void* tovrel = dlopen((bin + "/libtovrel.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    out.register_ns = NowNs() - start;
    // CudaTovrel::initialized_, set once registration is complete.
    auto* initialized =
        tovrel == nullptr ? nullptr : static_cast<std::atomic<bool>*>(dlsym(tovrel, "_ZN10CudaTovrel12initialized_E"));
    out.registered = initialized != nullptr && initialized->load() ? 1 : 0;
  }
  OwnRingKey().copy(out.key, kKeyChars);
  if (write(report, &out, sizeof(out)) != sizeof(out)) _exit(1);
  const uint32_t self = static_cast<uint32_t>(getpid());
  Idle(hold_read, report, [&] { return bare != nullptr ? BareBurst(bare.get(), self) : LibraryBurst(bin); });
  _exit(0);
}

// Median time to load libtovrel while no daemon listens, in microseconds.
double LoadWithoutDaemonUs(const std::string& bin, int runs) {
  int report[2], hold[2];
  if (pipe(report) != 0 || pipe(hold) != 0) return 0;
  std::vector<double> times;
  std::vector<pid_t> children;
  for (int i = 0; i < runs; ++i) {
    const pid_t pid = StartHolder(bin, report[1], hold[0], hold[1]);
    if (pid < 0) break;
    children.push_back(pid);
    HolderReport in{};
    if (read(report[0], &in, sizeof(in)) != sizeof(in)) break;
    times.push_back(static_cast<double>(in.register_ns) / 1000.0);
  }
  close(hold[1]);
  for (pid_t pid : children) waitpid(pid, nullptr, 0);
  for (int fd : {report[0], report[1], hold[0]}) close(fd);
  return Median(times);
}

// Median p50 and p99 of `runs` probe runs, in microseconds; 0 when a probe
// fails.
std::pair<double, double> ProbeLatency(const std::string& bin, int runs, int calls) {
  std::vector<double> p50, p99;
  for (int run = 0; run < runs; ++run) {
    Program probe({bin + "/scale_probe", std::to_string(calls)});
    int status = 0;
    waitpid(probe.pid(), &status, 0);
    std::smatch m;
    const std::string out = probe.Output();
    if (!std::regex_search(out, m, std::regex("p50_us=([0-9.]+) p99_us=([0-9.]+)"))) {
      std::fprintf(stderr, "probe failed: %s\n", out.c_str());
      return {0, 0};
    }
    p50.push_back(std::stod(m[1].str()));
    p99.push_back(std::stod(m[2].str()));
  }
  return {Median(p50), Median(p99)};
}

// CPU time of each thread of a process, in nanoseconds, by thread id (in
// the order the threads were made, for the daemon: main, registration,
// liveness, request worker, response workers).
std::map<int, int64_t> ThreadCpuNs(pid_t pid) {
  std::map<int, int64_t> threads;
  const std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return threads;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/schedstat");
    int64_t on_cpu = 0;
    if (in >> on_cpu) threads[std::atoi(e->d_name)] = on_cpu;
  }
  closedir(d);
  return threads;
}

// The daemon's CPU over `seconds`, in % of one core; `*by_thread` gets the
// share of each thread.
double IdleCpuPercent(pid_t daemon, double seconds, std::string* by_thread) {
  const auto before = ThreadCpuNs(daemon);
  const int64_t t0 = NowNs();
  usleep(static_cast<useconds_t>(seconds * 1e6));
  const auto after = ThreadCpuNs(daemon);
  const double wall = static_cast<double>(NowNs() - t0);
  double total = 0;
  by_thread->clear();
  for (const auto& [tid, ns] : after) {
    const auto was = before.find(tid);
    const double share = 100.0 * static_cast<double>(ns - (was == before.end() ? 0 : was->second)) / wall;
    total += share;
    char text[32];
    std::snprintf(text, sizeof(text), "%s%.2f", by_thread->empty() ? "" : " ", share);
    *by_thread += text;
  }
  return total;
}

// Raises the soft descriptor limit to the hard one (the daemon inherits it)
// unless ZANTU_SCALE_KEEP_FD_LIMIT=1, and prints the title with the limits.
void RaiseFileLimit(int clients) {
  const char* keep = std::getenv("ZANTU_SCALE_KEEP_FD_LIMIT");
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  const unsigned long long soft_before = files.rlim_cur;
  if (keep == nullptr || std::string(keep) != "1") {
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
  }
  getrlimit(RLIMIT_NOFILE, &files);
  std::printf("== %d registered %sclients on one daemon (descriptor limit %llu, was %llu, hard %llu) ==\n", clients,
              bare_clients ? "bare " : "", static_cast<unsigned long long>(files.rlim_cur), soft_before,
              static_cast<unsigned long long>(files.rlim_max));
}

// The holders, once registered: each stays until `hold_write` is closed.
struct Crowd {
  std::vector<pid_t> holders;
  std::vector<int64_t> register_ns;  // of those that registered
  std::vector<std::pair<pid_t, std::string>> keys;  // of those that registered, by pid
  int hold_write = -1;
  int report_read = -1;  // bursts are reported here
  double all_s = 0;  // wall time to start them all, one after the other
};

// Starts `clients` holders one after the other, each registering before the
// next starts.
bool StartCrowd(const std::string& bin, int clients, Crowd* crowd) {
  int report[2], hold[2];
  if (pipe(report) != 0 || pipe(hold) != 0) return false;
  crowd->hold_write = hold[1];
  const int64_t start = NowNs();
  for (int i = 0; i < clients; ++i) {
    const pid_t pid = StartHolder(bin, report[1], hold[0], hold[1]);
    if (pid < 0) break;
    crowd->holders.push_back(pid);
    HolderReport in{};
    if (read(report[0], &in, sizeof(in)) != sizeof(in)) break;
    if (in.registered != 1) continue;
    crowd->register_ns.push_back(in.register_ns);
    const std::string key(in.key, strnlen(in.key, sizeof(in.key)));
    if (key.size() == kKeyChars) crowd->keys.emplace_back(in.pid, key);
  }
  crowd->report_read = report[0];
  crowd->all_s = static_cast<double>(NowNs() - start) / 1e9;
  return true;
}

// Shared memory held by the rings of idle clients, in KiB per client: all of
// them before a burst; a sample of them at the end of its burst and 1.5 s
// later, and the others then.
struct RingMemory {
  double idle_before = 0;
  int sampled = 0, burst_failures = 0;
  double sampled_at_end = 0, sampled_later = 0, others_later = 0;
};

double MeanKiB(const std::vector<std::string>& keys) {
  if (keys.empty()) return 0;
  double total = 0;
  for (const std::string& key : keys) total += static_cast<double>(RingBytesOf(key));
  return total / 1024.0 / static_cast<double>(keys.size());
}

// Every `clients / samples`-th client sends its burst, all at once.
RingMemory MeasureRingMemory(const Crowd& crowd, size_t samples) {
  RingMemory m;
  std::vector<std::string> all, sampled, others;
  std::map<pid_t, std::string> asked;
  const size_t every = std::max<size_t>(1, crowd.keys.size() / std::max<size_t>(1, samples));
  for (size_t i = 0; i < crowd.keys.size(); ++i) {
    all.push_back(crowd.keys[i].second);
    if (i % every == 0 && asked.size() < samples) {
      asked.emplace(crowd.keys[i].first, crowd.keys[i].second);
    } else {
      others.push_back(crowd.keys[i].second);
    }
  }
  m.idle_before = MeanKiB(all);
  for (const auto& [pid, key] : asked) kill(pid, SIGUSR1);
  // Each client's rings as its burst ends (the last of its answers read).
  double at_end = 0;
  for (size_t i = 0; i < asked.size(); ++i) {
    BurstReport in{};
    if (read(crowd.report_read, &in, sizeof(in)) != sizeof(in)) break;
    const auto it = asked.find(in.pid);
    if (it == asked.end()) continue;
    m.burst_failures += in.ok == 1 ? 0 : 1;
    at_end += static_cast<double>(RingBytesOf(it->second)) / 1024.0;
    sampled.push_back(it->second);
  }
  m.sampled = static_cast<int>(sampled.size());
  m.sampled_at_end = sampled.empty() ? 0 : at_end / static_cast<double>(sampled.size());
  usleep(1500000);
  m.sampled_later = MeanKiB(sampled);
  m.others_later = MeanKiB(others);
  return m;
}

void PrintRingMemory(const RingMemory& m, int clients) {
  const double hot_kib = 2.0 * (1024 + 4);  // both rings' hot bytes and header pages
  std::printf("ring memory idle     %.0f KiB per client before any burst (both rings, %d clients)\n", m.idle_before,
              clients);
  std::printf("after a burst        %.0f KiB per client 1.5 s after %d of them sent %d x %llu MiB echoes; %.0f KiB "
              "at the end of the burst; the others %.0f KiB   (target <= %.0f KiB, the hot bytes)\n",
              m.sampled_later, m.sampled, kBurstEchoes, static_cast<unsigned long long>(kBurstEchoBytes >> 20),
              m.sampled_at_end, m.others_later, hot_kib);
  if (m.burst_failures > 0) std::printf("burst failures       %d\n", m.burst_failures);
}

// Ends every holder and removes the bells the daemon could not.
void EndCrowd(Crowd* crowd) {
  close(crowd->hold_write);
  for (pid_t pid : crowd->holders) waitpid(pid, nullptr, 0);
  for (pid_t pid : crowd->holders) bench::RemoveBellOf(pid);
}

// What the daemon does alone and with the crowd: idle CPU (total and by
// thread) and the probe's p50/p99 latency.
struct Figures {
  double idle_alone = 0, idle_crowded = 0;
  std::string threads_alone, threads_crowded;
  std::pair<double, double> before, crowded, after;
};

void PrintFigures(const Crowd& crowd, int clients, double load_alone_us, const Figures& f,
                  const std::string& daemon_out) {
  const int registered = static_cast<int>(crowd.register_ns.size());
  const bench::Percentiles reg = bench::Summarize(crowd.register_ns);
  size_t errors = 0;
  for (size_t at = daemon_out.find("Error"); at != std::string::npos; at = daemon_out.find("Error", at + 1)) ++errors;
  std::printf("registered           %d of %d (one after the other, %.1f s in all); daemon Error lines: %zu\n",
              registered, clients, crowd.all_s, errors);
  std::printf("registration         p50 %.0f us, p99 %.0f us per client   (target p50 <= 1000 us); of which "
              "loading the library without a daemon takes %.0f us\n",
              reg.p50_us, reg.p99_us, load_alone_us);
  std::printf("daemon idle CPU      %.2f %% of a core with %d idle clients, %.2f %% with none   (target <= 1 %%)\n",
              f.idle_crowded, registered, f.idle_alone);
  std::printf("  by daemon thread   %s %% with the clients; %s %% without (in the order they were made)\n",
              f.threads_crowded.c_str(), f.threads_alone.c_str());
  std::printf("sync 64 B echo       p50 %.1f us (p99 %.1f) with %d registered; alone %.1f us before (p99 %.1f), "
              "%.1f us after (p99 %.1f)\n",
              f.crowded.first, f.crowded.second, registered, f.before.first, f.before.second, f.after.first,
              f.after.second);
  const double alone = (f.before.first + f.after.first) / 2;
  std::printf("latency ratio        %.2f of the single-client figure   (target <= 1.10)\n",
              alone > 0 ? f.crowded.first / alone : 0.0);
  if (errors > 0) {
    const size_t first = daemon_out.find("Error");
    std::printf("first daemon Error:  %s\n", daemon_out.substr(first, daemon_out.find('\n', first) - first).c_str());
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int clients = argc > 1 ? std::atoi(argv[1]) : 1024;
  const char* bare = std::getenv("ZANTU_SCALE_BARE");
  bare_clients = bare != nullptr && std::string(bare) == "1";
  RaiseFileLimit(clients);

  const std::string bin = bench::BinDir();
  // What loading libtovrel costs without a registration: nobody listens on
  // the port yet, so the library learns that at once and gives up.
  const double load_alone_us = bare_clients ? 0 : LoadWithoutDaemonUs(bin, 21);
  // Logging on, as a daemon runs by default; Error lines land in its output.
  std::unique_ptr<Program> node, daemon;
  if (!bench::StartNodeAndDaemon({bin + "/zantu_node", "--transport", "native"}, &node, &daemon, true)) return 1;

  const int probe_runs = 3, probe_calls = 3000;
  Figures f;
  f.before = ProbeLatency(bin, probe_runs, probe_calls);
  usleep(1500000);  // the probes are released
  f.idle_alone = IdleCpuPercent(daemon->pid(), 3.0, &f.threads_alone);

  Crowd crowd;
  if (!StartCrowd(bin, clients, &crowd)) return 1;
  usleep(1000000);
  f.idle_crowded = IdleCpuPercent(daemon->pid(), 5.0, &f.threads_crowded);
  f.crowded = ProbeLatency(bin, probe_runs, probe_calls);
  const RingMemory memory = MeasureRingMemory(crowd, 32);
  EndCrowd(&crowd);
  usleep(2000000);
  f.after = ProbeLatency(bin, probe_runs, probe_calls);

  PrintFigures(crowd, clients, load_alone_us, f, daemon->Output());
  PrintRingMemory(memory, static_cast<int>(crowd.keys.size()));
  return 0;
}
