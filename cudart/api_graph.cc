// Entry points: graphs built node by node, executable graphs, and their
// launches (cudart/graph.h).
#include <algorithm>

#include "cudart/api_common.h"
#include "cudart/graph.h"
#include "cudart/module_registry.h"
#include "cudart/stream_capture.h"

using namespace cudart;

namespace {

GraphRegistry& Graphs() { return GraphRegistry::Get(); }

// Adds a node made by `make` (a status) to `graph`.
template <typename Make>
int AddMade(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps, size_t count, Make make) {
  if (!Graphs().LiveGraph(graph)) return kRtInvalidValue;
  NodeWork work;
  const int status = make(&work);
  if (status != 0) return status;
  return AddNode(graph, deps, count, std::move(work), node);
}

// The work of a live node of type `type`, or null.
NodeWork* WorkOf(cudaGraphNode_t node, cudaGraphNodeType type) {
  if (!Graphs().LiveNode(node) || node->work.type != type) return nullptr;
  return &node->work;
}

// The step of `exec` made from `node`, of type `type`, or null.
NodeWork* StepOf(cudaGraphExec_t exec, cudaGraphNode_t node, cudaGraphNodeType type) {
  if (!Graphs().LiveExec(exec)) return nullptr;
  for (size_t i = 0; i < exec->origins.size(); ++i) {
    if (exec->origins[i] == node && exec->steps[i].type == type) return &exec->steps[i];
  }
  return nullptr;
}

// Replaces a node's or a step's work with new work of the same type.
template <typename Make>
int Replace(NodeWork* target, Make make) {
  if (target == nullptr) return kRtInvalidValue;
  NodeWork work;
  const int status = make(&work);
  if (status != 0) return status;
  *target = std::move(work);
  if (target->type == cudaGraphNodeTypeKernel) PointParams(target);
  return kRtSuccess;
}

// Lists up to *count items (all when `out` is null) and says how many there are.
template <typename T>
int List(const std::vector<T>& items, T* out, size_t* count) {
  if (count == nullptr) return kRtInvalidValue;
  if (out != nullptr) std::copy_n(items.begin(), std::min(*count, items.size()), out);
  if (out != nullptr && *count > items.size()) std::fill(out + items.size(), out + *count, T{});
  *count = items.size();
  return kRtSuccess;
}

std::vector<cudaGraphNode_t> Dependents(cudaGraphNode_t node) {
  std::vector<cudaGraphNode_t> after;
  for (const auto& other : node->graph->nodes) {
    if (std::find(other->deps.begin(), other->deps.end(), node) != other->deps.end()) after.push_back(other.get());
  }
  return after;
}

int Launch(cudaGraphExec_t exec, cudaStream_t stream, bool per_thread) {
  if (!Graphs().LiveExec(exec)) return kRtInvalidValue;
  int gpu = -1;
  uint64_t wire = 0;
  const int status = ResolveHandle(stream, per_thread, &gpu, &wire);
  if (status != 0) return status;
  // A graph launched into a capture would be a child graph node.
  if (StreamCapture::Get().Capturing(gpu, wire)) return kRtNotSupported;
  return LaunchSteps(*exec, stream, per_thread);
}

// Whether `graph` has the shape `exec` was made from: the same number of
// nodes, each of the same type in the order the executable runs them.
bool SameShape(cudaGraphExec_t exec, cudaGraph_t graph, std::unique_ptr<CUgraphExec_st>* fresh) {
  if (Instantiate(graph, fresh) != 0 || (*fresh)->steps.size() != exec->steps.size()) return false;
  for (size_t i = 0; i < exec->steps.size(); ++i) {
    const NodeWork& old_step = exec->steps[i];
    const NodeWork& new_step = (*fresh)->steps[i];
    if (old_step.type != new_step.type) return false;
    if (old_step.type == cudaGraphNodeTypeKernel && old_step.function != new_step.function) return false;
  }
  return true;
}

}  // namespace

extern "C" {

cudaError_t cudaGraphCreate(cudaGraph_t* graph, unsigned int flags) {
  if (graph == nullptr || flags != 0) return Done(kRtInvalidValue);
  *graph = Graphs().NewGraph();
  return Done(kRtSuccess);
}

cudaError_t cudaGraphDestroy(cudaGraph_t graph) {
  if (!Graphs().LiveGraph(graph)) return Done(kRtInvalidValue);
  Graphs().DestroyGraph(graph);
  return Done(kRtSuccess);
}

cudaError_t cudaGraphClone(cudaGraph_t* clone, cudaGraph_t original) {
  if (clone == nullptr || !Graphs().LiveGraph(original)) return Done(kRtInvalidValue);
  *clone = CloneGraph(original);
  return Done(kRtSuccess);
}

cudaError_t cudaGraphNodeFindInClone(cudaGraphNode_t* node, cudaGraphNode_t original, cudaGraph_t clone) {
  if (node == nullptr || !Graphs().LiveNode(original) || !Graphs().LiveGraph(clone)) return Done(kRtInvalidValue);
  // A clone keeps the order of its original's nodes.
  const auto& from = original->graph->nodes;
  for (size_t i = 0; i < from.size() && i < clone->nodes.size(); ++i) {
    if (from[i].get() != original) continue;
    *node = clone->nodes[i].get();
    return Done(kRtSuccess);
  }
  return Done(kRtInvalidValue);
}

cudaError_t cudaGraphAddKernelNode(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps,
                                   size_t count, const cudaKernelNodeParams* params) {
  return Done(AddMade(node, graph, deps, count, [&](NodeWork* work) { return KernelWork(params, work); }));
}

cudaError_t cudaGraphAddMemcpyNode(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps,
                                   size_t count, const cudaMemcpy3DParms* params) {
  return Done(AddMade(node, graph, deps, count, [&](NodeWork* work) { return CopyWork(params, work); }));
}

cudaError_t cudaGraphAddMemcpyNode1D(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps,
                                     size_t count, void* dst, const void* src, size_t bytes, cudaMemcpyKind kind) {
  return Done(AddMade(node, graph, deps, count,
                      [&](NodeWork* work) { return CopyWork1D(dst, src, bytes, kind, work); }));
}

cudaError_t cudaGraphAddMemsetNode(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps,
                                   size_t count, const cudaMemsetParams* params) {
  return Done(AddMade(node, graph, deps, count, [&](NodeWork* work) { return SetWork(params, work); }));
}

cudaError_t cudaGraphAddHostNode(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps,
                                 size_t count, const cudaHostNodeParams* params) {
  return Done(AddMade(node, graph, deps, count, [&](NodeWork* work) { return HostWork(params, work); }));
}

cudaError_t cudaGraphAddEmptyNode(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps,
                                  size_t count) {
  return Done(AddMade(node, graph, deps, count, [](NodeWork*) { return 0; }));
}

cudaError_t cudaGraphAddEventRecordNode(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps,
                                        size_t count, cudaEvent_t event) {
  return Done(AddMade(node, graph, deps, count, [&](NodeWork* work) {
    if (Events().Find(Word(event)) < 0) return static_cast<int>(kRtInvalidResourceHandle);
    work->type = cudaGraphNodeTypeEventRecord;
    work->event = event;
    return 0;
  }));
}

cudaError_t cudaGraphAddEventWaitNode(cudaGraphNode_t* node, cudaGraph_t graph, const cudaGraphNode_t* deps,
                                      size_t count, cudaEvent_t event) {
  return Done(AddMade(node, graph, deps, count, [&](NodeWork* work) {
    if (Events().Find(Word(event)) < 0) return static_cast<int>(kRtInvalidResourceHandle);
    work->type = cudaGraphNodeTypeWaitEvent;
    work->event = event;
    return 0;
  }));
}

cudaError_t cudaGraphAddDependencies(cudaGraph_t graph, const cudaGraphNode_t* from, const cudaGraphNode_t* to,
                                     const cudaGraphEdgeData* edges, size_t count) {
  if (!Graphs().LiveGraph(graph) || (count != 0 && (from == nullptr || to == nullptr))) return Done(kRtInvalidValue);
  if (edges != nullptr) return Done(kRtNotSupported);  // edge data: programmatic dependencies
  for (size_t i = 0; i < count; ++i) {
    if (!Graphs().LiveNode(from[i]) || !Graphs().LiveNode(to[i]) || from[i]->graph != graph ||
        to[i]->graph != graph || from[i] == to[i]) {
      return Done(kRtInvalidValue);
    }
    auto& deps = to[i]->deps;
    if (std::find(deps.begin(), deps.end(), from[i]) != deps.end()) return Done(kRtInvalidValue);
    deps.push_back(from[i]);
  }
  return Done(kRtSuccess);
}

cudaError_t cudaGraphGetNodes(cudaGraph_t graph, cudaGraphNode_t* nodes, size_t* count) {
  if (!Graphs().LiveGraph(graph)) return Done(kRtInvalidValue);
  std::vector<cudaGraphNode_t> all;
  for (const auto& node : graph->nodes) all.push_back(node.get());
  return Done(List(all, nodes, count));
}

cudaError_t cudaGraphGetRootNodes(cudaGraph_t graph, cudaGraphNode_t* nodes, size_t* count) {
  if (!Graphs().LiveGraph(graph)) return Done(kRtInvalidValue);
  std::vector<cudaGraphNode_t> roots;
  for (const auto& node : graph->nodes) {
    if (node->deps.empty()) roots.push_back(node.get());
  }
  return Done(List(roots, nodes, count));
}

cudaError_t cudaGraphGetEdges(cudaGraph_t graph, cudaGraphNode_t* from, cudaGraphNode_t* to,
                              cudaGraphEdgeData* edges, size_t* count) {
  if (!Graphs().LiveGraph(graph) || count == nullptr || (from == nullptr) != (to == nullptr)) {
    return Done(kRtInvalidValue);
  }
  std::vector<cudaGraphNode_t> tails;
  std::vector<cudaGraphNode_t> heads;
  for (const auto& node : graph->nodes) {
    for (cudaGraphNode_t dep : node->deps) {
      tails.push_back(dep);
      heads.push_back(node.get());
    }
  }
  if (edges != nullptr) std::fill_n(edges, std::min(*count, tails.size()), cudaGraphEdgeData{});
  size_t heads_count = *count;
  List(heads, to, &heads_count);
  return Done(List(tails, from, count));
}

cudaError_t cudaGraphNodeGetType(cudaGraphNode_t node, cudaGraphNodeType* type) {
  if (type == nullptr || !Graphs().LiveNode(node)) return Done(kRtInvalidValue);
  *type = node->work.type;
  return Done(kRtSuccess);
}

cudaError_t cudaGraphNodeGetDependencies(cudaGraphNode_t node, cudaGraphNode_t* deps, cudaGraphEdgeData* edges,
                                         size_t* count) {
  if (!Graphs().LiveNode(node) || count == nullptr) return Done(kRtInvalidValue);
  if (edges != nullptr) std::fill_n(edges, std::min(*count, node->deps.size()), cudaGraphEdgeData{});
  return Done(List(node->deps, deps, count));
}

cudaError_t cudaGraphNodeGetDependentNodes(cudaGraphNode_t node, cudaGraphNode_t* after, cudaGraphEdgeData* edges,
                                           size_t* count) {
  if (!Graphs().LiveNode(node) || count == nullptr) return Done(kRtInvalidValue);
  const std::vector<cudaGraphNode_t> dependents = Dependents(node);
  if (edges != nullptr) std::fill_n(edges, std::min(*count, dependents.size()), cudaGraphEdgeData{});
  return Done(List(dependents, after, count));
}

cudaError_t cudaGraphDestroyNode(cudaGraphNode_t node) {
  if (!Graphs().LiveNode(node)) return Done(kRtInvalidValue);
  auto& nodes = node->graph->nodes;
  for (auto& other : nodes) {
    auto& deps = other->deps;
    deps.erase(std::remove(deps.begin(), deps.end(), node), deps.end());
  }
  Graphs().ForgetNode(node);
  nodes.erase(std::find_if(nodes.begin(), nodes.end(), [&](const auto& own) { return own.get() == node; }));
  return Done(kRtSuccess);
}

cudaError_t cudaGraphKernelNodeGetParams(cudaGraphNode_t node, cudaKernelNodeParams* params) {
  const NodeWork* work = WorkOf(node, cudaGraphNodeTypeKernel);
  if (work == nullptr || params == nullptr) return Done(kRtInvalidValue);
  *params = work->kernel;
  return Done(kRtSuccess);
}

cudaError_t cudaGraphKernelNodeSetParams(cudaGraphNode_t node, const cudaKernelNodeParams* params) {
  return Done(Replace(WorkOf(node, cudaGraphNodeTypeKernel), [&](NodeWork* w) { return KernelWork(params, w); }));
}

cudaError_t cudaGraphMemcpyNodeGetParams(cudaGraphNode_t node, cudaMemcpy3DParms* params) {
  const NodeWork* work = WorkOf(node, cudaGraphNodeTypeMemcpy);
  if (work == nullptr || params == nullptr) return Done(kRtInvalidValue);
  *params = work->copy;
  return Done(kRtSuccess);
}

cudaError_t cudaGraphMemcpyNodeSetParams(cudaGraphNode_t node, const cudaMemcpy3DParms* params) {
  return Done(Replace(WorkOf(node, cudaGraphNodeTypeMemcpy), [&](NodeWork* w) { return CopyWork(params, w); }));
}

cudaError_t cudaGraphMemcpyNodeSetParams1D(cudaGraphNode_t node, void* dst, const void* src, size_t bytes,
                                           cudaMemcpyKind kind) {
  return Done(Replace(WorkOf(node, cudaGraphNodeTypeMemcpy),
                      [&](NodeWork* w) { return CopyWork1D(dst, src, bytes, kind, w); }));
}

cudaError_t cudaGraphMemsetNodeGetParams(cudaGraphNode_t node, cudaMemsetParams* params) {
  const NodeWork* work = WorkOf(node, cudaGraphNodeTypeMemset);
  if (work == nullptr || params == nullptr) return Done(kRtInvalidValue);
  *params = work->set;
  return Done(kRtSuccess);
}

cudaError_t cudaGraphMemsetNodeSetParams(cudaGraphNode_t node, const cudaMemsetParams* params) {
  return Done(Replace(WorkOf(node, cudaGraphNodeTypeMemset), [&](NodeWork* w) { return SetWork(params, w); }));
}

cudaError_t cudaGraphHostNodeGetParams(cudaGraphNode_t node, cudaHostNodeParams* params) {
  const NodeWork* work = WorkOf(node, cudaGraphNodeTypeHost);
  if (work == nullptr || params == nullptr) return Done(kRtInvalidValue);
  *params = work->host;
  return Done(kRtSuccess);
}

cudaError_t cudaGraphHostNodeSetParams(cudaGraphNode_t node, const cudaHostNodeParams* params) {
  return Done(Replace(WorkOf(node, cudaGraphNodeTypeHost), [&](NodeWork* w) { return HostWork(params, w); }));
}

cudaError_t cudaGraphInstantiate(cudaGraphExec_t* exec, cudaGraph_t graph, unsigned long long flags) {
  if (exec == nullptr) return Done(kRtInvalidValue);
  // Flags ask for uploads, device launches, priorities and freeing graph
  // allocations on launch; none applies to graphs this library makes.
  std::unique_ptr<CUgraphExec_st> made;
  const int status = Instantiate(graph, &made);
  if (status != 0) return Done(status);
  *exec = Graphs().NewExec(std::move(made));
  return Done(kRtSuccess);
}

cudaError_t cudaGraphInstantiateWithFlags(cudaGraphExec_t* exec, cudaGraph_t graph, unsigned long long flags) {
  return cudaGraphInstantiate(exec, graph, flags);
}

cudaError_t cudaGraphExecDestroy(cudaGraphExec_t exec) {
  if (!Graphs().LiveExec(exec)) return Done(kRtInvalidValue);
  Graphs().DestroyExec(exec);
  return Done(kRtSuccess);
}

cudaError_t cudaGraphLaunch(cudaGraphExec_t exec, cudaStream_t stream) { return Done(Launch(exec, stream, false)); }

cudaError_t cudaGraphLaunch_ptsz(cudaGraphExec_t exec, cudaStream_t stream) {
  return Done(Launch(exec, stream, true));
}

// Nothing to place ahead: a launch carries its whole graph.
cudaError_t cudaGraphUpload(cudaGraphExec_t exec, cudaStream_t stream) {
  return Done(Graphs().LiveExec(exec) ? kRtSuccess : kRtInvalidValue);
}

cudaError_t cudaGraphUpload_ptsz(cudaGraphExec_t exec, cudaStream_t stream) { return cudaGraphUpload(exec, stream); }

cudaError_t cudaGraphExecKernelNodeSetParams(cudaGraphExec_t exec, cudaGraphNode_t node,
                                             const cudaKernelNodeParams* params) {
  NodeWork* step = StepOf(exec, node, cudaGraphNodeTypeKernel);
  // An executable graph's kernel node keeps its function.
  if (step != nullptr && params != nullptr && ModuleRegistry::Get().FindFunction(params->func) != step->function) {
    return Done(kRtInvalidValue);
  }
  return Done(Replace(step, [&](NodeWork* w) { return KernelWork(params, w); }));
}

cudaError_t cudaGraphExecMemcpyNodeSetParams(cudaGraphExec_t exec, cudaGraphNode_t node,
                                             const cudaMemcpy3DParms* params) {
  return Done(Replace(StepOf(exec, node, cudaGraphNodeTypeMemcpy), [&](NodeWork* w) { return CopyWork(params, w); }));
}

cudaError_t cudaGraphExecMemcpyNodeSetParams1D(cudaGraphExec_t exec, cudaGraphNode_t node, void* dst,
                                               const void* src, size_t bytes, cudaMemcpyKind kind) {
  return Done(Replace(StepOf(exec, node, cudaGraphNodeTypeMemcpy),
                      [&](NodeWork* w) { return CopyWork1D(dst, src, bytes, kind, w); }));
}

cudaError_t cudaGraphExecMemsetNodeSetParams(cudaGraphExec_t exec, cudaGraphNode_t node,
                                             const cudaMemsetParams* params) {
  return Done(Replace(StepOf(exec, node, cudaGraphNodeTypeMemset), [&](NodeWork* w) { return SetWork(params, w); }));
}

cudaError_t cudaGraphExecHostNodeSetParams(cudaGraphExec_t exec, cudaGraphNode_t node,
                                           const cudaHostNodeParams* params) {
  return Done(Replace(StepOf(exec, node, cudaGraphNodeTypeHost), [&](NodeWork* w) { return HostWork(params, w); }));
}

// The parameters of `graph` replace those of `exec` where the two have the
// same shape; otherwise nothing changes.
cudaError_t cudaGraphExecUpdate(cudaGraphExec_t exec, cudaGraph_t graph, cudaGraphExecUpdateResultInfo* info) {
  if (!Graphs().LiveExec(exec) || !Graphs().LiveGraph(graph)) return Done(kRtInvalidValue);
  std::unique_ptr<CUgraphExec_st> fresh;
  const bool same = SameShape(exec, graph, &fresh);
  if (info != nullptr) {
    *info = cudaGraphExecUpdateResultInfo{};
    info->result = same ? cudaGraphExecUpdateSuccess : cudaGraphExecUpdateErrorTopologyChanged;
  }
  if (!same) return Done(cudaErrorGraphExecUpdateFailure);
  // The steps keep the nodes they were made from: later updates of single
  // nodes name those.
  fresh->origins = exec->origins;
  *exec = std::move(*fresh);
  return Done(kRtSuccess);
}

}  // extern "C"
