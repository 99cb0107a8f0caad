// The CUDA program of the runtime library benchmark, built with nvcc
// -cudart shared and run on our libcudart.so.13 (cudart_bench sets it up).
//
//   cudart_bench_app sync N     N cudaStreamQuery calls on an idle stream,
//                               each timed: p50_us=, p99_us=
//   cudart_bench_app launch N R R runs of N empty-kernel launches on one
//                               thread: launches_per_s= per run (the loop
//                               alone; also per second of the thread's own
//                               CPU: launches_per_cpu_s=), then drain_ms= for
//                               the synchronize
//   cudart_bench_app graph N K R
//                               R runs, each of N empty-kernel launches made
//                               as N/K launches of a captured graph of K
//                               kernel nodes and as N plain launches, each
//                               followed by a synchronize: graph_node_us= and
//                               plain_launch_us= (per kernel, queue and
//                               synchronize together)
// Ends with done=<status>.
#include <cuda_runtime.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

__global__ void bench_nop(int value) {}

namespace {

double ThreadCpuUs() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

double NowUs() {
  return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

int Sync(int calls) {
  cudaStream_t stream;
  if (cudaStreamCreate(&stream) != cudaSuccess) return 1;
  std::vector<double> samples;
  samples.reserve(calls);
  for (int i = 0; i < calls + calls / 10; ++i) {
    const double t0 = NowUs();
    const cudaError_t status = cudaStreamQuery(stream);
    const double t1 = NowUs();
    if (status != cudaSuccess) return 2;
    if (i >= calls / 10) samples.push_back(t1 - t0);  // the first tenth warms up
  }
  std::sort(samples.begin(), samples.end());
  std::printf("p50_us=%.2f\np99_us=%.2f\n", samples[samples.size() / 2], samples[samples.size() * 99 / 100]);
  return cudaStreamDestroy(stream) == cudaSuccess ? 0 : 3;
}

int Launch(int launches, int runs) {
  cudaStream_t stream;
  if (cudaStreamCreate(&stream) != cudaSuccess) return 1;
  bench_nop<<<1, 1, 0, stream>>>(0);  // ships the module
  if (cudaStreamSynchronize(stream) != cudaSuccess) return 2;
  for (int r = 0; r < runs; ++r) {
    const double c0 = ThreadCpuUs();
    const double t0 = NowUs();
    for (int i = 0; i < launches; ++i) bench_nop<<<1, 32, 0, stream>>>(i);
    const double t1 = NowUs();
    const double c1 = ThreadCpuUs();
    const cudaError_t status = cudaStreamSynchronize(stream);
    const double t2 = NowUs();
    if (status != cudaSuccess) return 10 + status;
    std::printf("launches_per_s=%.0f\nlaunches_per_cpu_s=%.0f\ndrain_ms=%.1f\n", launches / ((t1 - t0) / 1e6),
                launches / ((c1 - c0) / 1e6), (t2 - t1) / 1e3);
    std::fflush(stdout);
  }
  return 0;
}

// Microseconds per kernel of `launches` made by `queue` and then drained.
template <typename Queue>
double PerKernelUs(cudaStream_t stream, int launches, Queue queue) {
  const double t0 = NowUs();
  queue();
  if (cudaStreamSynchronize(stream) != cudaSuccess) return -1;
  return (NowUs() - t0) / launches;
}

int Graph(int launches, int nodes, int runs) {
  cudaStream_t stream;
  if (cudaStreamCreate(&stream) != cudaSuccess) return 1;
  bench_nop<<<1, 1, 0, stream>>>(0);  // ships the module
  cudaGraph_t graph = nullptr;
  cudaStreamBeginCapture(stream, cudaStreamCaptureModeGlobal);
  for (int i = 0; i < nodes; ++i) bench_nop<<<1, 32, 0, stream>>>(i);
  cudaStreamEndCapture(stream, &graph);
  cudaGraphExec_t exec = nullptr;
  if (cudaGraphInstantiate(&exec, graph, 0) != cudaSuccess) return 2;
  const int graphs = launches / nodes;
  for (int r = 0; r < runs; ++r) {
    const double graph_us = PerKernelUs(stream, graphs * nodes, [&] {
      for (int g = 0; g < graphs; ++g) cudaGraphLaunch(exec, stream);
    });
    const double plain_us = PerKernelUs(stream, graphs * nodes, [&] {
      for (int i = 0; i < graphs * nodes; ++i) bench_nop<<<1, 32, 0, stream>>>(i);
    });
    if (graph_us < 0 || plain_us < 0) return 3;
    std::printf("graph_node_us=%.3f\nplain_launch_us=%.3f\n", graph_us, plain_us);
    std::fflush(stdout);
  }
  return cudaGraphExecDestroy(exec) | cudaGraphDestroy(graph) | cudaStreamDestroy(stream);
}

}  // namespace

int main(int argc, char** argv) {
  int result = 99;
  if (argc >= 3 && std::strcmp(argv[1], "sync") == 0) result = Sync(std::atoi(argv[2]));
  if (argc >= 4 && std::strcmp(argv[1], "launch") == 0) result = Launch(std::atoi(argv[2]), std::atoi(argv[3]));
  if (argc >= 5 && std::strcmp(argv[1], "graph") == 0) {
    result = Graph(std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]));
  }
  std::printf("done=%d\n", result);
  return result;
}
