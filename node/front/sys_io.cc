#include "node/front/sys_io.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "common/log.h"

namespace zantu_node {
namespace {

// The one place where errno becomes a result: logs the failed call once.
void LogSysError(const char* call, const char* what) {
  const int err = errno;
  ZANTU_ERROR("%s %s failed errno=%d (%s)", what, call, err, std::strerror(err));
  errno = err;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool BoundPort(int fd, uint16_t* port, const char* what) {
  sockaddr_in addr{};
  socklen_t len = sizeof(addr);
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    LogSysError("getsockname", what);
    return false;
  }
  *port = ntohs(addr.sin_port);
  return true;
}

// A writable copy of an I/O vector without its empty pieces, stepped
// forward as bytes go out.
class IoSteps {
 public:
  static constexpr int kMaxSegments = 16;

  [[nodiscard]] bool Init(const struct iovec* iov, int count) {
    if (count < 0 || count > kMaxSegments) {
      ZANTU_ERROR("a transfer of %d pieces is more than %d", count, kMaxSegments);
      return false;
    }
    for (int i = 0; i < count; ++i) {
      if (iov[i].iov_len > 0) left_[used_++] = iov[i];
    }
    return true;
  }
  bool Done() const { return first_ == used_; }
  struct iovec* Rest() {
    return left_ + first_;
  }
  int RestCount() const { return used_ - first_; }
  void Advance(size_t done) {
    while (first_ < used_ && done >= left_[first_].iov_len) {
      done -= left_[first_].iov_len;
      ++first_;
    }
    if (first_ < used_) {
      left_[first_].iov_base = static_cast<char*>(left_[first_].iov_base) + done;
      left_[first_].iov_len -= done;
    }
  }

 private:
  struct iovec left_[kMaxSegments];
  int used_ = 0;
  int first_ = 0;
};

}  // namespace

int ListenTcp(uint16_t port, uint16_t* bound_port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LogSysError("socket", "listen");
    return -1;
  }
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  const sockaddr_in addr = Loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    LogSysError("bind", "listen");
    CloseFd(&fd);
    return -1;
  }
  if (listen(fd, 4) != 0) {
    LogSysError("listen", "listen");
    CloseFd(&fd);
    return -1;
  }
  if (!BoundPort(fd, bound_port, "listen")) CloseFd(&fd);
  return fd;
}

int BindUdp(uint16_t port, size_t receive_buffer, uint16_t* bound_port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    LogSysError("socket", "udp");
    return -1;
  }
  // SO_RCVBUFFORCE passes the system limit but needs privilege; the plain
  // option is capped at that limit, which is still better than the default.
  const int size = static_cast<int>(std::min<size_t>(receive_buffer, INT32_MAX / 2));
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof(size)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
  }
  const sockaddr_in addr = Loopback(port);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0) {
    LogSysError("bind", "udp");
    CloseFd(&fd);
    return -1;
  }
  if (!BoundPort(fd, bound_port, "udp")) CloseFd(&fd);
  return fd;
}

int AcceptOne(int listen_fd, const char* what) {
  for (;;) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
      const int one = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
      return fd;
    }
    if (errno == EINTR || errno == ECONNABORTED) continue;
    LogSysError("accept", what);
    return -1;
  }
}

bool SendAll(int fd, const struct iovec* iov, int count) {
  IoSteps steps;
  if (!steps.Init(iov, count)) return false;
  while (!steps.Done()) {
    // Each call is cut to kMaxIoChunk bytes in all.
    struct iovec call[IoSteps::kMaxSegments];
    int n = 0;
    size_t total = 0;
    for (int i = 0; i < steps.RestCount() && total < kMaxIoChunk; ++i) {
      call[n] = steps.Rest()[i];
      call[n].iov_len = std::min(call[n].iov_len, kMaxIoChunk - total);
      total += call[n].iov_len;
      ++n;
    }
    msghdr msg{};
    msg.msg_iov = call;
    msg.msg_iovlen = static_cast<size_t>(n);
    const ssize_t sent = sendmsg(fd, &msg, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      LogSysError("sendmsg", "tcp");
      return false;
    }
    steps.Advance(static_cast<size_t>(sent));
  }
  return true;
}

bool SendAll(int fd, const void* data, size_t length) {
  struct iovec iov = {const_cast<void*>(data), length};
  return SendAll(fd, &iov, 1);
}

ssize_t RecvSome(int fd, void* data, size_t length, bool dont_wait) {
  for (;;) {
    const ssize_t got = recv(fd, data, std::min(length, kMaxIoChunk), dont_wait ? MSG_DONTWAIT : 0);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    if (dont_wait && (errno == EAGAIN || errno == EWOULDBLOCK)) return -2;
    LogSysError("recv", "tcp");
    return -1;
  }
}

int ReceiveDatagrams(int fd, struct mmsghdr* messages, unsigned count) {
  for (;;) {
    const int n = recvmmsg(fd, messages, count, MSG_DONTWAIT, nullptr);
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    LogSysError("recvmmsg", "udp");
    return -1;
  }
}

int WaitForEvents(struct pollfd* fds, nfds_t count, const struct timespec* timeout) {
  const int n = ppoll(fds, count, timeout, nullptr);
  if (n >= 0) return n;
  if (errno == EINTR) return 0;
  LogSysError("ppoll", "wait");
  return -1;
}

int OpenWakeFd() {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) LogSysError("eventfd", "wake");
  return fd;
}

void Wake(int fd) {
  const uint64_t one = 1;
  // Only fails when the counter would overflow, and then it is readable.
  while (write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
  }
}

int OpenAppend(const std::string& path) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) LogSysError("open", path.c_str());
  return fd;
}

bool WriteAll(int fd, const struct iovec* iov, int count) {
  IoSteps steps;
  if (!steps.Init(iov, count)) return false;
  while (!steps.Done()) {
    // A regular file takes at most about 2 GiB per call and says how much.
    const ssize_t written = writev(fd, steps.Rest(), steps.RestCount());
    if (written < 0) {
      if (errno == EINTR) continue;
      LogSysError("writev", "file");
      return false;
    }
    steps.Advance(static_cast<size_t>(written));
  }
  return true;
}

void CloseFd(int* fd) {
  if (*fd >= 0) {
    close(*fd);
    *fd = -1;
  }
}

}  // namespace zantu_node
