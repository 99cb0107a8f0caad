#include "node/front/client_dispatcher.h"

#include <signal.h>
#include <sys/eventfd.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <deque>
#include <utility>

#include "common/log.h"
#include "common/response_batch.h"
#include "common/runtime_calls.h"
#include "node/node_log.h"
#include "node/options.h"

namespace zantu_node {
namespace {

// Pooled workers that may end in a row before the pool stops refilling
// (a backend that cannot open in a worker would otherwise fork for ever).
constexpr uint32_t kMaxPoolFailures = 3;

// What a client's calls get once its worker has ended this way.
uint32_t ResultOfEnd(int status) {
  if (WIFSIGNALED(status)) {
    const int signal = WTERMSIG(status);
    return signal == SIGSEGV || signal == SIGBUS ? kRtIllegalAddress : kRtLaunchFailure;
  }
  if (WIFEXITED(status) && WEXITSTATUS(status) == kWorkerExitNoBackend) return kRtInitializationError;
  return kRtUnknown;
}

std::string DescribeEnd(int status) {
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  return "wait status " + std::to_string(status);
}

void PauseOneMillisecond() {
  timespec pause{0, 1000000};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

ClientDispatcher::ClientDispatcher(const DispatchConfig& config, NodeLink* link, Spawner* spawner)
    : config_(config),
      link_(link),
      spawner_(spawner),
      ledger_(config.plan.kind == BackendKind::kEmulated
                  ? std::make_unique<MemoryLedger>(config.plan.gpus, config.plan.memory_per_gpu)
                  : nullptr),
      pump_(link, ledger_.get(), config.pump, [this](int status) { Stop(status); },
            [this](ClientEntry* entry) { StopBroken(entry); }) {}

ClientDispatcher::~ClientDispatcher() {
  Finish(false);
  if (wake_fd_ >= 0) close(wake_fd_);
}

void ClientDispatcher::Start() {
  wake_fd_ = eventfd(0, EFD_CLOEXEC);
  pump_.Start();
  supervisor_ = std::thread(&ClientDispatcher::Supervise, this);
}

std::shared_ptr<ClientEntry> ClientDispatcher::MakeEntry(uint32_t pid) {
  const uint32_t id = next_slot_.fetch_add(1, std::memory_order_relaxed);
  std::string why;
  std::unique_ptr<WorkerSlot> slot = WorkerSlot::Create(id, &why);
  if (!slot) {
    ZANTU_ERROR("no worker can be made%s: %s", pid != 0 ? (" for pid=" + std::to_string(pid)).c_str() : "",
                why.c_str());
    return nullptr;
  }
  auto entry = std::make_shared<ClientEntry>(std::move(slot));
  WorkerLaunch launch;
  launch.slot = id;
  launch.request_ring = entry->slot()->request_name();
  launch.response_ring = entry->slot()->response_name();
  launch.control_fd = entry->slot()->control_fd();
  launch.plan = config_.plan;
  launch.test_module = config_.test_module;
  {
    zantu::MutexLock lock(&entries_mutex_);
    entry->pid.store(pid, std::memory_order_relaxed);
    slots_[id] = entry;
    if (pid != 0) pump_.Add(entry);
  }
  if (!spawner_->Spawn(launch)) {
    // Without the spawner nobody can be served.
    Stop(kExitSetupFailed);
  }
  return entry;
}

std::shared_ptr<ClientEntry> ClientDispatcher::TakePooled(uint32_t pid) {
  zantu::MutexLock lock(&entries_mutex_);
  if (pool_.empty()) return nullptr;
  std::shared_ptr<ClientEntry> entry = std::move(pool_.front());
  pool_.pop_front();
  entry->pid.store(pid, std::memory_order_relaxed);
  pump_.Add(entry);
  return entry;
}

ClientEntry* ClientDispatcher::EntryFor(uint32_t pid) {
  auto it = clients_.find(pid);
  if (it != clients_.end()) return it->second.get();
  std::shared_ptr<ClientEntry> entry = TakePooled(pid);
  if (entry) {
    WakeSupervisor();  // to fill the pool again
  } else {
    entry = MakeEntry(pid);
    if (!entry) return nullptr;
  }
  ClientEntry* raw = entry.get();
  clients_.emplace(pid, std::move(entry));
  return raw;
}

uint32_t ClientDispatcher::Admit(ClientEntry* entry, uint64_t bytes, uint32_t gpu) {
  zantu::MutexLock lock(&entry->mutex);
  if (entry->sticky != 0) return entry->sticky;
  if (gpu < 64 && (entry->lost_gpus >> gpu & 1) != 0) return entry->lost_result;
  // Beyond the grant: a daemon that ignores it. The record is refused
  // rather than held up: nothing here waits for one client.
  if (entry->outstanding.size() >= config_.grant_records ||
      (entry->outstanding_bytes != 0 && entry->outstanding_bytes + bytes > config_.grant_bytes)) {
    return kRtMemoryAllocation;
  }
  return kRtSuccess;
}

void ClientDispatcher::Expect(ClientEntry* entry, const RequestHeader& last, uint64_t bytes) {
  bool owed_now = false;
  {
    zantu::MutexLock lock(&entry->mutex);
    entry->outstanding.push_back(Outstanding{last, bytes, kByWorker});
    entry->outstanding_bytes += bytes;
    owed_now = entry->sticky != 0;  // its worker has just ended
  }
  if (owed_now) {
    entry->needs_flush.store(true, std::memory_order_release);
    pump_.Wake();
  }
}

void ClientDispatcher::AnswerNow(ClientEntry* entry, const RequestHeader& last, uint64_t bytes, uint32_t result,
                                 int64_t deferred_gpu) {
  {
    zantu::MutexLock lock(&entry->mutex);
    entry->outstanding.push_back(Outstanding{last, bytes, result});
    entry->outstanding_bytes += bytes;
    if (deferred_gpu >= 0 && result != kRtSuccess && !entry->note_pending) {
      entry->note = RefusalNote(entry->pid.load(std::memory_order_relaxed), static_cast<uint32_t>(deferred_gpu),
                                result);
      entry->note_pending = true;
    }
  }
  entry->needs_flush.store(true, std::memory_order_release);
  pump_.Wake();
}

ClientEntry* ClientDispatcher::ResetBroken(ClientEntry* entry, uint32_t gpu, uint32_t* result) {
  const uint64_t bit = gpu < 64 ? uint64_t{1} << gpu : 0;
  {
    zantu::MutexLock lock(&entry->mutex);
    if (entry->sticky == 0) {
      if ((entry->lost_gpus & bit) != 0) *result = kRtSuccess;
      entry->lost_gpus &= ~bit;
      return entry;
    }
  }
  const uint32_t pid = entry->pid.load(std::memory_order_relaxed);
  auto it = clients_.find(pid);
  if (it == clients_.end() || it->second.get() != entry) return entry;
  std::shared_ptr<ClientEntry> ended = std::move(it->second);
  clients_.erase(it);
  ClientEntry* fresh = EntryFor(pid);
  if (fresh == nullptr) {
    clients_.emplace(pid, std::move(ended));
    return entry;
  }
  TakeOverOwed(ended.get(), fresh, bit);
  pump_.Remove(std::move(ended));
  *result = kRtSuccess;
  return fresh;
}

void ClientDispatcher::TakeOverOwed(ClientEntry* ended, ClientEntry* fresh, uint64_t kept_gpu) {
  // Nothing more is written for the ended entry: an answer being written
  // ends first (the barrier), and the answers it still owes move to the
  // front of the new entry's queue, in order, with the worker's end.
  ended->silenced.store(true, std::memory_order_release);
  { zantu::MutexLock barrier(&ended->answer_mutex); }
  std::deque<Outstanding> owed;
  uint64_t owed_bytes = 0;
  uint32_t sticky = 0;
  {
    zantu::MutexLock lock(&ended->mutex);
    owed.swap(ended->outstanding);
    owed_bytes = std::exchange(ended->outstanding_bytes, 0);
    sticky = ended->sticky;
  }
  for (Outstanding& record : owed) {
    if (record.result == kByWorker) record.result = sticky;
  }
  {
    zantu::MutexLock lock(&fresh->mutex);
    fresh->outstanding.insert(fresh->outstanding.begin(), owed.begin(), owed.end());
    fresh->outstanding_bytes += owed_bytes;
    fresh->lost_gpus = ~kept_gpu;
    fresh->lost_result = sticky;
  }
  fresh->needs_flush.store(true, std::memory_order_release);
  pump_.Wake();
}

void ClientDispatcher::AnswerUnserved(uint32_t pid, const RequestHeader& last, uint32_t result) {
  char head[kSingleResponseHeadBytes];
  const size_t size = StoreSingleResponseHead(head, pid, AnswerEntry(last, result, 0));
  const struct iovec piece = {head, size};
  if (!link_->WriteMessage(&piece, 1)) Stop(kExitOk);
}

void ClientDispatcher::WritePendingNote(ClientEntry* entry) {
  RequestBatchHeader note{};
  {
    zantu::MutexLock lock(&entry->mutex);
    if (!entry->note_pending) return;
    note = entry->note;
  }
  const RingBufferStatus status = entry->slot()->requests()->Write(sizeof(note), [&note](void* space) {
    StoreRecord(space, note);
    return kRingSuccess;
  });
  if (status != kRingSuccess) return;  // tried again before the next record
  zantu::MutexLock lock(&entry->mutex);
  entry->note_pending = false;
}

void ClientDispatcher::ClientExited(uint32_t pid) {
  auto it = clients_.find(pid);
  if (it == clients_.end()) return;  // nothing ran for it here
  std::shared_ptr<ClientEntry> entry = std::move(it->second);
  clients_.erase(it);
  entry->retired.store(true, std::memory_order_release);
  // Silenced, then a pass through the answer lock: an answer being written
  // ends first, and none follows.
  entry->silenced.store(true, std::memory_order_release);
  { zantu::MutexLock barrier(&entry->answer_mutex); }
  spawner_->Kill(entry->id());
  if (ledger_) ledger_->Close(entry->id());
  {
    zantu::MutexLock lock(&entry->mutex);
    dropped_.fetch_add(entry->outstanding.size(), std::memory_order_relaxed);
  }
  pump_.Remove(std::move(entry));
}

void ClientDispatcher::Supervise() {
  while (!quit_.load(std::memory_order_acquire)) {
    FillPool();
    SpawnerReport report{};
    switch (spawner_->NextReport(wake_fd_, &report)) {
      case Spawner::Next::kReport:
        HandleReport(report);
        break;
      case Spawner::Next::kWoken:
        break;
      case Spawner::Next::kGone:
        if (!quit_.load(std::memory_order_acquire)) {
          ZANTU_ERROR("the spawner of the node's workers has gone");
          Stop(kExitSetupFailed);
        }
        return;
    }
  }
}

void ClientDispatcher::FillPool() {
  for (;;) {
    {
      zantu::MutexLock lock(&entries_mutex_);
      if (pool_.size() >= config_.pool_size || pool_failures_ >= kMaxPoolFailures) return;
    }
    if (quit_.load(std::memory_order_acquire) || stopping()) return;
    std::shared_ptr<ClientEntry> entry = MakeEntry(0);
    if (!entry) return;
    zantu::MutexLock lock(&entries_mutex_);
    pool_.push_back(std::move(entry));
  }
}

void ClientDispatcher::HandleReport(const SpawnerReport& report) {
  if (report.kind == kSpawnerStarted) {
    zantu::MutexLock lock(&entries_mutex_);
    auto it = slots_.find(report.slot);
    if (it != slots_.end()) it->second->worker_pid.store(report.pid, std::memory_order_relaxed);
    workers_started_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  if (report.kind == kSpawnerFailed) {
    ZANTU_ERROR("worker %u could not be started: %s", report.slot, strerror(report.status));
    WorkerGone(report.slot, kRtMemoryAllocation);
    return;
  }
  const uint32_t result = ResultOfEnd(report.status);
  {
    zantu::MutexLock lock(&entries_mutex_);
    auto it = slots_.find(report.slot);
    if (it != slots_.end() && !it->second->retired.load(std::memory_order_acquire) && it->second->pid.load() != 0) {
      NODE_LOG("the worker of pid=%u ended (%s): its calls get %u from now on", it->second->pid.load(),
               DescribeEnd(report.status).c_str(), result);
    }
  }
  WorkerGone(report.slot, result);
}

void ClientDispatcher::WorkerGone(uint32_t slot, uint32_t result) {
  std::shared_ptr<ClientEntry> entry;
  {
    zantu::MutexLock lock(&entries_mutex_);
    auto it = slots_.find(slot);
    if (it == slots_.end()) return;
    entry = std::move(it->second);
    slots_.erase(it);
    if (entry->pid.load(std::memory_order_relaxed) == 0) {
      // A pooled worker: it never served anyone.
      for (auto pooled = pool_.begin(); pooled != pool_.end(); ++pooled) {
        if (pooled->get() != entry.get()) continue;
        pool_.erase(pooled);
        break;
      }
      if (++pool_failures_ == kMaxPoolFailures) {
        ZANTU_ERROR("%u pooled workers ended before serving; workers are now started per client",
                    kMaxPoolFailures);
      }
      return;
    }
  }
  if (entry->retired.load(std::memory_order_acquire)) return;
  workers_failed_.fetch_add(1, std::memory_order_relaxed);
  if (ledger_) ledger_->Close(entry->id());
  pump_.WorkerEnded(std::move(entry), result);
}

void ClientDispatcher::StopBroken(ClientEntry* entry) {
  {
    zantu::MutexLock lock(&entry->mutex);
    if (entry->sticky == 0) entry->sticky = kRtUnknown;
  }
  entry->needs_flush.store(true, std::memory_order_release);
  spawner_->Kill(entry->id());
}

void ClientDispatcher::WakeSupervisor() {
  if (wake_fd_ < 0) return;
  const uint64_t one = 1;
  (void)!write(wake_fd_, &one, sizeof(one));
}

void ClientDispatcher::Stop(int status) {
  if (status != kExitOk) stop_status_.store(status, std::memory_order_release);
  stopping_.store(true, std::memory_order_release);
  link_->Interrupt();
}

bool ClientDispatcher::AnyOwed() {
  for (auto& [pid, entry] : clients_) {
    zantu::MutexLock lock(&entry->mutex);
    if (!entry->outstanding.empty()) return true;
  }
  return false;
}

void ClientDispatcher::Finish(bool run_queued) {
  if (finished_) return;
  finished_ = true;
  // The workers run on; the pump sends what they answer.
  while (run_queued && !stopping() && AnyOwed()) PauseOneMillisecond();
  quit_.store(true, std::memory_order_release);
  WakeSupervisor();
  if (supervisor_.joinable()) supervisor_.join();
  pump_.Stop();
  for (auto& [pid, entry] : clients_) {
    zantu::MutexLock lock(&entry->mutex);
    dropped_.fetch_add(entry->outstanding.size(), std::memory_order_relaxed);
  }
  // Every worker goes with the spawner; the rings go with the entries.
  clients_.clear();
  zantu::MutexLock lock(&entries_mutex_);
  for (auto& [slot, entry] : slots_) spawner_->Kill(slot);
  pool_.clear();
  slots_.clear();
}

}  // namespace zantu_node
