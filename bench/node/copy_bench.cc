// zantu_node_copy_bench: how fast the emulated backend moves 64 MiB copies,
// against the floors of the same run.
//
//   1. memcpy between two warm 64 MiB buffers (the host's floor);
//   2. the emulated backend's CopyToDevice from a request body, and
//      CopyToHost (which only points the answer at device memory);
//   3. whole 64 MiB cudaMemcpy calls through a zantu_node child over its
//      Native transport on loopback, each way, beside raw TCP loopback
//      streaming of the same bytes;
//   4. empty kernel launches on the emulated backend.
//
// Prints GB/s (10^9 bytes per second), medians of the rounds.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
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

// One runtime entry as a whole record: its arguments, then `data`.
std::string Record(uint32_t api, const std::vector<uint64_t>& args, std::string_view data = {}) {
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
  record.Finish(0, 0, 0, 4242);
  return out;
}

// Reads one answer; its payload goes to `payload` (sized by the caller).
bool ReadAnswer(int fd, std::string* payload, uint32_t* result) {
  char head[kSingleResponseHeadBytes];
  ResponseHeader entry;
  if (!RecvAll(fd, head, sizeof(head)) || !LoadSingleResponseHead(head, &entry)) return false;
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

void NodeRates(const char* self, const std::string& data) {
  std::string bin(self);
  bin = bin.substr(0, bin.rfind('/') + 1) + "zantu_node";
  int out_pipe[2];
  if (pipe(out_pipe) != 0) return;
  const pid_t child = fork();
  if (child == 0) {
    dup2(out_pipe[1], 1);
    setenv("ZANTU_DISABLE_LOG", "1", 1);
    execl(bin.c_str(), bin.c_str(), "--transport", "native", "--backend", "emulated", "--gpus", "1", "--memory",
          "1G", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out_pipe[1]);
  char line[512] = {};
  ssize_t got = 0, k = 0;
  while (got < static_cast<ssize_t>(sizeof(line)) - 1 && (k = read(out_pipe[0], line + got, 1)) == 1 &&
         line[got] != '\n') {
    ++got;
  }
  unsigned recv_port = 0, send_port = 0;
  if (std::sscanf(line, "zantu_node ready recv_port=%u send_port=%u", &recv_port, &send_port) != 2) {
    std::printf("zantu_node did not start (%s)\n", bin.c_str());
    return;
  }
  const int answers = Connect(static_cast<uint16_t>(recv_port));
  const int stream = Connect(static_cast<uint16_t>(send_port));
  std::string guest(kGuestInfoSize, '\0');
  SendAll(stream, guest.data(), guest.size());

  std::string payload;
  uint32_t result = 0;
  const std::string malloc_record = Record(k_cudaMalloc, {kSize});
  SendAll(stream, malloc_record.data(), malloc_record.size());
  ReadAnswer(answers, &payload, &result);
  uint64_t pointer = 0;
  std::memcpy(&pointer, payload.data(), 8);
  const std::string h2d = Record(k_cudaMemcpy, {pointer, 0, kSize, kCopyHostToDevice, 0}, data);
  const std::string d2h = Record(k_cudaMemcpy, {0, pointer, kSize, kCopyDeviceToHost, 0});
  bool ok = true;
  const double up = Rate([&] {
    ok &= SendAll(stream, h2d.data(), h2d.size());
    ok &= ReadAnswer(answers, &payload, &result) && result == 0;
  });
  const double down = Rate([&] {
    ok &= SendAll(stream, d2h.data(), d2h.size());
    ok &= ReadAnswer(answers, &payload, &result) && result == 0 && payload.size() == kSize;
  });
  ok &= payload == data;
  const double raw = RawTcp(data);
  std::printf("raw TCP loopback            %8.2f GB/s\n", raw);
  std::printf("node H2D 64 MiB cudaMemcpy  %8.2f GB/s  (%.0f%% of raw TCP)%s\n", up, 100 * up / raw,
              ok ? "" : "  WRONG RESULT");
  std::printf("node D2H 64 MiB cudaMemcpy  %8.2f GB/s  (%.0f%% of raw TCP)\n", down, 100 * down / raw);
  close(stream);
  close(answers);
  int status = 0;
  waitpid(child, &status, 0);
}

// Empty launches (the samples' countLaunch) straight on the backend: what
// the node adds per launch is the lookups and the parameter copy.
void LaunchRate(const char* self) {
  std::string library(self);
  library = library.substr(0, library.rfind('/') + 1) + "libzantu_sample_kernels.so";
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
  std::string data(kSize, '\0');
  for (uint64_t i = 0; i < kSize; ++i) data[i] = static_cast<char>(i * 131 + (i >> 12));
  BackendRates(data);
  NodeRates(argv[0], data);
  LaunchRate(argv[0]);
  return 0;
}
