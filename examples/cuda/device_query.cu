// Lists the visible GPUs and checks what the runtime says about them; times
// a synchronous call with nothing queued on the first and the last GPU.
//
// Usage: device_query [--expect N]   (fails unless exactly N GPUs are visible)
#include <cstring>

#include "sample_util.h"

namespace {

bool CheckDevice(int device) {
  bool ok = true;
  CHECK_CUDA(cudaSetDevice(device));
  int current = -1;
  CHECK_CUDA(cudaGetDevice(&current));
  if (current != device) {
    std::printf("  cudaGetDevice says %d after cudaSetDevice(%d)\n", current, device);
    ok = false;
  }
  cudaDeviceProp prop;
  CHECK_CUDA(cudaGetDeviceProperties(&prop, device));
  std::printf("GPU %d: %s, compute %d.%d, %zu MiB, %d multiprocessors, %d threads per block, warp %d\n", device,
              prop.name, prop.major, prop.minor, prop.totalGlobalMem >> 20, prop.multiProcessorCount,
              prop.maxThreadsPerBlock, prop.warpSize);
  int sms = 0, max_threads = 0;
  CHECK_CUDA(cudaDeviceGetAttribute(&sms, cudaDevAttrMultiProcessorCount, device));
  CHECK_CUDA(cudaDeviceGetAttribute(&max_threads, cudaDevAttrMaxThreadsPerBlock, device));
  if (prop.totalGlobalMem == 0 || prop.major < 1 || prop.warpSize != 32 || sms != prop.multiProcessorCount ||
      max_threads != prop.maxThreadsPerBlock || std::strlen(prop.name) == 0) {
    std::printf("  properties and attributes disagree or make no sense\n");
    ok = false;
  }
  size_t free_bytes = 0, total_bytes = 0;
  CHECK_CUDA(cudaMemGetInfo(&free_bytes, &total_bytes));
  if (total_bytes == 0 || free_bytes > total_bytes) {
    std::printf("  cudaMemGetInfo: free %zu of %zu\n", free_bytes, total_bytes);
    ok = false;
  }
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  int expect = -1;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--expect") == 0) expect = std::atoi(argv[i + 1]);
  }
  int count = 0;
  CHECK_CUDA(cudaGetDeviceCount(&count));
  int runtime = 0, driver = 0;
  CHECK_CUDA(cudaRuntimeGetVersion(&runtime));
  CHECK_CUDA(cudaDriverGetVersion(&driver));
  std::printf("%d GPU(s); runtime %d, driver %d\n", count, runtime, driver);
  bool ok = count > 0 && (expect < 0 || count == expect) && runtime > 0 && driver > 0;
  if (!ok) std::printf("unexpected: %d GPU(s), expected %d\n", count, expect);

  for (int d = 0; d < count; ++d) ok = CheckDevice(d) && ok;

  // Asking again must not need the GPU's node.
  cudaDeviceProp prop;
  const double t0 = sample::Seconds();
  CHECK_CUDA(cudaGetDeviceProperties(&prop, 0));
  const double again_us = (sample::Seconds() - t0) * 1e6;

  // A GPU that does not exist is an error, reported once by cudaGetLastError.
  const cudaError_t bad = sample::Counted(cudaSetDevice(count));
  const cudaError_t last = sample::Counted(cudaGetLastError());
  const cudaError_t cleared = sample::Counted(cudaGetLastError());
  if (bad != cudaErrorInvalidDevice || last != cudaErrorInvalidDevice || cleared != cudaSuccess) {
    std::printf("cudaSetDevice(%d) gave %s, then %s, %s\n", count, cudaGetErrorName(bad), cudaGetErrorName(last),
                cudaGetErrorName(cleared));
    ok = false;
  }

  std::string figures = sample::Figure("devices", count) + sample::Figure("props_again_us", again_us);
  if (count > 0) {
    double p50 = 0, p99 = 0;
    CHECK_CUDA(cudaSetDevice(0));
    sample::SyncLatency(2000, &p50, &p99);
    std::printf("synchronous call on GPU 0: p50 %.1f us, p99 %.1f us\n", p50, p99);
    figures += sample::Figure("sync_first_p50_us", p50) + sample::Figure("sync_first_p99_us", p99);
    CHECK_CUDA(cudaSetDevice(count - 1));
    sample::SyncLatency(2000, &p50, &p99);
    std::printf("synchronous call on GPU %d: p50 %.1f us, p99 %.1f us\n", count - 1, p50, p99);
    figures += sample::Figure("sync_last_p50_us", p50) + sample::Figure("sync_last_p99_us", p99);
  }
  return sample::Finish("device_query", ok, figures);
}
