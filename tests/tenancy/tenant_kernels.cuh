// The kernels of the tenancy matrix's program. The program compiles them with
// nvcc; the emulated node runs their CPU twins (tenant_kernel_library.cc).
#pragma once

__constant__ float tenant_factor;

__global__ void tenant_copy(const float* in, float* out, int n) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) out[i] = in[i];
}

__global__ void tenant_fill(float* out, float value, int n) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) out[i] = value;
}

__global__ void tenant_saxpy(const float* x, float* y, int n) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) y[i] = tenant_factor * x[i] + y[i];
}

// A block of more than 256 threads writes past its shared array.
__global__ void tenant_shared(float* out) {
  __shared__ float slots[256];
  slots[threadIdx.x] = static_cast<float>(threadIdx.x);
  __syncthreads();
  if (threadIdx.x == 0) out[blockIdx.x] = slots[0];
}

// Runs until *stop is set: nothing sets it, so it runs for ever.
__global__ void tenant_spin(int* stop) {
  volatile int* flag = stop;
  while (*flag == 0) {
  }
}

// Busy for `rounds` rounds of arithmetic per thread.
__global__ void tenant_busy(unsigned* out, unsigned rounds) {
  unsigned acc = threadIdx.x;
  for (unsigned i = 0; i < rounds; ++i) acc = acc * 1664525u + 1013904223u;
  out[blockIdx.x * blockDim.x + threadIdx.x] = acc;
}
