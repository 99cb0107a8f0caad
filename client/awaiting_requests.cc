#include "client/awaiting_requests.h"

namespace tovrel {

AwaitingRequests& AwaitingRequests::Get() {
  static AwaitingRequests* const awaiting = new AwaitingRequests();
  return *awaiting;
}

bool AwaitingRequests::Add(Request* request) {
  zantu::MutexLock lock(&mutex_);
  if (ended_) return false;
  return addresses_.Insert(reinterpret_cast<uint64_t>(request));
}

void AwaitingRequests::Remove(Request* request) {
  zantu::MutexLock lock(&mutex_);
  addresses_.Erase(reinterpret_cast<uint64_t>(request));
}

Request* AwaitingRequests::Take(uint64_t address) {
  zantu::MutexLock lock(&mutex_);
  if (!addresses_.Erase(address)) return nullptr;
  return reinterpret_cast<Request*>(address);
}

std::vector<Request*> AwaitingRequests::EndAndTakeAll() {
  zantu::MutexLock lock(&mutex_);
  ended_ = true;
  std::vector<Request*> all;
  for (uint64_t address : addresses_.TakeAll()) all.push_back(reinterpret_cast<Request*>(address));
  return all;
}

bool AwaitingRequests::Empty() {
  zantu::MutexLock lock(&mutex_);
  return addresses_.size() == 0;
}

}  // namespace tovrel
