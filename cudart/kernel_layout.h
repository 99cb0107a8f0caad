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

// What one compiled kernel needs of a multiprocessor, as its cubin records
// it; all 0 for a kernel known from PTX alone.
struct KernelResources {
  uint32_t registers = 0;       // per thread
  uint32_t shared_bytes = 0;    // static shared memory per block
  uint32_t local_bytes = 0;     // stack frame per thread
  uint32_t max_threads = 0;     // launch bounds or required block size; 0 for none
  uint32_t binary_version = 0;  // the cubin's architecture, major * 10 + minor
};

struct KernelLayout {
  std::vector<KernelParam> params;  // by ordinal: params[i] is parameter i
  uint32_t buffer_bytes = 0;        // the whole buffer, padding included
  KernelResources resources;
};

// Kernels by mangled name.
using KernelLayouts = std::map<std::string, KernelLayout>;

}  // namespace cudart
