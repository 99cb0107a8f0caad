#include "server/peer_check.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "server/udp_table.h"

namespace {

// The whole of a /proc file; false if it cannot be read.
bool ReadAll(const char* path, std::string* out) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  out->clear();
  size_t used = 0;
  for (;;) {
    if (out->size() - used < 16384) out->resize(used + 65536);
    const ssize_t n = read(fd, out->data() + used, out->size() - used);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    used += static_cast<size_t>(n);
  }
  close(fd);
  out->resize(used);
  return true;
}

// Asks the kernel (sock_diag) for the inode of the UDP socket that would
// receive a datagram sent by the registration socket to `peer`: the sender's
// own socket. One lookup, whatever the number of sockets on the machine. 0
// when there is none; -1 when the kernel cannot be asked (then /proc/net/udp
// is read instead); kNoDescriptors when this process is out of them.
constexpr int64_t kNoDescriptors = -2;

int64_t LookupInode(const sockaddr_in& peer, uint16_t local_port) {
  const int fd = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return errno == EMFILE || errno == ENFILE ? kNoDescriptors : -1;
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof(message);
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = AF_INET;
  message.request.sdiag_protocol = IPPROTO_UDP;
  message.request.idiag_states = ~0u;
  // The kernel looks up the receiver of a datagram from src to dst.
  message.request.id.idiag_src[0] = htonl(INADDR_LOOPBACK);
  message.request.id.idiag_sport = htons(local_port);
  message.request.id.idiag_dst[0] = peer.sin_addr.s_addr;
  message.request.id.idiag_dport = peer.sin_port;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  int64_t inode = -1;
  if (sendto(fd, &message, sizeof(message), 0, reinterpret_cast<sockaddr*>(&kernel), sizeof(kernel)) ==
      static_cast<ssize_t>(sizeof(message))) {
    alignas(nlmsghdr) char buffer[1024];
    ssize_t n;
    do {
      n = recv(fd, buffer, sizeof(buffer), 0);
    } while (n < 0 && errno == EINTR);
    const auto* reply = reinterpret_cast<const nlmsghdr*>(buffer);
    if (n >= static_cast<ssize_t>(sizeof(nlmsghdr)) && NLMSG_OK(reply, static_cast<size_t>(n))) {
      if (reply->nlmsg_type == SOCK_DIAG_BY_FAMILY && reply->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
        inode = static_cast<const inet_diag_msg*>(NLMSG_DATA(reply))->idiag_inode;
      } else if (reply->nlmsg_type == NLMSG_ERROR && reply->nlmsg_len >= NLMSG_LENGTH(sizeof(nlmsgerr))) {
        // No such socket, or no UDP lookups in this kernel.
        const int error = -static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error;
        inode = error == ENOENT ? 0 : -1;
      }
    }
  }
  close(fd);
  return inode;
}

// Whether one of the process's descriptors is "socket:[inode]" for an inode
// in `inodes`.
bool HoldsOneOf(uint32_t pid, const std::vector<uint64_t>& inodes, std::string* why) {
  const std::string path = "/proc/" + std::to_string(pid) + "/fd";
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) {
    const int err = errno;
    *why = err == EMFILE || err == ENFILE ? std::string("out of file descriptors")
                                          : "cannot read " + path + ": " + std::strerror(err);
    return false;
  }
  bool found = false;
  char link[64];
  while (!found) {
    dirent* entry = readdir(dir);
    if (entry == nullptr) break;
    if (entry->d_name[0] == '.') continue;
    const ssize_t n = readlinkat(dirfd(dir), entry->d_name, link, sizeof(link) - 1);
    if (n < 9 || std::memcmp(link, "socket:[", 8) != 0) continue;
    link[n] = '\0';
    const uint64_t inode = std::strtoull(link + 8, nullptr, 10);
    for (uint64_t candidate : inodes) found = found || candidate == inode;
  }
  closedir(dir);
  if (!found) *why = "the sending socket is not one of the process's descriptors";
  return found;
}

}  // namespace

bool PeerHoldsSocket(uint32_t pid, const sockaddr_in& peer, uint16_t local_port, std::string* why) {
  if (pid == 0 || pid > INT32_MAX) {
    *why = "not a process id";
    return false;
  }
  std::vector<uint64_t> inodes;
  const int64_t inode = LookupInode(peer, local_port);
  if (inode == kNoDescriptors) {
    *why = "out of file descriptors";
    return false;
  }
  if (inode > 0) {
    inodes.push_back(static_cast<uint64_t>(inode));
  } else if (inode < 0) {
    // The kernel reads the whole table for these, at a cost that grows with
    // the number of sockets on the machine.
    std::string table;
    const uint16_t port = ntohs(peer.sin_port);
    const uint32_t addr = peer.sin_addr.s_addr;
    if (ReadAll("/proc/net/udp", &table)) udp_table::CollectInodes(table, false, addr, port, &inodes);
    if (inodes.empty() && ReadAll("/proc/net/udp6", &table)) udp_table::CollectInodes(table, true, addr, port, &inodes);
  }
  if (inodes.empty()) {
    *why = "no UDP socket is bound to the sending port";
    return false;
  }
  return HoldsOneOf(pid, inodes, why);
}
