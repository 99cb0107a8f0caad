// Adds two vectors on every visible GPU and checks the sums; then measures
// the launch rate with a stream of small launches on the first GPU.
//
// Usage: vector_add [--launches N]   (default 200000)
#include <cstring>

#include "sample_util.h"
#include "vector_add_kernels.cuh"

namespace {

bool AddOn(int device, int n) {
  CHECK_CUDA(cudaSetDevice(device));
  std::vector<float> a(n), b(n), c(n, -1.0f);
  for (int i = 0; i < n; ++i) {
    a[i] = static_cast<float>(i % 1000);
    b[i] = static_cast<float>(2 * (i % 777));
  }
  const size_t bytes = sizeof(float) * n;
  float *da = nullptr, *db = nullptr, *dc = nullptr;
  CHECK_CUDA(cudaMalloc(&da, bytes));
  CHECK_CUDA(cudaMalloc(&db, bytes));
  CHECK_CUDA(cudaMalloc(&dc, bytes));
  CHECK_CUDA(cudaMemcpy(da, a.data(), bytes, cudaMemcpyHostToDevice));
  CHECK_CUDA(cudaMemcpy(db, b.data(), bytes, cudaMemcpyHostToDevice));
  vectorAdd<<<(n + 255) / 256, 256>>>(da, db, dc, n);
  ++sample::Calls();
  CHECK_CUDA(cudaGetLastError());
  CHECK_CUDA(cudaMemcpy(c.data(), dc, bytes, cudaMemcpyDeviceToHost));
  CHECK_CUDA(cudaFree(da));
  CHECK_CUDA(cudaFree(db));
  CHECK_CUDA(cudaFree(dc));
  int wrong = 0;
  for (int i = 0; i < n; ++i) wrong += c[i] != a[i] + b[i];
  std::printf("GPU %d: %d sums, %d wrong\n", device, n, wrong);
  return wrong == 0;
}

}  // namespace

int main(int argc, char** argv) {
  int launches = 200000;
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "--launches") == 0) launches = std::atoi(argv[i + 1]);
  }
  int count = 0;
  CHECK_CUDA(cudaGetDeviceCount(&count));
  bool ok = count > 0;
  for (int d = 0; d < count; ++d) ok = AddOn(d, 1 << 20) && ok;

  CHECK_CUDA(cudaSetDevice(0));
  unsigned int* marks = nullptr;
  CHECK_CUDA(cudaMalloc(&marks, sizeof(unsigned int)));
  CHECK_CUDA(cudaMemset(marks, 0, sizeof(unsigned int)));
  CHECK_CUDA(cudaDeviceSynchronize());
  const double t0 = sample::Seconds();
  for (int i = 0; i < launches; ++i) countLaunch<<<1, 32>>>(marks);
  const double t1 = sample::Seconds();
  CHECK_CUDA(cudaDeviceSynchronize());
  const double t2 = sample::Seconds();
  sample::Calls() += launches;
  unsigned int ran = 0;
  CHECK_CUDA(cudaMemcpy(&ran, marks, sizeof(ran), cudaMemcpyDeviceToHost));
  CHECK_CUDA(cudaFree(marks));
  const double issued = launches / (t1 - t0), done = launches / (t2 - t0);
  std::printf("%d launches: %.0f per second issued, %.0f per second run; %u ran\n", launches, issued, done, ran);
  ok = ok && ran == static_cast<unsigned int>(launches);
  return sample::Finish("vector_add", ok,
                        sample::Figure("launches", launches) + sample::Figure("launch_issue_per_s", issued) +
                            sample::Figure("launch_done_per_s", done));
}
