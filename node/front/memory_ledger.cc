#include "node/front/memory_ledger.h"

#include <algorithm>

namespace zantu_node {

MemoryLedger::MemoryLedger(uint32_t gpus, uint64_t capacity_per_gpu) : capacity_(capacity_per_gpu), used_(gpus, 0) {}

bool MemoryLedger::Charge(uint32_t account, uint32_t gpu, uint64_t bytes, uint64_t* used) {
  zantu::MutexLock lock(&mutex_);
  *used = 0;
  if (gpu >= used_.size()) return false;
  *used = used_[gpu];
  if (bytes > capacity_ - used_[gpu]) return false;
  std::vector<uint64_t>& held = accounts_[account];
  held.resize(used_.size(), 0);
  held[gpu] += bytes;
  used_[gpu] += bytes;
  *used = used_[gpu];
  return true;
}

void MemoryLedger::Refund(uint32_t account, uint32_t gpu, uint64_t bytes) {
  zantu::MutexLock lock(&mutex_);
  auto it = accounts_.find(account);
  if (it == accounts_.end() || gpu >= it->second.size()) return;
  const uint64_t back = std::min(bytes, it->second[gpu]);
  it->second[gpu] -= back;
  used_[gpu] -= back;
}

void MemoryLedger::Close(uint32_t account) {
  zantu::MutexLock lock(&mutex_);
  auto it = accounts_.find(account);
  if (it == accounts_.end()) return;
  for (size_t gpu = 0; gpu < it->second.size(); ++gpu) used_[gpu] -= it->second[gpu];
  accounts_.erase(it);
}

uint64_t MemoryLedger::Used(uint32_t gpu) {
  zantu::MutexLock lock(&mutex_);
  return gpu < used_.size() ? used_[gpu] : 0;
}

}  // namespace zantu_node
