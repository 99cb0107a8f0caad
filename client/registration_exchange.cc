#include "client/registration_exchange.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <vector>

#include "client/internal.h"
#include "common/log.h"
#include "common/registration.h"
#include "common/registration_format.h"

namespace tovrel {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// More attempts than fit the bound with this backoff: 0, 100, 300, 700 ... ms.
constexpr size_t kMaxAttempts = 16;

// One socket per attempt, oldest first; all are closed when it ends.
class Attempts {
 public:
  explicit Attempts(int32_t pid) : pid_(pid) {}
  ~Attempts() {
    for (const int fd : fds_) close(fd);
  }
  Attempts(const Attempts&) = delete;
  Attempts& operator=(const Attempts&) = delete;

  // Sends the pid datagram from a fresh socket connected to the daemon.
  // False, with `*failure` set, when it could not be sent.
  [[nodiscard]] bool SendNext(ExchangeOutcome* failure) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
      ZANTU_ERROR("Socket creation failed=%d", fd);
      *failure = ExchangeOutcome::kSocketFailed;
      return false;
    }
    fds_.push_back(fd);
    sockaddr_in daemon{};
    daemon.sin_family = AF_INET;
    daemon.sin_port = htons(kRegistrationPort);
    daemon.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint8_t datagram[kRegistrationRequestSize];
    EncodeRegistrationRequest(static_cast<uint32_t>(pid_), datagram);
    ssize_t sent = -1;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&daemon), sizeof(daemon)) == 0) {
      do {
        sent = send(fd, datagram, sizeof(datagram), 0);
      } while (sent < 0 && errno == EINTR);
    }
    if (sent == static_cast<ssize_t>(sizeof(datagram))) return true;
    if (sent < 0 && errno == ECONNREFUSED) {
      *failure = ExchangeOutcome::kNoDaemon;
    } else {
      ZANTU_ERROR("send pid to server failed=%d", -1);
      *failure = ExchangeOutcome::kSendFailed;
    }
    return false;
  }

  // Waits until `until` for a reply. kReply with `*length` set when the
  // newest attempt is answered; kTimedOut when `until` passes first.
  ExchangeOutcome Await(Clock::time_point until, uint8_t* reply, size_t capacity, size_t* length) {
    for (;;) {
      const auto left = std::chrono::ceil<milliseconds>(until - Clock::now()).count();
      if (left <= 0) return ExchangeOutcome::kTimedOut;
      std::vector<pollfd> pfds;
      for (const int fd : fds_) pfds.push_back(pollfd{fd, POLLIN, 0});
      const int ready = poll(pfds.data(), pfds.size(), static_cast<int>(left));
      if (ready < 0 && errno != EINTR) return ReceiveFailed();
      if (ready <= 0) continue;
      // Newest first: its reply wins over anything older in the same wake.
      for (size_t i = pfds.size(); i-- > 0;) {
        if (pfds[i].revents == 0) continue;
        const ssize_t n = recv(pfds[i].fd, reply, capacity, MSG_DONTWAIT);
        if (n < 0) {
          if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
          // The kernel's port-unreachable answer to one of our datagrams.
          if (errno == ECONNREFUSED) return ExchangeOutcome::kNoDaemon;
          return ReceiveFailed();
        }
        if (i + 1 == pfds.size()) {
          *length = static_cast<size_t>(n);
          return ExchangeOutcome::kReply;
        }
        ZANTU_LOG("registration reply to attempt %zu of %zu set aside: a newer attempt supersedes it", i + 1,
                  pfds.size());
      }
    }
  }

 private:
  ExchangeOutcome ReceiveFailed() {
    ZANTU_LOG("registration receive failed: %s", std::strerror(errno));
    return ExchangeOutcome::kReceiveFailed;
  }

  const int32_t pid_;
  std::vector<int> fds_;
};

}  // namespace

ExchangeOutcome ExchangeRegistration(int32_t pid, uint8_t* reply, size_t capacity, size_t* length) {
  const auto start = Clock::now();
  const auto deadline = start + milliseconds(kReplyTimeoutMs);
  milliseconds interval(kFirstResendMs);
  Attempts attempts(pid);
  for (size_t sent = 0;; ++sent) {
    ExchangeOutcome failure;
    if (!attempts.SendNext(&failure)) return failure;
    const auto next = Clock::now() + interval;
    interval *= 2;
    const bool last = sent + 1 == kMaxAttempts || next >= deadline;
    const ExchangeOutcome outcome = attempts.Await(last ? deadline : next, reply, capacity, length);
    if (outcome != ExchangeOutcome::kTimedOut || last) return outcome;
  }
}

}  // namespace tovrel
