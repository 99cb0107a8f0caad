// Records that cross a process or machine boundary: the request and response
// records of the ring buffers (the same bytes travel on the node link), the
// node link's own message kinds, and the Light datagram header.
//
// Wire constraint: every record is packed and little-endian with exact widths.
// Records may start at any address; read and write them only through
// LoadRecord/StoreRecord (memcpy), never through a cast pointer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the wire records are little-endian");

#pragma pack(push, 1)

// Head of a request record: `count` entries of (RequestHeader + payload)
// follow, `size` bytes in all. On the node link, flags == kLinkClientExit
// marks the daemon's client-exit notice (28 bytes, no body).
struct RequestBatchHeader {
  uint32_t flags;
  uint32_t node;
  uint32_t device;
  uint64_t size;
  uint32_t pid;
  uint32_t count;
};

// Head of one request entry; `size` payload bytes follow.
struct RequestHeader {
  uint64_t request;  // the client's Request address, echoed in the answer
  uint32_t flags;    // kRequestNoWait | kRequestDeferrable
  uint32_t tid;
  uint32_t module;
  uint32_t magic;    // kRequestMagic
  uint32_t api;
  uint32_t argc;
  uint64_t size;
};

// Head of a response record (and of every node-to-daemon message): `count`
// entries of (ResponseHeader + payload) follow, `size` bytes in all.
struct ResponseBatchHeader {
  uint32_t flags;
  uint64_t size;
  uint32_t pid;
  uint32_t count;
};

// Head of one response entry; `size` payload bytes follow.
struct ResponseHeader {
  uint64_t request;
  uint32_t flags;   // kRequestNoWait of the answered request
  uint32_t result;
  uint64_t size;
};

// Head of a Light datagram; `length` payload bytes of the daemon's stream
// follow.
struct LightHeader {
  uint64_t seq;
  uint64_t length;
};

#pragma pack(pop)

static_assert(sizeof(RequestBatchHeader) == 28);
static_assert(offsetof(RequestBatchHeader, flags) == 0);
static_assert(offsetof(RequestBatchHeader, node) == 4);
static_assert(offsetof(RequestBatchHeader, device) == 8);
static_assert(offsetof(RequestBatchHeader, size) == 12);
static_assert(offsetof(RequestBatchHeader, pid) == 20);
static_assert(offsetof(RequestBatchHeader, count) == 24);

static_assert(sizeof(RequestHeader) == 40);
static_assert(offsetof(RequestHeader, request) == 0);
static_assert(offsetof(RequestHeader, flags) == 8);
static_assert(offsetof(RequestHeader, tid) == 12);
static_assert(offsetof(RequestHeader, module) == 16);
static_assert(offsetof(RequestHeader, magic) == 20);
static_assert(offsetof(RequestHeader, api) == 24);
static_assert(offsetof(RequestHeader, argc) == 28);
static_assert(offsetof(RequestHeader, size) == 32);

static_assert(sizeof(ResponseBatchHeader) == 20);
static_assert(offsetof(ResponseBatchHeader, flags) == 0);
static_assert(offsetof(ResponseBatchHeader, size) == 4);
static_assert(offsetof(ResponseBatchHeader, pid) == 12);
static_assert(offsetof(ResponseBatchHeader, count) == 16);

static_assert(sizeof(ResponseHeader) == 24);
static_assert(offsetof(ResponseHeader, request) == 0);
static_assert(offsetof(ResponseHeader, flags) == 8);
static_assert(offsetof(ResponseHeader, result) == 12);
static_assert(offsetof(ResponseHeader, size) == 16);

static_assert(sizeof(LightHeader) == 16);
static_assert(offsetof(LightHeader, seq) == 0);
static_assert(offsetof(LightHeader, length) == 8);

// RequestHeader::flags and ResponseHeader::flags.
constexpr uint32_t kRequestNoWait = 1;
constexpr uint32_t kRequestDeferrable = 2;
constexpr uint32_t kRequestMagic = 20240422;  // 0x0134D826

// Flags of node-link messages.
constexpr uint32_t kLinkCompressed = 2;   // node to daemon: body is Zstandard
constexpr uint32_t kLinkResend = 4;       // node to daemon: resend Light datagram `size`
constexpr uint32_t kLinkSkip = 8;         // node to daemon: header only, ignored
constexpr uint32_t kLinkClientExit = 16;  // daemon to node: client `pid` has exited
// Node to daemon, always together with kLinkSkip (a daemon that does not know
// it drops it unread): how much work a client may have outstanding at this
// node, that is forwarded and not yet answered. `size` is in request-record
// bytes (28 + the record's body), `count` in records (0: no limit on records),
// for client `pid`, or for every client without a grant of its own when `pid`
// is 0. A later grant replaces an earlier one of the same scope. A record
// larger than its grant travels when nothing of its client is outstanding at
// the node. A node that grants answers every request record with exactly one
// response message, a client's records in the order they came.
constexpr uint32_t kLinkGrant = 32;

// The largest plain response body a node sends: one answer of a 256 MiB copy
// with its headers, and room to spare.
constexpr uint64_t kMaxResponseBody = (uint64_t{256} << 20) + 4096;

// Light datagrams: at most 1472 bytes, so at most 1456 payload bytes.
constexpr size_t kLightMaxPacket = 1472;
constexpr size_t kLightMaxPayload = kLightMaxPacket - sizeof(LightHeader);

// The guest information that opens every node stream: 31 characters and a NUL.
constexpr size_t kGuestInfoSize = 32;

template <typename T>
inline T LoadRecord(const void* from) {
  T record;
  std::memcpy(&record, from, sizeof(T));
  return record;
}

template <typename T>
inline void StoreRecord(void* to, const T& record) {
  std::memcpy(to, &record, sizeof(T));
}
