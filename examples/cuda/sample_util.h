// Shared by the samples: a checked call that also counts the runtime calls
// the program makes, a clock, percentiles, and the figures line
// ("figures: name=value ...") that scripts read.
#pragma once

#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace sample {

// Runtime API calls made by the program, counted where they are made.
inline long long& Calls() {
  static long long calls = 0;
  return calls;
}

inline cudaError_t Counted(cudaError_t result) {
  ++Calls();
  return result;
}

inline void Fail(const char* what, cudaError_t result, const char* file, int line) {
  std::fprintf(stderr, "%s:%d: %s failed: %s (%s)\n", file, line, what, cudaGetErrorName(result),
               cudaGetErrorString(result));
  std::exit(2);
}

inline double Seconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

// p-th quantile (0..1) of `samples`, in the samples' unit.
inline double Quantile(std::vector<double> samples, double p) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  return samples[static_cast<size_t>(p * (samples.size() - 1))];
}

// Latency of a synchronous call with nothing queued, in microseconds: `calls`
// cudaDeviceSynchronize on the current device after a tenth as many warm-ups.
inline void SyncLatency(int calls, double* p50_us, double* p99_us) {
  std::vector<double> us;
  us.reserve(calls);
  for (int i = 0; i < calls + calls / 10; ++i) {
    const double t0 = Seconds();
    const cudaError_t result = Counted(cudaDeviceSynchronize());
    const double t1 = Seconds();
    if (result != cudaSuccess) Fail("cudaDeviceSynchronize", result, __FILE__, __LINE__);
    if (i >= calls / 10) us.push_back((t1 - t0) * 1e6);
  }
  *p50_us = Quantile(us, 0.50);
  *p99_us = Quantile(us, 0.99);
}

// Prints the verdict and the figures line and gives the exit status.
inline int Finish(const char* name, bool ok, const std::string& figures) {
  std::printf("figures: calls=%lld %s\n", Calls(), figures.c_str());
  std::printf("%s: %s\n", name, ok ? "PASSED" : "FAILED");
  return ok ? 0 : 1;
}

inline std::string Figure(const char* name, double value) {
  char text[96];
  std::snprintf(text, sizeof(text), "%s=%.6g ", name, value);
  return text;
}

}  // namespace sample

// Runs a runtime call, counts it, and ends the program on failure.
#define CHECK_CUDA(call)                                                       \
  do {                                                                         \
    const cudaError_t check_result_ = ::sample::Counted(call);                 \
    if (check_result_ != cudaSuccess) ::sample::Fail(#call, check_result_, __FILE__, __LINE__); \
  } while (0)
