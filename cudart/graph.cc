#include "cudart/graph.h"

#include <algorithm>
#include <cstring>
#include <unordered_map>

#include "common/runtime_calls.h"
#include "cudart/copy_engine.h"
#include "cudart/kernel_launch.h"
#include "cudart/module_registry.h"

// The per-thread-stream forms of entry points a step runs through (defined
// in api_stream.cc; the toolkit's header names them only for programs built
// for per-thread streams).
extern "C" {
cudaError_t cudaLaunchHostFunc_ptsz(cudaStream_t stream, cudaHostFn_t function, void* data);
cudaError_t cudaEventRecord_ptsz(cudaEvent_t event, cudaStream_t stream);
cudaError_t cudaStreamWaitEvent_ptsz(cudaStream_t stream, cudaEvent_t event, unsigned int flags);
}

namespace cudart {

void PointParams(NodeWork* work) {
  work->param_pointers.clear();
  for (const KernelParam& p : work->function->layout.params) {
    work->param_pointers.push_back(work->params.data() + p.offset);
  }
  work->kernel.kernelParams = work->param_pointers.empty() ? nullptr : work->param_pointers.data();
  work->kernel.extra = nullptr;
}

namespace {

// A memset value that is one byte repeated: the only kind the nodes set.
bool RepeatedByte(unsigned int value, unsigned int element_size, uint8_t* byte) {
  const uint8_t low = static_cast<uint8_t>(value);
  for (unsigned int i = 1; i < element_size; ++i) {
    if (static_cast<uint8_t>(value >> (8 * i)) != low) return false;
  }
  *byte = low;
  return true;
}

int RunSet(const cudaMemsetParams& set, cudaStream_t stream, bool per_thread) {
  uint8_t byte = 0;
  RepeatedByte(set.value, set.elementSize, &byte);
  const size_t row = set.width * set.elementSize;
  // One row needs no pitch (programs leave it 0).
  const size_t pitch = set.height > 1 ? set.pitch : row;
  return CopyEngine::Set2D(set.dst, pitch, byte, row, set.height, stream, true, per_thread);
}

int RunStep(const NodeWork& work, cudaStream_t stream, bool per_thread) {
  switch (work.type) {
    case cudaGraphNodeTypeKernel:
      return LaunchPacked(work.function, work.kernel.gridDim, work.kernel.blockDim, work.params,
                          work.kernel.sharedMemBytes, stream, per_thread);
    case cudaGraphNodeTypeMemcpy:
      return CopyEngine::Copy3D(work.copy, stream, true, per_thread);
    case cudaGraphNodeTypeMemset:
      return RunSet(work.set, stream, per_thread);
    case cudaGraphNodeTypeHost:
      return per_thread ? cudaLaunchHostFunc_ptsz(stream, work.host.fn, work.host.userData)
                        : cudaLaunchHostFunc(stream, work.host.fn, work.host.userData);
    case cudaGraphNodeTypeEventRecord:
      return per_thread ? cudaEventRecord_ptsz(work.event, stream) : cudaEventRecord(work.event, stream);
    case cudaGraphNodeTypeWaitEvent:
      return per_thread ? cudaStreamWaitEvent_ptsz(stream, work.event, 0) : cudaStreamWaitEvent(stream, work.event, 0);
    default:
      return kRtSuccess;
  }
}

}  // namespace

GraphRegistry& GraphRegistry::Get() {
  static GraphRegistry* registry = new GraphRegistry();
  return *registry;
}

cudaGraph_t GraphRegistry::NewGraph() {
  cudaGraph_t graph = new CUgraph_st();
  zantu::MutexLock lock(&mutex_);
  graphs_.insert(graph);
  return graph;
}

void GraphRegistry::DestroyGraph(cudaGraph_t graph) {
  {
    zantu::MutexLock lock(&mutex_);
    if (graphs_.erase(graph) == 0) return;
    for (const auto& node : graph->nodes) nodes_.erase(node.get());
  }
  delete graph;
}

bool GraphRegistry::LiveGraph(cudaGraph_t graph) const {
  zantu::MutexLock lock(&mutex_);
  return graphs_.count(graph) != 0;
}

bool GraphRegistry::LiveNode(cudaGraphNode_t node) const {
  zantu::MutexLock lock(&mutex_);
  return nodes_.count(node) != 0;
}

void GraphRegistry::AdoptNode(cudaGraphNode_t node) {
  zantu::MutexLock lock(&mutex_);
  nodes_.insert(node);
}

void GraphRegistry::ForgetNode(cudaGraphNode_t node) {
  zantu::MutexLock lock(&mutex_);
  nodes_.erase(node);
}

cudaGraphExec_t GraphRegistry::NewExec(std::unique_ptr<CUgraphExec_st> exec) {
  cudaGraphExec_t raw = exec.release();
  zantu::MutexLock lock(&mutex_);
  execs_.insert(raw);
  return raw;
}

void GraphRegistry::DestroyExec(cudaGraphExec_t exec) {
  {
    zantu::MutexLock lock(&mutex_);
    if (execs_.erase(exec) == 0) return;
  }
  delete exec;
}

bool GraphRegistry::LiveExec(cudaGraphExec_t exec) const {
  zantu::MutexLock lock(&mutex_);
  return execs_.count(exec) != 0;
}

int KernelWork(const cudaKernelNodeParams* params, NodeWork* work) {
  if (params == nullptr || params->extra != nullptr) return kRtInvalidValue;
  Function* function = ModuleRegistry::Get().FindFunction(params->func);
  if (function == nullptr) return kRtInvalidDeviceFunction;
  if (!function->has_layout) return kRtNoKernelImageForDevice;
  if (!ValidLaunchConfig(params->gridDim, params->blockDim)) return kRtInvalidConfiguration;
  std::string packed;
  const int status = PackParams(*function, params->kernelParams, &packed);
  if (status != 0) return status;
  *work = PackedKernelWork(function, params->gridDim, params->blockDim, params->sharedMemBytes, packed);
  work->kernel.func = params->func;
  return kRtSuccess;
}

NodeWork PackedKernelWork(Function* function, dim3 grid, dim3 block, size_t shared, const std::string& params) {
  NodeWork work;
  work.type = cudaGraphNodeTypeKernel;
  work.function = function;
  work.params = params;
  work.kernel.gridDim = grid;
  work.kernel.blockDim = block;
  work.kernel.sharedMemBytes = static_cast<unsigned int>(shared);
  PointParams(&work);
  return work;
}

int CopyWork(const cudaMemcpy3DParms* params, NodeWork* work) {
  if (params == nullptr) return kRtInvalidValue;
  // Arrays are not served by this library.
  if (params->srcArray != nullptr || params->dstArray != nullptr) return kRtNotSupported;
  if (params->srcPtr.ptr == nullptr || params->dstPtr.ptr == nullptr) return kRtInvalidValue;
  const cudaExtent& extent = params->extent;
  if (extent.width > params->srcPtr.pitch || extent.width > params->dstPtr.pitch) return kRtInvalidValue;
  if (extent.depth > 1 && (params->srcPtr.ysize < extent.height || params->dstPtr.ysize < extent.height)) {
    return kRtInvalidValue;
  }
  if (params->kind < cudaMemcpyHostToHost || params->kind > cudaMemcpyDefault) return kRtInvalidMemcpyDirection;
  work->type = cudaGraphNodeTypeMemcpy;
  work->copy = *params;
  return kRtSuccess;
}

int CopyWork1D(void* dst, const void* src, size_t count, cudaMemcpyKind kind, NodeWork* work) {
  cudaMemcpy3DParms params{};
  params.srcPtr = cudaPitchedPtr{const_cast<void*>(src), count, count, 1};
  params.dstPtr = cudaPitchedPtr{dst, count, count, 1};
  params.extent = cudaExtent{count, 1, 1};
  params.kind = kind;
  return CopyWork(&params, work);
}

int SetWork(const cudaMemsetParams* params, NodeWork* work) {
  if (params == nullptr || params->dst == nullptr) return kRtInvalidValue;
  const unsigned int size = params->elementSize;
  if (size != 1 && size != 2 && size != 4) return kRtInvalidValue;
  if (params->height > 1 && params->pitch < params->width * size) return kRtInvalidValue;
  uint8_t byte = 0;
  // The wire's memset sets bytes; a wider pattern would need an element
  // memset on the nodes.
  if (!RepeatedByte(params->value, size, &byte)) return kRtNotSupported;
  work->type = cudaGraphNodeTypeMemset;
  work->set = *params;
  return kRtSuccess;
}

int HostWork(const cudaHostNodeParams* params, NodeWork* work) {
  if (params == nullptr || params->fn == nullptr) return kRtInvalidValue;
  work->type = cudaGraphNodeTypeHost;
  work->host = *params;
  return kRtSuccess;
}

int AddNode(cudaGraph_t graph, const cudaGraphNode_t* deps, size_t count, NodeWork work, cudaGraphNode_t* node) {
  if (node == nullptr || (deps == nullptr && count != 0)) return kRtInvalidValue;
  if (!GraphRegistry::Get().LiveGraph(graph)) return kRtInvalidValue;
  auto made = std::make_unique<CUgraphNode_st>();
  for (size_t i = 0; i < count; ++i) {
    if (deps[i] == nullptr || deps[i]->graph != graph) return kRtInvalidValue;
    if (std::find(made->deps.begin(), made->deps.end(), deps[i]) != made->deps.end()) return kRtInvalidValue;
    made->deps.push_back(deps[i]);
  }
  made->graph = graph;
  made->work = std::move(work);
  // The buffer moved with the work: its kernelParams point at the new one.
  if (made->work.type == cudaGraphNodeTypeKernel) PointParams(&made->work);
  *node = made.get();
  GraphRegistry::Get().AdoptNode(made.get());
  graph->nodes.push_back(std::move(made));
  return kRtSuccess;
}

int Instantiate(cudaGraph_t graph, std::unique_ptr<CUgraphExec_st>* exec) {
  if (!GraphRegistry::Get().LiveGraph(graph)) return kRtInvalidValue;
  // Kahn's order: a node once all its dependencies are placed.
  std::unordered_map<const CUgraphNode_st*, size_t> waiting;
  std::unordered_map<const CUgraphNode_st*, std::vector<const CUgraphNode_st*>> dependents;
  std::vector<const CUgraphNode_st*> ready;
  for (const auto& node : graph->nodes) {
    waiting[node.get()] = node->deps.size();
    for (const CUgraphNode_st* dep : node->deps) dependents[dep].push_back(node.get());
    if (node->deps.empty()) ready.push_back(node.get());
  }
  auto made = std::make_unique<CUgraphExec_st>();
  for (size_t next = 0; next < ready.size(); ++next) {
    const CUgraphNode_st* node = ready[next];
    made->steps.push_back(node->work);
    made->origins.push_back(node);
    for (const CUgraphNode_st* after : dependents[node]) {
      if (--waiting[after] == 0) ready.push_back(after);
    }
  }
  if (made->steps.size() != graph->nodes.size()) return kRtInvalidValue;  // a cycle
  // Now that the steps stay where they are.
  for (NodeWork& step : made->steps) {
    if (step.type == cudaGraphNodeTypeKernel) PointParams(&step);
  }
  *exec = std::move(made);
  return kRtSuccess;
}

cudaGraph_t CloneGraph(cudaGraph_t original) {
  cudaGraph_t clone = GraphRegistry::Get().NewGraph();
  std::unordered_map<const CUgraphNode_st*, CUgraphNode_st*> copies;
  for (const auto& node : original->nodes) {
    auto copy = std::make_unique<CUgraphNode_st>();
    copy->graph = clone;
    copy->work = node->work;
    if (copy->work.type == cudaGraphNodeTypeKernel) PointParams(&copy->work);
    copies[node.get()] = copy.get();
    GraphRegistry::Get().AdoptNode(copy.get());
    clone->nodes.push_back(std::move(copy));
  }
  // Edges once every node has its copy: a dependency may have been added
  // after its dependent.
  for (size_t i = 0; i < original->nodes.size(); ++i) {
    for (const CUgraphNode_st* dep : original->nodes[i]->deps) clone->nodes[i]->deps.push_back(copies.at(dep));
  }
  return clone;
}

int LaunchSteps(const CUgraphExec_st& exec, cudaStream_t stream, bool per_thread) {
  for (const NodeWork& work : exec.steps) {
    const int status = RunStep(work, stream, per_thread);
    if (status != 0) return status;
  }
  return kRtSuccess;
}

}  // namespace cudart
