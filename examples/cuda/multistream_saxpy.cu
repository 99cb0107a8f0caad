// y = a*x + y in chunks on two streams per visible GPU: each chunk's copy in,
// kernel and copy out are queued on its stream without waiting, and events
// time each stream. The factor goes to constant memory. Every element is
// checked.
#include "saxpy_kernels.cuh"
#include "sample_util.h"

int main() {
  constexpr int kN = 1 << 22;
  constexpr int kChunks = 32;
  constexpr int kChunk = kN / kChunks;
  const float a = 2.0f;
  int count = 0;
  CHECK_CUDA(cudaGetDeviceCount(&count));
  if (count <= 0) return sample::Finish("multistream_saxpy", false, "");
  const int streams = 2 * count;

  float *x = nullptr, *y = nullptr;
  CHECK_CUDA(cudaMallocHost(&x, sizeof(float) * kN));
  CHECK_CUDA(cudaMallocHost(&y, sizeof(float) * kN));
  for (int i = 0; i < kN; ++i) {
    x[i] = static_cast<float>(i % 1000);
    y[i] = 1.0f;
  }
  std::vector<cudaStream_t> stream(streams);
  std::vector<cudaEvent_t> start(streams), stop(streams);
  std::vector<float*> dx(count), dy(count);
  for (int d = 0; d < count; ++d) {
    CHECK_CUDA(cudaSetDevice(d));
    CHECK_CUDA(cudaMemcpyToSymbol(saxpy_a, &a, sizeof(a)));
    CHECK_CUDA(cudaMalloc(&dx[d], sizeof(float) * kN));
    CHECK_CUDA(cudaMalloc(&dy[d], sizeof(float) * kN));
  }
  for (int s = 0; s < streams; ++s) {
    CHECK_CUDA(cudaSetDevice(s % count));
    CHECK_CUDA(cudaStreamCreateWithFlags(&stream[s], cudaStreamNonBlocking));
    CHECK_CUDA(cudaEventCreate(&start[s]));
    CHECK_CUDA(cudaEventCreate(&stop[s]));
  }

  const double t0 = sample::Seconds();
  for (int s = 0; s < streams; ++s) {
    CHECK_CUDA(cudaSetDevice(s % count));
    CHECK_CUDA(cudaEventRecord(start[s], stream[s]));
  }
  for (int c = 0; c < kChunks; ++c) {
    const int s = c % streams, d = s % count;
    const size_t off = static_cast<size_t>(c) * kChunk, bytes = sizeof(float) * kChunk;
    CHECK_CUDA(cudaSetDevice(d));
    CHECK_CUDA(cudaMemcpyAsync(dx[d] + off, x + off, bytes, cudaMemcpyHostToDevice, stream[s]));
    CHECK_CUDA(cudaMemcpyAsync(dy[d] + off, y + off, bytes, cudaMemcpyHostToDevice, stream[s]));
    saxpy<<<64, 256, 0, stream[s]>>>(kChunk, dx[d] + off, dy[d] + off);
    ++sample::Calls();
    CHECK_CUDA(cudaMemcpyAsync(y + off, dy[d] + off, bytes, cudaMemcpyDeviceToHost, stream[s]));
  }
  for (int s = 0; s < streams; ++s) {
    CHECK_CUDA(cudaSetDevice(s % count));
    CHECK_CUDA(cudaEventRecord(stop[s], stream[s]));
  }
  bool ok = true;
  double slowest_ms = 0;
  for (int s = 0; s < streams; ++s) {
    CHECK_CUDA(cudaSetDevice(s % count));
    CHECK_CUDA(cudaEventSynchronize(stop[s]));
    float ms = -1;
    CHECK_CUDA(cudaEventElapsedTime(&ms, start[s], stop[s]));
    if (!(ms >= 0)) ok = false;
    slowest_ms = ms > slowest_ms ? ms : slowest_ms;
    CHECK_CUDA(cudaStreamSynchronize(stream[s]));
    if (sample::Counted(cudaStreamQuery(stream[s])) != cudaSuccess) ok = false;
    if (sample::Counted(cudaEventQuery(stop[s])) != cudaSuccess) ok = false;
    std::printf("stream %d on GPU %d: %.3f ms between its events\n", s, s % count, ms);
  }
  const double seconds = sample::Seconds() - t0;

  int wrong = 0;
  for (int i = 0; i < kN; ++i) wrong += y[i] != a * static_cast<float>(i % 1000) + 1.0f;
  std::printf("%d elements, %d wrong; %.1f ms in all\n", kN, wrong, seconds * 1e3);
  ok = ok && wrong == 0;

  for (int s = 0; s < streams; ++s) {
    CHECK_CUDA(cudaSetDevice(s % count));
    CHECK_CUDA(cudaEventDestroy(start[s]));
    CHECK_CUDA(cudaEventDestroy(stop[s]));
    CHECK_CUDA(cudaStreamDestroy(stream[s]));
  }
  for (int d = 0; d < count; ++d) {
    CHECK_CUDA(cudaSetDevice(d));
    CHECK_CUDA(cudaFree(dx[d]));
    CHECK_CUDA(cudaFree(dy[d]));
  }
  CHECK_CUDA(cudaFreeHost(x));
  CHECK_CUDA(cudaFreeHost(y));
  // Copies in and out: 12 bytes per element.
  return sample::Finish("multistream_saxpy", ok,
                        sample::Figure("streams", streams) + sample::Figure("slowest_stream_ms", slowest_ms) +
                            sample::Figure("copy_gbps", 12.0 * kN / seconds / 1e9));
}
