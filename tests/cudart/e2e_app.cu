// A CUDA program, built with nvcc -cudart shared, run through our runtime
// library, the daemon and an emulated node. It prints "R name=value" lines
// that the test checks, and ends with "R done=0" when it got that far.
//
// Usage: cudart_e2e_app work|errors|threads|host|kernels|callbacks|peer|reset
#include <cuda_profiler_api.h>
#include <cuda_runtime.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <cstdio>
#include <cstring>
#include <thread>
#include <utility>
#include <vector>

#include "e2e_kernels.cuh"

// The per-thread default stream forms, as a program built with
// --default-stream per-thread calls them.
extern "C" cudaError_t cudaStreamWaitEvent_ptsz(cudaStream_t stream, cudaEvent_t event, unsigned int flags);
extern "C" cudaError_t cudaStreamGetDevice_ptsz(cudaStream_t stream, int* device);

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
  Report("unsupported", cudaMallocArray(nullptr, nullptr, 0, 0, 0));
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


// Host memory the program registers, the profiler's switches, the
// capabilities a device claims and the per-thread stream forms: every
// result is printed, the test holds the table of what CUDA answers.
int Host() {
  Report("profiler_start", cudaProfilerStart());
  Report("profiler_stop", cudaProfilerStop());
  const int n = 3000;
  std::vector<float> host(n + 1024);
  float* data = host.data();
  Report("register", cudaHostRegister(data, n * sizeof(float), cudaHostRegisterMapped));
  Report("register_again", cudaHostRegister(data, n * sizeof(float), 0));
  Report("register_overlap", cudaHostRegister(data + n - 1, 4096, 0));
  Report("register_after", cudaHostRegister(data + n, 1024 * sizeof(float), cudaHostRegisterPortable));
  Report("register_null", cudaHostRegister(nullptr, 64, 0));
  Report("register_empty", cudaHostRegister(data, 0, 0));
  Report("register_bad_flags", cudaHostRegister(data, 64, 0x80));
  Report("register_io", cudaHostRegister(data, 64, cudaHostRegisterIoMemory));
  unsigned int flags = 99;
  Report("get_flags", cudaHostGetFlags(&flags, data + 10));
  Report("flags_value", flags);
  Report("get_flags_unknown", cudaHostGetFlags(&flags, &flags));
  void* mapped = nullptr;
  Report("device_pointer", cudaHostGetDevicePointer(&mapped, data, 0));
  Report("device_pointer_unknown", cudaHostGetDevicePointer(&mapped, &flags, 0));
  cudaPointerAttributes attributes;
  Report("pointer", cudaPointerGetAttributes(&attributes, data + 5));
  Report("pointer_is_host", attributes.type == cudaMemoryTypeHost);
  cudaGetLastError();

  // Registered memory is an ordinary source and destination of copies.
  for (int i = 0; i < n; ++i) data[i] = static_cast<float>(i);
  float* dev = nullptr;
  cudaStream_t stream;
  Report("setup", cudaMalloc(&dev, n * sizeof(float)) | cudaStreamCreate(&stream));
  Report("h2d", cudaMemcpyAsync(dev, data, n * sizeof(float), cudaMemcpyHostToDevice, stream));
  e2e_scale<<<(n + 255) / 256, 256, 0, stream>>>(dev, 2.0f, n);
  Report("d2h", cudaMemcpyAsync(data, dev, n * sizeof(float), cudaMemcpyDeviceToHost, stream));
  Report("sync", cudaStreamSynchronize(stream));
  float bias = -1;
  Report("bias", cudaMemcpyFromSymbol(&bias, e2e_bias, sizeof(bias)));
  int wrong = 0;
  for (int i = 0; i < n; ++i) wrong += data[i] != static_cast<float>(i) * 2.0f + bias;
  Report("registered_wrong", wrong);

  Report("unregister", cudaHostUnregister(data));
  Report("unregister_again", cudaHostUnregister(data));
  Report("unregister_inside", cudaHostUnregister(data + n + 1));
  Report("unregister_after", cudaHostUnregister(data + n));
  cudaGetLastError();

  // What a device claims: nothing this library cannot serve.
  int value = -1;
  for (auto [name, attr] : {std::pair{"can_map", cudaDevAttrCanMapHostMemory},
                            std::pair{"managed", cudaDevAttrManagedMemory},
                            std::pair{"concurrent_managed", cudaDevAttrConcurrentManagedAccess},
                            std::pair{"pageable", cudaDevAttrPageableMemoryAccess},
                            std::pair{"priorities", cudaDevAttrStreamPrioritiesSupported},
                            std::pair{"cooperative", cudaDevAttrCooperativeLaunch},
                            std::pair{"pools", cudaDevAttrMemoryPoolsSupported},
                            std::pair{"host_register", cudaDevAttrHostRegisterSupported}}) {
    value = -1;
    cudaDeviceGetAttribute(&value, attr, 0);
    Report(name, value);
  }
  cudaDeviceProp prop;
  cudaGetDeviceProperties(&prop, 0);
  Report("prop_can_map", prop.canMapHostMemory);
  Report("prop_managed", prop.managedMemory);
  int least = -1, greatest = -1;
  Report("priority_range", cudaDeviceGetStreamPriorityRange(&least, &greatest));
  Report("priority_span", least - greatest);

  // The per-thread forms work as their base calls do.
  cudaEvent_t event;
  cudaEventCreate(&event);
  cudaSetDevice(1);
  int device = -1;
  Report("ptsz_get_device", cudaStreamGetDevice_ptsz(nullptr, &device));
  Report("ptsz_device", device);
  cudaSetDevice(0);
  cudaEventRecord(event, stream);
  Report("ptsz_wait", cudaStreamWaitEvent_ptsz(cudaStreamPerThread, event, 0));
  Report("ptsz_wait_bad", cudaStreamWaitEvent_ptsz(nullptr, reinterpret_cast<cudaEvent_t>(0x42), 0));
  cudaGetLastError();
  Report("teardown", cudaEventDestroy(event) | cudaStreamDestroy(stream) | cudaFree(dev) | cudaDeviceSynchronize());
  return 0;
}

// What a program asks of its kernels: attributes from the fat binary,
// occupancy from them and the device, settings kept or refused.
int Kernels() {
  cudaFuncAttributes scale{}, bounded{};
  Report("attributes", cudaFuncGetAttributes(&scale, e2e_scale) | cudaFuncGetAttributes(&bounded, e2e_bounded));
  Report("scale_regs_known", scale.numRegs > 0 && scale.numRegs <= 64);
  Report("scale_shared", scale.sharedSizeBytes);
  Report("scale_max_threads", scale.maxThreadsPerBlock);
  Report("scale_dynamic", scale.maxDynamicSharedSizeBytes);
  Report("bounded_shared", bounded.sharedSizeBytes);
  Report("bounded_local", bounded.localSizeBytes >= 1024);
  Report("bounded_max_threads", bounded.maxThreadsPerBlock);
  Report("bounded_dynamic", bounded.maxDynamicSharedSizeBytes);
  Report("binary_version", scale.binaryVersion);
  Report("attributes_unknown", cudaFuncGetAttributes(&scale, reinterpret_cast<const void*>(&Report)));
  cudaGetLastError();

  int blocks = -1;
  Report("occupancy", cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, e2e_scale, 256, 0));
  Report("blocks_256", blocks);
  cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, e2e_scale, 1024, 0);
  Report("blocks_1024", blocks);
  // Shared memory limits: 164 KiB per multiprocessor, 1 KiB reserved per block.
  cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&blocks, e2e_scale, 64, 40 << 10, cudaOccupancyDefault);
  Report("blocks_40k_shared", blocks);
  cudaOccupancyMaxActiveBlocksPerMultiprocessor(&blocks, e2e_bounded, 256, 0);
  Report("blocks_past_bounds", blocks);
  Report("occupancy_bad_flags", cudaOccupancyMaxActiveBlocksPerMultiprocessorWithFlags(&blocks, e2e_scale, 64, 0, 7));
  cudaGetLastError();
  int min_grid = -1, block = -1;
  Report("potential", cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, e2e_scale));
  Report("potential_block", block);
  Report("potential_grid", min_grid);
  Report("potential_bounded", cudaOccupancyMaxPotentialBlockSize(&min_grid, &block, e2e_bounded));
  Report("potential_bounded_block", block);
  size_t dynamic = 0;
  Report("available", cudaOccupancyAvailableDynamicSMemPerBlock(&dynamic, e2e_scale, 2, 256));
  Report("available_bytes", static_cast<long>(dynamic));

  Report("set_dynamic", cudaFuncSetAttribute(e2e_scale, cudaFuncAttributeMaxDynamicSharedMemorySize, 100 << 10));
  cudaFuncGetAttributes(&scale, e2e_scale);
  Report("dynamic_after", scale.maxDynamicSharedSizeBytes);
  Report("set_dynamic_too_much",
         cudaFuncSetAttribute(e2e_scale, cudaFuncAttributeMaxDynamicSharedMemorySize, 200 << 10));
  Report("set_carveout", cudaFuncSetAttribute(e2e_scale, cudaFuncAttributePreferredSharedMemoryCarveout, 50));
  Report("set_carveout_bad", cudaFuncSetAttribute(e2e_scale, cudaFuncAttributePreferredSharedMemoryCarveout, 101));
  Report("set_cluster", cudaFuncSetAttribute(e2e_scale, cudaFuncAttributeRequiredClusterWidth, 2));
  cudaGetLastError();
  Report("cache_config", cudaFuncSetCacheConfig(e2e_scale, cudaFuncCachePreferShared) |
                             cudaDeviceSetCacheConfig(cudaFuncCachePreferL1));
  cudaFuncCache cache = cudaFuncCachePreferNone;
  cudaDeviceGetCacheConfig(&cache);
  Report("device_cache", cache);
  Report("cache_config_bad", cudaFuncSetCacheConfig(e2e_scale, static_cast<cudaFuncCache>(9)));
  cudaGetLastError();
  const char* name = nullptr;
  Report("name", cudaFuncGetName(&name, e2e_scale));
  Report("name_is_mangled", name != nullptr && std::strcmp(name, "_Z9e2e_scalePffi") == 0);
  size_t offset = 0, size = 0;
  Report("param", cudaFuncGetParamInfo(reinterpret_cast<const void*>(e2e_scale), 2, &offset, &size));
  Report("param_offset", static_cast<long>(offset));
  Report("param_size", static_cast<long>(size));
  Report("param_past", cudaFuncGetParamInfo(reinterpret_cast<const void*>(e2e_scale), 3, &offset, &size));
  cudaGetLastError();

  // A launch still runs after all of it.
  float* dev = nullptr;
  Report("launch_after", cudaMalloc(&dev, 256 * sizeof(float)) | cudaMemset(dev, 0, 256 * sizeof(float)));
  e2e_scale<<<1, 256>>>(dev, 2.0f, 256);
  Report("sync", cudaDeviceSynchronize());
  // Past the default 48 KiB of dynamic shared memory, as cudaFuncSetAttribute
  // allowed above.
  e2e_scale<<<1, 256, 100 << 10>>>(dev, 2.0f, 256);
  Report("launch_dynamic", cudaDeviceSynchronize() | cudaFree(dev));
  return 0;
}

// Host functions on streams: each runs after the stream's earlier work and
// before its later work, in the order queued; a query does not wait for
// them, a synchronize does.
struct CallbackLog {
  std::mutex mutex;
  std::vector<int> order;
  const float* results = nullptr;
  float* refill = nullptr;
  int n = 0;
  int stale = 0;
  std::atomic<bool> release{false};
  std::atomic<bool> slow_done{false};
  cudaStream_t seen_stream = nullptr;
  int seen_status = -1;
};

void Note(CallbackLog* log, int tag) {
  std::lock_guard<std::mutex> lock(log->mutex);
  log->order.push_back(tag);
}

int Callbacks() {
  const int n = 4096;
  CallbackLog log;
  float *host = nullptr, *refilled = nullptr, *dev = nullptr;
  cudaStream_t stream;
  Report("setup", cudaMallocHost(&host, n * sizeof(float)) | cudaMallocHost(&refilled, n * sizeof(float)) |
                      cudaMalloc(&dev, n * sizeof(float)) | cudaStreamCreate(&stream));
  float bias = 0;
  cudaMemcpyFromSymbol(&bias, e2e_bias, sizeof(bias));
  for (int i = 0; i < n; ++i) host[i] = static_cast<float>(i);
  log.results = host;
  log.refill = host;
  log.n = n;
  cudaMemcpyAsync(dev, host, n * sizeof(float), cudaMemcpyHostToDevice, stream);
  e2e_scale<<<(n + 255) / 256, 256, 0, stream>>>(dev, 2.0f, n);
  cudaMemcpyAsync(host, dev, n * sizeof(float), cudaMemcpyDeviceToHost, stream);
  // Sees the scaled data, then refills the buffer that the next copy sends.
  Report("host_func", cudaLaunchHostFunc(stream, [](void* data) {
    auto* log = static_cast<CallbackLog*>(data);
    for (int i = 0; i < log->n; ++i) log->stale += log->results[i] != static_cast<float>(i) * 2.0f;
    for (int i = 0; i < log->n; ++i) log->refill[i] = static_cast<float>(i + 1000);
    Note(log, 1);
  }, &log));
  cudaMemcpyAsync(dev, host, n * sizeof(float), cudaMemcpyHostToDevice, stream);
  e2e_scale<<<(n + 255) / 256, 256, 0, stream>>>(dev, 3.0f, n);
  cudaMemcpyAsync(refilled, dev, n * sizeof(float), cudaMemcpyDeviceToHost, stream);
  Report("add_callback", cudaStreamAddCallback(stream, [](cudaStream_t stream, cudaError_t status, void* data) {
    auto* log = static_cast<CallbackLog*>(data);
    log->seen_stream = stream;
    log->seen_status = status;
    Note(log, 2);
  }, &log, 0));
  Report("add_callback_flags", cudaStreamAddCallback(stream, [](cudaStream_t, cudaError_t, void*) {}, &log, 1));
  Report("host_func_null", cudaLaunchHostFunc(stream, nullptr, &log));
  cudaGetLastError();
  // One that waits for this thread: a query must not wait for it.
  cudaLaunchHostFunc(stream, [](void* data) {
    auto* log = static_cast<CallbackLog*>(data);
    while (!log->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Note(log, 3);
  }, &log);
  Report("query_pending", cudaStreamQuery(stream));
  log.release = true;
  Report("stream_sync", cudaStreamSynchronize(stream));
  Report("query_after", cudaStreamQuery(stream));
  Report("stale", log.stale);
  int wrong = 0;
  for (int i = 0; i < n; ++i) wrong += refilled[i] != static_cast<float>(i + 1000) * 3.0f + bias;
  Report("after_wrong", wrong);
  Report("callback_stream_ok", log.seen_stream == stream);
  Report("callback_status", log.seen_status);
  {
    std::lock_guard<std::mutex> lock(log.mutex);
    Report("order_ok", log.order == std::vector<int>{1, 2, 3});
  }
  // The default stream, and a device-wide synchronize that waits for it.
  cudaLaunchHostFunc(nullptr, [](void* data) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    static_cast<CallbackLog*>(data)->slow_done = true;
  }, &log);
  Report("device_sync", cudaDeviceSynchronize());
  Report("slow_done", log.slow_done.load());
  Report("teardown", cudaStreamDestroy(stream) | cudaFree(dev) | cudaFreeHost(host) | cudaFreeHost(refilled));
  return 0;
}

// Copies between the program's two GPUs, whichever nodes they sit on: the
// peer calls, and plain copies whose pointers name two GPUs.
// Kernels on GPU 0 reaching GPU 1's memory: where both GPUs sit on one
// node, once peer access is enabled (twice is refused, as is disabling it
// twice); GPUs on two nodes have none. 1 when all went as it should.
int PeerKernels(float* on1) {
  int can = -1;
  cudaDeviceCanAccessPeer(&can, 0, 1);
  cudaSetDevice(0);
  const cudaError_t enabled = cudaDeviceEnablePeerAccess(1, 0);
  if (can == 0) return enabled == cudaErrorPeerAccessUnsupported;
  if (enabled != cudaSuccess || cudaDeviceEnablePeerAccess(1, 0) != cudaErrorPeerAccessAlreadyEnabled) return 0;
  const int n = 4096;
  std::vector<float> host(n), back(n);
  for (int i = 0; i < n; ++i) host[i] = static_cast<float>(i % 113);
  float bias = 0;
  cudaMemcpyFromSymbol(&bias, e2e_bias, sizeof(bias));
  cudaMemcpy(on1, host.data(), n * sizeof(float), cudaMemcpyHostToDevice);
  e2e_scale<<<n / 256, 256>>>(on1, 3.0f, n);
  if (cudaDeviceSynchronize() != cudaSuccess) return 0;
  cudaMemcpy(back.data(), on1, n * sizeof(float), cudaMemcpyDeviceToHost);
  for (int i = 0; i < n; ++i) {
    if (back[i] != host[i] * 3.0f + bias) return 0;
  }
  return cudaDeviceDisablePeerAccess(1) == cudaSuccess &&
         cudaDeviceDisablePeerAccess(1) == cudaErrorPeerAccessNotEnabled;
}

int Peer() {
  const size_t n = (size_t{9} << 20) + 12345;  // three chunks and a tail
  std::vector<unsigned char> pattern(n), back(n);
  for (size_t i = 0; i < n; ++i) pattern[i] = static_cast<unsigned char>(i * 31 + (i >> 16));
  unsigned char *on0 = nullptr, *on1 = nullptr, *other1 = nullptr;
  cudaSetDevice(0);
  Report("setup0", cudaMalloc(&on0, n) | cudaMemcpy(on0, pattern.data(), n, cudaMemcpyHostToDevice));
  cudaSetDevice(1);
  cudaStream_t stream1;
  Report("setup1", cudaMalloc(&on1, n) | cudaMalloc(&other1, n) | cudaStreamCreate(&stream1));
  cudaSetDevice(0);
  Report("peer", cudaMemcpyPeer(on1, 1, on0, 0, n));
  cudaSetDevice(1);
  Report("peer_back", cudaMemcpy(back.data(), on1, n, cudaMemcpyDeviceToHost));
  Report("peer_differ", back != pattern);
  // Async on a stream of the destination, then ordered work on it.
  std::fill(back.begin(), back.end(), 0);
  Report("peer_async", cudaMemcpyPeerAsync(other1, 1, on0, 0, n, stream1));
  Report("peer_async_back", cudaMemcpyAsync(back.data(), other1, n, cudaMemcpyDeviceToHost, stream1) |
                                cudaStreamSynchronize(stream1));
  Report("peer_async_differ", back != pattern);
  // Plain copies between GPUs: the pointers say which.
  cudaSetDevice(0);
  Report("memset", cudaMemset(on0, 7, n));
  Report("default_kind", cudaMemcpy(on0, on1, n, cudaMemcpyDefault));
  Report("default_back", cudaMemcpy(back.data(), on0, n, cudaMemcpyDeviceToHost));
  Report("default_differ", back != pattern);
  Report("device_kind", cudaMemcpy(on1 + 1, on0, 4096, cudaMemcpyDeviceToDevice));
  Report("device_back", cudaMemcpy(back.data(), on1, 4097, cudaMemcpyDeviceToHost));
  Report("device_differ", std::memcmp(back.data() + 1, pattern.data(), 4096) != 0);
  // Refused: a device that is not there, a range past the allocation.
  Report("peer_bad_device", cudaMemcpyPeer(on1, 9, on0, 0, 64));
  Report("peer_past_end", cudaMemcpyPeer(on1 + 1, 1, on0, 0, n));
  cudaGetLastError();
  Report("peer_access", PeerKernels(reinterpret_cast<float*>(on1)));
  Report("teardown", cudaFree(on0) | cudaFree(on1) | cudaFree(other1) | cudaStreamDestroy(stream1));
  return 0;
}

// A kernel's illegal address sticks to its GPU until cudaDeviceReset, which
// also ends every allocation and handle of the GPU; the GPU then serves anew.
// The same after a kernel that brings down the client's worker.
int Reset() {
  cudaSetDevice(1);
  float* kept = nullptr;
  cudaMalloc(&kept, 256 * sizeof(float));
  cudaSetDevice(0);
  float* dev = nullptr;
  cudaStream_t stream;
  cudaEvent_t event;
  Report("setup", cudaMalloc(&dev, 256 * sizeof(float)) | cudaStreamCreate(&stream) | cudaEventCreate(&event));
  e2e_scale<<<1, 32, 0, stream>>>(reinterpret_cast<float*>(0x10), 2.0f, 32);
  Report("fault_launch", cudaGetLastError());
  Report("fault_sync", cudaStreamSynchronize(stream));
  Report("sticky_malloc", cudaMalloc(&dev, 64));
  Report("sticky_last", cudaGetLastError());
  Report("sticky_last_again", cudaGetLastError());
  cudaSetDevice(1);
  Report("other_gpu", cudaMemset(kept, 0, 256 * sizeof(float)) | cudaDeviceSynchronize());
  cudaSetDevice(0);
  Report("reset", cudaDeviceReset());
  Report("last_after_reset", cudaGetLastError());
  Report("old_stream", cudaStreamSynchronize(stream));
  Report("old_event", cudaEventRecord(event, nullptr));
  Report("old_memory", cudaFree(dev));
  cudaGetLastError();
  const int n = 256;
  std::vector<float> host(n, 2.0f);
  float* fresh = nullptr;
  Report("fresh", cudaMalloc(&fresh, n * sizeof(float)) |
                      cudaMemcpy(fresh, host.data(), n * sizeof(float), cudaMemcpyHostToDevice));
  float bias = 0;
  cudaMemcpyFromSymbol(&bias, e2e_bias, sizeof(bias));
  e2e_scale<<<1, n>>>(fresh, 3.0f, n);
  Report("fresh_back", cudaMemcpy(host.data(), fresh, n * sizeof(float), cudaMemcpyDeviceToHost));
  int wrong = 0;
  for (float v : host) wrong += v != 6.0f + bias;
  Report("fresh_wrong", wrong);

  // A kernel that runs far past its memory ends the client's worker: every
  // GPU's memory went with it, each GPU answers 700 until it is reset.
  e2e_scale<<<1 << 20, 1024>>>(fresh, 1.0f, 1 << 30);
  Report("crash_sync", cudaDeviceSynchronize());
  cudaSetDevice(1);
  Report("crash_other_gpu", cudaMemset(kept, 0, 16) | cudaDeviceSynchronize());
  cudaSetDevice(0);
  Report("crash_reset", cudaDeviceReset());
  for (float& v : host) v = 2.0f;
  float* again = nullptr;
  Report("again", cudaMalloc(&again, n * sizeof(float)) |
                      cudaMemcpy(again, host.data(), n * sizeof(float), cudaMemcpyHostToDevice));
  e2e_scale<<<1, n>>>(again, 3.0f, n);
  Report("again_back", cudaMemcpy(host.data(), again, n * sizeof(float), cudaMemcpyDeviceToHost));
  wrong = 0;
  for (float v : host) wrong += v != 6.0f + bias;
  Report("again_wrong", wrong);
  cudaSetDevice(1);
  Report("other_still_lost", cudaMalloc(&kept, 64));
  Report("other_reset", cudaDeviceReset());
  Report("other_again", cudaMalloc(&kept, 64) | cudaFree(kept));
  cudaSetDevice(0);
  Report("teardown", cudaFree(again));
  return 0;
}

}  // namespace

#include "e2e_graphs.cuh"
#include "e2e_pitched.cuh"

int main(int argc, char** argv) {
  const char* mode = argc > 1 ? argv[1] : "work";
  int result = 1;
  if (std::strcmp(mode, "work") == 0) result = Work();
  if (std::strcmp(mode, "errors") == 0) result = Errors();
  if (std::strcmp(mode, "threads") == 0) result = Threads();
  if (std::strcmp(mode, "host") == 0) result = Host();
  if (std::strcmp(mode, "kernels") == 0) result = Kernels();
  if (std::strcmp(mode, "callbacks") == 0) result = Callbacks();
  if (std::strcmp(mode, "peer") == 0) result = Peer();
  if (std::strcmp(mode, "reset") == 0) result = Reset();
  if (std::strcmp(mode, "graphs") == 0) result = Graphs();
  if (std::strcmp(mode, "pitched") == 0) result = Pitched();
  std::fflush(stdout);
  std::printf("R done=%d\n", result);
  return result;
}
