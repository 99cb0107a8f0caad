// Graphs of work (cudaGraph_t), their nodes and their executable forms, for
// the explicit graph API and for stream capture.
//
// A node holds its work as the program described it; what a launch needs
// that can be settled early (a kernel's function and packed parameters, a
// memset's byte) is settled when the node is made, so that a bad node fails
// where it is added, as CUDA's do. An executable graph is the nodes' work in
// one order that honours every dependency; a launch queues it on the stream
// as the corresponding stream calls would, in that order. Kernels, memsets
// and device copies are deferred entries: a graph of them reaches the node
// in one record, with the call that next waits.
//
// Handles are checked: a graph, node or executable graph the program does
// not hold (never made, or destroyed) is refused, never dereferenced.
//
// Thread safety: the registry's mutex guards which objects are live; one
// graph (with its nodes) or executable graph must not be changed by two
// threads at once, as CUDA requires of its programs.
#pragma once

#include <cuda_runtime_api.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/thread_annotations.h"

namespace cudart {

struct Function;

// One node's work.
struct NodeWork {
  cudaGraphNodeType type = cudaGraphNodeTypeEmpty;
  // Kernel: the params struct as given, with kernelParams pointing into
  // `params` (the packed buffer) and func the program's host function.
  cudaKernelNodeParams kernel{};
  Function* function = nullptr;
  std::string params;
  std::vector<void*> param_pointers;
  cudaMemcpy3DParms copy{};
  cudaMemsetParams set{};
  cudaHostNodeParams host{};
  cudaEvent_t event = nullptr;  // event record and wait nodes
};

}  // namespace cudart

struct CUgraphNode_st {
  CUgraph_st* graph = nullptr;
  cudart::NodeWork work;
  std::vector<CUgraphNode_st*> deps;  // in the order added
};

struct CUgraph_st {
  std::vector<std::unique_ptr<CUgraphNode_st>> nodes;  // in the order added
};

struct CUgraphExec_st {
  std::vector<cudart::NodeWork> steps;             // dependencies first
  std::vector<const CUgraphNode_st*> origins;      // the graph node of each step
};

namespace cudart {

// Runtime statuses throughout.
class GraphRegistry {
 public:
  static GraphRegistry& Get();

  cudaGraph_t NewGraph() EXCLUDES(mutex_);
  void DestroyGraph(cudaGraph_t graph) EXCLUDES(mutex_);
  bool LiveGraph(cudaGraph_t graph) const EXCLUDES(mutex_);
  // A node of a live graph.
  bool LiveNode(cudaGraphNode_t node) const EXCLUDES(mutex_);
  void AdoptNode(cudaGraphNode_t node) EXCLUDES(mutex_);
  void ForgetNode(cudaGraphNode_t node) EXCLUDES(mutex_);
  cudaGraphExec_t NewExec(std::unique_ptr<CUgraphExec_st> exec) EXCLUDES(mutex_);
  void DestroyExec(cudaGraphExec_t exec) EXCLUDES(mutex_);
  bool LiveExec(cudaGraphExec_t exec) const EXCLUDES(mutex_);

 private:
  GraphRegistry() = default;
  mutable zantu::Mutex mutex_;
  std::unordered_set<cudaGraph_t> graphs_ GUARDED_BY(mutex_);
  std::unordered_set<cudaGraphExec_t> execs_ GUARDED_BY(mutex_);
  std::unordered_set<cudaGraphNode_t> nodes_ GUARDED_BY(mutex_);
};

// Node work from the program's descriptions; checked as far as can be
// without a stream.
int KernelWork(const cudaKernelNodeParams* params, NodeWork* work);
int CopyWork(const cudaMemcpy3DParms* params, NodeWork* work);
int CopyWork1D(void* dst, const void* src, size_t count, cudaMemcpyKind kind, NodeWork* work);
int SetWork(const cudaMemsetParams* params, NodeWork* work);
int HostWork(const cudaHostNodeParams* params, NodeWork* work);
// Points a kernel work's kernelParams into its own packed buffer; needed
// whenever the work has moved.
void PointParams(NodeWork* work);
// A kernel node's work from an already packed parameter buffer (capture).
NodeWork PackedKernelWork(Function* function, dim3 grid, dim3 block, size_t shared, const std::string& params);

// Adds a node with `work` after `deps` (nodes of `graph`).
int AddNode(cudaGraph_t graph, const cudaGraphNode_t* deps, size_t count, NodeWork work, cudaGraphNode_t* node);
// The steps of `graph` with dependencies first; kRtInvalidValue for a cycle.
int Instantiate(cudaGraph_t graph, std::unique_ptr<CUgraphExec_st>* exec);
// A new graph with copies of the nodes and edges of `graph`.
cudaGraph_t CloneGraph(cudaGraph_t graph);
// Queues every step of `exec` on `stream`, stopping at the first failure.
int LaunchSteps(const CUgraphExec_st& exec, cudaStream_t stream, bool per_thread);

}  // namespace cudart
