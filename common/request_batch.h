// Building request records (layout in common/records.h): the one encoder the
// client library and the benchmarks share. A record is a RequestBatchHeader
// followed by `count` entries, each a RequestHeader and its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/records.h"

// Bytes one entry with `payload` payload bytes takes in a record.
constexpr uint64_t RequestEntryBytes(uint64_t payload) { return sizeof(RequestHeader) + payload; }

// Writes one request record in place, into memory sized for it beforehand
// (a span of the request ring inside a Write callback, or a buffer). Entries
// are appended in order; Finish then writes the batch header, whose size and
// count are counted from what was appended, so they cannot disagree with the
// body.
//
// The caller must ensure: the memory at `to` has room for the whole record;
// each entry's header.size equals the payload bytes appended after it (the
// header is stored as given). Nothing is allocated; one builder per record,
// used by one thread.
class RequestBatchBuilder {
 public:
  explicit RequestBatchBuilder(void* to)
      : record_(static_cast<uint8_t*>(to)), at_(record_ + sizeof(RequestBatchHeader)) {}
  RequestBatchBuilder(const RequestBatchBuilder&) = delete;
  RequestBatchBuilder& operator=(const RequestBatchBuilder&) = delete;

  // Starts the next entry; its payload follows through Append / AppendRoom.
  void AddEntry(const RequestHeader& header) {
    StoreRecord(at_, header);
    at_ += sizeof(RequestHeader);
    ++count_;
  }

  // Appends payload bytes to the current entry.
  void Append(const void* data, size_t size) {
    if (size != 0) std::memcpy(at_, data, size);
    at_ += size;
  }

  // Appends `count` 64-bit arguments (the argument block).
  void AppendArguments(const uint64_t* args, size_t count) { Append(args, count * sizeof(uint64_t)); }

  // Claims `size` payload bytes for the caller to fill in place; returns
  // where they start.
  uint8_t* AppendRoom(size_t size) {
    uint8_t* room = at_;
    at_ += size;
    return room;
  }

  // Writes the batch header. Returns the record's size in bytes.
  size_t Finish(uint32_t flags, uint32_t node, uint32_t device, uint32_t pid) {
    const uint64_t body = static_cast<uint64_t>(at_ - record_) - sizeof(RequestBatchHeader);
    StoreRecord(record_, RequestBatchHeader{flags, node, device, body, pid, count_});
    return static_cast<size_t>(at_ - record_);
  }

 private:
  uint8_t* const record_;
  uint8_t* at_;         // where the next byte goes
  uint32_t count_ = 0;  // entries added
};
