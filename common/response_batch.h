// Response records (layout in common/records.h): the one encoder and the one
// decoder the node, the client library and the benchmarks share. A record is
// a ResponseBatchHeader followed by `count` entries, each a ResponseHeader
// and its payload; records lie back to back in a span of the response ring
// and on the node link.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/records.h"

// Bytes one entry with `payload` payload bytes takes in a record.
constexpr uint64_t ResponseEntryBytes(uint64_t payload) { return sizeof(ResponseHeader) + payload; }

// The head of a record of one entry, as the node sends it before the
// entry's payload: the batch header, then the entry header.
constexpr size_t kSingleResponseHeadBytes = sizeof(ResponseBatchHeader) + sizeof(ResponseHeader);

// The entry that answers `asked`: it echoes the request's address and its
// kRequestNoWait, and announces `payload` payload bytes.
inline ResponseHeader AnswerEntry(const RequestHeader& asked, uint32_t result, uint64_t payload) {
  return ResponseHeader{asked.request, asked.flags & kRequestNoWait, result, payload};
}

// Writes a record's batch header: `body` bytes follow it (the entries, or,
// with kLinkCompressed, the compressed entries).
inline void StoreResponseHead(void* to, uint32_t flags, uint64_t body, uint32_t pid, uint32_t count) {
  StoreRecord(to, ResponseBatchHeader{flags, body, pid, count});
}

// Writes one entry, its header and then its entry.size payload bytes from
// `payload`, into memory with room for ResponseEntryBytes(entry.size).
// Returns the bytes written.
inline size_t StoreResponseEntry(void* to, const ResponseHeader& entry, const void* payload) {
  StoreRecord(to, entry);
  if (entry.size != 0) std::memcpy(static_cast<uint8_t*>(to) + sizeof(ResponseHeader), payload, entry.size);
  return static_cast<size_t>(ResponseEntryBytes(entry.size));
}

// Writes the head of a plain record of one entry into kSingleResponseHeadBytes
// at `to`; the entry's entry.size payload bytes must follow the head, in
// place or next on the stream. Returns kSingleResponseHeadBytes.
inline size_t StoreSingleResponseHead(void* to, uint32_t pid, const ResponseHeader& entry) {
  StoreResponseHead(to, 0, ResponseEntryBytes(entry.size), pid, 1);
  StoreRecord(static_cast<uint8_t*>(to) + sizeof(ResponseBatchHeader), entry);
  return kSingleResponseHeadBytes;
}

// Reads the head of a plain record of one entry (kSingleResponseHeadBytes at
// `from`) into `*entry`. False when it is not one: compressed, another count,
// or a body size that disagrees with the entry's payload size.
[[nodiscard]] inline bool LoadSingleResponseHead(const void* from, ResponseHeader* entry) {
  const ResponseBatchHeader batch = LoadRecord<ResponseBatchHeader>(from);
  *entry = LoadRecord<ResponseHeader>(static_cast<const uint8_t*>(from) + sizeof(ResponseBatchHeader));
  return (batch.flags & kLinkCompressed) == 0 && batch.count == 1 &&
         entry->size <= UINT64_MAX - sizeof(ResponseHeader) && batch.size == ResponseEntryBytes(entry->size);
}

// What one step of a ResponseWalker found.
enum class ResponseStep {
  kItem,      // the next header; it and the bytes it announces lie in the span
  kEnd,       // nothing more: the count is reached, or a record span ended
  kCutHead,   // the span ends inside the next header (left() bytes remain)
  kOverlong,  // the next header announces more bytes than the span holds
};

// Walks a span of response bytes one header at a time: the records of a
// span of the response ring (Head = ResponseBatchHeader, no count), or the
// `count` entries of one record's body (Head = ResponseHeader). Every header
// and the `size` bytes it announces are checked against the span before the
// caller sees them; nothing past a failed step is walked.
//
// The caller must ensure that `size` bytes at `span` stay readable while the
// walker is used. Offsets, not pointers, come back, so that the caller may
// change the bytes (an answer's result) through its own pointer.
template <typename Head>
class ResponseWalker {
 public:
  // One header found in the span.
  struct Item {
    Head header;
    uint64_t offset;  // of the header within the span
    uint64_t body() const { return offset + sizeof(Head); }  // offset of what the header announces
  };

  // Walks until the span ends.
  ResponseWalker(const void* span, uint64_t size) : span_(static_cast<const uint8_t*>(span)), size_(size) {}
  // Walks `count` headers; a span that ends before them is cut short.
  ResponseWalker(const void* span, uint64_t size, uint32_t count)
      : span_(static_cast<const uint8_t*>(span)), size_(size), count_(count), counted_(true) {}

  // The next header into `*item`. kItem moves past it and what it announces;
  // kOverlong also fills `*item`, and stays where it is.
  ResponseStep Next(Item* item) {
    if (counted_ ? index_ == count_ : offset_ == size_) return ResponseStep::kEnd;
    if (left() < sizeof(Head)) return ResponseStep::kCutHead;
    item->header = LoadRecord<Head>(span_ + offset_);
    item->offset = offset_;
    if (item->header.size > left() - sizeof(Head)) return ResponseStep::kOverlong;
    offset_ += sizeof(Head) + item->header.size;
    ++index_;
    return ResponseStep::kItem;
  }

  // Bytes of the span not walked yet.
  uint64_t left() const { return size_ - offset_; }
  // Headers walked so far: the index of the one the next step reads.
  uint32_t index() const { return index_; }

 private:
  const uint8_t* const span_;
  const uint64_t size_;
  const uint32_t count_ = 0;
  const bool counted_ = false;
  uint64_t offset_ = 0;  // of the next header
  uint32_t index_ = 0;
};

using ResponseRecordWalker = ResponseWalker<ResponseBatchHeader>;
using ResponseEntryWalker = ResponseWalker<ResponseHeader>;
