#include "client/visible_devices.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/log.h"

namespace tovrel {

void ApplyVisibleDevices(const char* value, RegisterInfo* info) {
  if (value == nullptr) return;
  const std::string text(value);
  const uint32_t available = info->gpu_count;
  std::vector<uint32_t> kept;
  size_t beyond_table = 0;  // values valid for this process that find no room
  size_t start = 0;
  // Entries as successive reads of one line up to each comma: an empty text
  // has none, a trailing comma adds none, an empty entry before a comma is one.
  while (start < text.size()) {
    const size_t comma = text.find(',', start);
    const size_t end = comma == std::string::npos ? text.size() : comma;
    const std::string entry = text.substr(start, end - start);
    start = end + 1;

    errno = 0;
    char* parsed_to = nullptr;
    const unsigned long v = std::strtoul(entry.c_str(), &parsed_to, 10);
    if (parsed_to == entry.c_str() || errno == ERANGE) {
      ZANTU_ERROR("Invalid value=%s in CUDA_VISIBLE_DEVICES, exception=%s", entry.c_str(), "stoul");
      continue;
    }
    if (v >= available) continue;
    if (kept.size() == kMaxGpus) {
      ++beyond_table;
      continue;
    }
    kept.push_back(static_cast<uint32_t>(v));
  }
  if (beyond_table != 0) {
    ZANTU_ERROR("CUDA_VISIBLE_DEVICES names %zu gpus, only the first %u are used", kept.size() + beyond_table,
                kMaxGpus);
  }
  if (kept.empty()) return;
  std::sort(kept.begin(), kept.end());
  const RegisterInfo old = *info;
  for (size_t k = 0; k < kept.size(); ++k) {
    info->gpu_indexes[k] = old.gpu_indexes[kept[k]];
    info->gpu_nodes[k] = old.gpu_nodes[kept[k]];
  }
  info->gpu_count = static_cast<uint32_t>(kept.size());
}

}  // namespace tovrel
