// The channel between the node's front end and one client's worker process:
// two rings and a control page, all made by the front end, which the worker
// attaches (the rings by name, the page through an inherited descriptor).
//
// Request ring (front end writes, worker reads): the client's request
// records as the daemon sent them (flags 0), and refusal notes (flags
// kNoteRefused, 28 bytes, no body): the front end answered one of the
// client's records itself with result `count`, on GPU `device`, and the
// record held deferred work, whose failure the next synchronizing call on
// that GPU reports.
//
// Response ring (worker writes, front end reads): exactly one response
// record per request record, in order, laid out as on the node link (flags
// 0 or kLinkCompressed); and memory notes (flags kNoteCharge or
// kNoteRefund, 20 bytes, no body): `size` bytes on GPU `count`. A charge
// waits for the front end's reply on the control page.
//
// The worker runs clients' kernels and is not trusted: the front end checks
// everything it reads from the response ring before anything reaches the
// node link, and only reads what it writes to the control page.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/records.h"

namespace zantu_node {

// A request record can be 2 GiB (the client's own ring); an answer at most
// kMaxResponseBody. Both rings are sparse: only what records touch is
// backed.
constexpr uint64_t kWorkerRequestRingBytes = uint64_t{4} << 30;
constexpr uint64_t kWorkerResponseRingBytes = uint64_t{1} << 30;

// RequestBatchHeader::flags in the request ring (0: a request record).
constexpr uint32_t kNoteRefused = 0x100;
// ResponseBatchHeader::flags in the response ring (0 and kLinkCompressed:
// an answer).
constexpr uint32_t kNoteCharge = 0x100;
constexpr uint32_t kNoteRefund = 0x200;

// The control page. The front end writes a reply's fields, then bumps
// `reply_seq` (release) and wakes it as a futex; the worker reads them after
// it has seen `reply_seq` move (acquire). One charge is outstanding at a
// time, so a reply answers the worker's last charge.
struct WorkerControl {
  std::atomic<uint32_t> reply_seq;
  uint32_t reserved;
  std::atomic<uint64_t> granted;   // 1: the last charge was granted
  std::atomic<uint64_t> used;      // bytes charged on that GPU, every client together, after it
  std::atomic<uint64_t> capacity;  // the GPU's budget
};
static_assert(std::atomic<uint32_t>::is_always_lock_free && std::atomic<uint64_t>::is_always_lock_free);
static_assert(offsetof(WorkerControl, reply_seq) == 0);
static_assert(offsetof(WorkerControl, granted) == 8);
static_assert(offsetof(WorkerControl, used) == 16);
static_assert(offsetof(WorkerControl, capacity) == 24);
static_assert(sizeof(WorkerControl) == 32);
constexpr size_t kWorkerControlBytes = 4096;

inline RequestBatchHeader RefusalNote(uint32_t pid, uint32_t gpu, uint32_t result) {
  RequestBatchHeader note{};
  note.flags = kNoteRefused;
  note.device = gpu;
  note.pid = pid;
  note.count = result;
  return note;
}

inline ResponseBatchHeader MemoryNote(uint32_t flags, uint32_t gpu, uint64_t bytes) {
  ResponseBatchHeader note{};
  note.flags = flags;
  note.size = bytes;
  note.count = gpu;
  return note;
}

// What the next record of a span of the response ring is, as the front end
// reads it: the worker is not trusted, so every length is checked against
// the span before anything of the record is used.
enum class WorkerRecord {
  kAnswer,  // an answer record: `*header` and `*body` (header.size bytes)
  kCharge,  // a charge note: header.count is the GPU, header.size the bytes
  kRefund,  // a refund note, as kCharge
  kBroken,  // nothing the channel allows: the span is out of step
};

// Takes the record at the start of [data, data + length) (length > 0).
// `*consumed` is its whole length for every kind but kBroken.
inline WorkerRecord NextWorkerRecord(const char* data, size_t length, ResponseBatchHeader* header, const char** body,
                                     size_t* consumed) {
  if (length < sizeof(ResponseBatchHeader)) return WorkerRecord::kBroken;
  *header = LoadRecord<ResponseBatchHeader>(data);
  *body = data + sizeof(ResponseBatchHeader);
  *consumed = sizeof(ResponseBatchHeader);
  // A note is its header alone: its size counts bytes of GPU memory.
  if (header->flags == kNoteCharge) return WorkerRecord::kCharge;
  if (header->flags == kNoteRefund) return WorkerRecord::kRefund;
  if (header->flags != 0 && header->flags != kLinkCompressed) return WorkerRecord::kBroken;
  if (header->size > length - sizeof(ResponseBatchHeader) || header->size > kMaxResponseBody ||
      header->count != 1) {
    return WorkerRecord::kBroken;
  }
  *consumed += header->size;
  return WorkerRecord::kAnswer;
}

// Whether an answer record (NextWorkerRecord's kAnswer) answers the request
// record whose last entry was `asked`: a plain body is one entry that echoes
// that entry's request and no-wait bit and fills the body exactly; a
// compressed body is the daemon's to check once it is inflated.
inline bool AnswerMatches(const ResponseBatchHeader& header, const char* body, const RequestHeader& asked) {
  if (header.flags == kLinkCompressed) return true;
  if (header.size < sizeof(ResponseHeader)) return false;
  const ResponseHeader answer = LoadRecord<ResponseHeader>(body);
  return answer.request == asked.request && (answer.flags & kRequestNoWait) == (asked.flags & kRequestNoWait) &&
         answer.size == header.size - sizeof(ResponseHeader);
}

}  // namespace zantu_node
