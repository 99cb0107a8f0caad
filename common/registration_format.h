// The registration exchange's two datagrams, encoded and decoded in one place
// (the layout and its limits are in common/registration.h):
//
//   request  pid u32                                              4 bytes
//   reply    key[10] | G u32 | G x index u32 | G x node u32 | N u32 | N x NodeInfo
//
// The daemon encodes the reply and decodes the request; the client does the
// opposite. Decoding trusts nothing: whoever binds the registration port
// first answers, so every count is checked against the limits and against
// the bytes that actually arrived before anything is copied.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/registration.h"

// Offsets of the reply's fixed part; the rest follows the counts.
constexpr size_t kReplyKeyOffset = 0;
constexpr size_t kReplyGpuCountOffset = kKeySize;
constexpr size_t kReplyGpuIndexesOffset = kReplyGpuCountOffset + 4;
static_assert(kReplyGpuCountOffset == 10 && kReplyGpuIndexesOffset == 14);
static_assert(ReplySize(0, 0) == kReplyGpuIndexesOffset + 4);

// The reply as plain values.
struct RegistrationReply {
  std::string key;                    // the key's kKeyChars bytes; the NUL after them is implied
  std::vector<uint32_t> gpu_indexes;  // GPU g is GPU gpu_indexes[g] ...
  std::vector<uint32_t> gpu_nodes;    // ... of node gpu_nodes[g]; same length
  std::vector<NodeInfo> nodes;        // node n is nodes[n]
};

// The pid datagram (little-endian, as every wire record).
inline void EncodeRegistrationRequest(uint32_t pid, uint8_t (&datagram)[kRegistrationRequestSize]) {
  StoreRecord(datagram, pid);
}

// The pid of a datagram of `length` bytes; bytes after the pid are ignored.
// False for a datagram shorter than a pid.
[[nodiscard]] inline bool DecodeRegistrationRequest(const uint8_t* datagram, size_t length, uint32_t* pid) {
  if (length < kRegistrationRequestSize) return false;
  *pid = LoadRecord<uint32_t>(datagram);
  return true;
}

// Replaces `*out` with the reply's bytes. The key is written as its first
// kKeyChars characters (zero-padded) and a NUL. False, with `*out` left
// empty, when the reply would exceed kMaxReplySize or the GPU columns differ
// in length.
[[nodiscard]] inline bool EncodeReply(const RegistrationReply& reply, std::vector<uint8_t>* out) {
  out->clear();
  const size_t gpus = reply.gpu_indexes.size();
  if (reply.gpu_nodes.size() != gpus) return false;
  const size_t size = ReplySize(gpus, reply.nodes.size());
  if (size > kMaxReplySize) return false;
  out->assign(size, 0);
  uint8_t* p = out->data();
  std::memcpy(p + kReplyKeyOffset, reply.key.data(), std::min(reply.key.size(), kKeyChars));
  p += kKeySize;
  StoreRecord(p, static_cast<uint32_t>(gpus));
  p += 4;
  for (uint32_t index : reply.gpu_indexes) {
    StoreRecord(p, index);
    p += 4;
  }
  for (uint32_t node : reply.gpu_nodes) {
    StoreRecord(p, node);
    p += 4;
  }
  StoreRecord(p, static_cast<uint32_t>(reply.nodes.size()));
  p += 4;
  for (const NodeInfo& node : reply.nodes) {
    StoreRecord(p, node);
    p += sizeof(NodeInfo);
  }
  return true;
}

// Decodes the first bytes of a datagram of `length` bytes; bytes after the
// reply are ignored. Refuses a reply shorter than its counts imply and counts
// beyond kMaxGpus or kMaxNodes: false, with the reason in `*why` and `*reply`
// emptied. The key is its first kKeyChars bytes as sent; its tenth byte is
// not looked at (the decoded key always ends there).
[[nodiscard]] inline bool DecodeReply(const uint8_t* data, size_t length, RegistrationReply* reply, std::string* why) {
  *reply = RegistrationReply{};
  if (length < ReplySize(0, 0)) {
    *why = std::to_string(length) + " bytes";
    return false;
  }
  const uint32_t gpus = LoadRecord<uint32_t>(data + kReplyGpuCountOffset);
  if (gpus > kMaxGpus) {
    *why = "gpu count=" + std::to_string(gpus) + " above " + std::to_string(kMaxGpus);
    return false;
  }
  const size_t node_count_at = kReplyGpuIndexesOffset + 8 * size_t{gpus};
  if (length < node_count_at + 4) {
    *why = std::to_string(length) + " bytes for " + std::to_string(gpus) + " gpus";
    return false;
  }
  const uint32_t nodes = LoadRecord<uint32_t>(data + node_count_at);
  if (nodes > kMaxNodes) {
    *why = "node count=" + std::to_string(nodes) + " above " + std::to_string(kMaxNodes);
    return false;
  }
  if (length < ReplySize(gpus, nodes)) {
    *why =
        std::to_string(length) + " bytes for " + std::to_string(gpus) + " gpus and " + std::to_string(nodes) + " nodes";
    return false;
  }
  reply->key.assign(reinterpret_cast<const char*>(data + kReplyKeyOffset), kKeyChars);
  reply->gpu_indexes.resize(gpus);
  reply->gpu_nodes.resize(gpus);
  for (uint32_t g = 0; g < gpus; ++g) {
    reply->gpu_indexes[g] = LoadRecord<uint32_t>(data + kReplyGpuIndexesOffset + 4 * size_t{g});
    reply->gpu_nodes[g] = LoadRecord<uint32_t>(data + kReplyGpuIndexesOffset + 4 * (size_t{gpus} + g));
  }
  reply->nodes.resize(nodes);
  for (uint32_t n = 0; n < nodes; ++n) {
    reply->nodes[n] = LoadRecord<NodeInfo>(data + node_count_at + 4 + sizeof(NodeInfo) * n);
  }
  return true;
}
