// The "graphs" mode of the end-to-end program: a graph built node by node
// (memset, copies both ways, two kernels, a host node) launched again and
// again with new input, its kernel's parameters changed in the executable
// graph and through an update; the same work captured from two streams
// that fork and join; and what capture refuses. Included by e2e_app.cu,
// after Report.
#pragma once

#include <cuda_runtime.h>

#include <atomic>
#include <vector>

struct GraphCheck {
  const float* out = nullptr;
  const float* in = nullptr;
  float first = 0;   // the first kernel's factor
  float second = 0;  // the second's
  float bias = 0;
  int n = 0;
  std::atomic<int> runs{0};
  std::atomic<int> wrong{0};
};

// A host node: the copy back has landed when it runs.
void CheckGraphOutput(void* data) {
  auto* check = static_cast<GraphCheck*>(data);
  int wrong = 0;
  for (int i = 0; i < check->n; ++i) {
    const float want = (check->in[i] * check->first + check->bias) * check->second + check->bias;
    wrong += check->out[i] != want;
  }
  check->wrong += wrong;
  ++check->runs;
}

size_t NodeCount(cudaGraph_t graph) {
  size_t count = 0;
  cudaGraphGetNodes(graph, nullptr, &count);
  return count;
}

// Builds: memset -> copy in -> scale(first) -> scale(second) -> copy out -> check.
cudaGraph_t BuildGraph(float* dev, float* in, float* out, GraphCheck* check, cudaGraphNode_t* second_kernel) {
  const int n = check->n;
  cudaGraph_t graph = nullptr;
  cudaGraphCreate(&graph, 0);
  cudaGraphNode_t set, copy_in, first, second, copy_out, host;
  cudaMemsetParams memset_params = {};
  memset_params.dst = dev;
  memset_params.value = 0;
  memset_params.elementSize = sizeof(float);
  memset_params.width = n;
  memset_params.height = 1;
  cudaGraphAddMemsetNode(&set, graph, nullptr, 0, &memset_params);
  cudaGraphAddMemcpyNode1D(&copy_in, graph, &set, 1, dev, in, n * sizeof(float), cudaMemcpyHostToDevice);
  float* data = dev;
  int count = n;
  void* first_args[] = {&data, &check->first, &count};
  cudaKernelNodeParams kernel = {};
  kernel.func = reinterpret_cast<void*>(e2e_scale);
  kernel.gridDim = dim3((n + 255) / 256);
  kernel.blockDim = dim3(256);
  kernel.kernelParams = first_args;
  cudaGraphAddKernelNode(&first, graph, &copy_in, 1, &kernel);
  void* second_args[] = {&data, &check->second, &count};
  kernel.kernelParams = second_args;
  cudaGraphAddKernelNode(&second, graph, &first, 1, &kernel);
  // Made from a 3D description: one slice of one row.
  cudaMemcpy3DParms copy = {};
  copy.srcPtr = make_cudaPitchedPtr(dev, n * sizeof(float), n * sizeof(float), 1);
  copy.dstPtr = make_cudaPitchedPtr(out, n * sizeof(float), n * sizeof(float), 1);
  copy.extent = make_cudaExtent(n * sizeof(float), 1, 1);
  copy.kind = cudaMemcpyDeviceToHost;
  cudaGraphAddMemcpyNode(&copy_out, graph, &second, 1, &copy);
  cudaHostNodeParams host_params = {CheckGraphOutput, check};
  cudaGraphAddHostNode(&host, graph, &copy_out, 1, &host_params);
  if (second_kernel != nullptr) *second_kernel = second;
  return graph;
}

void FillInput(float* in, int n, int round) {
  for (int i = 0; i < n; ++i) in[i] = static_cast<float>((i * 7 + round) % 101);
}

// Explicit graphs: launches, a parameter change, clone, update, bad handles.
void ExplicitGraphs(float* dev, float* in, float* out, GraphCheck* check, cudaStream_t stream) {
  cudaGraphNode_t second = nullptr;
  cudaGraph_t graph = BuildGraph(dev, in, out, check, &second);
  Report("graph_built", cudaGetLastError());
  size_t roots = 0, edges = 0;
  cudaGraphGetRootNodes(graph, nullptr, &roots);
  cudaGraphGetEdges(graph, nullptr, nullptr, nullptr, &edges);
  Report("graph_shape", NodeCount(graph) * 100 + roots * 10 + edges);
  cudaGraphExec_t exec = nullptr;
  Report("instantiate", cudaGraphInstantiate(&exec, graph, 0));
  for (int round = 0; round < 3; ++round) {
    FillInput(in, check->n, round);
    cudaGraphLaunch(exec, stream);
    cudaStreamSynchronize(stream);
  }
  Report("launches", cudaGetLastError());
  // The executable graph's second kernel scales by 5 from now on.
  float five = 5.0f;
  float* data = dev;
  int count = check->n;
  void* args[] = {&data, &five, &count};
  cudaKernelNodeParams kernel = {};
  cudaGraphKernelNodeGetParams(second, &kernel);
  kernel.kernelParams = args;
  Report("exec_set", cudaGraphExecKernelNodeSetParams(exec, second, &kernel));
  check->second = 5.0f;
  FillInput(in, check->n, 3);
  cudaGraphLaunch(exec, stream);
  Report("after_set", cudaStreamSynchronize(stream));
  // A clone with the second kernel at 7, taken over by update.
  cudaGraph_t clone = nullptr;
  cudaGraphNode_t cloned_second = nullptr;
  cudaGraphClone(&clone, graph);
  cudaGraphNodeFindInClone(&cloned_second, second, clone);
  float seven = 7.0f;
  void* seven_args[] = {&data, &seven, &count};
  kernel.kernelParams = seven_args;
  Report("clone_set", cudaGraphKernelNodeSetParams(cloned_second, &kernel));
  cudaGraphExecUpdateResultInfo info;
  Report("update", cudaGraphExecUpdate(exec, clone, &info));
  check->second = 7.0f;
  FillInput(in, check->n, 4);
  cudaGraphLaunch(exec, stream);
  Report("after_update", cudaStreamSynchronize(stream));
  // A graph of another shape cannot update it.
  cudaGraph_t other = nullptr;
  cudaGraphNode_t empty = nullptr;
  cudaGraphCreate(&other, 0);
  cudaGraphAddEmptyNode(&empty, other, nullptr, 0);
  Report("update_shape", cudaGraphExecUpdate(exec, other, &info));
  Report("update_result", info.result);
  // Patterns the byte memset cannot set; handles that are gone.
  cudaMemsetParams wide = {};
  wide.dst = dev;
  wide.value = 0x01020304;
  wide.elementSize = 4;
  wide.width = 16;
  wide.height = 1;
  cudaGraphNode_t refused = nullptr;
  Report("wide_memset", cudaGraphAddMemsetNode(&refused, other, nullptr, 0, &wide));
  Report("destroy", cudaGraphExecDestroy(exec) | cudaGraphDestroy(graph) | cudaGraphDestroy(clone) |
                        cudaGraphDestroy(other));
  Report("launch_gone", cudaGraphLaunch(exec, stream));
  Report("destroy_twice", cudaGraphDestroy(graph));
  Report("node_gone", cudaGraphKernelNodeGetParams(second, &kernel));
  cudaGetLastError();
}

// The same work captured from two streams: s1 copies in and scales, s2
// forks off it to scale again, s1 joins and copies out, then checks.
cudaGraph_t CaptureForkJoin(float* dev, float* in, float* out, GraphCheck* check, cudaStream_t s1,
                            cudaStream_t s2, cudaEvent_t fork, cudaEvent_t join) {
  const int n = check->n;
  cudaGraph_t graph = nullptr;
  Report("begin", cudaStreamBeginCapture(s1, cudaStreamCaptureModeGlobal));
  cudaStreamCaptureStatus status = cudaStreamCaptureStatusNone;
  cudaStreamIsCapturing(s1, &status);
  Report("capturing", status);
  cudaMemsetAsync(dev, 0, n * sizeof(float), s1);
  cudaMemcpyAsync(dev, in, n * sizeof(float), cudaMemcpyHostToDevice, s1);
  e2e_scale<<<(n + 255) / 256, 256, 0, s1>>>(dev, check->first, n);
  cudaEventRecord(fork, s1);
  cudaStreamWaitEvent(s2, fork, 0);
  e2e_scale<<<(n + 255) / 256, 256, 0, s2>>>(dev, check->second, n);
  cudaEventRecord(join, s2);
  cudaStreamWaitEvent(s1, join, 0);
  cudaMemcpyAsync(out, dev, n * sizeof(float), cudaMemcpyDeviceToHost, s1);
  cudaLaunchHostFunc(s1, CheckGraphOutput, check);
  Report("end", cudaStreamEndCapture(s1, &graph));
  cudaStreamIsCapturing(s2, &status);
  Report("s2_after", status);
  return graph;
}

// What capture refuses: default streams, waiting, unsafe calls, a fork
// never joined, an end without a begin.
void CaptureRefusals(cudaStream_t s1, cudaStream_t s2, cudaEvent_t fork) {
  cudaGraph_t graph = nullptr;
  Report("legacy_capture", cudaStreamBeginCapture(0, cudaStreamCaptureModeGlobal));
  Report("end_idle", cudaStreamEndCapture(s1, &graph));
  cudaStreamBeginCapture(s1, cudaStreamCaptureModeGlobal);
  Report("sync_in_capture", cudaStreamSynchronize(s1));
  Report("end_invalidated", cudaStreamEndCapture(s1, &graph));
  cudaStreamBeginCapture(s1, cudaStreamCaptureModeGlobal);
  void* p = nullptr;
  Report("malloc_in_capture", cudaMalloc(&p, 256));
  cudaStreamEndCapture(s1, &graph);
  cudaStreamBeginCapture(s1, cudaStreamCaptureModeRelaxed);
  Report("malloc_relaxed", cudaMalloc(&p, 256));
  Report("end_relaxed", cudaStreamEndCapture(s1, &graph));
  Report("relaxed_nodes", NodeCount(graph));
  cudaGraphDestroy(graph);
  cudaFree(p);
  cudaStreamBeginCapture(s1, cudaStreamCaptureModeGlobal);
  cudaEventRecord(fork, s1);
  cudaStreamWaitEvent(s2, fork, 0);
  cudaMemsetAsync(p, 0, 0, s2);
  cudaLaunchHostFunc(s2, [](void*) {}, nullptr);
  Report("end_unjoined", cudaStreamEndCapture(s1, &graph));
  cudaGetLastError();
}

int Graphs() {
  const int n = 4096;
  float *dev = nullptr, *in = nullptr, *out = nullptr;
  cudaStream_t s1, s2, s3;
  cudaEvent_t fork, join;
  Report("setup", cudaMalloc(&dev, n * sizeof(float)) | cudaMallocHost(&in, n * sizeof(float)) |
                      cudaMallocHost(&out, n * sizeof(float)) | cudaStreamCreate(&s1) | cudaStreamCreate(&s2) |
                      cudaStreamCreate(&s3) | cudaEventCreate(&fork) | cudaEventCreate(&join));
  GraphCheck check;
  check.out = out;
  check.in = in;
  check.n = n;
  check.first = 2.0f;
  check.second = 3.0f;
  cudaMemcpyFromSymbol(&check.bias, e2e_bias, sizeof(check.bias));
  ExplicitGraphs(dev, in, out, &check, s1);
  Report("explicit_runs", check.runs);
  Report("explicit_wrong", check.wrong);

  check.runs = 0;
  check.second = 3.0f;
  cudaGraph_t captured = CaptureForkJoin(dev, in, out, &check, s1, s2, fork, join);
  Report("captured_nodes", NodeCount(captured));
  Report("nothing_ran", check.runs);
  cudaGraphExec_t exec = nullptr;
  cudaGraphInstantiate(&exec, captured, 0);
  for (int round = 0; round < 2; ++round) {
    FillInput(in, n, round + 10);
    cudaGraphLaunch(exec, s3);
    cudaStreamSynchronize(s3);
  }
  Report("captured_runs", check.runs);
  Report("captured_wrong", check.wrong);
  cudaGraphExecDestroy(exec);
  cudaGraphDestroy(captured);

  CaptureRefusals(s1, s2, fork);
  Report("teardown", cudaStreamDestroy(s1) | cudaStreamDestroy(s2) | cudaStreamDestroy(s3) |
                         cudaEventDestroy(fork) | cudaEventDestroy(join) | cudaFree(dev) | cudaFreeHost(in) |
                         cudaFreeHost(out));
  return 0;
}
