#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

#include "common/trellan.h"

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr unsigned kAlphabetSize = sizeof(kAlphabet) - 1;
// Bytes at or above the largest multiple of the alphabet size would favour the
// first characters; they are drawn again.
constexpr unsigned kAcceptBelow = 256 / kAlphabetSize * kAlphabetSize;
static_assert(kAlphabetSize == 62 && kAcceptBelow == 248);

constexpr size_t kChunk = 64;

// Fills `buf` with up to `length` random bytes and returns how many. Names
// built from these must not be guessable, so there is no weaker fallback than
// /dev/urandom: without a random source the process stops.
size_t ReadRandom(unsigned char* buf, size_t length) {
  for (;;) {
    const ssize_t n = getrandom(buf, length, 0);
    if (n > 0) return static_cast<size_t>(n);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    break;  // ENOSYS or a filter forbidding the call
  }
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    ssize_t n;
    do {
      n = ::read(fd, buf, length);
    } while (n < 0 && errno == EINTR);
    ::close(fd);
    if (n > 0) return static_cast<size_t>(n);
  }
  std::abort();
}

}  // namespace

std::string GenerateRandomString(size_t n) {
  std::string result;
  result.reserve(n);
  unsigned char buf[kChunk];
  while (result.size() < n) {
    const size_t got = ReadRandom(buf, kChunk);
    for (size_t i = 0; i < got && result.size() < n; ++i) {
      if (buf[i] < kAcceptBelow) result.push_back(kAlphabet[buf[i] % kAlphabetSize]);
    }
  }
  return result;
}
