// zantu_node_bench: the node alone, driven over its Native link as the daemon
// would drive it, beside the floors of the same run.
//
//   1. memcpy between two warm 64 MiB buffers (the host's floor), and the
//      emulated backend's CopyToDevice from a request body;
//   2. whole 64 MiB cudaMemcpy calls through the node, each way, beside raw
//      TCP loopback streaming of the same bytes;
//   3. a new client's first call (its worker taken from the pool) and its
//      second, and the node's memory per idle client: the proportional
//      resident memory of the node and all its processes, with 256 idle
//      clients beside none, after one call each and after a 4 MiB burst each;
//   4. empty kernel launches on the emulated backend.
//
//   zantu_node_bench [--node PATH]   (default: the zantu_node beside it)
//
// Prints GB/s (10^9 bytes per second), medians of the rounds.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <dirent.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/api_numbers.h"
#include "common/records.h"
#include "common/request_batch.h"
#include "common/response_batch.h"
#include "common/runtime_calls.h"
#include "node/backends/emulated_backend.h"
#include "node/backends/kernel_libraries.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint64_t kSize = uint64_t{64} << 20;
constexpr int kRounds = 7;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

template <typename F>
double Rate(F&& f) {
  std::vector<double> rates;
  for (int i = 0; i < kRounds; ++i) {
    const auto start = Clock::now();
    f();
    rates.push_back(kSize / std::chrono::duration<double>(Clock::now() - start).count() / 1e9);
  }
  return Median(rates);
}

int Connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

bool SendAll(int fd, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    const ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

bool RecvAll(int fd, void* data, size_t n) {
  char* p = static_cast<char*>(data);
  while (n > 0) {
    const ssize_t k = recv(fd, p, n, 0);
    if (k <= 0) return false;
    p += k;
    n -= static_cast<size_t>(k);
  }
  return true;
}

// One runtime entry as a whole record of client `pid`: its arguments, then
// `data`.
std::string Record(uint32_t api, const std::vector<uint64_t>& args, std::string_view data = {},
                   uint32_t pid = 4242) {
  RequestHeader h{};
  h.request = 1;
  h.module = kModuleRuntime;
  h.magic = kRequestMagic;
  h.api = api;
  h.argc = static_cast<uint32_t>(args.size());
  h.size = args.size() * sizeof(uint64_t) + data.size();
  std::string out(sizeof(RequestBatchHeader) + RequestEntryBytes(h.size), '\0');
  RequestBatchBuilder record(out.data());
  record.AddEntry(h);
  record.AppendArguments(args.data(), args.size());
  record.Append(data.data(), data.size());
  record.Finish(0, 0, 0, pid);
  return out;
}

// Reads one answer; its payload goes to `payload` (sized by the caller).
// Headers the daemon skips (the node's grant) are passed over.
bool ReadAnswer(int fd, std::string* payload, uint32_t* result) {
  char head[kSingleResponseHeadBytes];
  for (;;) {
    if (!RecvAll(fd, head, sizeof(ResponseBatchHeader))) return false;
    if ((LoadRecord<ResponseBatchHeader>(head).flags & kLinkSkip) == 0) break;
  }
  ResponseHeader entry;
  if (!RecvAll(fd, head + sizeof(ResponseBatchHeader), sizeof(head) - sizeof(ResponseBatchHeader)) ||
      !LoadSingleResponseHead(head, &entry)) {
    return false;
  }
  *result = entry.result;
  payload->resize(entry.size);
  return RecvAll(fd, payload->data(), entry.size);
}

void BackendRates(const std::string& body) {
  std::string a(kSize, 'a'), b(kSize, 'b');
  const double host = Rate([&] { std::memcpy(a.data(), b.data(), kSize); });
  zantu_node::KernelLibraries none;
  zantu_node::LocalMemoryBudget budget(1, kSize * 2);
  zantu_node::EmulatedBackend backend(1, kSize * 2, &none, &budget);
  uint64_t dst = 0;
  backend.Malloc(1, 0, kSize, &dst);
  backend.CopyToDevice(1, 0, dst, body.data(), kSize, 0);  // first touch of the pages
  const double h2d = Rate([&] { backend.CopyToDevice(1, 0, dst, body.data(), kSize, 0); });
  zantu_node::CallAnswer answer;
  const double d2h = Rate([&] { backend.CopyToHost(1, 0, dst, kSize, 0, &answer); });
  std::printf("host memcpy                 %8.2f GB/s\n", host);
  std::printf("emulated CopyToDevice       %8.2f GB/s  (%.0f%% of memcpy)\n", h2d, 100 * h2d / host);
  std::printf("emulated CopyToHost         %8.0f GB/s  (no copy: the answer points at device memory)\n", d2h);
}

double RawTcp(const std::string& data) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  listen(listener, 1);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread sink([&] {
    int fd = accept(listener, nullptr, nullptr);
    std::string buffer(kSize, '\0');
    for (int i = 0; i < kRounds; ++i) {
      RecvAll(fd, buffer.data(), kSize);
      SendAll(fd, "k", 1);
    }
    close(fd);
  });
  int fd = Connect(ntohs(addr.sin_port));
  const double rate = Rate([&] {
    char ack;
    SendAll(fd, data.data(), kSize);
    RecvAll(fd, &ack, 1);
  });
  sink.join();
  close(fd);
  close(listener);
  return rate;
}

// A zantu_node child on Native with one emulated GPU, and the daemon's side
// of its link.
class NodeUnderTest {
 public:
  ~NodeUnderTest() {
    if (stream_ >= 0) close(stream_);
    if (pid_ > 0) {
      int status = 0;
      waitpid(pid_, &status, 0);
    }
    if (answers_ >= 0) close(answers_);
  }

  bool Start(const std::string& bin) {
    int out_pipe[2];
    if (pipe(out_pipe) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(out_pipe[1], 1);
      setenv("ZANTU_DISABLE_LOG", "1", 1);
      execl(bin.c_str(), bin.c_str(), "--transport", "native", "--backend", "emulated", "--gpus", "1", "--memory",
            "4G", static_cast<char*>(nullptr));
      _exit(127);
    }
    close(out_pipe[1]);
    char line[512] = {};
    ssize_t got = 0;
    while (got < static_cast<ssize_t>(sizeof(line)) - 1 && read(out_pipe[0], line + got, 1) == 1 && line[got] != '\n') {
      ++got;
    }
    close(out_pipe[0]);
    unsigned recv_port = 0, send_port = 0;
    if (std::sscanf(line, "zantu_node ready recv_port=%u send_port=%u", &recv_port, &send_port) != 2) {
      std::printf("zantu_node did not start (%s)\n", bin.c_str());
      return false;
    }
    answers_ = Connect(static_cast<uint16_t>(recv_port));
    stream_ = Connect(static_cast<uint16_t>(send_port));
    const std::string guest(kGuestInfoSize, '\0');
    return answers_ >= 0 && stream_ >= 0 && SendAll(stream_, guest.data(), guest.size());
  }

  // One call and its answer; false when it fails.
  bool Call(const std::string& record, std::string* payload, uint32_t* result) {
    return SendAll(stream_, record.data(), record.size()) && ReadAnswer(answers_, payload, result);
  }
  uint64_t Malloc(uint32_t pid, uint64_t size) {
    std::string payload;
    uint32_t result = 0;
    uint64_t pointer = 0;
    if (Call(Record(k_cudaMalloc, {size}, {}, pid), &payload, &result) && result == 0 && payload.size() == 8) {
      std::memcpy(&pointer, payload.data(), 8);
    }
    return pointer;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int answers_ = -1;
  int stream_ = -1;
};

void NodeRates(const std::string& bin, const std::string& data) {
  NodeUnderTest node;
  if (!node.Start(bin)) return;
  std::string payload;
  uint32_t result = 0;
  const uint64_t pointer = node.Malloc(4242, kSize);
  const std::string h2d = Record(k_cudaMemcpy, {pointer, 0, kSize, kCopyHostToDevice, 0}, data);
  const std::string d2h = Record(k_cudaMemcpy, {0, pointer, kSize, kCopyDeviceToHost, 0});
  bool ok = pointer != 0;
  const double up = Rate([&] { ok &= node.Call(h2d, &payload, &result) && result == 0; });
  const double down = Rate([&] { ok &= node.Call(d2h, &payload, &result) && result == 0 && payload.size() == kSize; });
  ok &= payload == data;
  const double raw = RawTcp(data);
  std::printf("raw TCP loopback            %8.2f GB/s\n", raw);
  std::printf("node H2D 64 MiB cudaMemcpy  %8.2f GB/s  (%.0f%% of raw TCP)%s\n", up, 100 * up / raw,
              ok ? "" : "  WRONG RESULT");
  std::printf("node D2H 64 MiB cudaMemcpy  %8.2f GB/s  (%.0f%% of raw TCP)\n", down, 100 * down / raw);
}

// `root` and every process below it.
std::vector<pid_t> ProcessTree(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parents;
  if (DIR* dir = opendir("/proc")) {
    while (dirent* entry = readdir(dir)) {
      const pid_t pid = std::atoi(entry->d_name);
      if (pid <= 0) continue;
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string line;
      if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
      std::istringstream fields(line.substr(line.rfind(')') + 2));
      std::string state;
      pid_t parent = 0;
      fields >> state >> parent;
      parents.emplace_back(pid, parent);
    }
    closedir(dir);
  }
  std::vector<pid_t> tree = {root};
  for (size_t i = 0; i < tree.size(); ++i) {
    for (const auto& [pid, parent] : parents) {
      if (parent == tree[i]) tree.push_back(pid);
    }
  }
  return tree;
}

// Proportional resident memory (kB) of `root` and every process below it:
// shared pages (the rings, what workers inherited) count once in all.
uint64_t TreePssKb(pid_t root) {
  uint64_t total = 0;
  for (pid_t pid : ProcessTree(root)) {
    std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
    for (std::string line; std::getline(rollup, line);) {
      if (line.rfind("Pss:", 0) == 0) total += std::strtoull(line.c_str() + 4, nullptr, 10);
    }
  }
  return total;
}

// CPU time (clock ticks) of the processes of `tree`.
uint64_t TreeTicks(const std::vector<pid_t>& tree) {
  uint64_t total = 0;
  for (pid_t pid : tree) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.rfind(')') == std::string::npos) continue;
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::vector<std::string> f;
    for (std::string field; fields >> field;) f.push_back(field);
    if (f.size() > 12) total += std::strtoull(f[11].c_str(), nullptr, 10) + std::strtoull(f[12].c_str(), nullptr, 10);
  }
  return total;
}

// Share of one core that the node and its processes used over `window`.
double TreeCpuShare(pid_t root, std::chrono::milliseconds window) {
  const std::vector<pid_t> tree = ProcessTree(root);
  const uint64_t before = TreeTicks(tree);
  std::this_thread::sleep_for(window);
  const uint64_t used = TreeTicks(tree) - before;
  return static_cast<double>(used) / sysconf(_SC_CLK_TCK) / (window.count() / 1000.0);
}

// A new client's first calls, and what idle clients cost the node.
void ClientFigures(const std::string& bin) {
  NodeUnderTest node;
  if (!node.Start(bin)) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the pool fills
  const uint64_t base_kb = TreePssKb(node.pid());
  constexpr uint32_t kFirst = 64;
  constexpr uint32_t kIdle = 256;
  std::vector<double> first_us, second_us;
  std::string payload;
  uint32_t result = 0;
  for (uint32_t pid = 1000; pid < 1000 + kIdle; ++pid) {
    const std::string call = Record(k_cudaMemGetInfo, {}, {}, pid);
    auto start = Clock::now();
    const bool ok = node.Call(call, &payload, &result);
    const double first = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    start = Clock::now();
    node.Call(call, &payload, &result);
    const double second = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    if (!ok) return;
    if (pid < 1000 + kFirst) {
      first_us.push_back(first);
      second_us.push_back(second);
      // The pool fills again between clients, as it does between arrivals.
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }
  std::this_thread::sleep_for(std::chrono::seconds(1));
  const uint64_t idle_kb = TreePssKb(node.pid());
  const double idle_cpu = TreeCpuShare(node.pid(), std::chrono::seconds(3));
  // A burst through each client's rings, then idle again.
  const std::string block(4 << 20, 'x');
  for (uint32_t pid = 1000; pid < 1000 + kIdle; ++pid) {
    const uint64_t pointer = node.Malloc(pid, block.size());
    node.Call(Record(k_cudaMemcpy, {pointer, 0, block.size(), kCopyHostToDevice, 0}, block, pid), &payload, &result);
    node.Call(Record(k_cudaMemcpy, {0, pointer, block.size(), kCopyDeviceToHost, 0}, {}, pid), &payload, &result);
    node.Call(Record(k_cudaFree, {pointer}, {}, pid), &payload, &result);
  }
  std::this_thread::sleep_for(std::chrono::seconds(2));
  const uint64_t burst_kb = TreePssKb(node.pid());
  std::sort(first_us.begin(), first_us.end());
  std::sort(second_us.begin(), second_us.end());
  std::printf("first call of a new client  p50 %7.0f us  p99 %7.0f us   (its second call: p50 %.0f us)\n",
              first_us[first_us.size() / 2], first_us[first_us.size() * 99 / 100], second_us[second_us.size() / 2]);
  std::printf("node CPU with %u idle clients %6.2f %% of one core\n", kIdle, 100 * idle_cpu);
  std::printf("node memory, no client      %8.1f MiB\n", base_kb / 1024.0);
  std::printf("node memory per idle client %8.2f MiB  (%u clients after one call each)\n",
              (static_cast<double>(idle_kb) - base_kb) / 1024.0 / kIdle, kIdle);
  std::printf("node memory per idle client %8.2f MiB  (the same, 2 s after a 4 MiB copy each way)\n",
              (static_cast<double>(burst_kb) - base_kb) / 1024.0 / kIdle);
}

// Empty launches (the samples' countLaunch) straight on the backend: what
// the node adds per launch is the lookups and the parameter copy.
void LaunchRate(const std::string& dir) {
  const std::string library = dir + "libzantu_sample_kernels.so";
  zantu_node::KernelLibraries kernels;
  if (access(library.c_str(), R_OK) != 0 || !kernels.Load({library})) {
    std::printf("launches: no sample kernel library\n");
    return;
  }
  zantu_node::LocalMemoryBudget budget(1, 1 << 20);
  zantu_node::EmulatedBackend backend(1, 1 << 20, &kernels, &budget);
  uint64_t counter = 0;
  backend.Malloc(1, 0, 4, &counter);
  backend.Memset(1, 0, counter, 0, 4, 0);
  backend.ModuleLoad(1, 1, "image", 5);
  backend.FunctionRegister(1, 1, 9, "_Z11countLaunchPj");
  zantu_node::LaunchConfig config;
  config.function = 9;
  constexpr int kLaunches = 200000;
  const auto start = Clock::now();
  for (int i = 0; i < kLaunches; ++i) {
    backend.LaunchKernel(1, 0, config, reinterpret_cast<const char*>(&counter), sizeof(counter));
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  uint32_t count = 0;
  std::memcpy(&count, reinterpret_cast<void*>(static_cast<uintptr_t>(counter)), 4);
  std::printf("emulated launches           %8.2f million/s (1x1 grid, empty kernel)%s\n", kLaunches / seconds / 1e6,
              count == kLaunches ? "" : "  LOST LAUNCHES");
}

}  // namespace

int main(int argc, char** argv) {
  const std::string self(argv[0]);
  const std::string dir = self.substr(0, self.rfind('/') + 1);
  std::string node = dir + "zantu_node";
  if (argc == 3 && std::string(argv[1]) == "--node") {
    node = argv[2];
  } else if (argc != 1) {
    std::fprintf(stderr, "usage: %s [--node PATH]\n", argv[0]);
    return 2;
  }
  std::string data(kSize, '\0');
  for (uint64_t i = 0; i < kSize; ++i) data[i] = static_cast<char>(i * 131 + (i >> 12));
  BackendRates(data);
  NodeRates(node, data);
  ClientFigures(node);
  LaunchRate(dir);
  return 0;
}
