// The registration exchange between a client process and the daemon: a 4-byte
// pid datagram to 127.0.0.1:kRegistrationPort, answered by one reply datagram
//
//   key[10] | G u32 | G x index u32 | G x node u32 | N u32 | N x NodeInfo
//
// 18 + 8G + 18N bytes, packed and little-endian, never over kMaxReplySize.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/limits.h"

constexpr uint16_t kRegistrationPort = 9979;
constexpr size_t kRegistrationRequestSize = 4;
constexpr size_t kMaxReplySize = 4096;
constexpr size_t kKeySize = 10;  // 9 characters and a NUL
constexpr size_t kKeyChars = 9;

// Ring names: the prefix (one backslash after "Global") and the key.
constexpr char kRequestRingPrefix[] = "Global\\ZANTU_RINGBUFFER_REQUEST_";
constexpr char kResponseRingPrefix[] = "Global\\ZANTU_RINGBUFFER_RESPONSE_";
static_assert(sizeof(kRequestRingPrefix) - 1 == 32);
static_assert(sizeof(kResponseRingPrefix) - 1 == 33);

#pragma pack(push, 1)
// One node of the reply: the host text the daemon connected to (strncpy
// semantics, bound 16) and the node's port.
struct NodeInfo {
  char host[16];
  uint16_t port;
};
#pragma pack(pop)
static_assert(sizeof(NodeInfo) == 18);
static_assert(offsetof(NodeInfo, host) == 0);
static_assert(offsetof(NodeInfo, port) == 16);

constexpr size_t ReplySize(size_t gpus, size_t nodes) { return 18 + 8 * gpus + 18 * nodes; }
