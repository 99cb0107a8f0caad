// Kernels whose parameter layouts the fat-binary test knows: padding after a
// char, a 16-byte aggregate, a template instance, and no parameters at all;
// and one whose resources it knows.
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

// Resources the cubin records: launch bounds, static shared memory, and a
// stack frame for an array indexed at run time.
__global__ void __launch_bounds__(128) heavy(int* a, int n) {
  __shared__ float tile[100];
  int local[256];
  for (int i = 0; i < 256; ++i) local[i] = a[(i * n) & 1023];
  local[a[1] & 255] += n;  // stored through an index known at run time only
  tile[threadIdx.x % 100] = local[a[2] & 255];
  __syncthreads();
  a[threadIdx.x] = static_cast<int>(tile[(threadIdx.x + 1) % 100]);
}
