// Flow control between the clients and each node: a node's grant bounds how
// much work each client may have outstanding there, that is forwarded and
// not yet answered, so that one client's bulk cannot fill the node (and make
// the request worker block in Send for everybody).
//
// The node promises one response message per request record, a client's in
// the order they came, so an answer from node N for pid P settles P's oldest
// record at N. Work is counted only at nodes that have granted: a node that
// never grants is fed as fast as its link takes the records. Answers that
// find nothing outstanding (records forwarded before the first grant, or
// before the client was registered anew) settle nothing.
//
// A client whose next record does not fit is held back: the request worker
// leaves its ring unread until an answer of that node, or a new grant of it,
// frees the client (freed_), and wakes the worker wherever it sleeps.
#include <chrono>
#include <mutex>

#include "common/log.h"
#include "server/zantu.h"

namespace {

constexpr uint64_t NodeBit(uint32_t node) { return node < 64 ? uint64_t{1} << node : 0; }

}  // namespace

Zantu::Grant Zantu::GrantOf(uint32_t node, uint64_t pid) const {
  auto grants = grants_.find(node);
  if (grants == grants_.end()) return Grant{};
  auto own = grants->second.clients.find(pid);
  if (own != grants->second.clients.end()) return own->second;
  return grants->second.has_fallback ? grants->second.fallback : Grant{};
}

void Zantu::TakeGrant(uint32_t node, const ResponseBatchHeader& header) {
  const Grant grant{header.size, header.count};
  {
    zantu::MutexLock lock(&flow_mutex_);
    NodeGrants& grants = grants_[node];
    if (header.pid == 0) {
      grants.has_fallback = true;
      grants.fallback = grant;
    } else {
      grants.clients[header.pid] = grant;
    }
    granted_nodes_.fetch_or(NodeBit(node), std::memory_order_release);
    // The grant may have grown: the clients it holds back look again.
    for (auto& [pid, flow] : flows_) {
      if (flow.held && flow.held_node == node && (header.pid == 0 || header.pid == pid)) {
        flow.held = false;
        freed_.push_back(pid);
      }
    }
  }
  ZANTU_LOG_AS("ResponseWorker", "node=%u grants pid=%u (0: every client) %lu bytes, %u records (0: any)", node,
               header.pid, static_cast<unsigned long>(header.size), header.count);
  WakeRequestWorker();
}

void Zantu::CreditAnswer(uint32_t node, uint64_t pid) {
  if ((granted_nodes_.load(std::memory_order_acquire) & NodeBit(node)) == 0) return;
  {
    zantu::MutexLock lock(&flow_mutex_);
    auto flow = flows_.find(pid);
    if (flow == flows_.end()) return;
    auto outstanding = flow->second.nodes.find(node);
    if (outstanding == flow->second.nodes.end() || outstanding->second.sizes.empty()) return;
    outstanding->second.bytes -= outstanding->second.sizes.front();
    outstanding->second.sizes.pop_front();
    if (!flow->second.held || flow->second.held_node != node) return;
    flow->second.held = false;
    freed_.push_back(pid);
  }
  WakeRequestWorker();
}

bool Zantu::AdmitRecord(uint64_t pid, uint32_t node, uint64_t bytes) {
  if ((granted_nodes_.load(std::memory_order_acquire) & NodeBit(node)) == 0) return true;
  zantu::MutexLock lock(&flow_mutex_);
  const Grant grant = GrantOf(node, pid);
  ClientFlow& flow = flows_[pid];
  Outstanding& outstanding = flow.nodes[node];
  // With nothing outstanding a record goes whatever its size, so that a
  // record larger than the grant is not held for ever.
  const bool fits = outstanding.sizes.empty() ||
                    (bytes <= grant.bytes && outstanding.bytes <= grant.bytes - bytes &&
                     (grant.records == 0 || outstanding.sizes.size() < grant.records));
  if (!fits) {
    // Under flow_mutex_, with the check: an answer that comes now frees it.
    flow.held = true;
    flow.held_node = node;
    held_.insert(pid);
    return false;
  }
  outstanding.sizes.push_back(bytes);
  outstanding.bytes += bytes;
  return true;
}

void Zantu::ResetFlow(uint64_t pid) {
  held_.erase(pid);
  zantu::MutexLock lock(&flow_mutex_);
  flows_.erase(pid);
  // The nodes are told that pid has gone; a grant of their own for it ends.
  for (auto& [node, grants] : grants_) grants.clients.erase(pid);
}

bool Zantu::TakeFreedClients() {
  zantu::MutexLock lock(&flow_mutex_);
  seen_flow_wakes_ = flow_wakes_;
  if (freed_.empty()) return false;
  // A pid released and registered anew since it was freed is simply not
  // held any more.
  for (unsigned long pid : freed_) held_.erase(pid);
  freed_.clear();
  return true;
}

bool Zantu::AllClientsHeld() const { return !held_.empty() && held_.size() >= request_rbs_.size(); }

void Zantu::AwaitCredit() {
  // No ring may be read: Read would find a span at once and never sleep.
  // Every event that can change that counts flow_wakes_ up under the mutex
  // (a registration sets registering_ first), so none is missed; the bound
  // covers clients the liveness check drops meanwhile.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  zantu::MutexLock lock(&flow_mutex_);
  while (flow_wakes_ == seen_flow_wakes_ && !Quitting() && !registering_.load(std::memory_order_seq_cst)) {
    if (flow_cv_.wait_until(flow_mutex_, until) == std::cv_status::timeout) return;
  }
}

void Zantu::WakeRequestWorker() {
  {
    zantu::MutexLock lock(&flow_mutex_);
    ++flow_wakes_;
  }
  flow_cv_.notify_all();
  // It may sleep in Read on an empty ring too.
  RingBuffer::WakeLocalReaders();
}

void Zantu::WakeWaitersForQuit() {
  // Under each mutex: a waiter cannot miss quit_ between its test and its
  // wait.
  {
    zantu::MutexLock lock(&flow_mutex_);
    flow_cv_.notify_all();
  }
  zantu::MutexLock lock(&overflow_mutex_);
  overflow_cv_.notify_all();
}
