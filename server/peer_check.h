// Who sent a registration datagram: the daemon registers a pid only for a
// datagram that came from a UDP socket which that very process holds.
#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

// True when process `pid` holds, among its open descriptors, the UDP socket
// from which a datagram from `peer` reached the local port `local_port`: the
// socket's inode (asked of the kernel by sock_diag, or found in /proc/net/udp
// and udp6 where that fails) is matched against /proc/<pid>/fd. Otherwise
// false with the reason in `*why`.
bool PeerHoldsSocket(uint32_t pid, const sockaddr_in& peer, uint16_t local_port, std::string* why);
