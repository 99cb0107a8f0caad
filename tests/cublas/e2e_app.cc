// A program on our BLAS and runtime libraries, built by the host compiler:
// it makes a handle, sets its stream and modes, round-trips a matrix and a
// strided vector through every form of the data movement calls, provokes
// the argument and mapping errors, and destroys the handle. It prints
// "R name=value" lines for cublas_e2e_test to compare; a round trip prints
// one line with the status of each step and the count of wrong values and
// touched gap bytes, on the host and on the GPU.
#include <cublas_v2.h>
#include <cuda_runtime_api.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr unsigned char kHostFill = 0x5c;
constexpr unsigned char kDeviceFill = 0xa7;

void Say(const char* name, long long value) { std::printf("R %s=%lld\n", name, value); }

// Each data movement call in its four forms: waited for or queued on a
// stream, with 32- or 64-bit arguments.
enum Form { kPlain, kAsync, kPlain64, kAsync64 };
constexpr Form kForms[] = {kPlain, kAsync, kPlain64, kAsync64};
constexpr const char* kFormNames[] = {"", "_async", "_64", "_async_64"};

cublasStatus_t SetMatrixAs(Form form, int rows, int cols, int elem, const void* a, int lda, void* b, int ldb,
                           cudaStream_t stream) {
  switch (form) {
    case kPlain: return cublasSetMatrix(rows, cols, elem, a, lda, b, ldb);
    case kAsync: return cublasSetMatrixAsync(rows, cols, elem, a, lda, b, ldb, stream);
    case kPlain64: return cublasSetMatrix_64(rows, cols, elem, a, lda, b, ldb);
    case kAsync64: return cublasSetMatrixAsync_64(rows, cols, elem, a, lda, b, ldb, stream);
  }
  return CUBLAS_STATUS_INTERNAL_ERROR;
}

cublasStatus_t GetMatrixAs(Form form, int rows, int cols, int elem, const void* a, int lda, void* b, int ldb,
                           cudaStream_t stream) {
  switch (form) {
    case kPlain: return cublasGetMatrix(rows, cols, elem, a, lda, b, ldb);
    case kAsync: return cublasGetMatrixAsync(rows, cols, elem, a, lda, b, ldb, stream);
    case kPlain64: return cublasGetMatrix_64(rows, cols, elem, a, lda, b, ldb);
    case kAsync64: return cublasGetMatrixAsync_64(rows, cols, elem, a, lda, b, ldb, stream);
  }
  return CUBLAS_STATUS_INTERNAL_ERROR;
}

cublasStatus_t SetVectorAs(Form form, int n, int elem, const void* x, int incx, void* y, int incy,
                           cudaStream_t stream) {
  switch (form) {
    case kPlain: return cublasSetVector(n, elem, x, incx, y, incy);
    case kAsync: return cublasSetVectorAsync(n, elem, x, incx, y, incy, stream);
    case kPlain64: return cublasSetVector_64(n, elem, x, incx, y, incy);
    case kAsync64: return cublasSetVectorAsync_64(n, elem, x, incx, y, incy, stream);
  }
  return CUBLAS_STATUS_INTERNAL_ERROR;
}

cublasStatus_t GetVectorAs(Form form, int n, int elem, const void* x, int incx, void* y, int incy,
                           cudaStream_t stream) {
  switch (form) {
    case kPlain: return cublasGetVector(n, elem, x, incx, y, incy);
    case kAsync: return cublasGetVectorAsync(n, elem, x, incx, y, incy, stream);
    case kPlain64: return cublasGetVector_64(n, elem, x, incx, y, incy);
    case kAsync64: return cublasGetVectorAsync_64(n, elem, x, incx, y, incy, stream);
  }
  return CUBLAS_STATUS_INTERNAL_ERROR;
}

// A strided layout: `count` runs of `run` elements, `step` elements apart
// (a column-major matrix: count = cols, run = rows, step = the leading
// dimension; a vector: run = 1, step = the increment).
struct Layout {
  int count;
  int run;
  int step;
  size_t Elements() const { return static_cast<size_t>(count) * step; }
  bool InGap(size_t element) const { return static_cast<int>(element % step) >= run; }
};

// Bytes of `bytes` (elements of `elem`) in the gaps of `layout` that are not `fill`.
int TouchedGapBytes(const std::vector<unsigned char>& bytes, int elem, const Layout& layout, unsigned char fill) {
  int touched = 0;
  for (size_t i = 0; i < bytes.size(); ++i) touched += layout.InGap(i / elem) && bytes[i] != fill;
  return touched;
}

// Elements of `got` that differ from those of `sent` where each layout holds data.
int WrongElements(const std::vector<unsigned char>& sent, const Layout& from, const std::vector<unsigned char>& got,
                  const Layout& to, int elem) {
  int wrong = 0;
  for (int c = 0; c < from.count; ++c) {
    for (int r = 0; r < from.run; ++r) {
      wrong += std::memcmp(&sent[(static_cast<size_t>(c) * from.step + r) * elem],
                           &got[(static_cast<size_t>(c) * to.step + r) * elem], elem) != 0;
    }
  }
  return wrong;
}

// Host data in `host` layout to a GPU buffer in `device` layout and back
// into a second host buffer in `back` layout, in `form`; prints one line.
void RoundTrip(const char* kind, Form form, const Layout& host, const Layout& device, const Layout& back, int elem,
               cudaStream_t stream) {
  const bool matrix = host.run > 1;
  std::vector<unsigned char> sent(host.Elements() * elem);
  for (size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<unsigned char>(i * 7 + 1);
  std::vector<unsigned char> got(back.Elements() * elem, kHostFill);
  std::vector<unsigned char> on_gpu(device.Elements() * elem);
  void* d = nullptr;
  int setup = cudaMalloc(&d, on_gpu.size());
  if (setup == 0) setup = cudaMemset(d, kDeviceFill, on_gpu.size());
  if (setup == 0) setup = cudaDeviceSynchronize();
  const int set = matrix ? SetMatrixAs(form, host.run, host.count, elem, sent.data(), host.step, d, device.step, stream)
                         : SetVectorAs(form, host.count, elem, sent.data(), host.step, d, device.step, stream);
  const int get = matrix ? GetMatrixAs(form, host.run, host.count, elem, d, device.step, got.data(), back.step, stream)
                         : GetVectorAs(form, host.count, elem, d, device.step, got.data(), back.step, stream);
  const int sync = cudaStreamSynchronize(stream);
  const int peek = cudaMemcpy(on_gpu.data(), d, on_gpu.size(), cudaMemcpyDeviceToHost);
  cudaFree(d);
  std::printf("R %s%s=setup %d set %d get %d sync %d peek %d wrong %d host_gaps %d device_gaps %d\n", kind,
              kFormNames[form], setup, set, get, sync, peek, WrongElements(sent, host, got, back, elem),
              TouchedGapBytes(got, elem, back, kHostFill), TouchedGapBytes(on_gpu, elem, device, kDeviceFill));
}

void Handles(cublasHandle_t handle, cudaStream_t stream) {
  int version = 0;
  Say("version", cublasGetVersion(handle, &version));
  Say("version_ok", version == CUBLAS_VERSION);
  cudaStream_t got = nullptr;
  Say("set_stream", cublasSetStream(handle, stream));
  Say("get_stream", cublasGetStream(handle, &got));
  Say("stream_same", got == stream);
  cublasPointerMode_t pointer_mode = CUBLAS_POINTER_MODE_HOST;
  Say("pointer_mode_set", cublasSetPointerMode(handle, CUBLAS_POINTER_MODE_DEVICE));
  Say("pointer_mode_get", cublasGetPointerMode(handle, &pointer_mode));
  Say("pointer_mode", pointer_mode);
  Say("pointer_mode_bad", cublasSetPointerMode(handle, static_cast<cublasPointerMode_t>(5)));
  cublasMath_t math = CUBLAS_DEFAULT_MATH;
  const auto tf32_exact =
      static_cast<cublasMath_t>(CUBLAS_TF32_TENSOR_OP_MATH | CUBLAS_MATH_DISALLOW_REDUCED_PRECISION_REDUCTION);
  Say("math_set", cublasSetMathMode(handle, tf32_exact));
  Say("math_get", cublasGetMathMode(handle, &math));
  Say("math_mode", math);
  Say("math_bad", cublasSetMathMode(handle, static_cast<cublasMath_t>(5)));
  void* workspace = nullptr;
  cudaMalloc(&workspace, 4096);
  Say("workspace", cublasSetWorkspace(handle, workspace, 4096));
  Say("workspace_misaligned", cublasSetWorkspace(handle, static_cast<char*>(workspace) + 8, 1024));
  Say("workspace_default", cublasSetWorkspace(handle, nullptr, 0));
  cudaFree(workspace);
}

// Arguments refused before any copy, and copies the runtime refuses.
void Errors() {
  void* d = nullptr;
  cudaMalloc(&d, 256);
  std::vector<float> host(256);
  Say("lda_short", cublasSetMatrix(4, 2, 4, host.data(), 3, d, 4));
  Say("ldb_short", cublasGetMatrixAsync(4, 2, 4, d, 4, host.data(), 2, nullptr));
  Say("incx_zero", cublasSetVector(4, 4, host.data(), 0, d, 1));
  Say("incy_negative", cublasGetVector(4, 4, d, 1, host.data(), -1));
  Say("elem_zero", cublasSetMatrix_64(2, 2, 0, host.data(), 2, d, 2));
  Say("past_end", cublasSetVector(100, 4, host.data(), 1, d, 1));
  Say("past_end_async", cublasGetMatrixAsync(8, 16, 4, d, 8, host.data(), 8, nullptr));
  Say("empty", cublasSetMatrix(0, 3, 4, host.data(), 1, d, 1));
  // The columns queued before the one past the end still land in `host`.
  cudaDeviceSynchronize();
  cudaFree(d);
}

}  // namespace

int main() {
  cublasHandle_t handle = nullptr;
  Say("create", cublasCreate(&handle));
  cudaStream_t stream = nullptr;
  Say("stream_create", cudaStreamCreate(&stream));
  Handles(handle, stream);
  for (Form form : kForms) {
    // 3 x 4 doubles: lda 5 on the host, ldb 4 on the GPU, 6 on the way back.
    RoundTrip("matrix", form, {4, 3, 5}, {4, 3, 4}, {4, 3, 6}, 8, stream);
    // 5 floats: every 2nd on the host, every 3rd on the GPU.
    RoundTrip("vector", form, {5, 1, 2}, {5, 1, 3}, {5, 1, 2}, 4, stream);
  }
  Errors();
  Say("destroy", cublasDestroy(handle));
  cudaStream_t after = nullptr;
  cublasMath_t math;
  Say("destroy_again", cublasDestroy(handle));
  Say("set_stream_destroyed", cublasSetStream(handle, stream));
  Say("get_math_destroyed", cublasGetMathMode(handle, &math));
  Say("get_stream_null", cublasGetStream(nullptr, &after));
  Say("stream_destroy", cudaStreamDestroy(stream));
  Say("done", 0);
  return 0;
}
