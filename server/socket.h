// The socket under the node transports: what a connected stream (Tcp, in
// server/tcp.h) and a send-only datagram socket (Udp, in server/udp.h) have
// in common, and the helpers they share.
//
// Thread safety: an object is used by one thread at a time, except Shutdown,
// which any thread may call while another is blocked in Read or Write.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <string>

// Results of Read and Write: > 0 bytes moved, 0 when not connected or the
// peer closed the stream, -errno on failure. A single call never moves 2^31
// bytes or more; callers loop for the rest.
class Socket {
 public:
  Socket() = default;
  // Releases the peer text; derived classes close their descriptor.
  virtual ~Socket();

  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  // `host` is dotted-decimal IPv4 text; no name lookup. The base records the
  // peer, marks the socket connected, logs success and returns true; derived
  // classes open their descriptor first and end by calling it.
  virtual bool Connect(std::string& host, unsigned short port);

  // One receive call. The base has no descriptor: logs and returns -1.
  virtual int Read(void* buffer, size_t length);

  // One send call. The base has no descriptor: logs and returns -1.
  virtual int Write(void* buffer, size_t length);

  // Makes a thread blocked in Read or Write return, and every later call
  // fail. The descriptor stays open until destruction, so the call is safe
  // while another thread uses the socket. The base has nothing to wake.
  virtual void Shutdown();

  const std::string& host() const { return host_; }
  unsigned short port() const { return port_; }
  bool connected() const { return connected_; }

 protected:
  // Peer as given to Connect; set only by a successful Connect.
  std::string host_;
  unsigned short port_ = 0;
  bool connected_ = false;
};

// Repeats Read (Write) until all `length` bytes have moved. Returns 1, or the
// first result that was not positive (0 when `socket` is null); the caller
// logs it under its own name.
int ReadFully(Socket* socket, void* data, size_t length);
int WriteFully(Socket* socket, void* data, size_t length);

namespace socket_internal {

// The longest single send or receive, below 2^31 (the result is an int).
constexpr size_t kMaxSingleTransfer = size_t{1} << 30;

// Parses dotted-decimal IPv4 text into `addr` (network order); false if the
// text is not such an address.
bool ParseIPv4(const std::string& host, unsigned short port, sockaddr_in* addr);

// A system call's ssize_t result as Read/Write report it: the count, or
// -errno.
int SysResult(long result, int saved_errno);

}  // namespace socket_internal
