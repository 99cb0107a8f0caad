#include "cudart/fatbin.h"

#include <cstring>

#include "common/trellan.h"
#include "cudart/cubin_info.h"
#include "cudart/ptx_info.h"

namespace cudart {
namespace {

template <typename T>
T Load(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

// Entry header fields.
constexpr size_t kEntryKindAt = 0;
constexpr size_t kEntryHeaderSizeAt = 4;
constexpr size_t kEntryPayloadSizeAt = 8;
constexpr size_t kEntryCompressedSizeAt = 16;
constexpr size_t kEntryFlagsAt = 40;
constexpr size_t kEntryPlainSizeAt = 56;

ZSTDUtil& Inflater() {
  // Thread-safe by its contract; never destroyed, since registrations may run
  // while static objects are torn down.
  static ZSTDUtil* const zstd = new ZSTDUtil(1, 0);
  return *zstd;
}

}  // namespace

bool FatBinary::FromWrapper(const void* wrapper, const uint8_t** image, uint64_t* size) {
  const auto* w = static_cast<const uint8_t*>(wrapper);
  if (w == nullptr || Load<uint32_t>(w) != kFatWrapperMagic) return false;
  const auto* header = reinterpret_cast<const uint8_t*>(Load<uint64_t>(w + 8));
  if (header == nullptr || Load<uint32_t>(header) != kFatBinaryMagic) return false;
  const uint16_t header_size = Load<uint16_t>(header + 6);
  const uint64_t entries = Load<uint64_t>(header + 8);
  if (header_size < kFatHeaderSize || entries > (uint64_t{1} << 40)) return false;
  *image = header;
  *size = header_size + entries;
  return true;
}

bool FatBinary::ReadEntry(const uint8_t* entry, uint64_t left, uint64_t* consumed, KernelLayouts* out,
                          std::string* error, bool with_ptx) {
  if (left < kFatEntryHeaderSize) {
    *error = "entry header runs past the image";
    return false;
  }
  const uint16_t kind = Load<uint16_t>(entry + kEntryKindAt);
  const uint32_t header_size = Load<uint32_t>(entry + kEntryHeaderSizeAt);
  const uint64_t payload_size = Load<uint64_t>(entry + kEntryPayloadSizeAt);
  if (header_size < kFatEntryHeaderSize || header_size > left || payload_size > left - header_size) {
    *error = "entry runs past the image";
    return false;
  }
  *consumed = header_size + payload_size;
  const bool ptx = kind == kFatKindPtx && with_ptx;
  if (kind != kFatKindCubin && !ptx) return true;

  const uint8_t* payload = entry + header_size;
  const uint64_t flags = Load<uint64_t>(entry + kEntryFlagsAt);
  if ((flags & kFatCompressed) == 0) {
    if (!ptx) return CubinInfo::ReadLayouts(payload, payload_size, out, error);
    // The text ends at its NUL or at the end of the (padded) payload.
    const void* nul = std::memchr(payload, '\0', payload_size);
    const size_t length = nul == nullptr ? payload_size : static_cast<const uint8_t*>(nul) - payload;
    return PtxInfo::ReadLayouts(reinterpret_cast<const char*>(payload), length, out, error);
  }

  const uint32_t packed_size = Load<uint32_t>(entry + kEntryCompressedSizeAt);
  const uint64_t plain_size = Load<uint64_t>(entry + kEntryPlainSizeAt);
  if (packed_size > payload_size || plain_size > kMaxPlainEntry) {
    *error = "compressed entry sizes out of range";
    return false;
  }
  std::string plain;
  if (!Inflater().Decompress(std::string(reinterpret_cast<const char*>(payload), packed_size), &plain) ||
      plain.size() != plain_size) {
    *error = "compressed entry does not inflate to its size";
    return false;
  }
  if (ptx) return PtxInfo::ReadLayouts(plain.c_str(), std::strlen(plain.c_str()), out, error);
  return CubinInfo::ReadLayouts(reinterpret_cast<const uint8_t*>(plain.data()), plain.size(), out, error);
}

bool FatBinary::ReadLayouts(const uint8_t* image, size_t size, KernelLayouts* out, std::string* error,
                            bool with_ptx) {
  if (size < kFatHeaderSize || Load<uint32_t>(image) != kFatBinaryMagic) {
    *error = "not a fat binary";
    return false;
  }
  const uint16_t header_size = Load<uint16_t>(image + 6);
  const uint64_t entries = Load<uint64_t>(image + 8);
  if (header_size < kFatHeaderSize || header_size > size || entries > size - header_size) {
    *error = "fat binary header claims more than the image holds";
    return false;
  }
  const uint8_t* at = image + header_size;
  uint64_t left = entries;
  while (left != 0) {
    uint64_t consumed = 0;
    if (!ReadEntry(at, left, &consumed, out, error, with_ptx)) return false;
    at += consumed;
    left -= consumed;
  }
  return true;
}

}  // namespace cudart
