// The rules a request record must keep before it may travel to a node. The
// daemon checks every record a client writes, so that one client's damaged or
// forged record never reaches the node stream that all clients share; a node
// checks what it receives with the same rules.
//
// Pure and bounded: reads only the bytes it is given (the record's header and
// its `size` body bytes), allocates nothing unless it fails and `why` is set,
// and takes O(count) steps, with count at most size / sizeof(RequestHeader).
#pragma once

#include <cstdint>
#include <string>

#include "common/records.h"

// The largest body a request record may carry: a record must fit the client's
// 2 GiB request ring, header included.
constexpr uint64_t kMaxRequestBody = (uint64_t{1} << 31) - sizeof(RequestBatchHeader);

// The batch header alone: at least one entry, a bounded body, and room in the
// body for `count` entry headers.
inline bool CheckRequestBatch(const RequestBatchHeader& header, std::string* why) {
  if (header.count == 0) {
    if (why != nullptr) *why = "record with count 0";
    return false;
  }
  if (header.size > kMaxRequestBody) {
    if (why != nullptr) *why = "record body of " + std::to_string(header.size) + " bytes is too large";
    return false;
  }
  if (header.count > header.size / sizeof(RequestHeader)) {
    if (why != nullptr) {
      *why = "count " + std::to_string(header.count) + " does not fit a body of " + std::to_string(header.size) +
             " bytes";
    }
    return false;
  }
  return true;
}

// Entry `index`, whose header is `entry`, with `room` body bytes left from
// where its header starts.
inline bool CheckRequestEntry(const RequestHeader& entry, uint32_t index, uint64_t room, std::string* why) {
  if (room < sizeof(RequestHeader)) {
    if (why != nullptr) *why = "entry " + std::to_string(index) + " header runs past the record";
    return false;
  }
  if (entry.magic != kRequestMagic) {
    if (why != nullptr) *why = "entry " + std::to_string(index) + " magic " + std::to_string(entry.magic);
    return false;
  }
  if (entry.size > room - sizeof(RequestHeader)) {
    if (why != nullptr) {
      *why = "entry " + std::to_string(index) + " payload of " + std::to_string(entry.size) +
             " bytes runs past the record";
    }
    return false;
  }
  if (uint64_t{entry.argc} * sizeof(uint64_t) > entry.size) {
    if (why != nullptr) {
      *why = "entry " + std::to_string(index) + " argc " + std::to_string(entry.argc) + " exceeds its payload of " +
             std::to_string(entry.size) + " bytes";
    }
    return false;
  }
  return true;
}

// The bytes left over once all `count` entries are taken: the entries must
// fill the body exactly.
inline bool CheckRequestEnd(uint64_t left, std::string* why) {
  if (left != 0) {
    if (why != nullptr) *why = std::to_string(left) + " bytes after the last entry";
    return false;
  }
  return true;
}

// A whole record: `body` holds the `header.size` bytes that follow the header.
// True when the record keeps every rule; otherwise false with the first broken
// rule in `*why` (which may be null).
inline bool CheckRequestRecord(const RequestBatchHeader& header, const uint8_t* body, std::string* why) {
  if (!CheckRequestBatch(header, why)) return false;
  uint64_t offset = 0;
  for (uint32_t i = 0; i < header.count; ++i) {
    const uint64_t room = header.size - offset;
    RequestHeader entry{};
    if (room >= sizeof(RequestHeader)) entry = LoadRecord<RequestHeader>(body + offset);
    if (!CheckRequestEntry(entry, i, room, why)) return false;
    offset += sizeof(RequestHeader) + entry.size;
  }
  return CheckRequestEnd(header.size - offset, why);
}
