// The reference node's test module (RequestHeader::module == kModuleTest),
// which tests, benchmarks and the sample interposing layer drive.
//
// A request entry's payload is its argument block (argc words of 8 bytes)
// followed by whatever the prepare hook appended (the "data"). The node runs
// every entry of a request record in order and answers the record with one
// response record for its last entry only (count 1): `request` and the
// no-wait bit of `flags` echoed, `result`, and a payload as below.
//
//   k_testEcho       no arguments needed. Answer: result 0, payload = the
//                    whole request payload (argument block and data).
//   k_testFail       arg0 = the result to answer. Payload empty.
//   k_testDelay      arg0 = microseconds to wait before answering; then as
//                    k_testEcho.
//   k_testCompressed arg0 = n, arg1 = seed. Answer: result 0, payload = n
//                    bytes TestPatternByte(seed, 0 .. n-1), and the whole
//                    response body is sent Zstandard-compressed (flag 2).
//
// An unknown function of the test module, or any other module, is answered
// with result kTestUnknownFunction and an empty payload.
#pragma once

#include <cstdint>

#include "common/api_numbers.h"

constexpr uint32_t kTestUnknownFunction = 98;

inline uint8_t TestPatternByte(uint64_t seed, uint64_t index) {
  uint64_t x = (seed + 1) * 0x9e3779b97f4a7c15ULL + index * 0xbf58476d1ce4e5b9ULL;
  x ^= x >> 31;
  x *= 0x94d049bb133111ebULL;
  x ^= x >> 29;
  return static_cast<uint8_t>(x);
}
