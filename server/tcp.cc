#include "server/tcp.h"

#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "common/log.h"
#include "common/trellan.h"

// Records travel straight between a node and a client's ring. A client that
// shrinks its ring's object makes such a transfer fail with EFAULT; the ring
// is then replaced by zero pages (and reports itself corrupt, so the client
// is released) and the transfer is repeated, which keeps the node stream in
// step.

namespace {

constexpr int kSocketBufferBytes = 104857600;  // 100 MiB each way

// connect() cut short by a signal goes on in the background; wait for it to
// finish and take its outcome.
int FinishInterruptedConnect(int fd) {
  pollfd pfd{fd, POLLOUT, 0};
  int rc;
  do {
    rc = poll(&pfd, 1, -1);
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) return errno;
  int err = 0;
  socklen_t len = sizeof(err);
  if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
  return err;
}

}  // namespace

Tcp::~Tcp() {
  connected_ = false;
  if (fd_ != -1) close(fd_);
  fd_ = -1;
}

bool Tcp::Connect(std::string& host, unsigned short port) {
  if (connected_) return true;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (fd_ < 0) {
    ZANTU_ERROR("create socket failed=%d", errno);
    return false;
  }
  sockaddr_in addr;
  if (!socket_internal::ParseIPv4(host, port, &addr)) {
    ZANTU_ERROR("invalid IPv4 address=%s", host.c_str());
    return false;
  }
  int one = 1;
  if (setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) {
    ZANTU_ERROR("setsockopt(TCP_NODELAY) failed");
    return false;
  }
  int bytes = kSocketBufferBytes;
  if (setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof(bytes)) != 0) {
    ZANTU_ERROR("setsockopt(SO_SNDBUF) failed");
    return false;
  }
  if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof(bytes)) != 0) {
    ZANTU_ERROR("setsockopt(SO_RCVBUF) failed");
    return false;
  }
  int err = 0;
  if (connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
    err = errno == EINTR ? FinishInterruptedConnect(fd_) : errno;
  }
  if (err != 0) {
    ZANTU_ERROR("connect remote server failed=%d", err);
    return false;
  }
  return Socket::Connect(host, port);
}

int Tcp::Read(void* buffer, size_t length) {
  if (!connected_) return 0;
  const size_t chunk = std::min(length, socket_internal::kMaxSingleTransfer);
  ssize_t n;
  do {
    n = recv(fd_, buffer, chunk, 0);
  } while (n < 0 && (errno == EINTR || (errno == EFAULT && RingBuffer::AbandonMemoryAt(buffer))));
  return socket_internal::SysResult(n, errno);
}

int Tcp::Write(void* buffer, size_t length) {
  if (!connected_) return 0;
  const size_t chunk = std::min(length, socket_internal::kMaxSingleTransfer);
  ssize_t n;
  do {
    n = send(fd_, buffer, chunk, MSG_NOSIGNAL);
  } while (n < 0 && (errno == EINTR || (errno == EFAULT && RingBuffer::AbandonMemoryAt(buffer))));
  return socket_internal::SysResult(n, errno);
}

void Tcp::Shutdown() {
  if (fd_ != -1) shutdown(fd_, SHUT_RDWR);
}
