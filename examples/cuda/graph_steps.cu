// A time-stepped reduction run as CUDA graphs, every step checked:
// - one step is captured from two streams: the input goes up, the second
//   stream forks off to sum the upper half with atomics while the first sums
//   the lower half block by block, the first stream joins, the sums come
//   back and a host function checks them and writes the next step's input;
// - the same step is also built node by node (memset, copy, kernel, copy,
//   host node) and instantiated;
// - the two executable graphs are launched in turn, step after step, and
//   the captured step is also issued as plain stream calls, for its time.
// Prints the time per step as a graph and as plain calls.
#include <atomic>
#include <cstring>

#include "reduction_kernels.cuh"
#include "sample_util.h"

namespace {

constexpr unsigned int kN = 1 << 20;
constexpr unsigned int kBlock = 256;
constexpr unsigned int kBlocks = 64;
constexpr int kSteps = 24;

struct Step {
  int* input = nullptr;       // pinned: the next step's input is written here
  const int* partial = nullptr;  // kBlocks partial sums of the lower half
  const int* totals = nullptr;   // [0]: the upper half (or everything)
  bool halves = true;         // partial + totals[0], or totals[0] alone
  int step = 0;
  std::atomic<int> wrong{0};
  std::atomic<int> checked{0};
};

int Value(unsigned int i, int step) { return static_cast<int>((i * 13 + step) % 97) - 48; }

long long Expected(int step) {
  long long sum = 0;
  for (unsigned int i = 0; i < kN; ++i) sum += Value(i, step);
  return sum;
}

// On the library's thread once the sums are back: check, then refill.
void CheckAndRefill(void* data) {
  auto* s = static_cast<Step*>(data);
  long long sum = s->totals[0];
  for (unsigned int b = 0; s->halves && b < kBlocks; ++b) sum += s->partial[b];
  s->wrong += sum != Expected(s->step);
  ++s->step;
  for (unsigned int i = 0; i < kN; ++i) s->input[i] = Value(i, s->step);
  ++s->checked;
}

struct Buffers {
  int* input = nullptr;  // host, pinned
  int* partial = nullptr;
  int* totals = nullptr;  // host, pinned
  int* dev_input = nullptr;
  int* dev_partial = nullptr;
  int* dev_totals = nullptr;
};

// The captured form's stream calls (also run as they are, for the timing).
void IssueStep(const Buffers& b, Step* step, cudaStream_t s0, cudaStream_t s1, cudaEvent_t fork,
               cudaEvent_t join) {
  CHECK_CUDA(cudaMemsetAsync(b.dev_totals, 0, sizeof(int), s0));
  CHECK_CUDA(cudaMemcpyAsync(b.dev_input, b.input, kN * sizeof(int), cudaMemcpyHostToDevice, s0));
  CHECK_CUDA(cudaEventRecord(fork, s0));
  CHECK_CUDA(cudaStreamWaitEvent(s1, fork, 0));
  reduceAtomic<kBlock><<<kBlocks, kBlock, 0, s1>>>(b.dev_input + kN / 2, b.dev_totals, kN / 2);
  reduceSum<kBlock><<<kBlocks, kBlock, 0, s0>>>(b.dev_input, b.dev_partial, kN / 2);
  CHECK_CUDA(cudaEventRecord(join, s1));
  CHECK_CUDA(cudaStreamWaitEvent(s0, join, 0));
  CHECK_CUDA(cudaMemcpyAsync(b.partial, b.dev_partial, kBlocks * sizeof(int), cudaMemcpyDeviceToHost, s0));
  CHECK_CUDA(cudaMemcpyAsync(b.totals, b.dev_totals, sizeof(int), cudaMemcpyDeviceToHost, s0));
  CHECK_CUDA(cudaLaunchHostFunc(s0, CheckAndRefill, step));
}

// The whole input summed with atomics, as a graph built node by node.
cudaGraph_t BuildGraph(const Buffers& b, Step* step) {
  cudaGraph_t graph = nullptr;
  CHECK_CUDA(cudaGraphCreate(&graph, 0));
  cudaGraphNode_t zero, up, sum, down, check;
  cudaMemsetParams memset_params = {};
  memset_params.dst = b.dev_totals;
  memset_params.elementSize = sizeof(int);
  memset_params.width = 1;
  memset_params.height = 1;
  CHECK_CUDA(cudaGraphAddMemsetNode(&zero, graph, nullptr, 0, &memset_params));
  CHECK_CUDA(cudaGraphAddMemcpyNode1D(&up, graph, nullptr, 0, b.dev_input, b.input, kN * sizeof(int),
                                      cudaMemcpyHostToDevice));
  const int* in = b.dev_input;
  int* total = b.dev_totals;
  unsigned int n = kN;
  void* args[] = {&in, &total, &n};
  cudaKernelNodeParams kernel = {};
  kernel.func = reinterpret_cast<void*>(reduceAtomic<kBlock>);
  kernel.gridDim = dim3(kBlocks);
  kernel.blockDim = dim3(kBlock);
  kernel.kernelParams = args;
  const cudaGraphNode_t before_sum[] = {zero, up};
  CHECK_CUDA(cudaGraphAddKernelNode(&sum, graph, before_sum, 2, &kernel));
  CHECK_CUDA(cudaGraphAddMemcpyNode1D(&down, graph, &sum, 1, b.totals, b.dev_totals, sizeof(int),
                                      cudaMemcpyDeviceToHost));
  cudaHostNodeParams host = {CheckAndRefill, step};
  CHECK_CUDA(cudaGraphAddHostNode(&check, graph, &down, 1, &host));
  return graph;
}

}  // namespace

int main() {
  Buffers b;
  CHECK_CUDA(cudaMallocHost(&b.input, kN * sizeof(int)));
  CHECK_CUDA(cudaMallocHost(&b.partial, kBlocks * sizeof(int)));
  CHECK_CUDA(cudaMallocHost(&b.totals, sizeof(int)));
  CHECK_CUDA(cudaMalloc(&b.dev_input, kN * sizeof(int)));
  CHECK_CUDA(cudaMalloc(&b.dev_partial, kBlocks * sizeof(int)));
  CHECK_CUDA(cudaMalloc(&b.dev_totals, sizeof(int)));
  for (unsigned int i = 0; i < kN; ++i) b.input[i] = Value(i, 0);
  cudaStream_t s0, s1;
  cudaEvent_t fork, join;
  CHECK_CUDA(cudaStreamCreateWithFlags(&s0, cudaStreamNonBlocking));
  CHECK_CUDA(cudaStreamCreateWithFlags(&s1, cudaStreamNonBlocking));
  CHECK_CUDA(cudaEventCreateWithFlags(&fork, cudaEventDisableTiming));
  CHECK_CUDA(cudaEventCreateWithFlags(&join, cudaEventDisableTiming));

  // One Step record carries the running step number through every form.
  Step step;
  step.input = b.input;
  step.partial = b.partial;
  step.totals = b.totals;
  cudaGraph_t captured = nullptr;
  CHECK_CUDA(cudaStreamBeginCapture(s0, cudaStreamCaptureModeGlobal));
  IssueStep(b, &step, s0, s1, fork, join);
  CHECK_CUDA(cudaStreamEndCapture(s0, &captured));
  Step whole;
  whole.input = b.input;
  whole.totals = b.totals;
  whole.halves = false;
  cudaGraph_t built = BuildGraph(b, &whole);
  size_t captured_nodes = 0, built_nodes = 0;
  CHECK_CUDA(cudaGraphGetNodes(captured, nullptr, &captured_nodes));
  CHECK_CUDA(cudaGraphGetNodes(built, nullptr, &built_nodes));
  cudaGraphExec_t captured_exec = nullptr, built_exec = nullptr;
  CHECK_CUDA(cudaGraphInstantiate(&captured_exec, captured, 0));
  CHECK_CUDA(cudaGraphInstantiate(&built_exec, built, 0));

  // Graph launches: the captured step and the built one in turn.
  const double t0 = sample::Seconds();
  for (int i = 0; i < kSteps; ++i) {
    Step& run = i % 2 == 0 ? step : whole;
    run.step = i;
    CHECK_CUDA(cudaGraphLaunch(i % 2 == 0 ? captured_exec : built_exec, s0));
    CHECK_CUDA(cudaStreamSynchronize(s0));
  }
  const double graph_seconds = sample::Seconds() - t0;
  // The captured step as plain stream calls.
  const double t1 = sample::Seconds();
  for (int i = kSteps; i < 2 * kSteps; ++i) {
    step.step = i;
    IssueStep(b, &step, s0, s1, fork, join);
    CHECK_CUDA(cudaStreamSynchronize(s0));
  }
  const double plain_seconds = sample::Seconds() - t1;

  const int checked = step.checked + whole.checked;
  const int wrong = step.wrong + whole.wrong;
  std::printf("graphs of %zu (captured) and %zu (built) nodes; %d steps checked, %d wrong\n", captured_nodes,
              built_nodes, checked, wrong);
  const bool ok = captured_nodes == 7 && built_nodes == 5 && checked == 2 * kSteps && wrong == 0;

  CHECK_CUDA(cudaGraphExecDestroy(captured_exec));
  CHECK_CUDA(cudaGraphExecDestroy(built_exec));
  CHECK_CUDA(cudaGraphDestroy(captured));
  CHECK_CUDA(cudaGraphDestroy(built));
  CHECK_CUDA(cudaStreamDestroy(s0));
  CHECK_CUDA(cudaStreamDestroy(s1));
  CHECK_CUDA(cudaEventDestroy(fork));
  CHECK_CUDA(cudaEventDestroy(join));
  CHECK_CUDA(cudaFree(b.dev_input));
  CHECK_CUDA(cudaFree(b.dev_partial));
  CHECK_CUDA(cudaFree(b.dev_totals));
  CHECK_CUDA(cudaFreeHost(b.input));
  CHECK_CUDA(cudaFreeHost(b.partial));
  CHECK_CUDA(cudaFreeHost(b.totals));
  return sample::Finish("graph_steps", ok,
                        sample::Figure("graph_step_ms", graph_seconds * 1e3 / kSteps) +
                            sample::Figure("plain_step_ms", plain_seconds * 1e3 / kSteps));
}
