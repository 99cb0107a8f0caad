// The runtime module on the wire (RequestHeader::module == kModuleRuntime):
// what our runtime library (cudart/) sends and what a node backend (node/)
// answers. Function numbers are RuntimeApi of common/api_numbers.h.
//
// A request entry's payload is its argument block (argc words of 8 bytes, as
// the call's declaration lists them) followed by its data. The answer's
// payload is the declared answer; empty where none is declared.
// Results are the runtime API's error numbers (RuntimeStatus below, the same
// values as the toolkit's cudaError_t).
//
// Records and answers. A record's entries run in order on GPU
// RequestBatchHeader::device of the node; only the last entry of a record is
// answered (the node protocol's rule). Entries marked deferred by the library
// (kRequestDeferrable) report nothing of their own: the node keeps the first
// failure of a deferred entry per client and GPU, and the next synchronizing
// entry on that GPU (declared sync) answers with it, clearing it, unless
// its own result is already a failure. An answered deferred entry carries its
// own result, which the library ignores.
//
// Handles. Streams and events are named by values the library chooses (never
// 0); stream 0 and kPerThreadStream are the GPU's default stream. Functions,
// variables and modules are numbered by the library, once per process;
// registrations travel to a node before the first entry that uses them, in
// the same or an earlier record, once per node. Device pointers are the
// node's own numbers, returned by cudaMalloc or cudaGetSymbolAddress.
//
// The calls themselves, with their argument words, data and answers, are
// declared in common/runtime_call_table.h.
//
// Any other function number is answered with kNotSupported.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/api_numbers.h"
#include "common/runtime_call_table.h"

// Results, with the runtime API's numbers.
enum RuntimeStatus : uint32_t {
  kRtSuccess = 0,
  kRtInvalidValue = 1,
  kRtMemoryAllocation = 2,
  kRtInitializationError = 3,
  kRtInvalidConfiguration = 9,
  kRtInvalidSymbol = 13,
  kRtInvalidDevicePointer = 17,
  kRtInvalidMemcpyDirection = 21,
  kRtInvalidDeviceFunction = 98,
  kRtNoDevice = 100,
  kRtInvalidDevice = 101,
  kRtInvalidKernelImage = 200,
  kRtNoKernelImageForDevice = 209,
  kRtInvalidResourceHandle = 400,
  kRtSymbolNotFound = 500,
  kRtNotReady = 600,
  kRtPeerAccessUnsupported = 217,
  kRtIllegalAddress = 700,
  kRtPeerAccessAlreadyEnabled = 704,
  kRtPeerAccessNotEnabled = 705,
  kRtLaunchOutOfResources = 701,
  kRtLaunchFailure = 719,
  kRtNotSupported = 801,
  kRtUnknown = 999,
};

// cudaMemcpy's kind word, as the library normalises it: the direction is
// always explicit on the wire.
enum CopyKind : uint64_t {
  kCopyHostToDevice = 1,
  kCopyDeviceToHost = 2,
  kCopyDeviceToDevice = 3,
};

// The per-thread default stream handle of the runtime API.
constexpr uint64_t kPerThreadStream = 2;

// The launch's argument words, built apart from Send (RuntimeLayer::Launch).
constexpr uint32_t kLaunchArgc = DeclarationOf(k_cudaLaunchKernel).argc;

// Largest single copy or memset on the wire; the library splits larger ones.
constexpr uint64_t kMaxCopyChunk = uint64_t{256} << 20;
// Largest fat binary image and kernel parameter buffer accepted.
constexpr uint64_t kMaxModuleImage = uint64_t{512} << 20;
constexpr uint64_t kMaxParamBuffer = 32764;  // the runtime's limit on kernel parameters
constexpr size_t kMaxSymbolName = 4096;

// Answer of cudaGetDeviceProperties. attrs[a] is the value of device
// attribute a (the runtime's cudaDeviceAttr numbering, which the driver's
// attribute numbers share); attributes the node does not know are 0.
constexpr size_t kDeviceAttrSlots = 160;

#pragma pack(push, 1)
struct DeviceInfo {
  char name[256];      // NUL-terminated
  uint8_t uuid[16];
  uint64_t total_mem;  // bytes
  int32_t attrs[kDeviceAttrSlots];
};
#pragma pack(pop)
static_assert(sizeof(DeviceInfo) == 256 + 16 + 8 + 4 * kDeviceAttrSlots);
static_assert(offsetof(DeviceInfo, name) == 0);
static_assert(offsetof(DeviceInfo, uuid) == 256);
static_assert(offsetof(DeviceInfo, total_mem) == 272);
static_assert(offsetof(DeviceInfo, attrs) == 280);
