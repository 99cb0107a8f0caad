#include "server/udp.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "common/log.h"

Udp::~Udp() {
  connected_ = false;
  if (fd_ != -1) close(fd_);
  fd_ = -1;
}

bool Udp::Connect(std::string& host, unsigned short port) {
  if (connected_) return true;
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  if (fd_ < 0) {
    ZANTU_ERROR("create socket failed=%d", errno);
    return false;
  }
  if (!socket_internal::ParseIPv4(host, port, &remote_addr_)) {
    ZANTU_ERROR("invalid IPv4 address=%s", host.c_str());
    return false;
  }
  return Socket::Connect(host, port);
}

int Udp::Read(void* buffer, size_t length) {
  ZANTU_ERROR("never reach here");
  return 0;
}

int Udp::Write(void* buffer, size_t length) {
  if (!connected_) return 0;
  ssize_t n;
  do {
    n = sendto(fd_, buffer, length, 0, reinterpret_cast<const sockaddr*>(&remote_addr_), sizeof(remote_addr_));
  } while (n < 0 && errno == EINTR);
  return socket_internal::SysResult(n, errno);
}
