// Fat binaries as a program registers them: any bytes either fail to parse
// or give layouts whose parameters all lie inside their buffers, reading
// cubins alone or PTX as well.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "cudart/fatbin.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (bool with_ptx : {false, true}) {
    cudart::KernelLayouts layouts;
    std::string error;
    if (!cudart::FatBinary::ReadLayouts(data, size, &layouts, &error, with_ptx)) {
      if (error.empty()) std::abort();
      continue;
    }
    for (const auto& [name, layout] : layouts) {
      for (const cudart::KernelParam& param : layout.params) {
        if (uint64_t{param.offset} + param.size > layout.buffer_bytes) std::abort();
      }
    }
  }
  return 0;
}
