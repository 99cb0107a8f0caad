// The daemon's Light transport against a node that asks for anything: any
// mix of sends and resend requests (for the next number, for cached ones,
// for forgotten ones, for numbers not yet used) must put on the wire exactly
// what the datagram rules say, and refuse exactly the requests for numbers
// it may have forgotten. A real Light on loopback sockets; this process plays
// the node (the port announcement on TCP, the datagrams on UDP).
#include <arpa/inet.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "server/light.h"

namespace {

// The node's side: a listener that announces the UDP port to every
// connection, and the UDP socket the datagrams reach.
struct FakeNode {
  int listen_fd = -1;
  int udp_fd = -1;
  uint16_t tcp_port = 0;
  uint16_t udp_port = 0;
};

uint16_t BoundPort(int fd) {
  sockaddr_in addr{};
  socklen_t length = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  return ntohs(addr.sin_port);
}

const FakeNode& Node() {
  static const FakeNode node = [] {
    FakeNode n;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    n.listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    n.udp_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int buffer = 64 << 20;
    setsockopt(n.udp_fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    if (bind(n.listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 || listen(n.listen_fd, 16) != 0 ||
        bind(n.udp_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
      std::abort();
    }
    n.tcp_port = BoundPort(n.listen_fd);
    n.udp_port = BoundPort(n.udp_fd);
    // Each run's Light connects once; the previous connection is closed when
    // the next one comes.
    std::thread([n] {
      int previous = -1;
      for (;;) {
        const int fd = accept(n.listen_fd, nullptr, nullptr);
        if (fd < 0) continue;
        const unsigned char announcement[2] = {static_cast<unsigned char>(n.udp_port & 0xff),
                                               static_cast<unsigned char>(n.udp_port >> 8)};
        if (send(fd, announcement, 2, MSG_NOSIGNAL) != 2) std::abort();
        if (previous >= 0) close(previous);
        previous = fd;
      }
    }).detach();
    return n;
  }();
  return node;
}

// Every datagram waiting on the node's socket. Loopback delivers a datagram
// within the send call, so after a send they are all there.
std::vector<std::string> Drain() {
  std::vector<std::string> datagrams;
  char buffer[65536];
  for (;;) {
    const ssize_t n = recv(Node().udp_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n < 0) return datagrams;
    datagrams.emplace_back(buffer, static_cast<size_t>(n));
  }
}

std::string Datagram(uint64_t seq, const std::string& payload) {
  std::string datagram(sizeof(LightHeader), '\0');
  StoreRecord(datagram.data(), LightHeader{seq, payload.size()});
  return datagram + payload;
}

void Expect(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("ZANTU_DISABLE_LOG", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  Light light;
  std::string host = "127.0.0.1";
  Expect(light.Connect(host, 0, Node().tcp_port));
  Drain();

  // What the node may still ask for: [oldest, next) by number.
  std::map<uint64_t, std::string> sent;
  uint64_t oldest = 0;
  uint64_t next = 0;
  while (input.remaining_bytes() > 0) {
    if (input.ConsumeBool()) {
      const size_t length = input.ConsumeIntegralInRange<size_t>(0, 4 * kLightMaxPayload + 3);
      std::string bytes(length, '\0');
      for (size_t i = 0; i < length; ++i) bytes[i] = static_cast<char>(next * 7 + i);
      Expect(light.Send(bytes.data(), bytes.size()));
      const std::vector<std::string> got = Drain();
      Expect(got.size() == (length + kLightMaxPayload - 1) / kLightMaxPayload);
      for (size_t k = 0; k < got.size(); ++k) {
        const std::string want = Datagram(next, bytes.substr(k * kLightMaxPayload, kLightMaxPayload));
        Expect(got[k] == want);
        sent[next++] = want;
      }
    } else {
      const uint64_t seq = input.ConsumeIntegralInRange<uint64_t>(0, next + 2);
      const bool ok = light.ResendLightPacket(seq);
      const std::vector<std::string> got = Drain();
      if (seq == next) {
        Expect(ok && got.size() == 1 && got[0] == Datagram(seq, ""));
      } else if (seq >= oldest && seq < next) {
        Expect(ok && got.size() == 1 && got[0] == sent[seq]);
        oldest = seq;
      } else {
        Expect(!ok && got.empty());
      }
    }
  }
  return 0;
}
