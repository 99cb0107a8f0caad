#include "cudart/cubin_info.h"

#include <cstring>
#include <vector>

namespace cudart {
namespace {

// ELF64 header and section header fields that are read.
constexpr size_t kElfHeaderSize = 64;
constexpr size_t kSectionHeaderSize = 64;
constexpr size_t kShoffAt = 0x28;
constexpr size_t kShentsizeAt = 0x3a;
constexpr size_t kShnumAt = 0x3c;
constexpr size_t kShstrndxAt = 0x3e;
constexpr size_t kSectionNameAt = 0;
constexpr size_t kSectionOffsetAt = 24;
constexpr size_t kSectionSizeAt = 32;

// Attribute formats and the two attributes that are used.
constexpr uint8_t kFormatNone = 1;
constexpr uint8_t kFormatByte = 2;
constexpr uint8_t kFormatHalf = 3;
constexpr uint8_t kFormatSized = 4;
constexpr uint8_t kAttrParamInfo = 0x17;
constexpr uint8_t kAttrParamBufferSize = 0x19;
constexpr size_t kParamInfoSize = 12;
constexpr uint32_t kMaxParams = 4096;
constexpr uint64_t kMaxParamBytes = 32764;  // the runtime's limit on a kernel's parameters

constexpr char kInfoPrefix[] = ".nv.info.";

template <typename T>
T Load(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof(value));
  return value;
}

// True when [offset, offset + length) lies inside `size` bytes.
bool Inside(uint64_t offset, uint64_t length, uint64_t size) { return offset <= size && length <= size - offset; }

// The parameters of one kernel as its attributes list them: by ordinal, each
// listed once, with no gap left when all are read.
class ParamList {
 public:
  // One parameter attribute's value of `length` bytes.
  bool Add(const uint8_t* value, size_t length, std::string* error) {
    if (length < kParamInfoSize) {
      *error = "parameter attribute too short";
      return false;
    }
    const uint32_t ordinal = Load<uint16_t>(value + 4);
    const uint32_t offset = Load<uint16_t>(value + 6);
    const uint32_t bytes = Load<uint32_t>(value + 8) >> 18;
    if (ordinal >= kMaxParams) {
      *error = "parameter ordinal out of range";
      return false;
    }
    if (ordinal >= params_.size()) {
      params_.resize(ordinal + 1, KernelParam{0, 0});
      seen_.resize(ordinal + 1, false);
    }
    if (seen_[ordinal]) {
      *error = "parameter listed twice";
      return false;
    }
    seen_[ordinal] = true;
    params_[ordinal] = KernelParam{offset, bytes};
    return true;
  }

  // Moves the list into `layout`. A kernel without a buffer size attribute
  // (buffer_bytes < 0) gets the end of its last parameter.
  bool Finish(int64_t buffer_bytes, KernelLayout* layout, std::string* error) {
    uint64_t end = 0;
    for (size_t i = 0; i < params_.size(); ++i) {
      if (!seen_[i]) {
        *error = "parameter ordinals have a gap";
        return false;
      }
      end = std::max<uint64_t>(end, uint64_t{params_[i].offset} + params_[i].size);
    }
    const uint64_t buffer = buffer_bytes < 0 ? end : static_cast<uint64_t>(buffer_bytes);
    if (end > buffer || buffer > kMaxParamBytes) {
      *error = "parameter runs past the parameter buffer";
      return false;
    }
    layout->params = std::move(params_);
    layout->buffer_bytes = static_cast<uint32_t>(buffer);
    return true;
  }

 private:
  std::vector<KernelParam> params_;
  std::vector<bool> seen_;
};

}  // namespace

bool CubinInfo::ReadKernelInfo(const uint8_t* info, size_t size, KernelLayout* layout, std::string* error) {
  ParamList params;
  int64_t buffer_bytes = -1;  // none listed yet
  size_t at = 0;
  while (at < size) {
    if (size - at < 4) {
      *error = "attribute header runs past its section";
      return false;
    }
    const uint8_t format = info[at];
    const uint8_t attribute = info[at + 1];
    if (format == kFormatNone || format == kFormatByte || format == kFormatHalf) {
      if (format == kFormatHalf && attribute == kAttrParamBufferSize) buffer_bytes = Load<uint16_t>(info + at + 2);
      at += 4;
      continue;
    }
    if (format != kFormatSized) {
      *error = "unknown attribute format " + std::to_string(format);
      return false;
    }
    const size_t length = Load<uint16_t>(info + at + 2);
    if (!Inside(at + 4, length, size)) {
      *error = "attribute value runs past its section";
      return false;
    }
    if (attribute == kAttrParamInfo && !params.Add(info + at + 4, length, error)) return false;
    at += 4 + length;
  }
  return params.Finish(buffer_bytes, layout, error);
}

bool CubinInfo::ReadLayouts(const uint8_t* image, size_t size, KernelLayouts* out, std::string* error) {
  if (size < kElfHeaderSize || std::memcmp(image, "\x7f" "ELF", 4) != 0) {
    *error = "not an ELF image";
    return false;
  }
  if (image[4] != 2 || image[5] != 1) {
    *error = "not a 64-bit little-endian ELF image";
    return false;
  }
  const uint64_t shoff = Load<uint64_t>(image + kShoffAt);
  const uint16_t shentsize = Load<uint16_t>(image + kShentsizeAt);
  const uint16_t shnum = Load<uint16_t>(image + kShnumAt);
  const uint16_t shstrndx = Load<uint16_t>(image + kShstrndxAt);
  if (shentsize != kSectionHeaderSize || shstrndx >= shnum ||
      !Inside(shoff, uint64_t{shnum} * kSectionHeaderSize, size)) {
    *error = "section header table outside the image";
    return false;
  }
  auto section = [&](uint32_t i) { return image + shoff + uint64_t{i} * kSectionHeaderSize; };
  const uint64_t names_at = Load<uint64_t>(section(shstrndx) + kSectionOffsetAt);
  const uint64_t names_size = Load<uint64_t>(section(shstrndx) + kSectionSizeAt);
  if (!Inside(names_at, names_size, size)) {
    *error = "section name table outside the image";
    return false;
  }
  const char* names = reinterpret_cast<const char*>(image + names_at);
  for (uint32_t i = 0; i < shnum; ++i) {
    const uint32_t name_at = Load<uint32_t>(section(i) + kSectionNameAt);
    if (name_at >= names_size) {
      *error = "section name outside the name table";
      return false;
    }
    const void* nul = std::memchr(names + name_at, '\0', names_size - name_at);
    if (nul == nullptr) {
      *error = "section name without its end";
      return false;
    }
    const std::string name(names + name_at, static_cast<const char*>(nul));
    if (name.size() <= sizeof(kInfoPrefix) - 1 || name.compare(0, sizeof(kInfoPrefix) - 1, kInfoPrefix) != 0) continue;
    const uint64_t at = Load<uint64_t>(section(i) + kSectionOffsetAt);
    const uint64_t bytes = Load<uint64_t>(section(i) + kSectionSizeAt);
    if (!Inside(at, bytes, size)) {
      *error = "section " + name + " outside the image";
      return false;
    }
    KernelLayout layout;
    if (!ReadKernelInfo(image + at, bytes, &layout, error)) {
      *error = name + ": " + *error;
      return false;
    }
    out->emplace(name.substr(sizeof(kInfoPrefix) - 1), std::move(layout));
  }
  return true;
}

}  // namespace cudart
