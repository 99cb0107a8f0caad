#include "cudart/cubin_info.h"

#include <algorithm>
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
constexpr size_t kEflagsAt = 0x30;
constexpr size_t kAbiVersionAt = 8;
constexpr size_t kSectionNameAt = 0;
constexpr size_t kSectionTypeAt = 4;
constexpr size_t kSectionOffsetAt = 24;
constexpr size_t kSectionSizeAt = 32;
constexpr size_t kSectionInfoAt = 44;
constexpr uint32_t kSymtabType = 2;
constexpr uint32_t kNoBitsType = 8;
constexpr size_t kSymbolSize = 24;
constexpr size_t kSymbolSectionAt = 6;

// Attribute formats and the two attributes that are used.
constexpr uint8_t kFormatNone = 1;
constexpr uint8_t kFormatByte = 2;
constexpr uint8_t kFormatHalf = 3;
constexpr uint8_t kFormatSized = 4;
constexpr uint8_t kAttrParamInfo = 0x17;
constexpr uint8_t kAttrParamBufferSize = 0x19;
// Resources: a block size bound (launch bounds, or the one required), each
// three u32; in the image-wide ".nv.info", a function's stack frame as u32
// symbol index and u32 bytes.
constexpr uint8_t kAttrMaxThreads = 0x05;
constexpr uint8_t kAttrRequiredThreads = 0x10;
constexpr uint8_t kAttrFrameSize = 0x11;
constexpr size_t kBlockDimsSize = 12;
constexpr size_t kSymbolValueSize = 8;
constexpr size_t kParamInfoSize = 12;
constexpr uint32_t kMaxParams = 4096;
constexpr uint64_t kMaxParamBytes = 32764;  // the runtime's limit on a kernel's parameters

constexpr char kInfoPrefix[] = ".nv.info.";
constexpr char kImageInfo[] = ".nv.info";
constexpr char kTextPrefix[] = ".text.";
constexpr char kSharedPrefix[] = ".nv.shared.";

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

// The kernel a section belongs to by its name ("<prefix><kernel>"); empty
// when the name has another prefix.
std::string KernelOf(const std::string& section, const char* prefix) {
  const size_t length = std::strlen(prefix);
  if (section.size() <= length || section.compare(0, length, prefix) != 0) return "";
  return section.substr(length);
}

// The product of a block size bound's three dimensions, capped.
uint32_t BlockThreads(const uint8_t* dims) {
  const uint64_t threads =
      uint64_t{Load<uint32_t>(dims)} * Load<uint32_t>(dims + 4) * std::max<uint32_t>(Load<uint32_t>(dims + 8), 1);
  return static_cast<uint32_t>(std::min<uint64_t>(threads, UINT32_MAX));
}

// Calls `each(attribute, value, length)` for every sized attribute of an
// attribute section; false, with a reason, for a malformed one.
template <typename Each>
bool ForEachSized(const uint8_t* info, size_t size, std::string* error, Each each) {
  size_t at = 0;
  while (at < size) {
    if (size - at < 4) {
      *error = "attribute header runs past its section";
      return false;
    }
    const uint8_t format = info[at];
    const uint8_t attribute = info[at + 1];
    if (format == kFormatNone || format == kFormatByte || format == kFormatHalf) {
      if (!each(attribute, info + at + 2, size_t{0}, format)) return false;
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
    if (!each(attribute, info + at + 4, length, format)) return false;
    at += 4 + length;
  }
  return true;
}

}  // namespace

bool CubinInfo::ReadKernelInfo(const uint8_t* info, size_t size, KernelLayout* layout, std::string* error) {
  ParamList params;
  int64_t buffer_bytes = -1;  // none listed yet
  const bool read = ForEachSized(info, size, error, [&](uint8_t attribute, const uint8_t* value, size_t length,
                                                        uint8_t format) {
    if (format == kFormatHalf && attribute == kAttrParamBufferSize) buffer_bytes = Load<uint16_t>(value);
    if (format != kFormatSized) return true;
    if (attribute == kAttrParamInfo) return params.Add(value, length, error);
    if ((attribute == kAttrMaxThreads || attribute == kAttrRequiredThreads) && length >= kBlockDimsSize) {
      const uint32_t threads = BlockThreads(value);
      uint32_t& bound = layout->resources.max_threads;
      if (threads != 0) bound = bound == 0 ? threads : std::min(bound, threads);
    }
    return true;
  });
  return read && params.Finish(buffer_bytes, layout, error);
}

bool CubinInfo::ReadSections(const uint8_t* image, size_t size, std::vector<Section>* sections, std::string* error) {
  const uint64_t shoff = Load<uint64_t>(image + kShoffAt);
  const uint16_t shentsize = Load<uint16_t>(image + kShentsizeAt);
  const uint16_t shnum = Load<uint16_t>(image + kShnumAt);
  const uint16_t shstrndx = Load<uint16_t>(image + kShstrndxAt);
  if (shentsize != kSectionHeaderSize || shstrndx >= shnum ||
      !Inside(shoff, uint64_t{shnum} * kSectionHeaderSize, size)) {
    *error = "section header table outside the image";
    return false;
  }
  auto header = [&](uint32_t i) { return image + shoff + uint64_t{i} * kSectionHeaderSize; };
  const uint64_t names_at = Load<uint64_t>(header(shstrndx) + kSectionOffsetAt);
  const uint64_t names_size = Load<uint64_t>(header(shstrndx) + kSectionSizeAt);
  if (!Inside(names_at, names_size, size)) {
    *error = "section name table outside the image";
    return false;
  }
  const char* names = reinterpret_cast<const char*>(image + names_at);
  for (uint32_t i = 0; i < shnum; ++i) {
    const uint32_t name_at = Load<uint32_t>(header(i) + kSectionNameAt);
    if (name_at >= names_size) {
      *error = "section name outside the name table";
      return false;
    }
    const void* nul = std::memchr(names + name_at, '\0', names_size - name_at);
    if (nul == nullptr) {
      *error = "section name without its end";
      return false;
    }
    Section section;
    section.name.assign(names + name_at, static_cast<const char*>(nul));
    section.type = Load<uint32_t>(header(i) + kSectionTypeAt);
    section.offset = Load<uint64_t>(header(i) + kSectionOffsetAt);
    section.size = Load<uint64_t>(header(i) + kSectionSizeAt);
    section.info = Load<uint32_t>(header(i) + kSectionInfoAt);
    // A section without bytes in the image (shared memory) only has a size.
    if (section.type != kNoBitsType && !Inside(section.offset, section.size, size)) {
      *error = "section " + section.name + " outside the image";
      return false;
    }
    sections->push_back(std::move(section));
  }
  return true;
}

bool CubinInfo::Section::HasBytes() const { return type != kNoBitsType; }

bool CubinInfo::ReadFrames(const uint8_t* image, const std::vector<Section>& sections, KernelLayouts* found,
                           std::string* error) {
  const Section* symbols = nullptr;
  const Section* image_info = nullptr;
  for (const Section& section : sections) {
    if (!section.HasBytes()) continue;
    if (section.type == kSymtabType) symbols = &section;
    if (section.name == kImageInfo) image_info = &section;
  }
  if (symbols == nullptr || image_info == nullptr) return true;
  return ForEachSized(image + image_info->offset, image_info->size, error,
                      [&](uint8_t attribute, const uint8_t* value, size_t length, uint8_t format) {
                        if (format != kFormatSized || attribute != kAttrFrameSize || length < kSymbolValueSize) {
                          return true;
                        }
                        // The symbol names the function by its section.
                        const uint64_t symbol = Load<uint32_t>(value);
                        if (symbol >= symbols->size / kSymbolSize) return true;
                        const uint16_t index =
                            Load<uint16_t>(image + symbols->offset + symbol * kSymbolSize + kSymbolSectionAt);
                        if (index >= sections.size()) return true;
                        auto kernel = found->find(KernelOf(sections[index].name, kTextPrefix));
                        if (kernel != found->end()) kernel->second.resources.local_bytes = Load<uint32_t>(value + 4);
                        return true;
                      });
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
  std::vector<Section> sections;
  if (!ReadSections(image, size, &sections, error)) return false;
  KernelLayouts found;
  for (const Section& section : sections) {
    const std::string kernel = KernelOf(section.name, kInfoPrefix);
    if (kernel.empty()) continue;
    if (!section.HasBytes()) {
      *error = section.name + ": an attribute section without bytes";
      return false;
    }
    KernelLayout layout;
    if (!ReadKernelInfo(image + section.offset, section.size, &layout, error)) {
      *error = section.name + ": " + *error;
      return false;
    }
    found.emplace(kernel, std::move(layout));
  }
  // The architecture: in the flags' second byte from ABI version 8 on, in
  // the first before.
  const uint32_t flags = Load<uint32_t>(image + kEflagsAt);
  const uint32_t arch = image[kAbiVersionAt] >= 8 ? (flags >> 8) & 0xff : flags & 0xff;
  for (const Section& section : sections) {
    auto text = found.find(KernelOf(section.name, kTextPrefix));
    if (text != found.end()) text->second.resources.registers = section.info >> 24;
    auto shared = found.find(KernelOf(section.name, kSharedPrefix));
    if (shared != found.end()) shared->second.resources.shared_bytes = static_cast<uint32_t>(section.size);
  }
  for (auto& [name, layout] : found) layout.resources.binary_version = arch;
  if (!ReadFrames(image, sections, &found, error)) return false;
  for (auto& [name, layout] : found) out->emplace(name, std::move(layout));
  return true;
}

}  // namespace cudart
