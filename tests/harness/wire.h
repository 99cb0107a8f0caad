// The tests' own codec of the wire records (layouts in common/records.h and
// common/registration.h), written apart from the product's encoders and
// decoders so that a mistake in those cannot hide itself: a test builds the
// records it sends and takes apart the records it receives only through this
// file, never through common/request_batch.h or common/registration_format.h.
// Plain byte strings in and out; no state.
#pragma once

#include <sys/types.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/test_module.h"

namespace wire_test {

// ------------------------------------------------------------ request records

// One request entry: its header, then `args` as the argument block, then
// `data`. The header's argc and size are counted from them.
inline std::string EncodeRequestEntry(uint64_t request, uint32_t flags, uint32_t module, uint32_t api,
                                      const std::vector<uint64_t>& args, const std::string& data = "",
                                      uint32_t tid = 0) {
  std::string entry(sizeof(RequestHeader) + 8 * args.size(), '\0');
  const RequestHeader header{request, flags, tid, module, kRequestMagic, api, static_cast<uint32_t>(args.size()),
                             8 * args.size() + data.size()};
  StoreRecord(entry.data(), header);
  for (size_t i = 0; i < args.size(); ++i) StoreRecord(entry.data() + sizeof(RequestHeader) + 8 * i, args[i]);
  return entry + data;
}

// A request record of the encoded `entries`; size and count are counted.
inline std::string EncodeRequestRecord(uint32_t node, uint32_t device, uint32_t pid,
                                       const std::vector<std::string>& entries, uint32_t flags = 0) {
  std::string body;
  for (const std::string& entry : entries) body += entry;
  std::string record(sizeof(RequestBatchHeader), '\0');
  StoreRecord(record.data(), RequestBatchHeader{flags, node, device, body.size(), pid,
                                                static_cast<uint32_t>(entries.size())});
  return record + body;
}

// A request record of one echo of `data` by the test module, for GPU 0 of
// `node`.
inline std::string EncodeEchoRecord(uint32_t node, uint32_t pid, uint64_t request, const std::string& data = "") {
  return EncodeRequestRecord(node, 0, pid, {EncodeRequestEntry(request, 0, kModuleTest, k_testEcho, {}, data)});
}

// The daemon's notice to a node that client `pid` has exited: a header alone.
inline std::string EncodeExitNotice(uint32_t pid) {
  std::string notice(sizeof(RequestBatchHeader), '\0');
  StoreRecord(notice.data(), RequestBatchHeader{kLinkClientExit, 0, 0, 0, pid, 0});
  return notice;
}

// One entry as the node's own tests write it: the test module's echo unless
// they say otherwise.
struct Entry {
  uint64_t request = 0;
  uint32_t flags = 0;
  uint32_t module = kModuleTest;
  uint32_t api = k_testEcho;
  std::vector<uint64_t> args;
  std::string data;  // appended after the argument block
};

// A request record of `entries` for `device` on node 0; every entry's tid is
// pid + 1.
inline std::string BuildRecord(uint32_t pid, const std::vector<Entry>& entries, uint32_t device = 0) {
  std::vector<std::string> encoded;
  for (const Entry& e : entries) {
    encoded.push_back(EncodeRequestEntry(e.request, e.flags, e.module, e.api, e.args, e.data, pid + 1));
  }
  return EncodeRequestRecord(0, device, pid, encoded);
}

// The guest information a daemon sends a node first: `text`, NUL-padded.
inline std::string GuestInfo(const std::string& text) {
  std::string guest(kGuestInfoSize, '\0');
  guest.replace(0, std::min(text.size(), kGuestInfoSize - 1), text.substr(0, kGuestInfoSize - 1));
  return guest;
}

// `n` bytes of the test module's pattern for `seed`.
inline std::string Pattern(size_t n, uint64_t seed) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(TestPatternByte(seed, i));
  return s;
}

// Bytes of the whole record with batch header `Batch` (whose size field
// counts the body) at the start of `length` bytes at `p`; 0 when they do not
// hold a whole one.
template <typename Batch>
size_t WholeRecord(const char* p, size_t length) {
  if (length < sizeof(Batch)) return 0;
  const uint64_t body = LoadRecord<Batch>(p).size;
  if (body > length - sizeof(Batch)) return 0;
  return sizeof(Batch) + static_cast<size_t>(body);
}

inline size_t WholeRequestRecord(const char* p, size_t length) { return WholeRecord<RequestBatchHeader>(p, length); }

struct DecodedEntry {
  RequestHeader header;
  std::string payload;
  // Argument `i` of the argument block; 0 past its end.
  uint64_t Argument(size_t i) const {
    uint64_t v = 0;
    if ((i + 1) * 8 <= payload.size()) std::memcpy(&v, payload.data() + i * 8, 8);
    return v;
  }
};

struct DecodedRecord {
  std::string bytes;  // the record as it was received
  RequestBatchHeader batch;
  std::vector<DecodedEntry> entries;
};

// Takes apart one request record; entries that run past the bytes are cut.
inline DecodedRecord DecodeRequestRecord(std::string bytes) {
  DecodedRecord record;
  record.bytes = std::move(bytes);
  record.batch = LoadRecord<RequestBatchHeader>(record.bytes.data());
  size_t at = sizeof(RequestBatchHeader);
  for (uint32_t i = 0; i < record.batch.count && at + sizeof(RequestHeader) <= record.bytes.size(); ++i) {
    DecodedEntry entry;
    entry.header = LoadRecord<RequestHeader>(record.bytes.data() + at);
    at += sizeof(RequestHeader);
    entry.payload = record.bytes.substr(at, entry.header.size);
    at += entry.header.size;
    record.entries.push_back(std::move(entry));
  }
  return record;
}

// ------------------------------------------------------ a node's record file

// One message of the daemon's stream as a node recorded it: a request record
// (flags 0; header and body) or a client-exit notice (flags 16; header only).
// The header fields are copied out of the packed record, so tests can
// compare them directly.
struct RecordedMessage {
  uint32_t flags = 0;
  uint32_t node = 0;
  uint32_t device = 0;
  uint64_t size = 0;
  uint32_t pid = 0;
  uint32_t count = 0;
  std::string bytes;  // exactly as received, header included
};

struct NodeRecord {
  std::string guest;  // the 32 bytes of guest information; empty if not yet there
  std::vector<RecordedMessage> messages;
  size_t partial = 0;  // bytes at the end of a message still being written
};

// Splits the content of a record file. False when it holds something the
// node would not have recorded (a header with other flags).
inline bool ParseNodeRecord(const std::string& data, NodeRecord* record) {
  *record = NodeRecord();
  if (data.size() < kGuestInfoSize) {
    record->partial = data.size();
    return true;
  }
  record->guest = data.substr(0, kGuestInfoSize);
  size_t pos = kGuestInfoSize;
  while (data.size() - pos >= sizeof(RequestBatchHeader)) {
    const RequestBatchHeader header = LoadRecord<RequestBatchHeader>(data.data() + pos);
    if (header.flags != 0 && header.flags != kLinkClientExit) return false;
    // A notice's size field counts nothing: it is a header alone.
    const size_t length = header.flags == 0 ? WholeRequestRecord(data.data() + pos, data.size() - pos)
                                            : sizeof(RequestBatchHeader);
    if (length == 0) break;
    record->messages.push_back(RecordedMessage{header.flags, header.node, header.device, header.size, header.pid,
                                               header.count, data.substr(pos, length)});
    pos += length;
  }
  record->partial = data.size() - pos;
  return true;
}

// Requests of `pid` a node received (client-exit notices left out).
inline std::vector<RecordedMessage> RequestsOf(const NodeRecord& record, pid_t pid) {
  std::vector<RecordedMessage> requests;
  for (const auto& message : record.messages) {
    if (message.pid == static_cast<uint32_t>(pid) && message.flags == 0) requests.push_back(message);
  }
  return requests;
}

inline size_t ExitNoticesOf(const NodeRecord& record, pid_t pid) {
  size_t notices = 0;
  for (const auto& message : record.messages) {
    if (message.pid == static_cast<uint32_t>(pid) && message.flags == kLinkClientExit) ++notices;
  }
  return notices;
}

// ----------------------------------------------------------- response records

struct AnswerSpec {
  uint64_t request;
  uint32_t flags;
  uint32_t result;
  std::string payload;
};

// One response record of `answers`; size and count are counted.
inline std::string EncodeResponseRecord(uint32_t pid, const std::vector<AnswerSpec>& answers) {
  std::string body;
  for (const AnswerSpec& a : answers) {
    std::string head(sizeof(ResponseHeader), '\0');
    StoreRecord(head.data(), ResponseHeader{a.request, a.flags, a.result, a.payload.size()});
    body += head + a.payload;
  }
  std::string record(sizeof(ResponseBatchHeader), '\0');
  StoreRecord(record.data(), ResponseBatchHeader{0, body.size(), pid, static_cast<uint32_t>(answers.size())});
  return record + body;
}

// A response record's batch header and an entry's header, copied out of the
// packed layout so that tests compare them directly.
struct ResponseHead {
  uint32_t flags = 0;
  uint64_t size = 0;
  uint32_t pid = 0;
  uint32_t count = 0;
};
struct ResponseEntryHead {
  uint64_t request = 0;
  uint32_t flags = 0;
  uint32_t result = 0;
  uint64_t size = 0;
};

inline ResponseHead DecodeResponseHead(const char* raw) {
  const ResponseBatchHeader h = LoadRecord<ResponseBatchHeader>(raw);
  return {h.flags, h.size, h.pid, h.count};
}

inline ResponseEntryHead DecodeResponseEntryHead(const char* raw) {
  const ResponseHeader h = LoadRecord<ResponseHeader>(raw);
  return {h.request, h.flags, h.result, h.size};
}

// A response record's batch header and its first entry (a node answers with
// one), copied out of the packed layout so that tests compare them directly.
struct DecodedResponse : ResponseHead {
  uint64_t request = 0;
  uint32_t entry_flags = 0;
  uint32_t result = 0;
  std::string payload;
  std::string raw;  // the whole record
};

inline size_t WholeResponseRecord(const char* p, size_t length) { return WholeRecord<ResponseBatchHeader>(p, length); }

// Takes apart the whole response record of `size` bytes at `p`.
inline DecodedResponse DecodeResponseRecord(const char* p, size_t size) {
  DecodedResponse response;
  static_cast<ResponseHead&>(response) = DecodeResponseHead(p);
  response.raw.assign(p, size);
  if (response.count > 0 && response.size >= sizeof(ResponseHeader)) {
    const ResponseEntryHead entry = DecodeResponseEntryHead(p + sizeof(ResponseBatchHeader));
    response.request = entry.request;
    response.entry_flags = entry.flags;
    response.result = entry.result;
    const size_t at = sizeof(ResponseBatchHeader) + sizeof(ResponseHeader);
    response.payload.assign(p + at, std::min<uint64_t>(uint64_t{entry.size}, size - at));
  }
  return response;
}

// ------------------------------------------------------------------- Light

// The port a Light node announces on its TCP connection: two bytes, little
// endian.
inline uint16_t DecodePortAnnouncement(const unsigned char bytes[2]) {
  return static_cast<uint16_t>(bytes[0] | (bytes[1] << 8));
}

inline std::string EncodePortAnnouncement(uint16_t port) {
  return std::string{static_cast<char>(port & 0xff), static_cast<char>(port >> 8)};
}

// One datagram of the daemon's stream: its header, then `payload`.
inline std::string EncodeLightDatagram(uint64_t seq, const std::string& payload) {
  std::string datagram(sizeof(LightHeader), '\0');
  StoreRecord(datagram.data(), LightHeader{seq, payload.size()});
  return datagram + payload;
}

// The sequence number of a datagram at least a header long.
inline uint64_t LightSeq(const std::string& datagram) { return LoadRecord<LightHeader>(datagram.data()).seq; }

// -------------------------------------------------------- registration

// The pid datagram.
inline std::string EncodePidDatagram(uint32_t pid) {
  std::string datagram(4, '\0');
  StoreRecord(datagram.data(), pid);
  return datagram;
}

// One node of the registration reply: its 16-byte host field and port.
struct ReplyNode {
  std::string host;  // up to the first NUL of the field
  uint16_t port = 0;
};

// The registration reply, spelled out here apart from
// common/registration_format.h:
//   key[10] | G u32 | G x index u32 | G x node u32 | N u32 | N x (host[16] port u16)
struct ReplyFields {
  std::string key;  // the field's first min(size, 10) bytes, zero-padded
  std::vector<uint32_t> indexes;
  std::vector<uint32_t> nodes;  // as many as indexes
  std::vector<ReplyNode> node_infos;
};

inline std::string EncodeReply(const ReplyFields& fields) {
  std::string reply(10, '\0');
  std::memcpy(reply.data(), fields.key.data(), std::min<size_t>(fields.key.size(), 10));
  auto put32 = [&reply](uint32_t v) {
    char bytes[4];
    StoreRecord(bytes, v);
    reply.append(bytes, 4);
  };
  put32(static_cast<uint32_t>(fields.indexes.size()));
  for (uint32_t index : fields.indexes) put32(index);
  for (uint32_t node : fields.nodes) put32(node);
  put32(static_cast<uint32_t>(fields.node_infos.size()));
  for (const ReplyNode& node : fields.node_infos) {
    std::string field(16, '\0');
    std::memcpy(field.data(), node.host.data(), std::min<size_t>(node.host.size(), 16));
    char port[2];
    StoreRecord(port, node.port);
    reply += field + std::string(port, 2);
  }
  return reply;
}

// Takes apart a reply that must be exactly as long as its counts say, with
// the key's NUL in place; `fields->key` is the 9 characters. False otherwise.
inline bool DecodeReply(const std::string& raw, ReplyFields* fields) {
  *fields = ReplyFields{};
  if (raw.size() < 18 || raw[9] != '\0') return false;
  fields->key = raw.substr(0, 9);
  const auto gpus = LoadRecord<uint32_t>(raw.data() + 10);
  if (raw.size() < 18 + 8 * size_t{gpus}) return false;
  for (uint32_t g = 0; g < gpus; ++g) {
    fields->indexes.push_back(LoadRecord<uint32_t>(raw.data() + 14 + 4 * g));
    fields->nodes.push_back(LoadRecord<uint32_t>(raw.data() + 14 + 4 * gpus + 4 * g));
  }
  const auto node_count = LoadRecord<uint32_t>(raw.data() + 14 + 8 * gpus);
  if (raw.size() != 18 + 8 * size_t{gpus} + 18 * size_t{node_count}) return false;
  for (uint32_t i = 0; i < node_count; ++i) {
    const char* field = raw.data() + 18 + 8 * gpus + 18 * i;
    fields->node_infos.push_back(ReplyNode{std::string(field, strnlen(field, 16)), LoadRecord<uint16_t>(field + 16)});
  }
  return true;
}

// A registration reply taken apart, with its bytes.
struct Reply : ReplyFields {
  std::string raw;
};

inline bool ParseReply(const std::string& raw, Reply* reply) {
  reply->raw = raw;
  return DecodeReply(raw, reply);
}

}  // namespace wire_test
