// A set of request addresses with open addressing, so inserting the request
// of a call costs no allocation of its own (the table grows by doubling and
// never shrinks).
//
// Not thread safe: the owner locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tovrel {

class AddressSet {
 public:
  // 0 and 1 mark free and deleted slots; no object lives at those addresses.
  static bool Storable(uint64_t address) { return address > kDeleted; }

  // False if present already (or not storable).
  bool Insert(uint64_t address) {
    if (!Storable(address)) return false;
    if ((used_ + 1) * 2 > slots_.size()) {
      // Double while more than a quarter is live; otherwise only sweep out
      // deleted marks.
      Rehash((size_ + 1) * 4 > slots_.size() ? slots_.size() * 2 : slots_.size());
    }
    size_t free_slot = kNone;
    for (size_t i = Home(address);; i = (i + 1) & Mask()) {
      const uint64_t v = slots_[i];
      if (v == address) return false;
      if (v == kDeleted && free_slot == kNone) free_slot = i;
      if (v == kFree) {
        if (free_slot == kNone) {
          free_slot = i;
          ++used_;
        }
        break;
      }
    }
    slots_[free_slot] = address;
    ++size_;
    return true;
  }

  // False if absent.
  bool Erase(uint64_t address) {
    if (size_ == 0 || !Storable(address)) return false;
    for (size_t i = Home(address);; i = (i + 1) & Mask()) {
      const uint64_t v = slots_[i];
      if (v == kFree) return false;
      if (v == address) {
        slots_[i] = kDeleted;
        --size_;
        return true;
      }
    }
  }

  bool Contains(uint64_t address) const {
    if (size_ == 0 || !Storable(address)) return false;
    for (size_t i = Home(address);; i = (i + 1) & Mask()) {
      if (slots_[i] == kFree) return false;
      if (slots_[i] == address) return true;
    }
  }

  // Every stored address, in no particular order; the set is left empty.
  std::vector<uint64_t> TakeAll() {
    std::vector<uint64_t> all;
    all.reserve(size_);
    for (uint64_t& v : slots_) {
      if (Storable(v)) all.push_back(v);
      v = kFree;
    }
    size_ = 0;
    used_ = 0;
    return all;
  }

  size_t size() const { return size_; }

 private:
  static constexpr uint64_t kFree = 0;
  static constexpr uint64_t kDeleted = 1;
  static constexpr size_t kNone = ~size_t{0};
  static constexpr size_t kMinSlots = 64;

  size_t Mask() const { return slots_.size() - 1; }

  size_t Home(uint64_t address) const {
    uint64_t x = address * 0x9e3779b97f4a7c15ULL;
    return static_cast<size_t>(x ^ (x >> 29)) & Mask();
  }

  // Rebuilds into `slots` slots (a power of two), dropping deleted marks.
  void Rehash(size_t slots) {
    if (slots < kMinSlots) slots = kMinSlots;
    std::vector<uint64_t> old;
    old.swap(slots_);
    slots_.assign(slots, kFree);
    size_ = 0;
    used_ = 0;
    for (uint64_t v : old) {
      if (!Storable(v)) continue;
      size_t i = Home(v);
      while (slots_[i] != kFree) i = (i + 1) & Mask();
      slots_[i] = v;
      ++size_;
      ++used_;
    }
  }

  // Invariants: slots_ is empty or a power of two in size; used_ counts slots
  // that are not free (stored and deleted) and stays at most half of them, so
  // every probe meets a free slot.
  std::vector<uint64_t> slots_;
  size_t size_ = 0;
  size_t used_ = 0;
};

}  // namespace tovrel
