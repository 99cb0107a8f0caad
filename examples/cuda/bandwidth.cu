// Copy bandwidth between host and GPU, pageable and pinned host memory,
// 1 KiB to 256 MiB, both directions; every size's data is checked after its
// round trip. Ends with a device-to-device copy, also checked.
//
// Usage: bandwidth [--device D] [--max-mib M]   (defaults 0 and 256)
#include <cstdint>
#include <cstring>

#include "sample_util.h"

namespace {

struct Rates {
  double h2d = 0, d2h = 0;  // GB/s
};

void Fill(unsigned char* p, size_t bytes, unsigned seed) {
  for (size_t i = 0; i < bytes; i += 64) p[i] = static_cast<unsigned char>((i / 64) * 31 + seed);
  p[bytes - 1] = static_cast<unsigned char>(seed * 7 + 1);
}

bool Same(const unsigned char* a, const unsigned char* b, size_t bytes) {
  for (size_t i = 0; i < bytes; i += 64) {
    if (a[i] != b[i]) return false;
  }
  return a[bytes - 1] == b[bytes - 1];
}

// Enough repeats that the small sizes are not all latency noise, and the
// large ones still finish quickly.
int Repeats(size_t bytes) {
  const size_t budget = size_t{64} << 20;
  const size_t r = budget / bytes;
  return static_cast<int>(r < 2 ? 2 : (r > 200 ? 200 : r));
}

Rates Measure(unsigned char* src, unsigned char* dst, unsigned char* device, size_t bytes, unsigned seed, bool* ok) {
  Fill(src, bytes, seed);
  std::memset(dst, 0, bytes);
  const int reps = Repeats(bytes);
  Rates r;
  double t0 = sample::Seconds();
  for (int i = 0; i < reps; ++i) CHECK_CUDA(cudaMemcpy(device, src, bytes, cudaMemcpyHostToDevice));
  r.h2d = static_cast<double>(bytes) * reps / (sample::Seconds() - t0) / 1e9;
  t0 = sample::Seconds();
  for (int i = 0; i < reps; ++i) CHECK_CUDA(cudaMemcpy(dst, device, bytes, cudaMemcpyDeviceToHost));
  r.d2h = static_cast<double>(bytes) * reps / (sample::Seconds() - t0) / 1e9;
  if (!Same(src, dst, bytes)) {
    std::printf("data differ after a round trip of %zu bytes\n", bytes);
    *ok = false;
  }
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int device = 0;
  size_t max_mib = 256;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--device") == 0) device = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--max-mib") == 0) max_mib = std::strtoull(argv[i + 1], nullptr, 10);
  }
  const size_t max_bytes = max_mib << 20;
  CHECK_CUDA(cudaSetDevice(device));
  unsigned char* dev = nullptr;
  CHECK_CUDA(cudaMalloc(&dev, max_bytes));

  std::vector<size_t> sizes;
  for (size_t s = 1024; s <= max_bytes; s *= 4) sizes.push_back(s);
  std::vector<Rates> pageable(sizes.size()), pinned(sizes.size());
  bool ok = !sizes.empty();
  {
    std::vector<unsigned char> src(max_bytes), dst(max_bytes);
    for (size_t k = 0; k < sizes.size(); ++k) {
      pageable[k] = Measure(src.data(), dst.data(), dev, sizes[k], static_cast<unsigned>(k), &ok);
    }
  }
  unsigned char *src = nullptr, *dst = nullptr;
  CHECK_CUDA(cudaMallocHost(&src, max_bytes));
  CHECK_CUDA(cudaMallocHost(&dst, max_bytes));
  for (size_t k = 0; k < sizes.size(); ++k) pinned[k] = Measure(src, dst, dev, sizes[k], static_cast<unsigned>(k + 50), &ok);

  std::printf("GPU %d, GB/s      pageable H2D  D2H     pinned H2D  D2H\n", device);
  for (size_t k = 0; k < sizes.size(); ++k) {
    const size_t s = sizes[k];
    std::printf("%8zu %s  %13.3f %6.3f  %11.3f %6.3f\n", s >= (1u << 20) ? s >> 20 : s >> 10,
                s >= (1u << 20) ? "MiB" : "KiB", pageable[k].h2d, pageable[k].d2h, pinned[k].h2d, pinned[k].d2h);
  }

  // Device to device, checked by copying back.
  const size_t half = max_bytes / 2 < (size_t{1} << 20) ? max_bytes / 2 : (size_t{1} << 20);
  Fill(src, half, 99);
  CHECK_CUDA(cudaMemcpy(dev, src, half, cudaMemcpyHostToDevice));
  CHECK_CUDA(cudaMemcpy(dev + half, dev, half, cudaMemcpyDeviceToDevice));
  CHECK_CUDA(cudaMemcpy(dst, dev + half, half, cudaMemcpyDeviceToHost));
  if (!Same(src, dst, half)) {
    std::printf("device-to-device copy differs\n");
    ok = false;
  }
  CHECK_CUDA(cudaFreeHost(src));
  CHECK_CUDA(cudaFreeHost(dst));
  CHECK_CUDA(cudaFree(dev));

  // The figure the scripts quote: 64 MiB pinned, or the largest size below it.
  size_t quote = 0;
  for (size_t k = 0; k < sizes.size(); ++k) {
    if (sizes[k] <= (size_t{64} << 20)) quote = k;
  }
  return sample::Finish("bandwidth", ok,
                        sample::Figure("quoted_mib", static_cast<double>(sizes[quote]) / (1 << 20)) +
                            sample::Figure("h2d_gbps", pinned[quote].h2d) + sample::Figure("d2h_gbps", pinned[quote].d2h) +
                            sample::Figure("h2d_pageable_gbps", pageable[quote].h2d) +
                            sample::Figure("d2h_pageable_gbps", pageable[quote].d2h));
}
