// The "pitched" mode of the end-to-end program: pitched allocations, 2D
// copies both ways around a kernel, a 2D memset that leaves the padding
// alone, a 3D sub-box copied out of a 3D allocation, and the refusals.
// Included by e2e_app.cu, after Report.
#pragma once

#include <cuda_runtime.h>

#include <vector>

int Pitched() {
  constexpr int kCols = 100, kRows = 37;
  const size_t row_bytes = kCols * sizeof(float);
  float* dev = nullptr;
  size_t pitch = 0;
  Report("malloc_pitch", cudaMallocPitch(reinterpret_cast<void**>(&dev), &pitch, row_bytes, kRows));
  Report("pitch", pitch);
  std::vector<float> host(kCols * kRows), back(kCols * kRows);
  for (int i = 0; i < kCols * kRows; ++i) host[i] = static_cast<float>(i % 251);
  float bias = 0;
  cudaMemcpyFromSymbol(&bias, e2e_bias, sizeof(bias));
  // Padding included: the kernel scales the whole pitched buffer.
  const int n = static_cast<int>(pitch / sizeof(float)) * kRows;
  Report("fill", cudaMemset(dev, 0, pitch * kRows));
  Report("up", cudaMemcpy2D(dev, pitch, host.data(), row_bytes, row_bytes, kRows, cudaMemcpyHostToDevice));
  e2e_scale<<<(n + 255) / 256, 256>>>(dev, 2.0f, n);
  Report("down", cudaMemcpy2D(back.data(), row_bytes, dev, pitch, row_bytes, kRows, cudaMemcpyDeviceToHost));
  int wrong = 0;
  for (int i = 0; i < kCols * kRows; ++i) wrong += back[i] != host[i] * 2.0f + bias;
  Report("scaled_wrong", wrong);
  // Rows cleared, padding kept: the padding read back raw.
  cudaStream_t stream;
  cudaStreamCreate(&stream);
  Report("set2d", cudaMemset2DAsync(dev, pitch, 0, row_bytes, kRows, stream));
  std::vector<float> raw(pitch / sizeof(float) * kRows);
  Report("raw", cudaMemcpyAsync(raw.data(), dev, pitch * kRows, cudaMemcpyDeviceToHost, stream));
  Report("sync", cudaStreamSynchronize(stream));
  int rows_wrong = 0, padding_wrong = 0;
  const size_t stride = pitch / sizeof(float);
  for (int y = 0; y < kRows; ++y) {
    for (size_t x = 0; x < stride; ++x) {
      const float v = raw[y * stride + x];
      if (x < kCols) {
        rows_wrong += v != 0.0f;
      } else {
        padding_wrong += v != bias;  // 0 scaled, plus the bias
      }
    }
  }
  Report("rows_wrong", rows_wrong);
  Report("padding_wrong", padding_wrong);

  // A 3D allocation of 4 x 5 x 6 ints; the 2 x 3 x 4 box at (1, 1, 1) back.
  const cudaExtent extent = make_cudaExtent(4 * sizeof(int), 5, 6);
  cudaPitchedPtr volume;
  Report("malloc3d", cudaMalloc3D(&volume, extent));
  std::vector<int> cube(4 * 5 * 6), box(2 * 3 * 4, -1);
  for (int i = 0; i < 4 * 5 * 6; ++i) cube[i] = i;
  cudaMemcpy3DParms in = {};
  in.srcPtr = make_cudaPitchedPtr(cube.data(), 4 * sizeof(int), 4, 5);
  in.dstPtr = volume;
  in.extent = extent;
  in.kind = cudaMemcpyHostToDevice;
  Report("cube_up", cudaMemcpy3D(&in));
  cudaMemcpy3DParms out = {};
  out.srcPtr = volume;
  out.srcPos = make_cudaPos(1 * sizeof(int), 1, 1);
  out.dstPtr = make_cudaPitchedPtr(box.data(), 2 * sizeof(int), 2, 3);
  out.extent = make_cudaExtent(2 * sizeof(int), 3, 4);
  out.kind = cudaMemcpyDeviceToHost;
  Report("box_down", cudaMemcpy3DAsync(&out, stream));
  cudaStreamSynchronize(stream);
  int box_wrong = 0;
  for (int z = 0; z < 4; ++z) {
    for (int y = 0; y < 3; ++y) {
      for (int x = 0; x < 2; ++x) box_wrong += box[(z * 3 + y) * 2 + x] != ((z + 1) * 5 + (y + 1)) * 4 + (x + 1);
    }
  }
  Report("box_wrong", box_wrong);
  Report("set3d", cudaMemset3D(volume, 0, extent));

  // Rows wider than their pitch; arrays, which are not served.
  Report("wide_row", cudaMemcpy2D(dev, 16, host.data(), row_bytes, row_bytes, 2, cudaMemcpyHostToDevice));
  cudaMemcpy3DParms array = out;
  array.dstArray = reinterpret_cast<cudaArray_t>(0x10);
  Report("array", cudaMemcpy3D(&array));
  cudaGetLastError();
  Report("teardown", cudaFree(dev) | cudaFree(volume.ptr) | cudaStreamDestroy(stream));
  return 0;
}
