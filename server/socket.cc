#include "server/socket.h"

#include <arpa/inet.h>

#include <cstring>

#include "common/log.h"

Socket::~Socket() {
  connected_ = false;
  host_.clear();
}

bool Socket::Connect(std::string& host, unsigned short port) {
  host_ = host;
  port_ = port;
  connected_ = true;
  ZANTU_LOG("Connection to server %s:%d succeeded.", host_.c_str(), port_);
  return true;
}

int Socket::Read(void* buffer, size_t length) {
  ZANTU_ERROR("never reach here");
  return -1;
}

int Socket::Write(void* buffer, size_t length) {
  ZANTU_ERROR("never reach here");
  return -1;
}

void Socket::Shutdown() {}

namespace socket_internal {

bool ParseIPv4(const std::string& host, unsigned short port, sockaddr_in* addr) {
  std::memset(addr, 0, sizeof(*addr));
  addr->sin_family = AF_INET;
  addr->sin_port = htons(port);
  return inet_pton(AF_INET, host.c_str(), &addr->sin_addr) == 1;
}

int SysResult(long result, int saved_errno) { return result < 0 ? -saved_errno : static_cast<int>(result); }

}  // namespace socket_internal

int ReadFully(Socket* socket, void* data, size_t length) {
  auto* p = static_cast<char*>(data);
  while (length > 0) {
    const int n = socket == nullptr ? 0 : socket->Read(p, length);
    if (n <= 0) return n;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return 1;
}

int WriteFully(Socket* socket, void* data, size_t length) {
  auto* p = static_cast<char*>(data);
  while (length > 0) {
    const int n = socket == nullptr ? 0 : socket->Write(p, length);
    if (n <= 0) return n;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return 1;
}
