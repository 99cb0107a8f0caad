// Reads kernel parameter layouts out of PTX text, for kernels the fat binary
// carries only as PTX (built for a virtual architecture alone). Each
// ".entry name(" lists its parameters as
//   .param <type> [.ptr [<space>] [.align N]] name          scalars
//   .param .align N .b8 name[count]                         aggregates
// and the runtime packs them in order, each at the next multiple of its
// alignment (the scalar's size, or the .align of an aggregate; a .ptr's
// .align is the pointee's and does not count).
//
// The text is input: a malformed parameter list is an error, never a read
// outside the text.
#pragma once

#include <cstddef>
#include <string>

#include "cudart/kernel_layout.h"

namespace cudart {

class PtxInfo {
 public:
  // Adds the layout of every entry of `text` not yet in `out`. False, with a
  // reason in `error`, for a malformed parameter list.
  [[nodiscard]] static bool ReadLayouts(const char* text, size_t size, KernelLayouts* out, std::string* error);

 private:
  // One parameter declaration (the text between commas); appends it to
  // `layout` at the next offset its alignment allows.
  [[nodiscard]] static bool AddParam(const std::string& declaration, KernelLayout* layout, std::string* error);
};

}  // namespace cudart
