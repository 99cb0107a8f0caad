// Compressed bodies as a node sends them: any bytes either fail to
// decompress, leaving nothing, or give a body that compresses and
// decompresses back to itself.
#include <cstdlib>
#include <string>

#include "common/trellan.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static ZSTDUtil* const zstd = new ZSTDUtil(1, 0);
  const std::string packed(reinterpret_cast<const char*>(data), size);
  std::string plain = "left over";
  if (!zstd->Decompress(packed, &plain)) {
    if (!plain.empty()) std::abort();
    return 0;
  }
  std::string again;
  std::string back;
  if (!zstd->Compress(plain.data(), plain.size(), &again) || !zstd->Decompress(again, &back) || back != plain) {
    std::abort();
  }
  return 0;
}
