#include "cudart/ptx_info.h"

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string_view>
#include <vector>

namespace cudart {
namespace {

constexpr std::string_view kEntry = ".entry";
constexpr uint64_t kMaxParamBytes = 32764;  // the runtime's limit on a kernel's parameters
constexpr uint64_t kMaxAlign = 256;

// Bytes of a PTX fundamental type (".u32", ".f64", ".b8", ".pred"); 0 when
// `type` is none.
uint64_t TypeBytes(const std::string& type) {
  if (type == ".pred") return 1;
  if (type.size() < 3 || type[0] != '.') return 0;
  const char kind = type[1];
  if (kind != 'u' && kind != 's' && kind != 'b' && kind != 'f') return 0;
  const std::string bits = type.substr(2);
  if (bits == "8") return 1;
  if (bits == "16") return 2;
  if (bits == "32") return 4;
  if (bits == "64") return 8;
  return 0;
}

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
         c == '.';
}

}  // namespace

bool PtxInfo::AddParam(const std::string& declaration, KernelLayout* layout, std::string* error) {
  std::istringstream words(declaration);
  std::vector<std::string> tokens;
  for (std::string word; words >> word;) tokens.push_back(word);
  if (tokens.size() < 3 || tokens[0] != ".param") {
    *error = "parameter declaration without .param";
    return false;
  }
  uint64_t type_bytes = 0;
  uint64_t align = 0;
  bool pointer = false;
  for (size_t i = 1; i + 1 < tokens.size(); ++i) {
    const std::string& t = tokens[i];
    if (t == ".ptr") {
      pointer = true;
    } else if (t == ".align") {
      if (i + 2 >= tokens.size()) {
        *error = ".align without a value";
        return false;
      }
      const uint64_t value = std::strtoull(tokens[++i].c_str(), nullptr, 10);
      if (value == 0 || value > kMaxAlign || (value & (value - 1)) != 0) {
        *error = "bad parameter alignment";
        return false;
      }
      if (!pointer) align = value;
    } else if (uint64_t bytes = TypeBytes(t); bytes != 0 && type_bytes == 0) {
      type_bytes = bytes;
    }
  }
  if (type_bytes == 0) {
    *error = "parameter without a type";
    return false;
  }
  uint64_t count = 1;
  const std::string& name = tokens.back();
  const size_t bracket = name.find('[');
  if (bracket != std::string::npos) {
    count = std::strtoull(name.c_str() + bracket + 1, nullptr, 10);
    if (count == 0 || count > kMaxParamBytes || name.back() != ']') {
      *error = "bad parameter array size";
      return false;
    }
  }
  if (align == 0) align = type_bytes;
  uint64_t offset = layout->buffer_bytes;
  offset = (offset + align - 1) / align * align;
  const uint64_t bytes = type_bytes * count;
  if (offset + bytes > kMaxParamBytes) {
    *error = "parameters larger than the runtime allows";
    return false;
  }
  layout->params.push_back(KernelParam{static_cast<uint32_t>(offset), static_cast<uint32_t>(bytes)});
  layout->buffer_bytes = static_cast<uint32_t>(offset + bytes);
  return true;
}

bool PtxInfo::ReadLayouts(const char* text, size_t size, KernelLayouts* out, std::string* error) {
  const std::string_view ptx(text, size);
  for (size_t at = ptx.find(kEntry); at != std::string_view::npos; at = ptx.find(kEntry, at + 1)) {
    size_t p = at + kEntry.size();
    if (p >= ptx.size() || (ptx[p] != ' ' && ptx[p] != '\t')) continue;  // ".entry" inside a longer word
    while (p < ptx.size() && (ptx[p] == ' ' || ptx[p] == '\t')) ++p;
    const size_t name_at = p;
    while (p < ptx.size() && IsNameChar(ptx[p])) ++p;
    const std::string name(ptx.substr(name_at, p - name_at));
    while (p < ptx.size() && (ptx[p] == ' ' || ptx[p] == '\t' || ptx[p] == '\r' || ptx[p] == '\n')) ++p;
    if (name.empty() || p >= ptx.size() || ptx[p] != '(') {
      // An entry without a parameter list takes none.
      if (!name.empty()) out->emplace(name, KernelLayout{});
      continue;
    }
    const size_t close = ptx.find(')', p);
    if (close == std::string_view::npos) {
      *error = "parameter list of " + name + " without its end";
      return false;
    }
    KernelLayout layout;
    std::string_view list = ptx.substr(p + 1, close - p - 1);
    while (!list.empty()) {
      const size_t comma = list.find(',');
      const std::string declaration(list.substr(0, comma));
      if (declaration.find_first_not_of(" \t\r\n") != std::string::npos &&
          !AddParam(declaration, &layout, error)) {
        *error = name + ": " + *error;
        return false;
      }
      if (comma == std::string_view::npos) break;
      list.remove_prefix(comma + 1);
    }
    out->emplace(name, std::move(layout));
    at = close;
  }
  return true;
}

}  // namespace cudart
