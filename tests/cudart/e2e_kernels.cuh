// The kernels of the end-to-end program. The program compiles them with
// nvcc; the emulated node runs their CPU twins from e2e_kernel_library.cc.
#pragma once

__device__ float e2e_bias;

__global__ void e2e_scale(float* data, float factor, int n) {
  int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) data[i] = data[i] * factor + e2e_bias;
}

// Not in the node's kernel library: its launch fails there.
__global__ void e2e_missing(int* p) { *p = 1; }

// Never launched: its attributes are asked for. A 1024-byte stack frame,
// 400 bytes of static shared memory, at most 128 threads per block.
__global__ void __launch_bounds__(128) e2e_bounded(int* a, int n) {
  __shared__ float tile[100];
  int local[256];
  for (int i = 0; i < 256; ++i) local[i] = a[(i * n) & 1023];
  local[a[1] & 255] += n;
  tile[threadIdx.x % 100] = local[a[2] & 255];
  __syncthreads();
  a[threadIdx.x] = static_cast<int>(tile[(threadIdx.x + 1) % 100]);
}
