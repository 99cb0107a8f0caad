// The daemon's reading of the kernel's UDP socket table (/proc/net/udp and
// udp6), by which it learns which socket a registration datagram came from.
// Input: a flag byte (IPv6 table or not), 4 bytes of address, 2 of port,
// then the table's text.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "server/udp_table.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  const bool v6 = (data[0] & 1) != 0;
  uint32_t addr;
  uint16_t port;
  std::memcpy(&addr, data + 1, sizeof(addr));
  std::memcpy(&port, data + 5, sizeof(port));
  const std::string table(reinterpret_cast<const char*>(data) + 7, size - 7);
  std::vector<uint64_t> inodes;
  udp_table::CollectInodes(table, v6, addr, port, &inodes);
  // At most one socket per line after the title line.
  size_t lines = 0;
  for (const char c : table) lines += c == '\n';
  if (inodes.size() > lines) std::abort();
  for (const uint64_t inode : inodes) {
    if (inode == 0) std::abort();
  }
  return 0;
}
