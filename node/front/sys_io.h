// The node's system calls: sockets on 127.0.0.1 only, waiting, and the
// record file. This is the one place where errno becomes a result: every
// failing call is logged here once, with errno; EINTR is resumed.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <time.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace zantu_node {

// No single send or receive call moves more than this, so every count fits
// the int-sized results some kernels and wrappers use.
constexpr size_t kMaxIoChunk = size_t{1} << 30;

// A listening TCP socket on 127.0.0.1:`port` (0: any free port) with
// SO_REUSEADDR. Returns the descriptor and the bound port, or -1.
int ListenTcp(uint16_t port, uint16_t* bound_port);

// A UDP socket bound to 127.0.0.1:`port` (0: any free port), with a receive
// buffer of about `receive_buffer` bytes (forced past the system limit where
// allowed). Returns the descriptor and the bound port, or -1.
int BindUdp(uint16_t port, size_t receive_buffer, uint16_t* bound_port);

// Accepts one connection and sets TCP_NODELAY on it. -1 on failure.
int AcceptOne(int listen_fd, const char* what);

// Sends every byte of the vector, with MSG_NOSIGNAL, resuming after partial
// sends. False when the peer has gone or the send failed (logged once).
[[nodiscard]] bool SendAll(int fd, const struct iovec* iov, int count);
[[nodiscard]] bool SendAll(int fd, const void* data, size_t length);

// One recv of at most `length` bytes: the count, 0 when the peer closed, -1
// on failure (logged), or -2 for EAGAIN with `dont_wait`.
ssize_t RecvSome(int fd, void* data, size_t length, bool dont_wait = false);

// Takes up to `count` waiting datagrams without blocking: how many (0 when
// none wait), or -1 on failure.
int ReceiveDatagrams(int fd, struct mmsghdr* messages, unsigned count);

// ppoll: the number of ready descriptors, 0 on timeout or interruption, -1
// on failure.
int WaitForEvents(struct pollfd* fds, nfds_t count, const struct timespec* timeout);

// An eventfd that Wake makes readable: the way to stop a thread in
// WaitForEvents. -1 on failure.
int OpenWakeFd();
void Wake(int fd);

// Opens `path` for appending (created with mode 0600). -1 on failure.
int OpenAppend(const std::string& path);

// Writes every byte of the vector to a file. False on failure.
[[nodiscard]] bool WriteAll(int fd, const struct iovec* iov, int count);

// Closes *fd if open and marks it closed.
void CloseFd(int* fd);

}  // namespace zantu_node
