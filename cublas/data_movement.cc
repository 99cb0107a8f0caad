// Moving vectors and matrices between the host and a GPU. Both are laid out
// column-major and strided, so every transfer is one pitched copy of the
// runtime: a matrix is `cols` rows of `rows` elements, a pitch of a leading
// dimension apart; a vector is `n` rows of one element, a pitch of an
// increment apart. The bytes between the rows are never read or written.
//
// The arguments are checked as the library's documentation states, before
// anything is copied; a copy the runtime refuses or fails is an error of
// mapping the GPU's memory.
#include <cublas_api.h>
#include <cuda_runtime_api.h>

#include <algorithm>
#include <cstdint>

namespace {

// One pitched transfer: `height` rows of `width` bytes.
struct PitchedCopy {
  void* dst;
  size_t dst_pitch;
  const void* src;
  size_t src_pitch;
  size_t width;
  size_t height;
  cudaMemcpyKind kind;
};

// How a transfer is ordered: on the legacy stream and waited for, or queued
// on `stream`.
struct Ordering {
  bool async;
  cudaStream_t stream;
};

constexpr Ordering kSynchronous{false, nullptr};

// `count` elements of `elem_bytes` in bytes, into `*bytes`; false when it
// does not fit.
bool Bytes(int64_t count, int64_t elem_bytes, size_t* bytes) {
  uint64_t product = 0;
  if (__builtin_mul_overflow(static_cast<uint64_t>(count), static_cast<uint64_t>(elem_bytes), &product)) return false;
  *bytes = product;
  return product <= static_cast<uint64_t>(INT64_MAX);
}

// The whole region a side spans, from its first byte to the end of its
// last row, fits in the address space.
bool SpanFits(size_t pitch, size_t width, size_t height) {
  size_t span = 0;
  return height == 0 || (!__builtin_mul_overflow(pitch, height - 1, &span) && !__builtin_add_overflow(span, width, &span));
}

cublasStatus_t Run(const PitchedCopy& copy, Ordering ordering) {
  if (copy.width == 0 || copy.height == 0) return CUBLAS_STATUS_SUCCESS;
  if (!SpanFits(copy.src_pitch, copy.width, copy.height) || !SpanFits(copy.dst_pitch, copy.width, copy.height)) {
    return CUBLAS_STATUS_INVALID_VALUE;
  }
  const cudaError_t status =
      ordering.async ? cudaMemcpy2DAsync(copy.dst, copy.dst_pitch, copy.src, copy.src_pitch, copy.width, copy.height,
                                         copy.kind, ordering.stream)
                     : cudaMemcpy2D(copy.dst, copy.dst_pitch, copy.src, copy.src_pitch, copy.width, copy.height,
                                    copy.kind);
  return status == cudaSuccess ? CUBLAS_STATUS_SUCCESS : CUBLAS_STATUS_MAPPING_ERROR;
}

// `n` elements from every `incx`-th of `x` to every `incy`-th of `y`.
cublasStatus_t CopyVector(int64_t n, int64_t elem_bytes, const void* x, int64_t incx, void* y, int64_t incy,
                          cudaMemcpyKind kind, Ordering ordering) {
  if (n < 0 || elem_bytes <= 0 || incx <= 0 || incy <= 0) return CUBLAS_STATUS_INVALID_VALUE;
  PitchedCopy copy{y, 0, x, 0, static_cast<size_t>(elem_bytes), static_cast<size_t>(n), kind};
  if (!Bytes(incx, elem_bytes, &copy.src_pitch) || !Bytes(incy, elem_bytes, &copy.dst_pitch)) {
    return CUBLAS_STATUS_INVALID_VALUE;
  }
  return Run(copy, ordering);
}

// The `rows` x `cols` tile of column-major `a` (leading dimension `lda`)
// into column-major `b` (leading dimension `ldb`).
cublasStatus_t CopyMatrix(int64_t rows, int64_t cols, int64_t elem_bytes, const void* a, int64_t lda, void* b,
                          int64_t ldb, cudaMemcpyKind kind, Ordering ordering) {
  if (rows < 0 || cols < 0 || elem_bytes <= 0) return CUBLAS_STATUS_INVALID_VALUE;
  if (lda < std::max<int64_t>(1, rows) || ldb < std::max<int64_t>(1, rows)) return CUBLAS_STATUS_INVALID_VALUE;
  PitchedCopy copy{b, 0, a, 0, 0, static_cast<size_t>(cols), kind};
  if (!Bytes(rows, elem_bytes, &copy.width) || !Bytes(lda, elem_bytes, &copy.src_pitch) ||
      !Bytes(ldb, elem_bytes, &copy.dst_pitch)) {
    return CUBLAS_STATUS_INVALID_VALUE;
  }
  return Run(copy, ordering);
}

}  // namespace

extern "C" {

cublasStatus_t cublasSetVector(int n, int elemSize, const void* x, int incx, void* devicePtr, int incy) {
  return CopyVector(n, elemSize, x, incx, devicePtr, incy, cudaMemcpyHostToDevice, kSynchronous);
}

cublasStatus_t cublasSetVector_64(int64_t n, int64_t elemSize, const void* x, int64_t incx, void* devicePtr,
                                  int64_t incy) {
  return CopyVector(n, elemSize, x, incx, devicePtr, incy, cudaMemcpyHostToDevice, kSynchronous);
}

cublasStatus_t cublasGetVector(int n, int elemSize, const void* x, int incx, void* y, int incy) {
  return CopyVector(n, elemSize, x, incx, y, incy, cudaMemcpyDeviceToHost, kSynchronous);
}

cublasStatus_t cublasGetVector_64(int64_t n, int64_t elemSize, const void* x, int64_t incx, void* y, int64_t incy) {
  return CopyVector(n, elemSize, x, incx, y, incy, cudaMemcpyDeviceToHost, kSynchronous);
}

cublasStatus_t cublasSetVectorAsync(int n, int elemSize, const void* hostPtr, int incx, void* devicePtr, int incy,
                                    cudaStream_t stream) {
  return CopyVector(n, elemSize, hostPtr, incx, devicePtr, incy, cudaMemcpyHostToDevice, {true, stream});
}

cublasStatus_t cublasSetVectorAsync_64(int64_t n, int64_t elemSize, const void* hostPtr, int64_t incx,
                                       void* devicePtr, int64_t incy, cudaStream_t stream) {
  return CopyVector(n, elemSize, hostPtr, incx, devicePtr, incy, cudaMemcpyHostToDevice, {true, stream});
}

cublasStatus_t cublasGetVectorAsync(int n, int elemSize, const void* devicePtr, int incx, void* hostPtr, int incy,
                                    cudaStream_t stream) {
  return CopyVector(n, elemSize, devicePtr, incx, hostPtr, incy, cudaMemcpyDeviceToHost, {true, stream});
}

cublasStatus_t cublasGetVectorAsync_64(int64_t n, int64_t elemSize, const void* devicePtr, int64_t incx,
                                       void* hostPtr, int64_t incy, cudaStream_t stream) {
  return CopyVector(n, elemSize, devicePtr, incx, hostPtr, incy, cudaMemcpyDeviceToHost, {true, stream});
}

cublasStatus_t cublasSetMatrix(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb) {
  return CopyMatrix(rows, cols, elemSize, A, lda, B, ldb, cudaMemcpyHostToDevice, kSynchronous);
}

cublasStatus_t cublasSetMatrix_64(int64_t rows, int64_t cols, int64_t elemSize, const void* A, int64_t lda, void* B,
                                  int64_t ldb) {
  return CopyMatrix(rows, cols, elemSize, A, lda, B, ldb, cudaMemcpyHostToDevice, kSynchronous);
}

cublasStatus_t cublasGetMatrix(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb) {
  return CopyMatrix(rows, cols, elemSize, A, lda, B, ldb, cudaMemcpyDeviceToHost, kSynchronous);
}

cublasStatus_t cublasGetMatrix_64(int64_t rows, int64_t cols, int64_t elemSize, const void* A, int64_t lda, void* B,
                                  int64_t ldb) {
  return CopyMatrix(rows, cols, elemSize, A, lda, B, ldb, cudaMemcpyDeviceToHost, kSynchronous);
}

cublasStatus_t cublasSetMatrixAsync(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb,
                                    cudaStream_t stream) {
  return CopyMatrix(rows, cols, elemSize, A, lda, B, ldb, cudaMemcpyHostToDevice, {true, stream});
}

cublasStatus_t cublasSetMatrixAsync_64(int64_t rows, int64_t cols, int64_t elemSize, const void* A, int64_t lda,
                                       void* B, int64_t ldb, cudaStream_t stream) {
  return CopyMatrix(rows, cols, elemSize, A, lda, B, ldb, cudaMemcpyHostToDevice, {true, stream});
}

cublasStatus_t cublasGetMatrixAsync(int rows, int cols, int elemSize, const void* A, int lda, void* B, int ldb,
                                    cudaStream_t stream) {
  return CopyMatrix(rows, cols, elemSize, A, lda, B, ldb, cudaMemcpyDeviceToHost, {true, stream});
}

cublasStatus_t cublasGetMatrixAsync_64(int64_t rows, int64_t cols, int64_t elemSize, const void* A, int64_t lda,
                                       void* B, int64_t ldb, cudaStream_t stream) {
  return CopyMatrix(rows, cols, elemSize, A, lda, B, ldb, cudaMemcpyDeviceToHost, {true, stream});
}

}  // extern "C"
