#include "node/backends/image_check.h"

#include <cstring>

#include "common/records.h"

namespace zantu_node {
namespace {

constexpr uint32_t kFatBinaryMagic = 0xBA55ED50;
constexpr uint64_t kFatHeaderSize = 16;
constexpr uint64_t kFatEntryMinHeader = 16;
constexpr uint32_t kElfMagic = 0x464c457f;  // "\x7f" "ELF"
constexpr uint64_t kElf64HeaderSize = 64;
constexpr uint32_t kSectionNoBits = 8;

// [offset, offset + length) inside [0, size), without overflow.
bool Within(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

// Fat binary: u32 magic, u16 version, u16 header size, u64 size of the
// entries; each entry: u16 kind, u16 version, u32 header size, u64 payload
// size, then its header's rest and the payload.
bool FatBinaryFits(const char* image, uint64_t size) {
  if (size < kFatHeaderSize) return false;
  const uint64_t header_size = LoadRecord<uint16_t>(image + 6);
  const uint64_t entries = LoadRecord<uint64_t>(image + 8);
  if (header_size < kFatHeaderSize || !Within(header_size, entries, size)) return false;
  uint64_t at = header_size;
  const uint64_t end = header_size + entries;
  while (at < end) {
    if (!Within(at, kFatEntryMinHeader, end)) return false;
    const uint64_t entry_header = LoadRecord<uint32_t>(image + at + 4);
    const uint64_t payload = LoadRecord<uint64_t>(image + at + 8);
    if (entry_header < kFatEntryMinHeader || !Within(at, entry_header, end) ||
        !Within(at + entry_header, payload, end)) {
      return false;
    }
    at += entry_header + payload;
  }
  return true;
}

// 64-bit little-endian ELF: the header tables and every section that has
// contents in the file.
bool ElfFits(const char* image, uint64_t size) {
  if (size < kElf64HeaderSize || image[4] != 2 || image[5] != 1) return false;
  const uint64_t phoff = LoadRecord<uint64_t>(image + 32);
  const uint64_t shoff = LoadRecord<uint64_t>(image + 40);
  const uint64_t phentsize = LoadRecord<uint16_t>(image + 54);
  const uint64_t phnum = LoadRecord<uint16_t>(image + 56);
  const uint64_t shentsize = LoadRecord<uint16_t>(image + 58);
  const uint64_t shnum = LoadRecord<uint16_t>(image + 60);
  if (!Within(phoff, phentsize * phnum, size) || !Within(shoff, shentsize * shnum, size)) return false;
  if (shnum != 0 && shentsize < 64) return false;
  for (uint64_t i = 0; i < shnum; ++i) {
    const char* section = image + shoff + i * shentsize;
    const uint32_t type = LoadRecord<uint32_t>(section + 4);
    const uint64_t offset = LoadRecord<uint64_t>(section + 24);
    const uint64_t length = LoadRecord<uint64_t>(section + 32);
    if (type != kSectionNoBits && !Within(offset, length, size)) return false;
  }
  return true;
}

}  // namespace

bool ImageFits(const char* image, uint64_t size) {
  if (image == nullptr || size < sizeof(uint32_t)) return false;
  const uint32_t magic = LoadRecord<uint32_t>(image);
  if (magic == kFatBinaryMagic) return FatBinaryFits(image, size);
  if (magic == kElfMagic) return ElfFits(image, size);
  return std::memchr(image, '\0', size) != nullptr;  // PTX text
}

}  // namespace zantu_node
