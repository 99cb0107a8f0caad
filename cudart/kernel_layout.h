// Where each parameter of a kernel lies in its packed parameter buffer, as
// the compiler laid it out. No CUDA header: the fat-binary parser and its
// fuzzer build without the toolkit.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace cudart {

struct KernelParam {
  uint32_t offset;  // bytes from the start of the parameter buffer
  uint32_t size;    // bytes
};

struct KernelLayout {
  std::vector<KernelParam> params;  // by ordinal: params[i] is parameter i
  uint32_t buffer_bytes = 0;        // the whole buffer, padding included
};

// Kernels by mangled name.
using KernelLayouts = std::map<std::string, KernelLayout>;

}  // namespace cudart
