// A CUDA program, built with nvcc -cudart shared, run through our runtime
// library, the daemon and an emulated node. It prints "R name=value" lines
// that the test checks, and ends with "R done=0" when it got that far.
//
// Usage: cudart_e2e_app work|errors|threads
#include <cuda_runtime.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "e2e_kernels.cuh"

namespace {

void Report(const char* name, long value) { std::printf("R %s=%ld\n", name, value); }

int Work() {
  int count = -1;
  Report("count_status", cudaGetDeviceCount(&count));
  Report("count", count);
  cudaDeviceProp prop;
  Report("props_status", cudaGetDeviceProperties(&prop, 0));
  const int n = 1000;
  std::vector<float> host(n);
  for (int i = 0; i < n; ++i) host[i] = static_cast<float>(i);
  float* dev = nullptr;
  Report("malloc", cudaMalloc(&dev, n * sizeof(float)));
  Report("h2d", cudaMemcpy(dev, host.data(), n * sizeof(float), cudaMemcpyHostToDevice));
  const float bias = 0.5f;
  Report("to_symbol", cudaMemcpyToSymbol(e2e_bias, &bias, sizeof(bias)));
  cudaStream_t stream;
  cudaEvent_t start, stop;
  Report("stream", cudaStreamCreate(&stream));
  Report("events", cudaEventCreate(&start) | cudaEventCreate(&stop));
  Report("record", cudaEventRecord(start, stream));
  e2e_scale<<<(n + 255) / 256, 256, 0, stream>>>(dev, 2.0f, n);
  Report("launch", cudaGetLastError());
  // The same kernel once more through the extensible launch, factor 1.
  cudaLaunchConfig_t config = {};
  config.gridDim = dim3((n + 255) / 256);
  config.blockDim = dim3(256);
  config.stream = stream;
  Report("launch_ex", cudaLaunchKernelEx(&config, e2e_scale, dev, 1.0f, n));
  Report("record", cudaEventRecord(stop, stream));
  std::vector<float> back(n, -1.0f);
  Report("d2h_async", cudaMemcpyAsync(back.data(), dev, n * sizeof(float), cudaMemcpyDeviceToHost, stream));
  Report("stream_sync", cudaStreamSynchronize(stream));
  float ms = -1;
  Report("elapsed", cudaEventElapsedTime(&ms, start, stop));
  int wrong = 0;
  for (int i = 0; i < n; ++i) wrong += back[i] != static_cast<float>(i) * 2.0f + 0.5f + 0.5f;
  Report("wrong", wrong);
  float bias_back = 0;
  Report("from_symbol", cudaMemcpyFromSymbol(&bias_back, e2e_bias, sizeof(bias_back)));
  Report("bias_ok", bias_back == bias);
  Report("memset", cudaMemset(dev, 0, n * sizeof(float)));
  Report("d2h_default", cudaMemcpy(back.data(), dev, n * sizeof(float), cudaMemcpyDefault));
  Report("zeroed", back[0] == 0.0f && back[n - 1] == 0.0f);
  size_t free_bytes = 0, total = 0;
  Report("mem_info", cudaMemGetInfo(&free_bytes, &total));
  Report("query", cudaStreamQuery(stream));
  // Calls answered by the library itself.
  cudaPointerAttributes attributes;
  Report("pointer", cudaPointerGetAttributes(&attributes, dev + 10));
  Report("pointer_not_device", attributes.type != cudaMemoryTypeDevice);
  int peer = -1;
  Report("flags", cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync) | cudaDeviceCanAccessPeer(&peer, 0, 0));
  Report("peer", peer);
  cudaStream_t ranked;
  Report("ranked_stream", cudaStreamCreateWithPriority(&ranked, cudaStreamNonBlocking, 0) |
                              cudaEventRecordWithFlags(start, ranked, 0) | cudaStreamSynchronize(ranked) |
                              cudaStreamDestroy(ranked));
  Report("destroy", cudaStreamDestroy(stream) | cudaEventDestroy(start) | cudaEventDestroy(stop));
  Report("free", cudaFree(dev));
  Report("device_sync", cudaDeviceSynchronize());
  return 0;
}

int Errors() {
  float* dev = nullptr;
  cudaMalloc(&dev, 64);
  std::vector<char> host(128);
  Report("oob_copy", cudaMemcpy(dev, host.data(), 128, cudaMemcpyHostToDevice));
  Report("last_after_oob", cudaGetLastError());
  Report("last_cleared", cudaGetLastError());
  Report("free", cudaFree(dev));
  Report("double_free", cudaFree(dev));
  Report("bad_stream", cudaStreamSynchronize(reinterpret_cast<cudaStream_t>(0x42)));
  cudaGetLastError();
  int* flag = nullptr;
  cudaMalloc(&flag, sizeof(int));
  e2e_missing<<<1, 1>>>(flag);
  Report("missing_launch", cudaGetLastError());  // deferred: nothing known yet
  Report("missing_sync", cudaDeviceSynchronize());
  Report("sync_after", cudaDeviceSynchronize());
  e2e_scale<<<1, 2048>>>(reinterpret_cast<float*>(flag), 1.0f, 1);
  Report("bad_config", cudaGetLastError());
  Report("unsupported", cudaGraphCreate(nullptr, 0));
  Report("set_device_bad", cudaSetDevice(99));

  // A large copy to the host travels in chunks: the first reports the
  // deferred failure before it, once; the data land whole; a range past the
  // allocation is refused.
  cudaSetDevice(0);
  const size_t big = size_t{40} << 20;
  unsigned char* dev_big = nullptr;
  cudaMalloc(&dev_big, big);
  std::vector<unsigned char> pattern(big), back(big);
  for (size_t i = 0; i < big; ++i) pattern[i] = static_cast<unsigned char>((i >> 12) * 7 + i);
  cudaMemcpy(dev_big, pattern.data(), big, cudaMemcpyHostToDevice);
  e2e_missing<<<1, 1>>>(flag);
  Report("big_d2h_deferred", cudaMemcpy(back.data(), dev_big, big, cudaMemcpyDeviceToHost));
  Report("big_d2h", cudaMemcpy(back.data(), dev_big, big, cudaMemcpyDeviceToHost));
  Report("big_differ", std::memcmp(back.data(), pattern.data(), big) != 0);
  Report("big_d2h_oob", cudaMemcpy(back.data(), dev_big + 4096, big, cudaMemcpyDeviceToHost));
  Report("big_free", cudaFree(dev_big));
  return 0;
}

// Threads on both GPUs at once, each with its own stream: module shipping,
// the allocation and handle tables and the answers all under concurrency.
int Threads() {
  constexpr int kThreads = 4;
  // The emulated node keeps a kernel library's variables once for all its
  // clients: set the value the other programs of the test set too.
  const float bias = 0.5f;
  int count = 0;
  cudaGetDeviceCount(&count);
  for (int gpu = 0; gpu < count; ++gpu) {
    cudaSetDevice(gpu);
    if (cudaMemcpyToSymbol(e2e_bias, &bias, sizeof(bias)) != cudaSuccess) return 1;
  }
  std::atomic<int> wrong{0};
  std::atomic<int> failed{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &wrong, &failed] {
      int count = 0;
      cudaGetDeviceCount(&count);
      if (cudaSetDevice(t % count) != cudaSuccess) ++failed;
      const int n = 4096 + t;
      std::vector<float> host(n, 1.0f + t);
      float* dev = nullptr;
      cudaStream_t stream;
      int status = cudaMalloc(&dev, n * sizeof(float)) | cudaStreamCreate(&stream);
      for (int round = 0; round < 20; ++round) {
        status |= cudaMemcpyAsync(dev, host.data(), n * sizeof(float), cudaMemcpyHostToDevice, stream);
        e2e_scale<<<(n + 127) / 128, 128, 0, stream>>>(dev, 3.0f, n);
        status |= cudaMemcpyAsync(host.data(), dev, n * sizeof(float), cudaMemcpyDeviceToHost, stream);
        status |= cudaStreamSynchronize(stream);
        for (int i = 0; i < n; ++i) wrong += host[i] != (1.0f + t) * 3.0f + 0.5f;
        for (int i = 0; i < n; ++i) host[i] = 1.0f + t;
      }
      status |= cudaStreamDestroy(stream) | cudaFree(dev);
      if (status != cudaSuccess) ++failed;
    });
  }
  for (std::thread& thread : threads) thread.join();
  Report("threads_wrong", wrong);
  Report("threads_failed", failed);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "work";
  int result = 1;
  if (std::strcmp(mode, "work") == 0) result = Work();
  if (std::strcmp(mode, "errors") == 0) result = Errors();
  if (std::strcmp(mode, "threads") == 0) result = Threads();
  std::fflush(stdout);
  std::printf("R done=%d\n", result);
  return result;
}
