// The fat binary a program registers: a container of device code images.
//
// Layout as nvcc 13 writes it (all little-endian):
//   wrapper   u32 magic 0x466243B1, u32 version, u64 address of the fat binary,
//             u64 file name or prelinked list (unused here)
//   header    u32 magic 0xBA55ED50, u16 version, u16 header size (16),
//             u64 size of the entries that follow the header
//   entry     u16 kind (1 PTX, 2 cubin), u16 version, u32 header size (64 or
//             more), u64 payload size (padded), u32 compressed size at 16,
//             u64 flags at 40 (0x8000: Zstandard-compressed payload),
//             u64 plain size at 56; the payload follows the entry header.
// PTX is compressed by default, cubins only with -Xfatbin -compress-all.
//
// Images are input: every length is checked against the image before use; a
// malformed image is an error, never a read outside it. No CUDA header here,
// so the fuzzer builds without the toolkit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cudart/kernel_layout.h"

namespace cudart {

constexpr uint32_t kFatWrapperMagic = 0x466243B1;
constexpr uint32_t kFatBinaryMagic = 0xBA55ED50;
constexpr size_t kFatWrapperSize = 24;
constexpr size_t kFatHeaderSize = 16;
constexpr size_t kFatEntryHeaderSize = 64;
constexpr uint16_t kFatKindPtx = 1;
constexpr uint16_t kFatKindCubin = 2;
constexpr uint64_t kFatCompressed = 0x8000;
// Largest plain entry inflated from a compressed one.
constexpr uint64_t kMaxPlainEntry = uint64_t{256} << 20;

class FatBinary {
 public:
  // The fat binary a registered wrapper points at, and its whole size
  // (header and entries). False when the wrapper or the header it points at
  // has the wrong magic. The wrapper lives in the program's memory and must
  // be readable for kFatWrapperSize bytes, the header for kFatHeaderSize.
  [[nodiscard]] static bool FromWrapper(const void* wrapper, const uint8_t** image, uint64_t* size);

  // Parses a whole fat binary image of `size` bytes and adds the parameter
  // layout of every kernel in its cubins to `out`, and with `with_ptx` of
  // every kernel in its PTX entries too (a kernel already known is kept).
  // False, with a reason in `error`, for a malformed image.
  [[nodiscard]] static bool ReadLayouts(const uint8_t* image, size_t size, KernelLayouts* out, std::string* error,
                                        bool with_ptx = false);

 private:
  // One entry whose header lies at `entry` with `left` bytes of the image
  // from there; `*consumed` is its header and payload size.
  [[nodiscard]] static bool ReadEntry(const uint8_t* entry, uint64_t left, uint64_t* consumed, KernelLayouts* out,
                                      std::string* error, bool with_ptx);
};

}  // namespace cudart
