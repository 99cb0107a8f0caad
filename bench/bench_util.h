// Pieces shared by the benchmarks: clocks, percentiles, CPU placement, child
// programs, and a bare client of the daemon (registration and rings).
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/api_numbers.h"
#include "common/records.h"
#include "common/response_batch.h"
#include "common/request_batch.h"
#include "common/registration.h"
#include "common/registration_format.h"
#include "common/trellan.h"

namespace bench {

inline int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Percentiles {
  double p50_us = 0;
  double p99_us = 0;
};

inline Percentiles Summarize(std::vector<int64_t> samples) {
  Percentiles p;
  if (samples.empty()) return p;
  std::sort(samples.begin(), samples.end());
  auto at = [&](double q) { return samples[static_cast<size_t>(q * (samples.size() - 1))] / 1000.0; };
  p.p50_us = at(0.50);
  p.p99_us = at(0.99);
  return p;
}

// Times `rounds` calls of `call` after a tenth as many that warm up and are
// not counted. A call that returns false ends the run: *failed_at names it
// and no figures come back.
template <typename Call>
Percentiles TimeCalls(int rounds, Call call, int* failed_at = nullptr) {
  std::vector<int64_t> samples;
  samples.reserve(rounds);
  for (int i = 0; i < rounds + rounds / 10; ++i) {
    const int64_t t0 = NowNs();
    if (!call()) {
      if (failed_at != nullptr) *failed_at = i;
      std::fprintf(stderr, "call %d failed\n", i);
      return Percentiles{};
    }
    if (i >= rounds / 10) samples.push_back(NowNs() - t0);
  }
  return Summarize(std::move(samples));
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// Whether a socket is bound to 127.0.0.1:9979: the daemon binds it only
// once its nodes are connected, so this says it is ready for registrations.
inline bool RegistrationPortBound() {
  char local[32];
  std::snprintf(local, sizeof(local), " 0100007F:%04X ", static_cast<unsigned>(kRegistrationPort));
  std::ifstream in("/proc/net/udp");
  std::stringstream table;
  table << in.rdbuf();
  return table.str().find(local) != std::string::npos;
}

// Restricts the calling thread, and every process or thread it starts
// afterwards, to CPU 0 (pinned) or to every CPU (free).
inline void Place(bool pinned) {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (pinned) {
    CPU_SET(0, &set);
  } else {
    for (int c = 0; c < CPU_SETSIZE; ++c) CPU_SET(c, &set);
  }
  sched_setaffinity(0, sizeof(set), &set);
}

// The directory holding the built programs: the benchmark's own.
inline std::string BinDir() {
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

inline void RemoveBellOf(pid_t pid);

// A program started with its output in a temporary file; ended by its pid.
class Program {
 public:
  explicit Program(const std::vector<std::string>& argv, bool quiet_log = true) {
    out_path_ = "/tmp/zantu_bench_" + std::to_string(getpid()) + "_" + GenerateRandomString(8) + ".out";
    pid_ = fork();
    if (pid_ == 0) {
      int fd = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      if (quiet_log) setenv("ZANTU_DISABLE_LOG", "1", 1);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      RemoveBellOf(pid_);
    }
    unlink(out_path_.c_str());
  }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;

  pid_t pid() const { return pid_; }
  std::string Output() const {
    std::ifstream in(out_path_);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  bool WaitForOutput(const std::string& needle, int timeout_ms) const {
    for (int64_t end = NowNs() + int64_t{timeout_ms} * 1000000; NowNs() < end;) {
      if (Output().find(needle) != std::string::npos) return true;
      usleep(2000);
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  std::string out_path_;
};

// Removes the process bell a killed process left in /dev/shm: a process
// ended by SIGKILL unlinks nothing.
inline void RemoveBellOf(pid_t pid) {
  const std::string prefix = "trellan.bell." + std::to_string(pid) + ".";
  DIR* d = opendir("/dev/shm");
  if (d == nullptr) return;
  while (dirent* e = readdir(d)) {
    if (std::strncmp(e->d_name, prefix.c_str(), prefix.size()) == 0) unlink(("/dev/shm/" + std::string(e->d_name)).c_str());
  }
  closedir(d);
}

// CPU time (user + system) of every thread of a process, in nanoseconds.
inline int64_t ProcessCpuNs(pid_t pid) {
  int64_t total = 0;
  std::string dir = "/proc/" + std::to_string(pid) + "/task";
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream in(dir + "/" + e->d_name + "/schedstat");
    int64_t on_cpu = 0;
    if (in >> on_cpu) total += on_cpu;
  }
  closedir(d);
  return total;
}

// A process's own view of its registration: the reply and both rings.
struct Registration {
  std::string key;
  std::unique_ptr<RingBuffer> request;
  std::unique_ptr<RingBuffer> response;
};

// Registers `pid` with the daemon on 127.0.0.1:9979 and attaches the rings.
// Null on failure (no answer within `timeout_ms`).
inline std::unique_ptr<Registration> Register(uint32_t pid, int timeout_ms = 5000) {
  int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) return nullptr;
  timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kRegistrationPort);
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  char reply[kMaxReplySize];
  ssize_t n = -1;
  if (sendto(fd, &pid, sizeof(pid), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == sizeof(pid)) {
    n = recv(fd, reply, sizeof(reply), 0);
  }
  close(fd);
  RegistrationReply decoded;
  std::string why;
  if (n < 0 || !DecodeReply(reinterpret_cast<const uint8_t*>(reply), static_cast<size_t>(n), &decoded, &why)) {
    return nullptr;
  }
  auto reg = std::make_unique<Registration>();
  reg->key = decoded.key;
  std::string request_name = std::string(kRequestRingPrefix) + reg->key;
  std::string response_name = std::string(kResponseRingPrefix) + reg->key;
  try {
    reg->request = std::make_unique<RingBuffer>(request_name, kRingBufferSize, false);
    reg->response = std::make_unique<RingBuffer>(response_name, kRingBufferSize, false);
  } catch (...) {
    return nullptr;
  }
  return reg;
}

// Unlinks both rings of a registration whose daemon was killed.
inline void UnlinkRings(const std::string& key) {
  shm_unlink(("/" + std::string(kRequestRingPrefix) + key).c_str());
  shm_unlink(("/" + std::string(kResponseRingPrefix) + key).c_str());
}

// Builds a request record of one entry in `*out`: test-module function
// `api`, arguments `args`, then `data_bytes` bytes of data.
inline void BuildRequest(uint32_t pid, uint32_t node, uint32_t api, const std::vector<uint64_t>& args,
                         size_t data_bytes, std::string* out) {
  const size_t payload = args.size() * 8 + data_bytes;
  out->assign(sizeof(RequestBatchHeader) + RequestEntryBytes(payload), '\0');
  RequestBatchBuilder record(out->data());
  record.AddEntry(
      RequestHeader{1, 0, pid, kModuleTest, kRequestMagic, api, static_cast<uint32_t>(args.size()), payload});
  record.AppendArguments(args.data(), args.size());
  record.AppendRoom(data_bytes);  // the data stays zero
  record.Finish(0, node, 0, pid);
}

inline bool WriteRecord(RingBuffer& ring, const char* bytes, size_t size) {
  for (;;) {
    RingBufferStatus st = ring.Write(size, [&](void* dst) {
      std::memcpy(dst, bytes, size);
      return kRingSuccess;
    });
    if (st == kRingSuccess) return true;
    if (st != kRingFull) return false;
    std::this_thread::yield();
  }
}

// Reads spans until `records` response records have arrived; false on a
// ring failure or after `timeout_ms`.
inline bool ReadResponses(RingBuffer& ring, int64_t records, int timeout_ms = 60000) {
  const int64_t end = NowNs() + int64_t{timeout_ms} * 1000000;
  while (records > 0) {
    if (NowNs() > end) return false;
    RingBufferStatus st = ring.Read([&](void* data, size_t len) {
      ResponseRecordWalker walker(data, len);
      ResponseRecordWalker::Item record;
      while (walker.Next(&record) == ResponseStep::kItem) --records;
      return kRingSuccess;
    });
    if (st != kRingSuccess && st != kRingEmpty) return false;
  }
  return true;
}

// Every "name=value" line of a program's output, as numbers, in order.
inline std::vector<double> AllValuesOf(const std::string& out, const std::string& name) {
  std::vector<double> values;
  const std::regex line("(^|\n)" + name + "=([^\n]*)");
  for (auto it = std::sregex_iterator(out.begin(), out.end(), line); it != std::sregex_iterator(); ++it) {
    values.push_back(std::atof((*it)[2].str().c_str()));
  }
  return values;
}

// Starts the node `node_argv` (a zantu_node on Native), then a daemon serving
// GPU 0 of it, logging as a daemon does by default when `daemon_logs`. False,
// with the reason on stderr, when either does not come up.
inline bool StartNodeAndDaemon(const std::vector<std::string>& node_argv, std::unique_ptr<Program>* node,
                               std::unique_ptr<Program>* daemon, bool daemon_logs = false) {
  *node = std::make_unique<Program>(node_argv);
  if (!(*node)->WaitForOutput("zantu_node ready", 5000)) {
    std::fprintf(stderr, "zantu_node did not start: %s\n", (*node)->Output().c_str());
    return false;
  }
  std::smatch m;
  const std::string out = (*node)->Output();
  if (!std::regex_search(out, m, std::regex("recv_port=(\\d+) send_port=(\\d+)"))) return false;
  *daemon = std::make_unique<Program>(std::vector<std::string>{
      BinDir() + "/zantu_server", "0", "127.0.0.1", "native", m[2].str(), m[1].str(), "1", "0"}, !daemon_logs);
  for (const int64_t end = NowNs() + 5000000000; !RegistrationPortBound(); usleep(2000)) {
    if (NowNs() > end) {
      std::fprintf(stderr, "the daemon does not serve registrations: %s\n", (*daemon)->Output().c_str());
      return false;
    }
  }
  return true;
}

// A road's synchronous-call figures beside its floor's, pinned to one CPU
// and then free: each repeat measures the floor, then the road, so that a
// drift of the machine moves both alike. Prints the medians of the runs,
// each run's p50, and the ratio road/floor with `target`.
template <typename FloorCalls, typename RoadCalls>
void PrintBesideFloor(int repeats, FloorCalls floor_calls, const char* road_name, RoadCalls road_calls,
                      const char* ratio_name, const char* target) {
  auto runs = [](const std::vector<double>& v) {
    std::string text;
    for (double x : v) text += (text.empty() ? "" : " ") + std::to_string(static_cast<int>(x + 0.5));
    return text;
  };
  std::printf("%-9s %-38s %9s %9s   %s\n", "placement", "road", "p50 us", "p99 us", "p50 of each run");
  for (bool pinned : {true, false}) {
    Place(pinned);
    const char* where = pinned ? "one CPU" : "free";
    std::vector<double> floor50, floor99, road50, road99;
    for (int r = 0; r < repeats; ++r) {
      const Percentiles f = floor_calls();
      const Percentiles c = road_calls();
      floor50.push_back(f.p50_us);
      floor99.push_back(f.p99_us);
      road50.push_back(c.p50_us);
      road99.push_back(c.p99_us);
    }
    const double f50 = Median(floor50), f99 = Median(floor99), c50 = Median(road50), c99 = Median(road99);
    std::printf("%-9s %-38s %9.1f %9.1f   %s\n", where, "floor + semaphore hand-off", f50, f99, runs(floor50).c_str());
    std::printf("%-9s %-38s %9.1f %9.1f   %s\n", where, road_name, c50, c99, runs(road50).c_str());
    std::printf("%-9s %-38s %9.2f %9.2f   (target %s)\n", where, ratio_name, c50 / f50, c99 / f99, target);
    std::fflush(stdout);
  }
  Place(false);
}

}  // namespace bench
