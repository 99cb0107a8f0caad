// Who sent a registration datagram: the daemon registers a pid only for a
// datagram that came from a UDP socket which that very process holds.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

// True when process `pid` holds, among its open descriptors, the UDP socket
// bound to the address and port that `peer` names (found in /proc/net/udp and
// /proc/net/udp6, matched by inode against /proc/<pid>/fd). Otherwise false
// with the reason in `*why`.
bool PeerHoldsSocket(uint32_t pid, const sockaddr_in& peer, std::string* why);
