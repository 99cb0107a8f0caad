#include "node/front/answer_pump.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <chrono>

#include "common/log.h"
#include "common/response_batch.h"
#include "common/runtime_calls.h"
#include "node/node_log.h"
#include "node/options.h"
#include "node/worker/worker_channel.h"

namespace zantu_node {
namespace {

// With no client to serve the pump waits for one this long at a time.
constexpr auto kIdleWait = std::chrono::milliseconds(100);

// The control page is shared with the worker's process: not a private futex.
void WakeWorker(std::atomic<uint32_t>* word) {
  syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

}  // namespace

AnswerPump::AnswerPump(NodeLink* link, MemoryLedger* ledger, const PumpConfig& config,
                       std::function<void(int)> on_stop, std::function<void(ClientEntry*)> on_broken)
    : link_(link), ledger_(ledger), config_(config), on_stop_(std::move(on_stop)), on_broken_(std::move(on_broken)) {}

AnswerPump::~AnswerPump() { Stop(); }

void AnswerPump::Start() { thread_ = std::thread(&AnswerPump::Loop, this); }

void AnswerPump::Stop() {
  quit_.store(true, std::memory_order_release);
  Wake();
  if (thread_.joinable()) thread_.join();
}

void AnswerPump::Add(std::shared_ptr<ClientEntry> entry) {
  {
    zantu::MutexLock lock(&events_mutex_);
    events_.push_back(Event{EventKind::kAdd, std::move(entry), 0});
    events_pending_.store(true, std::memory_order_release);
  }
  Wake();
}

void AnswerPump::Remove(std::shared_ptr<ClientEntry> entry) {
  {
    zantu::MutexLock lock(&events_mutex_);
    events_.push_back(Event{EventKind::kRemove, std::move(entry), 0});
    events_pending_.store(true, std::memory_order_release);
  }
  Wake();
}

void AnswerPump::WorkerEnded(std::shared_ptr<ClientEntry> entry, uint32_t result) {
  {
    zantu::MutexLock lock(&events_mutex_);
    events_.push_back(Event{EventKind::kEnded, std::move(entry), result});
    events_pending_.store(true, std::memory_order_release);
  }
  Wake();
}

void AnswerPump::Wake() {
  {
    zantu::MutexLock lock(&events_mutex_);
    woken_ = true;
    events_cv_.notify_all();
  }
  // The pump may sleep in Read on the response rings, which this process
  // created.
  RingBuffer::WakeLocalReaders();
}

void AnswerPump::Loop() {
  while (!quit_.load(std::memory_order_acquire)) {
    if (events_pending_.load(std::memory_order_acquire)) {
      TakeEvents();
      // A ring added now was not looked at when the sleeping Read's round
      // took its key: one pass that does not sleep looks at it first.
      last_pass_read_ = true;
    }
    if (!Pass()) Sleep();
  }
}

void AnswerPump::Sleep() {
  zantu::MutexLock lock(&events_mutex_);
  if (!woken_ && !quit_.load(std::memory_order_acquire)) events_cv_.wait_for(events_mutex_, kIdleWait);
  woken_ = false;
}

void AnswerPump::TakeEvents() {
  std::vector<Event> events;
  {
    zantu::MutexLock lock(&events_mutex_);
    events.swap(events_);
    events_pending_.store(false, std::memory_order_release);
  }
  for (const Event& event : events) Apply(event);
}

void AnswerPump::Apply(const Event& event) {
  if (event.kind == EventKind::kAdd) {
    served_.push_back(Served{event.entry, false});
    return;
  }
  for (auto it = served_.begin(); it != served_.end(); ++it) {
    if (it->entry != event.entry) continue;
    if (event.kind == EventKind::kRemove) {
      served_.erase(it);
      return;
    }
    ClientEntry* entry = it->entry.get();
    // What the worker finished before it ended still goes out first.
    if (!it->ended) {
      while (entry->slot()->responses()->Read([this, entry](void* data, size_t length) {
        return ConsumeSpan(entry, static_cast<const char*>(data), length);
      }) == kRingSuccess) {
      }
    }
    it->ended = true;
    {
      zantu::MutexLock lock(&entry->mutex);
      if (entry->sticky == 0) entry->sticky = event.result;
    }
    entry->needs_flush.store(true, std::memory_order_release);
    return;
  }
}

bool AnswerPump::Pass() {
  // Read runs only on rings that may hold records; after a pass that read
  // nothing, the first ring is read whatever it holds, so that Read's round
  // comes back to it and sleeps there until a worker writes (as the daemon's
  // request worker does).
  bool read_anyway = !last_pass_read_;
  bool any_ring = false;
  bool read = false;
  for (Served& served : served_) {
    if (quit_.load(std::memory_order_acquire)) break;
    ClientEntry* entry = served.entry.get();
    if (entry->needs_flush.exchange(false, std::memory_order_acq_rel)) FlushOwed(entry);
    if (served.ended) continue;
    any_ring = true;
    ServeEntry(&served, read_anyway, &read);
    read_anyway = false;
  }
  last_pass_read_ = read;
  return any_ring;
}

void AnswerPump::ServeEntry(Served* served, bool read_anyway, bool* read) {
  ClientEntry* entry = served->entry.get();
  RingBuffer* ring = entry->slot()->responses();
  if (!read_anyway && !ring->MayHaveRecords()) return;
  const RingBufferStatus status = ring->Read([this, entry](void* data, size_t length) {
    return ConsumeSpan(entry, static_cast<const char*>(data), length);
  });
  if (status == kRingSuccess) *read = true;
  if (status == kRingSuccess || status == kRingEmpty) return;
  // Rejected: ConsumeSpan has reported why. The ring is read no more; the
  // worker's end answers for it.
  if (status != kRingRejected) Broken(entry, "its response ring is damaged");
  served->ended = true;
}

RingBufferStatus AnswerPump::ConsumeSpan(ClientEntry* entry, const char* data, size_t length) {
  while (length > 0) {
    ResponseBatchHeader header{};
    const char* body = nullptr;
    size_t consumed = 0;
    switch (NextWorkerRecord(data, length, &header, &body, &consumed)) {
      case WorkerRecord::kCharge:
      case WorkerRecord::kRefund:
        ServeCharge(entry, header);
        break;
      case WorkerRecord::kAnswer:
        if (!ForwardAnswer(entry, header, body)) return kRingRejected;
        break;
      case WorkerRecord::kBroken:
        Broken(entry, "it wrote a record the channel does not allow");
        return kRingRejected;
    }
    data += consumed;
    length -= consumed;
  }
  return kRingSuccess;
}

bool AnswerPump::ForwardAnswer(ClientEntry* entry, ResponseBatchHeader header, const char* body) {
  std::vector<Outstanding> before;
  std::vector<Outstanding> after;
  Outstanding asked{};
  bool expected = false;
  {
    zantu::MutexLock lock(&entry->mutex);
    before = TakeOwed(entry);
    // Nothing it may answer: an answer too many, or one after its end.
    expected = !entry->outstanding.empty() && entry->sticky == 0;
    if (expected) {
      asked = entry->outstanding.front();
      entry->outstanding.pop_front();
      entry->outstanding_bytes -= asked.bytes;
      after = TakeOwed(entry);
    }
  }
  SendOwed(entry, before);
  if (!expected) {
    Broken(entry, "it answered a record it was not given");
    return false;
  }
  if (!AnswerMatches(header, body, asked.last)) {
    Broken(entry, "its answer does not match the record it answers");
    // The record it took is still owed an answer; so is everything after.
    asked.result = kRtUnknown;
    SendOwed(entry, {asked});
    SendOwed(entry, after);
    return false;
  }
  header.pid = entry->pid.load(std::memory_order_relaxed);
  char head[sizeof(ResponseBatchHeader)];
  StoreRecord(head, header);
  const struct iovec pieces[2] = {{head, sizeof(head)}, {const_cast<char*>(body), header.size}};
  Send(entry, pieces, 2);
  SendOwed(entry, after);
  return true;
}

std::vector<Outstanding> AnswerPump::TakeOwed(ClientEntry* entry) {
  std::vector<Outstanding> owed;
  while (!entry->outstanding.empty() &&
         (entry->sticky != 0 || entry->outstanding.front().result != kByWorker)) {
    Outstanding next = entry->outstanding.front();
    entry->outstanding.pop_front();
    entry->outstanding_bytes -= next.bytes;
    if (next.result == kByWorker) next.result = entry->sticky;
    owed.push_back(next);
  }
  return owed;
}

void AnswerPump::FlushOwed(ClientEntry* entry) {
  std::vector<Outstanding> owed;
  {
    zantu::MutexLock lock(&entry->mutex);
    owed = TakeOwed(entry);
  }
  SendOwed(entry, owed);
}

void AnswerPump::SendOwed(ClientEntry* entry, const std::vector<Outstanding>& owed) {
  const uint32_t pid = entry->pid.load(std::memory_order_relaxed);
  for (const Outstanding& record : owed) {
    char head[kSingleResponseHeadBytes];
    const size_t size = StoreSingleResponseHead(head, pid, AnswerEntry(record.last, record.result, 0));
    const struct iovec piece = {head, size};
    Send(entry, &piece, 1);
  }
}

void AnswerPump::Send(ClientEntry* entry, const struct iovec* pieces, int count) {
  char skip[sizeof(ResponseBatchHeader)];
  StoreResponseHead(skip, kLinkSkip, 0, 0, 0);
  struct iovec iov[3];
  int n = 0;
  if (config_.skip_headers) iov[n++] = {skip, sizeof(skip)};
  for (int i = 0; i < count; ++i) iov[n++] = pieces[i];

  zantu::MutexLock lock(&entry->answer_mutex);
  if (entry->silenced.load(std::memory_order_acquire) || quit_.load(std::memory_order_acquire)) return;
  if (!link_->WriteMessage(iov, n)) {
    NODE_LOG("the daemon has gone; an answer for pid=%u was not delivered", entry->pid.load());
    on_stop_(kExitOk);
    return;
  }
  const uint64_t answered = answered_.fetch_add(1, std::memory_order_relaxed) + 1;
  if (config_.close_after != 0 && answered == config_.close_after) {
    NODE_LOG("closing after %llu answered records", static_cast<unsigned long long>(answered));
    on_stop_(kExitOk);
  }
}

void AnswerPump::ServeCharge(ClientEntry* entry, const ResponseBatchHeader& note) {
  const uint32_t gpu = note.count;
  if (note.flags == kNoteRefund) {
    if (ledger_ != nullptr) ledger_->Refund(entry->id(), gpu, note.size);
    return;
  }
  uint64_t used = 0;
  const bool granted = ledger_ != nullptr && ledger_->Charge(entry->id(), gpu, note.size, &used);
  WorkerControl* control = entry->slot()->control();
  control->granted.store(granted ? 1 : 0, std::memory_order_relaxed);
  control->used.store(used, std::memory_order_relaxed);
  control->capacity.store(ledger_ != nullptr ? ledger_->capacity() : 0, std::memory_order_relaxed);
  // Release: the fields above are written before the worker sees the bump.
  control->reply_seq.fetch_add(1, std::memory_order_release);
  WakeWorker(&control->reply_seq);
}

void AnswerPump::Broken(ClientEntry* entry, const char* why) {
  if (entry->silenced.load(std::memory_order_acquire)) return;
  ZANTU_ERROR("the worker of pid=%u is stopped: %s", entry->pid.load(), why);
  on_broken_(entry);
}

}  // namespace zantu_node
