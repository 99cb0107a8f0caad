// Kernels of the multistream_saxpy sample. The factor lives in constant
// memory, set by cudaMemcpyToSymbol.
#pragma once

__constant__ float saxpy_a;

__global__ void saxpy(int n, const float* x, float* y) {
  for (int i = blockIdx.x * blockDim.x + threadIdx.x; i < n; i += blockDim.x * gridDim.x) {
    y[i] = saxpy_a * x[i] + y[i];
  }
}
