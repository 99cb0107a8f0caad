#include "node/backends/emulated_memory.h"

#include <cstdlib>

#include "common/runtime_calls.h"

namespace zantu_node {
namespace {

// The runtime's allocations are aligned at least this much; kernels rely on it.
constexpr size_t kAlignment = 256;

}  // namespace

EmulatedMemory::EmulatedMemory(uint32_t gpu, uint64_t capacity, MemoryBudget* budget)
    : gpu_(gpu), capacity_(capacity), budget_(budget) {}

EmulatedMemory::~EmulatedMemory() {
  zantu::MutexLock lock(&mutex_);
  while (!allocations_.empty()) Release(allocations_.begin());
}

uint32_t EmulatedMemory::Allocate(uint32_t pid, uint64_t size, uint64_t* pointer) {
  *pointer = 0;
  if (size == 0) return kRtSuccess;
  if (size > capacity_) return kRtMemoryAllocation;
  {
    zantu::MutexLock lock(&mutex_);
    if (allocations_.size() >= kMaxAllocations) return kRtMemoryAllocation;
  }
  // Charged before the host is asked, so that two clients cannot both take
  // the last bytes.
  if (!budget_->Charge(gpu_, size)) return kRtMemoryAllocation;
  void* memory = nullptr;
  if (posix_memalign(&memory, kAlignment, size) != 0) {
    budget_->Refund(gpu_, size);
    return kRtMemoryAllocation;
  }
  zantu::MutexLock lock(&mutex_);
  *pointer = reinterpret_cast<uintptr_t>(memory);
  allocations_.emplace(*pointer, Allocation{size, pid});
  return kRtSuccess;
}

void EmulatedMemory::Release(std::map<uint64_t, Allocation>::iterator it) {
  budget_->Refund(gpu_, it->second.size);
  std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(it->first)));
  allocations_.erase(it);
}

uint32_t EmulatedMemory::Free(uint32_t pid, uint64_t pointer) {
  if (pointer == 0) return kRtSuccess;
  zantu::MutexLock lock(&mutex_);
  auto it = allocations_.find(pointer);
  if (it == allocations_.end() || it->second.pid != pid) return kRtInvalidValue;
  Release(it);
  return kRtSuccess;
}

std::map<uint64_t, EmulatedMemory::Allocation>::const_iterator EmulatedMemory::Containing(uint64_t pointer) const {
  auto it = allocations_.upper_bound(pointer);
  if (it == allocations_.begin()) return allocations_.end();
  return std::prev(it);
}

bool EmulatedMemory::Check(uint32_t pid, uint64_t pointer, uint64_t count) const {
  zantu::MutexLock lock(&mutex_);
  auto it = Containing(pointer);
  if (it == allocations_.end()) return false;
  const uint64_t offset = pointer - it->first;
  return it->second.pid == pid && offset < it->second.size && count <= it->second.size - offset;
}

bool EmulatedMemory::Reaches(uint32_t pid, uint64_t pointer) const {
  zantu::MutexLock lock(&mutex_);
  auto it = Containing(pointer);
  return it != allocations_.end() && it->second.pid == pid && pointer - it->first <= it->second.size;
}

void EmulatedMemory::FreeAll(uint32_t pid) {
  zantu::MutexLock lock(&mutex_);
  for (auto it = allocations_.begin(); it != allocations_.end();) {
    auto next = std::next(it);
    if (it->second.pid == pid) Release(it);
    it = next;
  }
}

uint64_t EmulatedMemory::Available() const {
  uint64_t used = 0;
  uint64_t capacity = 0;
  budget_->Usage(gpu_, &used, &capacity);
  return used < capacity ? capacity - used : 0;
}

}  // namespace zantu_node
