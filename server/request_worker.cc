// The request worker: drains every client's request ring and sends each
// record, as the client wrote it, on the transport of the node it names. It
// is the only thread that sends records to the nodes (the registration
// service sends a client-exit notice only while it holds request_mutex_).
//
// A client whose record breaks the rules, whose ring is damaged, or one of
// whose answers could not be delivered is released at once (its rings are
// deleted, so its response loop ends and every waiting call gets 999); the
// other clients and the node links go on.
//
// A client whose next record does not fit the grant of its node is held
// back (flow_control.cc): its ring is left unread, so the back-pressure
// lands in its own ring, where only its threads wait, until an answer frees
// it. The others are served as before; a worker with only held-back
// clients waits for that answer instead of polling.
#include <algorithm>
#include <chrono>
#include <functional>
#include <utility>
#include <vector>

#include "common/log.h"
#include "server/zantu.h"

void Zantu::SendClientExit(uint64_t pid) {
  RequestBatchHeader notice{};
  notice.flags = kLinkClientExit;
  notice.pid = static_cast<uint32_t>(pid);
  // A node that cannot be reached has logged it; the others still learn.
  for (auto& [node, network] : networks_) {
    if (network != nullptr) (void)network->Send(&notice, sizeof(notice));
  }
}

std::map<unsigned long, RingBuffer*>::iterator Zantu::ReleaseClient(std::map<unsigned long, RingBuffer*>::iterator it) {
  const uint64_t pid = it->first;
  departed_.erase(pid);
  ZANTU_LOG("delete ring buffers for pid=%d", static_cast<int>(pid));
  SendClientExit(pid);
  delete it->second;
  auto next = request_rbs_.erase(it);
  ResetFlow(pid);
  {
    // Waits for a response being written into the ring to finish.
    zantu::MutexLock lock(&ResponseMutex(pid));
    delete ExchangeResponseRing(pid, nullptr);
    ForgetReleaseRequests(pid);
    ForgetOverflow(pid);
  }
  return next;
}

std::map<unsigned long, RingBuffer*>::iterator Zantu::DropClient(std::map<unsigned long, RingBuffer*>::iterator it) {
  {
    zantu::MutexLock clients(&clients_mutex_);
    clients_.erase(it->first);
    UnwatchClient(it->first);
  }
  return ReleaseClient(it);
}

void Zantu::AskRelease(uint64_t pid, RingBuffer* response_ring, std::string why) {
  {
    zantu::MutexLock lock(&release_mutex_);
    release_requests_.push_back(ReleaseRequest{pid, response_ring, std::move(why)});
  }
  // The request worker may sleep with request_mutex_ held.
  WakeRequestWorker();
}

void Zantu::ForgetReleaseRequests(uint64_t pid) {
  zantu::MutexLock lock(&release_mutex_);
  release_requests_.erase(std::remove_if(release_requests_.begin(), release_requests_.end(),
                                         [pid](const ReleaseRequest& request) { return request.pid == pid; }),
                          release_requests_.end());
}

void Zantu::ServeReleaseRequests() {
  std::vector<ReleaseRequest> requests;
  {
    zantu::MutexLock lock(&release_mutex_);
    requests.swap(release_requests_);
  }
  for (const ReleaseRequest& request : requests) {
    const uint64_t pid = request.pid;
    auto it = request_rbs_.find(pid);
    if (it == request_rbs_.end()) continue;
    // A request names a response ring that is still installed: whoever
    // deletes or replaces one first forgets the requests for its pid, under
    // the pid's response mutex, which the asker held too.
    bool current;
    {
      zantu::MutexLock response(&ResponseMutex(pid));
      current = FindResponseRing(pid) == request.response_ring;
    }
    if (!current) continue;
    ZANTU_ERROR("%s, the client is released", request.why.c_str());
    DropClient(it);
  }
}

void Zantu::RequestWorker() {
  ForwardStaging staging;
  bool link_failed = false;
  while (!Quitting() && !link_failed) {
    zantu::MutexLock lock(&request_mutex_);
    AwaitRegistrations();
    ServeReleaseRequests();
    if (request_rbs_.empty()) {
      AwaitFirstClient();
      continue;
    }
    const bool freed = TakeFreedClients();
    if (AllClientsHeld()) {
      AwaitCredit();
    } else {
      link_failed = !ServeClients(&staging, freed);
    }
  }
  if (link_failed && !Quitting()) Quit();
}

void Zantu::AwaitRegistrations() {
  while (registering_.load(std::memory_order_seq_cst) && !Quitting()) request_cv_.wait(request_mutex_);
}

void Zantu::AwaitFirstClient() {
  // The wait lets go of request_mutex_, so the first registration is not
  // held up; it ends early once a ring is stored.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(100);
  while (request_rbs_.empty() && !Quitting()) {
    if (request_cv_.wait_until(request_mutex_, until) == std::cv_status::timeout) return;
  }
}

void Zantu::TakeExitedClients() {
  if (clients_generation_.load(std::memory_order_acquire) == seen_generation_) return;
  zantu::MutexLock clients(&clients_mutex_);
  seen_generation_ = clients_generation_.load(std::memory_order_acquire);
  departed_.insert(exited_clients_.begin(), exited_clients_.end());
  exited_clients_.clear();
}

bool Zantu::ServeClients(ForwardStaging* staging, bool freed) {
  TakeExitedClients();
  // Runs inside ReadPrefix, on this thread, which holds request_mutex_. Made
  // once per pass, small enough that the function holds it without
  // allocating.
  struct Target {
    uint64_t pid;
    ForwardStaging* staging;
    size_t taken;
  } target{0, staging, 0};
  const std::function<RingBufferStatus(void*, size_t, size_t*)> forward =
      [this, &target](void* data, size_t length, size_t* taken) REQUIRES(request_mutex_) {
        const RingBufferStatus status =
            ForwardSpan(target.pid, static_cast<uint8_t*>(data), length, target.staging, taken);
        target.taken = *taken;
        return status;
      };
  // Read runs only on rings that may hold records; an idle ring costs one
  // load. After a pass that read nothing, the first ring is read whatever it
  // holds, always at the same place in the order, so that Read's round comes
  // back to it only after every ring was looked at since the round's key was
  // taken: there it spins, then sleeps until any ring is written. Held-back
  // rings are left out: a span that cannot go would end every round. In a
  // pass after a held client was freed no empty ring is read, so that the
  // pass reaches the freed one before any sleep: the answer that freed it
  // may have come before the round's key was taken.
  bool read_first = !last_pass_read_ && !freed;
  last_pass_read_ = false;
  // A pass that a registration cut short goes on where it stopped.
  auto it = request_rbs_.lower_bound(resume_pid_);
  if (it == request_rbs_.end()) it = request_rbs_.begin();
  resume_pid_ = 0;
  if (it != request_rbs_.begin()) read_first = false;
  for (; it != request_rbs_.end() && !Quitting();) {
    if (registering_.load(std::memory_order_relaxed)) {
      // A crowd of registrations must not wait for passes over every ring:
      // the next pass starts here, and does not sleep before it got there.
      resume_pid_ = it->first;
      last_pass_read_ = true;
      break;
    }
    if (!held_.empty() && held_.count(it->first) != 0) {
      ++it;
      continue;
    }
    target.pid = it->first;
    target.taken = 0;
    RingBufferStatus status = kRingEmpty;
    if (read_first || it->second->MayHaveRecords()) status = it->second->ReadPrefix(forward);
    read_first = false;
    if (status == kRingSendFailed) {
      if (!Quitting()) ZANTU_ERROR_AS("RequestWorker", "read ring buffer failed=%d", status);
      return false;
    }
    if (status == kRingSuccess && target.taken > 0) last_pass_read_ = true;
    // An empty ring, read or not, goes the same way: a departed client's is
    // released.
    it = AfterRead(it, status);
  }
  return true;
}

std::map<unsigned long, RingBuffer*>::iterator Zantu::AfterRead(std::map<unsigned long, RingBuffer*>::iterator it,
                                                                RingBufferStatus status) {
  if (status == kRingSuccess) return std::next(it);
  if (status == kRingEmpty) {
    // Drained: a client that is no longer registered has exited. Only a pid
    // that left clients_ since can be one (see TakeExitedClients).
    if (departed_.count(it->first) == 0) return std::next(it);
    bool registered;
    {
      zantu::MutexLock clients(&clients_mutex_);
      registered = clients_.count(it->first) != 0;
    }
    if (registered) {
      departed_.erase(it->first);
      return std::next(it);
    }
    return ReleaseClient(it);
  }
  // The client broke a record or damaged its ring: it is served no longer
  // (its waiters learn it when its rings go), the others are.
  if (status != kRingRejected) ZANTU_ERROR_AS("RequestWorker", "read ring buffer failed=%d", status);
  return DropClient(it);
}
