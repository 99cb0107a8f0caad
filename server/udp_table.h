// Reading the kernel's UDP socket table (the text of /proc/net/udp and
// udp6): the fallback by which the daemon learns which socket a
// registration datagram came from when sock_diag cannot tell it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace udp_table {

// Adds the inodes of the sockets in `table` (the text of /proc/net/udp, or
// of udp6 with `v6`) whose local address is `addr` (as the kernel prints it:
// the network order bytes read as a host word) or a wildcard, and whose port
// is `port`. The title line is skipped; a line that does not parse is
// skipped; `table` may be any text.
void CollectInodes(const std::string& table, bool v6, uint32_t addr, uint16_t port, std::vector<uint64_t>* inodes);

}  // namespace udp_table
