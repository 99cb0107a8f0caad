// The program of the tenancy matrix, built unchanged with nvcc -cudart shared:
// a victim, a bystander, or one of the hostile tenants, by its first
// argument. It prints "R name=value" lines; the test reads them.
//
//   victim DEVICE GO_FILE       fills memory, prints its address, and checks
//                               it byte for byte once GO_FILE exists
//   bystander DEVICE GO_FILE    synchronous calls until GO_FILE exists: the
//                               slowest one, how many, how many wrong
//   read_other DEVICE POINTER   a kernel reads another client's memory
//   write_other DEVICE POINTER  a kernel writes another client's memory
//   wild DEVICE                 a kernel writes through pointer 0x10
//   overrun DEVICE              a kernel writes 1 GiB into a 4 KiB allocation
//   shared DEVICE               1024 threads on a 256-slot __shared__ array
//   flood DEVICE                a long kernel and 96 MiB of queued copies
//   spin DEVICE                 a kernel that never ends
//   constant DEVICE FACTOR      50 saxpy launches with its own __constant__
//   streams DEVICE              creates streams until refused
//   tiny DEVICE [GO_FILE]       one kernel, one check; then waits for GO_FILE
#include <cuda_runtime.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tenant_kernels.cuh"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kVictimFloats = 1 << 18;  // 1 MiB

void Report(const char* name, long long value) {
  std::printf("R %s=%lld\n", name, value);
  std::fflush(stdout);
}

float VictimValue(int i) { return static_cast<float>(i) * 0.5f + 3.0f; }

bool Exists(const char* path) {
  struct stat st;
  return stat(path, &st) == 0;
}

// Waits for `path`, at most two minutes.
void AwaitFile(const char* path) {
  const auto until = Clock::now() + std::chrono::minutes(2);
  while (!Exists(path) && Clock::now() < until) usleep(20000);
}

int Victim(const char* go) {
  std::vector<float> host(kVictimFloats);
  for (int i = 0; i < kVictimFloats; ++i) host[i] = VictimValue(i);
  // Its memory lies where no allocation of another client of the same
  // program does: a client's addresses are its own, and the same first
  // allocation in another client may well get the same number.
  void* ahead = nullptr;
  float* dev = nullptr;
  Report("malloc", cudaMalloc(&ahead, 3 << 20) | cudaMalloc(&dev, kVictimFloats * sizeof(float)));
  Report("h2d", cudaMemcpy(dev, host.data(), kVictimFloats * sizeof(float), cudaMemcpyHostToDevice));
  std::printf("R pointer=%llu\n", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(dev)));
  std::fflush(stdout);
  AwaitFile(go);
  std::vector<float> back(kVictimFloats, 0.0f);
  Report("d2h", cudaMemcpy(back.data(), dev, kVictimFloats * sizeof(float), cudaMemcpyDeviceToHost));
  Report("intact", std::memcmp(back.data(), host.data(), kVictimFloats * sizeof(float)) == 0);
  return 0;
}

// One round of synchronous calls; the slowest in *slowest_us.
bool BystanderRound(float* dev, int round, long long* slowest_us, long long* calls) {
  constexpr int n = 1024;
  std::vector<float> host(n, static_cast<float>(round));
  auto timed = [&](cudaError_t status, Clock::time_point start) {
    const long long us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
    if (us > *slowest_us) *slowest_us = us;
    ++*calls;
    return status == cudaSuccess;
  };
  auto start = Clock::now();
  bool ok = timed(cudaMemcpy(dev, host.data(), n * sizeof(float), cudaMemcpyHostToDevice), start);
  tenant_fill<<<(n + 255) / 256, 256>>>(dev + n, static_cast<float>(round) + 1.0f, n);
  start = Clock::now();
  ok = timed(cudaDeviceSynchronize(), start) && ok;
  std::vector<float> back(2 * n);
  start = Clock::now();
  ok = timed(cudaMemcpy(back.data(), dev, 2 * n * sizeof(float), cudaMemcpyDeviceToHost), start) && ok;
  for (int i = 0; i < n; ++i) ok = ok && back[i] == static_cast<float>(round) && back[n + i] == round + 1.0f;
  return ok;
}

int Bystander(const char* go) {
  float* dev = nullptr;
  Report("malloc", cudaMalloc(&dev, 2 * 1024 * sizeof(float)));
  long long slowest_us = 0, calls = 0, wrong = 0;
  for (int round = 0; !Exists(go); ++round) {
    if (!BystanderRound(dev, round, &slowest_us, &calls)) ++wrong;
    usleep(5000);
  }
  Report("calls", calls);
  Report("wrong", wrong);
  Report("slowest_ms", slowest_us / 1000);
  return 0;
}

int ReadOther(unsigned long long pointer) {
  float* out = nullptr;
  Report("malloc", cudaMalloc(&out, kVictimFloats * sizeof(float)));
  Report("fill", cudaMemset(out, 0, kVictimFloats * sizeof(float)));
  tenant_copy<<<kVictimFloats / 256, 256>>>(reinterpret_cast<const float*>(pointer), out, kVictimFloats);
  Report("sync", cudaDeviceSynchronize());
  std::vector<float> back(kVictimFloats, 0.0f);
  Report("d2h", cudaMemcpy(back.data(), out, kVictimFloats * sizeof(float), cudaMemcpyDeviceToHost));
  int leaked = 0;
  for (int i = 0; i < kVictimFloats; ++i) leaked += back[i] == VictimValue(i);
  Report("leaked", leaked);
  return 0;
}

int WriteOther(unsigned long long pointer) {
  tenant_fill<<<kVictimFloats / 256, 256>>>(reinterpret_cast<float*>(pointer), -7.0f, kVictimFloats);
  Report("sync", cudaDeviceSynchronize());
  return 0;
}

int Wild() {
  tenant_fill<<<1, 32>>>(reinterpret_cast<float*>(0x10), 1.0f, 32);
  Report("sync", cudaDeviceSynchronize());
  float* dev = nullptr;
  Report("after", cudaMalloc(&dev, 64));  // the context is broken for good
  return 0;
}

int Overrun() {
  float* dev = nullptr;
  Report("malloc", cudaMalloc(&dev, 4096));
  // A gigabyte past a 4 KiB allocation: far enough to meet unmapped memory.
  const int n = 1 << 28;
  tenant_fill<<<n / 256, 256>>>(dev, 1.0f, n);
  // The kernel runs beside the worker's own thread and may reach the
  // worker's structures before unmapped memory: until the worker has ended,
  // a synchronize may still succeed.
  cudaError_t sync = cudaSuccess;
  for (int i = 0; i < 30000 && sync == cudaSuccess; ++i) {
    sync = cudaDeviceSynchronize();
    if (sync == cudaSuccess) usleep(1000);
  }
  Report("sync", sync);
  Report("after", cudaMalloc(&dev, 64));
  return 0;
}

int Shared() {
  float* out = nullptr;
  Report("malloc", cudaMalloc(&out, sizeof(float)));
  tenant_shared<<<1, 1024>>>(out);
  Report("sync", cudaDeviceSynchronize());
  return 0;
}

int Flood() {
  const size_t chunk = size_t{32} << 20;
  unsigned* busy = nullptr;
  char* dev = nullptr;
  char* host = nullptr;
  Report("malloc", cudaMalloc(&busy, 256 * sizeof(unsigned)) | cudaMalloc(&dev, chunk) |
                       cudaMallocHost(&host, chunk));
  std::memset(host, 7, chunk);
  const auto start = Clock::now();
  tenant_busy<<<1, 256>>>(busy, 4000000);
  for (int i = 0; i < 3; ++i) Report("queued", cudaMemcpyAsync(dev, host, chunk, cudaMemcpyHostToDevice));
  Report("queued_ms", std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
  Report("sync", cudaDeviceSynchronize());
  return 0;
}

int Spin() {
  int* stop = nullptr;
  Report("malloc", cudaMalloc(&stop, sizeof(int)) | cudaMemset(stop, 0, sizeof(int)));
  tenant_spin<<<1, 1>>>(stop);
  Report("launched", cudaGetLastError());
  Report("sync", cudaDeviceSynchronize());  // never returns
  return 0;
}

int Constant(float factor) {
  constexpr int n = 4096;
  std::vector<float> x(n), y(n), back(n);
  for (int i = 0; i < n; ++i) {
    x[i] = static_cast<float>(i % 97);
    y[i] = 1.0f;
  }
  float *dx = nullptr, *dy = nullptr;
  Report("malloc", cudaMalloc(&dx, n * sizeof(float)) | cudaMalloc(&dy, n * sizeof(float)));
  Report("to_symbol", cudaMemcpyToSymbol(tenant_factor, &factor, sizeof(factor)));
  int wrong = 0;
  for (int round = 0; round < 50; ++round) {
    cudaMemcpy(dx, x.data(), n * sizeof(float), cudaMemcpyHostToDevice);
    cudaMemcpy(dy, y.data(), n * sizeof(float), cudaMemcpyHostToDevice);
    tenant_saxpy<<<n / 256, 256>>>(dx, dy, n);
    cudaMemcpy(back.data(), dy, n * sizeof(float), cudaMemcpyDeviceToHost);
    bool right = true;
    for (int i = 0; i < n; ++i) right = right && back[i] == factor * x[i] + 1.0f;
    wrong += !right;
    usleep(2000);
  }
  Report("wrong", wrong);
  return 0;
}

int Streams() {
  long long created = 0;
  cudaError_t status = cudaSuccess;
  for (; created < 200000; ++created) {
    cudaStream_t stream;
    status = cudaStreamCreate(&stream);
    if (status != cudaSuccess) break;
  }
  Report("created", created);
  Report("refused", status);
  Report("after", cudaDeviceSynchronize());
  return 0;
}

int Tiny(const char* go) {
  float* dev = nullptr;
  float back[32] = {};
  Report("malloc", cudaMalloc(&dev, sizeof(back)));
  tenant_fill<<<1, 32>>>(dev, 2.5f, 32);
  Report("d2h", cudaMemcpy(back, dev, sizeof(back), cudaMemcpyDeviceToHost));
  int wrong = 0;
  for (float v : back) wrong += v != 2.5f;
  Report("wrong", wrong);
  // Stays a client of the node until `go` exists (if given).
  if (*go != '\0') AwaitFile(go);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: tenant_app MODE DEVICE [ARG]\n");
    return 2;
  }
  const std::string mode = argv[1];
  Report("set_device", cudaSetDevice(std::atoi(argv[2])));
  const char* arg = argc > 3 ? argv[3] : "";
  if (mode == "victim") return Victim(arg);
  if (mode == "bystander") return Bystander(arg);
  if (mode == "read_other") return ReadOther(std::strtoull(arg, nullptr, 10));
  if (mode == "write_other") return WriteOther(std::strtoull(arg, nullptr, 10));
  if (mode == "wild") return Wild();
  if (mode == "overrun") return Overrun();
  if (mode == "shared") return Shared();
  if (mode == "flood") return Flood();
  if (mode == "spin") return Spin();
  if (mode == "constant") return Constant(std::strtof(arg, nullptr));
  if (mode == "streams") return Streams();
  if (mode == "tiny") return Tiny(arg);
  std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
  return 2;
}
