// Loopback sockets for the tests' stand-ins of daemon and node: addresses,
// and blocking I/O bounded in time.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace testing_util {

constexpr int kIoTimeoutMs = 10000;

inline sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// The local port `fd` is bound to.
inline uint16_t BoundPort(int fd) {
  sockaddr_in addr{};
  socklen_t length = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  return ntohs(addr.sin_port);
}

// A TCP connection to 127.0.0.1:`port` without Nagle's delay; -1 on failure.
inline int ConnectTcp(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr = Loopback(port);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    close(fd);
    return -1;
  }
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return fd;
}

// All `length` bytes, or false once the connection fails.
inline bool SendBytes(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

inline bool SendBytes(int fd, const std::string& bytes) { return SendBytes(fd, bytes.data(), bytes.size()); }

// Waits at most `timeout_ms` (-1: without end) for the fd to become readable
// (or closed).
inline bool Readable(int fd, int timeout_ms) {
  pollfd p = {fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1;
}

// Exactly `length` bytes, or false on close, failure or timeout.
inline bool RecvBytes(int fd, void* data, size_t length, int timeout_ms = kIoTimeoutMs) {
  char* out = static_cast<char*>(data);
  size_t done = 0;
  while (done < length) {
    if (!Readable(fd, timeout_ms)) return false;
    const ssize_t n = recv(fd, out + done, length - done, 0);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// True when the peer closed the connection within the time (no byte came).
inline bool ClosedByPeer(int fd, int timeout_ms = kIoTimeoutMs) {
  char byte;
  return Readable(fd, timeout_ms) && recv(fd, &byte, 1, 0) == 0;
}

}  // namespace testing_util
