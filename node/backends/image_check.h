// The check a device code image passes before the driver sees it. The
// driver's module loader takes an image without its length and reads as far
// as the image's own headers say, so every length those headers declare must
// lie inside the bytes the client sent.
//
// Accepted: a fat binary (header, then entries of a header and a payload
// each), an ELF cubin (section and program header tables and every section
// with contents inside the image), or PTX text (NUL-terminated inside it).
#pragma once

#include <cstdint>

namespace zantu_node {

[[nodiscard]] bool ImageFits(const char* image, uint64_t size);

}  // namespace zantu_node
