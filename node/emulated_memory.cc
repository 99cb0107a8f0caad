#include "node/emulated_memory.h"

#include <cstdlib>

#include "common/runtime_calls.h"

namespace zantu_node {
namespace {

// The runtime's allocations are aligned at least this much; kernels rely on it.
constexpr size_t kAlignment = 256;

}  // namespace

EmulatedMemory::EmulatedMemory(uint64_t capacity) : capacity_(capacity) {}

EmulatedMemory::~EmulatedMemory() {
  zantu::MutexLock lock(&mutex_);
  while (!allocations_.empty()) Release(allocations_.begin());
}

uint32_t EmulatedMemory::Allocate(uint32_t pid, uint64_t size, uint64_t* pointer) {
  *pointer = 0;
  if (size == 0) return kRtSuccess;
  {
    zantu::MutexLock lock(&mutex_);
    if (size > capacity_ - used_) return kRtMemoryAllocation;
    used_ += size;  // charged now so that two clients cannot both take the last bytes
  }
  void* memory = nullptr;
  if (posix_memalign(&memory, kAlignment, size) != 0) memory = nullptr;
  zantu::MutexLock lock(&mutex_);
  if (memory == nullptr) {
    used_ -= size;
    return kRtMemoryAllocation;
  }
  *pointer = reinterpret_cast<uintptr_t>(memory);
  allocations_.emplace(*pointer, Allocation{size, pid});
  return kRtSuccess;
}

void EmulatedMemory::Release(std::map<uint64_t, Allocation>::iterator it) {
  used_ -= it->second.size;
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

bool EmulatedMemory::Check(uint32_t pid, uint64_t pointer, uint64_t count) const {
  zantu::MutexLock lock(&mutex_);
  auto it = allocations_.upper_bound(pointer);
  if (it == allocations_.begin()) return false;
  --it;
  const uint64_t offset = pointer - it->first;
  return it->second.pid == pid && offset < it->second.size && count <= it->second.size - offset;
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
  zantu::MutexLock lock(&mutex_);
  return capacity_ - used_;
}

}  // namespace zantu_node
