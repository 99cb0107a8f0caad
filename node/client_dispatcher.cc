#include "node/client_dispatcher.h"

#include <sys/uio.h>

#include "common/log.h"
#include "common/response_batch.h"
#include "node/node_log.h"
#include "node/options.h"
#include "node/record_runner.h"

namespace zantu_node {

ClientDispatcher::ClientDispatcher(GpuBackend* backend, NodeLink* link, const DispatchLimits& limits)
    : backend_(backend), link_(link), limits_(limits) {}

ClientDispatcher::~ClientDispatcher() { Finish(false); }

ClientDispatcher::Worker* ClientDispatcher::WorkerFor(uint32_t pid) {
  auto it = workers_.find(pid);
  if (it != workers_.end()) return it->second.get();
  // A pid used again right after its exit notice: the earlier worker must
  // have freed what the old client held before the new one starts.
  for (auto& old : retired_) {
    if (old->pid != pid || !old->thread.joinable()) continue;
    std::thread thread = std::move(old->thread);
    mutex_.unlock();
    thread.join();
    mutex_.lock();
  }
  ReapRetired();
  auto worker = std::make_unique<Worker>(pid);
  Worker* raw = worker.get();
  workers_.emplace(pid, std::move(worker));
  raw->thread = std::thread(&ClientDispatcher::WorkerLoop, this, raw);
  return raw;
}

void ClientDispatcher::ReapRetired() {
  for (auto it = retired_.begin(); it != retired_.end();) {
    Worker* worker = it->get();
    if (!worker->done && worker->thread.joinable()) {
      ++it;
      continue;
    }
    if (worker->thread.joinable()) worker->thread.join();  // done: ends at once
    it = retired_.erase(it);
  }
}

bool ClientDispatcher::Admit(uint32_t pid, uint64_t size) {
  zantu::MutexLock lock(&mutex_);
  Worker* worker = WorkerFor(pid);
  for (;;) {
    const bool client_room = worker->admitted_bytes == 0 || worker->admitted_bytes + size <= limits_.per_client_bytes;
    const bool total_room = admitted_bytes_ == 0 || admitted_bytes_ + size <= limits_.total_bytes;
    if ((client_room && total_room) || stopping()) break;
    room_cv_.wait(mutex_);
  }
  if (stopping()) return false;
  worker->admitted_bytes += size;
  admitted_bytes_ += size;
  return true;
}

void ClientDispatcher::Release(Worker* worker, uint64_t size) {
  worker->admitted_bytes -= size;
  admitted_bytes_ -= size;
  room_cv_.notify_all();
}

void ClientDispatcher::Unadmit(uint32_t pid, uint64_t size) {
  zantu::MutexLock lock(&mutex_);
  auto it = workers_.find(pid);
  if (it != workers_.end()) Release(it->second.get(), size);
}

void ClientDispatcher::Submit(const RequestBatchHeader& header, BodyBuffer body, bool data_in_place) {
  zantu::MutexLock lock(&mutex_);
  Worker* worker = workers_.at(header.pid).get();  // made by Admit, and only the reader retires workers
  worker->queue.push_back(Job{header, std::move(body), data_in_place});
  worker->cv.notify_one();
}

bool ClientDispatcher::ClientIdle(uint32_t pid, uint64_t admitted) {
  zantu::MutexLock lock(&mutex_);
  auto it = workers_.find(pid);
  // A worker gives its bytes back only after its call has run.
  return it != workers_.end() && it->second->queue.empty() && it->second->admitted_bytes == admitted;
}

void ClientDispatcher::ClientExited(uint32_t pid) {
  std::deque<Job> dropped;
  Worker* worker = nullptr;
  {
    zantu::MutexLock lock(&mutex_);
    ReapRetired();
    auto it = workers_.find(pid);
    if (it == workers_.end()) return;  // nothing ran for it here
    worker = it->second.get();
    worker->retired = true;
    dropped.swap(worker->queue);
    for (const Job& job : dropped) Release(worker, job.header.size);
    retired_.push_back(std::move(it->second));
    workers_.erase(it);
    worker->cv.notify_one();
  }
  dropped_.fetch_add(dropped.size(), std::memory_order_relaxed);
  // Silenced before the delay is cut short, so that the woken call cannot
  // answer; the barrier waits out an answer being written.
  worker->silenced.store(true, std::memory_order_release);
  worker->cancel.Cancel();
  { zantu::MutexLock barrier(&worker->answer_mutex); }
  for (Job& job : dropped) pool_.Give(std::move(job.body));
}

void ClientDispatcher::WorkerLoop(Worker* worker) {
  RecordRunner runner(backend_, worker->pid, &worker->cancel);
  for (;;) {
    Job job;
    {
      zantu::MutexLock lock(&mutex_);
      while (worker->queue.empty() && !worker->retired && !worker->draining) worker->cv.wait(mutex_);
      if (worker->retired || worker->queue.empty()) break;
      job = std::move(worker->queue.front());
      worker->queue.pop_front();
    }
    RunJob(worker, &runner, job);
    pool_.Give(std::move(job.body));
    zantu::MutexLock lock(&mutex_);
    Release(worker, job.header.size);
  }
  bool retired = false;
  {
    zantu::MutexLock lock(&mutex_);
    retired = worker->retired;
  }
  if (retired && backend_ != nullptr) backend_->ReleaseClient(worker->pid);
  zantu::MutexLock lock(&mutex_);
  worker->done = true;
}

void ClientDispatcher::RunJob(Worker* worker, RecordRunner* runner, const Job& job) {
  if (stopping() || worker->silenced.load(std::memory_order_acquire)) return;
  Response response;
  if (!runner->Run(job.header, job.body.data.get(), &response, job.data_in_place)) {
    Stop(kExitSetupFailed);
    return;
  }
  Answer(worker, response);
}

void ClientDispatcher::Answer(Worker* worker, const Response& response) {
  char skip[sizeof(ResponseBatchHeader)];
  StoreResponseHead(skip, kLinkSkip, 0, 0, 0);
  struct iovec iov[3];
  int count = 0;
  if (limits_.skip_headers) iov[count++] = {skip, sizeof(skip)};
  iov[count++] = {const_cast<char*>(response.head), response.head_size};
  iov[count++] = {const_cast<char*>(response.payload), response.payload_size};

  zantu::MutexLock lock(&worker->answer_mutex);
  if (worker->silenced.load(std::memory_order_acquire) || stopping()) return;
  if (!link_->WriteMessage(iov, count)) {
    NODE_LOG("the daemon has gone; an answer for pid=%u was not delivered", worker->pid);
    Stop(kExitOk);
    return;
  }
  const uint64_t answered = answered_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (limits_.close_after != 0 && answered == limits_.close_after) {
    NODE_LOG("closing after %llu answered records", static_cast<unsigned long long>(answered));
    Stop(kExitOk);
  }
}

void ClientDispatcher::Stop(int status) {
  if (status != kExitOk) stop_status_.store(status, std::memory_order_release);
  stopping_.store(true, std::memory_order_release);
  {
    zantu::MutexLock lock(&mutex_);
    room_cv_.notify_all();
  }
  link_->Interrupt();
}

void ClientDispatcher::Finish(bool run_queued) {
  std::vector<std::unique_ptr<Worker>> all;
  {
    zantu::MutexLock lock(&mutex_);
    if (finished_) return;
    finished_ = true;
    for (auto& entry : workers_) all.push_back(std::move(entry.second));
    workers_.clear();
    for (auto& worker : retired_) all.push_back(std::move(worker));
    retired_.clear();
    for (auto& worker : all) {
      worker->draining = true;
      if (!run_queued) {
        dropped_.fetch_add(worker->queue.size(), std::memory_order_relaxed);
        worker->queue.clear();
      }
      worker->cv.notify_one();
    }
  }
  for (auto& worker : all) {
    if (!run_queued) worker->cancel.Cancel();
    if (worker->thread.joinable()) worker->thread.join();
  }
}

}  // namespace zantu_node
