// The answer of one request entry before it is framed: its result and its
// payload, which may point into the request body, into device memory or
// into `storage`.
#pragma once

#include <cstdint>
#include <string>

namespace zantu_node {

struct CallAnswer {
  uint32_t result = 0;
  const char* payload = nullptr;
  uint64_t payload_size = 0;
  std::string storage;
  // The whole response body (entry header and payload) travels
  // Zstandard-compressed.
  bool compressed = false;

  void Clear() {
    result = 0;
    payload = nullptr;
    payload_size = 0;
    storage.clear();
    compressed = false;
  }
  // Points the payload at `storage`, which the caller has filled.
  void UseStorage() {
    payload = storage.data();
    payload_size = storage.size();
  }
};

}  // namespace zantu_node
