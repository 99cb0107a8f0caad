// Kernels of the async_work sample; compiled by nvcc into the program and by
// the host compiler into the CPU kernel library.
#pragma once

// A chain of dependent steps per element, so that the kernel takes a while
// and no compiler folds it: v = v * 3 + step, `steps` times (mod 2^32).
__global__ void stepChain(unsigned int* data, unsigned int step, int steps, int n) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i >= n) return;
  unsigned int v = data[i];
  for (int k = 0; k < steps; ++k) v = v * 3u + step;
  data[i] = v;
}
