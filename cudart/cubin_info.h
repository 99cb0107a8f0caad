// Reads the kernel parameter layouts out of one cubin (a 64-bit
// little-endian ELF image). Each kernel's ".nv.info.<mangled name>" section
// is a run of attributes
//   u8 format, u8 attribute, then by format: 1 nothing, 2 a byte, 3 a u16
//   (each padded to 4 bytes in all), 4 a u16 length and that many bytes;
// KPARAM_INFO (0x17, format 4, 12 bytes): u32 index, u16 ordinal,
//   u16 offset, u32 word whose bits 18-31 are the size in bytes;
// CBANK_PARAM_SIZE (0x19, format 3): the parameter buffer's size;
// MAX_THREADS (0x05) and REQNTID (0x10), format 4: three u32 block dims.
// A kernel's resources come from its other sections: ".text.<kernel>"
// (registers in the top byte of sh_info), ".nv.shared.<kernel>" (static
// shared memory, its size), and the image-wide ".nv.info" (FRAME_SIZE, 0x11:
// u32 symbol index, u32 bytes of stack per thread).
//
// The image is input: every offset and length is checked before use, and a
// malformed image is an error, never a read outside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "cudart/kernel_layout.h"

namespace cudart {

class CubinInfo {
 public:
  // Adds the layout of every kernel of the image to `out`; a kernel already
  // there is kept as it is (the same kernel built for another architecture).
  // False, with a reason in `error`, for a malformed image; `out` may then
  // hold the kernels read before the fault.
  [[nodiscard]] static bool ReadLayouts(const uint8_t* image, size_t size, KernelLayouts* out, std::string* error);

 private:
  struct Section {
    std::string name;
    uint32_t type;
    uint64_t offset;
    uint64_t size;  // inside the image unless the type has no bytes there
    uint32_t info;
    // Whether [offset, offset + size) are bytes of the image (checked); a
    // section without them (shared memory) has a size only, and nothing may
    // be read at its offset.
    bool HasBytes() const;
  };
  // Every section header with its name, checked against the image.
  [[nodiscard]] static bool ReadSections(const uint8_t* image, size_t size, std::vector<Section>* sections,
                                         std::string* error);
  // Decodes one ".nv.info.<kernel>" section body.
  [[nodiscard]] static bool ReadKernelInfo(const uint8_t* info, size_t size, KernelLayout* layout, std::string* error);
  // The stack frames of the image-wide attribute section, into the kernels
  // of `found` whose functions they name.
  [[nodiscard]] static bool ReadFrames(const uint8_t* image, const std::vector<Section>& sections,
                                       KernelLayouts* found, std::string* error);
};

}  // namespace cudart
