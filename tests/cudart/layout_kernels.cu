// Kernels whose parameter layouts the fat-binary test knows: padding after a
// char, a 16-byte aggregate, a template instance, and no parameters at all.
struct Pair {
  char tag;
  double value;
};

__device__ int layout_counter[4];

__global__ void mixed(const float* in, float* out, int n, char c, Pair pair, double scale) {
  int i = threadIdx.x;
  if (i < n) out[i] = in[i] * scale + c + pair.value + layout_counter[0];
}

template <int N>
__global__ void fill(int* p) {
  p[threadIdx.x] = N;
}
template __global__ void fill<256>(int*);

__global__ void empty() {}
