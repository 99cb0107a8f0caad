#include "server/udp_table.h"

#include <cstdlib>
#include <cstring>

namespace udp_table {
namespace {

inline const char* SkipBlanks(const char* p, const char* end) {
  while (p < end && *p == ' ') ++p;
  return p;
}

inline const char* SkipToken(const char* p, const char* end) {
  while (p < end && *p != ' ' && *p != '\n') ++p;
  return p;
}

// Parses hexadecimal digits into 32-bit words (8 digits each, as the kernel
// prints addresses); returns the end of the digits.
const char* ParseHexWords(const char* p, const char* end, uint32_t* words, int count) {
  for (int w = 0; w < count; ++w) {
    uint32_t value = 0;
    for (int d = 0; d < 8; ++d, ++p) {
      if (p >= end) return nullptr;
      const char c = *p;
      const uint32_t digit = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : 16;
      if (digit == 16) return nullptr;
      value = value << 4 | digit;
    }
    words[w] = value;
  }
  return p;
}

}  // namespace

void CollectInodes(const std::string& table, bool v6, uint32_t addr, uint16_t port, std::vector<uint64_t>* inodes) {
  const char* p = table.data();
  const char* end = p + table.size();
  const char* line_end = static_cast<const char*>(std::memchr(p, '\n', end - p));  // the title line
  while (line_end != nullptr && line_end + 1 < end) {
    p = line_end + 1;
    line_end = static_cast<const char*>(std::memchr(p, '\n', end - p));
    const char* stop = line_end == nullptr ? end : line_end;
    p = SkipToken(SkipBlanks(p, stop), stop);  // "sl:"
    p = SkipBlanks(p, stop);
    uint32_t words[4] = {0, 0, 0, 0};
    p = ParseHexWords(p, stop, words, v6 ? 4 : 1);
    if (p == nullptr || p >= stop || *p != ':') continue;
    uint32_t port_word = 0;
    char* after = nullptr;
    port_word = static_cast<uint32_t>(std::strtoul(p + 1, &after, 16));
    if (port_word != port) continue;
    bool match;
    if (!v6) {
      match = words[0] == addr || words[0] == 0;
    } else {
      const bool any = (words[0] | words[1] | words[2] | words[3]) == 0;
      // ::ffff:a.b.c.d, its words as the kernel prints them.
      const bool mapped = words[0] == 0 && words[1] == 0 && words[2] == 0xFFFF0000u && words[3] == addr;
      match = any || mapped;
    }
    if (!match) continue;
    // After the local address: remote, st, tx:rx, tr:tm, retrnsmt, uid,
    // timeout, then the inode.
    p = after;
    for (int field = 0; field < 7; ++field) p = SkipToken(SkipBlanks(p, stop), stop);
    p = SkipBlanks(p, stop);
    const uint64_t inode = std::strtoull(p, &after, 10);
    if (after != p && inode != 0) inodes->push_back(inode);
  }
}

}  // namespace udp_table
