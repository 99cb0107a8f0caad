// The check a device code image passes before the driver sees it: any bytes
// are judged without reading past them, and an image that passes has every
// length its headers declare inside it.
#include <cstdlib>
#include <cstring>

#include "common/records.h"
#include "node/backends/image_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly `size` bytes, so that a read past them is caught.
  char* image = static_cast<char*>(std::malloc(size + 1));
  std::memcpy(image, data, size);
  if (zantu_node::ImageFits(image, size) && size >= 16 && LoadRecord<uint32_t>(image) == 0xBA55ED50) {
    const uint64_t header = LoadRecord<uint16_t>(image + 6);
    const uint64_t entries = LoadRecord<uint64_t>(image + 8);
    if (header > size || entries > size - header) std::abort();
  }
  std::free(image);
  return 0;
}
