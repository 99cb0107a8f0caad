// The node's reassembly of Light datagrams: any order of arrivals, with
// duplicates, gaps and numbers far ahead, must give exactly the daemon's
// stream in order, never a byte twice or out of place. Input: the window
// size, then the sequence numbers that arrive (as offsets from the next
// expected one, so the fuzzer reaches every branch); the payload of datagram
// s is fixed by s, so the stream is known.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdlib>
#include <set>
#include <string>

#include "common/records.h"
#include "node/front/light_reassembly.h"

namespace {

std::string Payload(uint64_t seq) {
  const size_t length = 1 + (seq * 37) % 24;
  std::string payload(length, '\0');
  for (size_t i = 0; i < length; ++i) payload[i] = static_cast<char>(seq * 131 + i);
  return payload;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const size_t window = input.ConsumeIntegralInRange<size_t>(0, 40);
  zantu_node::LightReassembly reassembly(window);
  const uint64_t slots = window == 0 ? 1 : window;
  std::string out;
  std::string expected;
  uint64_t next = 0;
  uint64_t seen_end = 0;
  std::set<uint64_t> held;
  while (input.remaining_bytes() > 0) {
    const int64_t delta = input.ConsumeIntegralInRange<int64_t>(-3, static_cast<int64_t>(slots) + 3);
    if (delta < 0 && static_cast<uint64_t>(-delta) > next) continue;
    const uint64_t seq = next + delta;
    const std::string payload = Payload(seq);
    const auto outcome = reassembly.Accept(seq, payload.data(), payload.size(), &out);

    using Outcome = zantu_node::LightReassembly::Outcome;
    // Any arrival at or after the next expected number shows that much of
    // the stream exists.
    if (seq >= next) seen_end = std::max(seen_end, seq + 1);
    Outcome want;
    if (seq < next || held.count(seq) != 0) {
      want = Outcome::kDuplicate;
    } else if (seq - next >= slots) {
      want = Outcome::kBeyondWindow;
    } else if (seq > next) {
      want = Outcome::kHeld;
      held.insert(seq);
    } else {
      want = Outcome::kInOrder;
      ++next;
      while (held.erase(next) != 0) ++next;
    }
    if (outcome != want) std::abort();
    if (reassembly.next_seq() != next) std::abort();
    if (reassembly.gap() != (seen_end > next)) std::abort();
  }
  for (uint64_t s = 0; s < next; ++s) expected += Payload(s);
  if (out != expected) std::abort();
  return 0;
}
