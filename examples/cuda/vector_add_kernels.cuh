// Kernels of the vector_add sample; compiled by nvcc into the program and by
// the host compiler into the CPU kernel library.
#pragma once

__global__ void vectorAdd(const float* a, const float* b, float* c, int n) {
  const int i = blockIdx.x * blockDim.x + threadIdx.x;
  if (i < n) c[i] = a[i] + b[i];
}

// Next to no work, so that a stream of launches measures the launch path;
// each launch leaves a mark, so that a lost launch is noticed.
__global__ void countLaunch(unsigned int* launches) {
  if (blockIdx.x == 0 && threadIdx.x == 0) atomicAdd(launches, 1u);
}
