#include "node/front/light_reassembly.h"

#include <algorithm>
#include <cstring>

#include "common/records.h"

namespace zantu_node {

LightReassembly::LightReassembly(size_t window) : slots_(window == 0 ? 1 : window) {}

LightReassembly::Outcome LightReassembly::Accept(uint64_t seq, const char* payload, size_t length, std::string* out) {
  if (seq < next_seq_) return Outcome::kDuplicate;
  seen_end_ = std::max(seen_end_, seq + 1);
  const uint64_t window = slots_.size();
  if (seq - next_seq_ >= window) return Outcome::kBeyondWindow;
  if (seq > next_seq_) {
    Slot& slot = slots_[seq % window];
    if (slot.present) return Outcome::kDuplicate;
    if (!slot.data) slot.data.reset(new char[kLightMaxPayload]);
    std::memcpy(slot.data.get(), payload, length);
    slot.length = static_cast<uint32_t>(length);
    slot.present = true;
    ++held_;
    return Outcome::kHeld;
  }
  out->append(payload, length);
  ++next_seq_;
  // Invariant: the slot of next_seq_ can only hold next_seq_ itself, since
  // everything held lies within one window after it.
  while (held_ > 0) {
    Slot& slot = slots_[next_seq_ % window];
    if (!slot.present) break;
    out->append(slot.data.get(), slot.length);
    slot.present = false;
    --held_;
    ++next_seq_;
  }
  return Outcome::kInOrder;
}

}  // namespace zantu_node
