// Puts the payloads of Light datagrams back into the order of their sequence
// numbers. No I/O: the Light receiver feeds it and forwards what comes out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zantu_node {

class LightReassembly {
 public:
  enum class Outcome {
    kInOrder,       // it was the next expected datagram: appended, with any held ones it freed
    kHeld,          // ahead of the next expected one: kept until the gap is filled
    kDuplicate,     // already delivered or already held: ignored
    kBeyondWindow,  // too far ahead to hold: discarded, to be asked for again later
  };

  // `window`: how many datagrams after the next expected one may be held.
  explicit LightReassembly(size_t window);

  LightReassembly(const LightReassembly&) = delete;
  LightReassembly& operator=(const LightReassembly&) = delete;

  // Takes the payload of datagram `seq` (1 to kLightMaxPayload bytes);
  // `seq` must be below UINT64_MAX.
  // Payloads that are now in order are appended to `*out`.
  Outcome Accept(uint64_t seq, const char* payload, size_t length, std::string* out);

  // The sequence number of the next datagram the stream needs; also the
  // number of datagrams delivered in order so far.
  uint64_t next_seq() const { return next_seq_; }

  // True once a later datagram has arrived (held or discarded), that is
  // while next_seq() is known to be missing rather than not sent yet.
  bool gap() const { return seen_end_ > next_seq_; }

 private:
  struct Slot {
    std::unique_ptr<char[]> data;  // kLightMaxPayload bytes, allocated at first use
    uint32_t length = 0;
    bool present = false;
  };

  std::vector<Slot> slots_;  // datagram s lives in slot s % slots_.size()
  uint64_t next_seq_ = 0;
  size_t held_ = 0;        // present slots
  uint64_t seen_end_ = 0;  // one past the highest seq that arrived
};

}  // namespace zantu_node
