// The daemon's sockets and transports against real sockets of the test:
// connection order, all-or-nothing transfers, closed peers, shutdown, and
// the Light datagram numbering, resend and forget rules.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/records.h"
#include "server/light.h"
#include "server/native.h"
#include "server/tcp.h"
#include "server/udp.h"

namespace {

// Connect takes the host by non-const reference.
std::string& LoopbackHost() {
  static std::string host = "127.0.0.1";
  return host;
}

// A listening TCP socket on a free loopback port.
class Listener {
 public:
  Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    EXPECT_EQ(listen(fd_, 4), 0);
    socklen_t len = sizeof(addr);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
  }
  ~Listener() { close(fd_); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  unsigned short port() const { return port_; }

  // The next connection, or -1 if none comes within `timeout_ms`.
  int Accept(int timeout_ms = 2000) {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) != 1) return -1;
    return accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  }

 private:
  int fd_ = -1;
  unsigned short port_ = 0;
};

// A port on which nothing listens.
unsigned short FreePort() {
  Listener listener;
  return listener.port();
}

bool ReadAll(int fd, void* data, size_t length) {
  auto* p = static_cast<char*>(data);
  while (length > 0) {
    ssize_t n = recv(fd, p, length, 0);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const void* data, size_t length) {
  const auto* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t n = send(fd, p, length, MSG_NOSIGNAL);
    if (n <= 0) return false;
    p += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

std::vector<char> Pattern(size_t size, unsigned seed) {
  std::vector<char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 12)) & 0xff);
  return bytes;
}

class CapturedStderr {
 public:
  CapturedStderr() { testing::internal::CaptureStderr(); }
  ~CapturedStderr() {
    if (!taken_) testing::internal::GetCapturedStderr();
  }
  std::string Take() {
    taken_ = true;
    return testing::internal::GetCapturedStderr();
  }

 private:
  bool taken_ = false;
};

TEST(SocketTest, RefusedConnectFailsAndLeavesReadWriteAtZero) {
  CapturedStderr err;
  Tcp tcp;
  EXPECT_FALSE(tcp.Connect(LoopbackHost(), FreePort()));
  char byte = 0;
  EXPECT_EQ(tcp.Read(&byte, 1), 0);
  EXPECT_EQ(tcp.Write(&byte, 1), 0);
  EXPECT_NE(err.Take().find("connect remote server failed=111"), std::string::npos);
}

TEST(SocketTest, HostThatIsNotDottedIPv4IsRefused) {
  CapturedStderr err;
  Listener listener;
  std::string name = "localhost";
  Tcp tcp;
  EXPECT_FALSE(tcp.Connect(name, listener.port()));
  Udp udp;
  std::string bad = "127.0.0";
  EXPECT_FALSE(udp.Connect(bad, 9));
  const std::string text = err.Take();
  EXPECT_NE(text.find("invalid IPv4 address=localhost"), std::string::npos);
  EXPECT_NE(text.find("invalid IPv4 address=127.0.0"), std::string::npos);
  EXPECT_EQ(listener.Accept(100), -1);
}

TEST(NativeTest, ReceiveConnectionComesFirst) {
  {
    CapturedStderr err;
    Listener send_listener;
    Native native;
    EXPECT_FALSE(native.Connect(LoopbackHost(), send_listener.port(), FreePort()));
    EXPECT_NE(err.Take().find("connect recv socket failed"), std::string::npos);
    EXPECT_EQ(send_listener.Accept(100), -1);
  }
  {
    CapturedStderr err;
    Listener recv_listener;
    Native native;
    EXPECT_FALSE(native.Connect(LoopbackHost(), FreePort(), recv_listener.port()));
    EXPECT_NE(err.Take().find("connect send socket failed"), std::string::npos);
  }
}

// A Native connected to two listeners of the test; recv_peer_ is the node's
// writing end, send_peer_ its reading end.
class NativeLinkTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(native_.Connect(LoopbackHost(), send_listener_.port(), recv_listener_.port()));
    recv_peer_ = recv_listener_.Accept();
    send_peer_ = send_listener_.Accept();
    ASSERT_GE(recv_peer_, 0);
    ASSERT_GE(send_peer_, 0);
    EXPECT_EQ(native_.Host(), LoopbackHost());
  }
  void TearDown() override {
    if (recv_peer_ >= 0) close(recv_peer_);
    if (send_peer_ >= 0) close(send_peer_);
  }

  Listener recv_listener_;
  Listener send_listener_;
  Native native_;
  int recv_peer_ = -1;
  int send_peer_ = -1;
};

TEST_F(NativeLinkTest, LargeTransfersArriveWholeBothWays) {
  const std::vector<char> out = Pattern(48 << 20, 1);
  auto reader = std::async(std::launch::async, [&] {
    std::vector<char> got(out.size());
    return ReadAll(send_peer_, got.data(), got.size()) && got == out;
  });
  EXPECT_TRUE(native_.Send(const_cast<char*>(out.data()), out.size()));
  EXPECT_TRUE(reader.get());

  const std::vector<char> in = Pattern(48 << 20, 2);
  auto writer = std::async(std::launch::async, [&] { return WriteAll(recv_peer_, in.data(), in.size()); });
  std::vector<char> got(in.size());
  EXPECT_TRUE(native_.Recv(got.data(), got.size()));
  EXPECT_TRUE(writer.get());
  EXPECT_EQ(got, in);

  EXPECT_TRUE(native_.Send(nullptr, 0));
  EXPECT_TRUE(native_.Recv(nullptr, 0));
}

TEST_F(NativeLinkTest, ClosedPeerFailsRecvWithZeroAndSendWithoutSignal) {
  CapturedStderr err;
  close(recv_peer_);
  recv_peer_ = -1;
  char buf[16];
  EXPECT_FALSE(native_.Recv(buf, sizeof(buf)));

  close(send_peer_);
  send_peer_ = -1;
  // The first sends may still be taken by the socket buffer; a reset peer
  // fails the next ones. SIGPIPE would end this test process.
  std::vector<char> chunk(1 << 20, 'x');
  bool failed = false;
  for (int i = 0; i < 256 && !failed; ++i) failed = !native_.Send(chunk.data(), chunk.size());
  EXPECT_TRUE(failed);
  const std::string text = err.Take();
  EXPECT_NE(text.find("network recv socket error=0 happened"), std::string::npos);
  EXPECT_NE(text.find("network send socket error="), std::string::npos);
}

TEST_F(NativeLinkTest, ShutdownEndsABlockedRecvQuietly) {
  CapturedStderr err;
  auto blocked = std::async(std::launch::async, [&] {
    char buf[8];
    return native_.Recv(buf, sizeof(buf));
  });
  EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  native_.Shutdown();
  ASSERT_EQ(blocked.wait_for(std::chrono::seconds(2)), std::future_status::ready);
  EXPECT_FALSE(blocked.get());
  char byte = 1;
  EXPECT_FALSE(native_.Send(&byte, 1));
  EXPECT_EQ(err.Take(), "");
}

// The node's side of a Light link: a TCP listener that announces the UDP
// port of a datagram socket of the test.
class LightLinkTest : public testing::Test {
 protected:
  void SetUp() override {
    udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(udp_, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    socklen_t len = sizeof(addr);
    getsockname(udp_, reinterpret_cast<sockaddr*>(&addr), &len);
    udp_port_ = ntohs(addr.sin_port);
    timeval tv{2, 0};
    setsockopt(udp_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  }
  void TearDown() override {
    if (tcp_peer_ >= 0) close(tcp_peer_);
    close(udp_);
  }

  // Connects the transport; the announcement is written one byte at a time
  // with a pause between, as a slow node might.
  void ConnectSplitAnnouncement() {
    auto node = std::async(std::launch::async, [&] {
      int peer = listener_.Accept();
      unsigned char port[2] = {static_cast<unsigned char>(udp_port_ & 0xff),
                               static_cast<unsigned char>(udp_port_ >> 8)};
      WriteAll(peer, &port[0], 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      WriteAll(peer, &port[1], 1);
      return peer;
    });
    ASSERT_TRUE(light_.Connect(LoopbackHost(), 0, listener_.port()));
    tcp_peer_ = node.get();
    ASSERT_GE(tcp_peer_, 0);
  }

  // The next datagram that reaches the node's socket; empty after 2 s.
  std::string NextDatagram() {
    char buf[2048];
    ssize_t n = recv(udp_, buf, sizeof(buf), 0);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
  }

  // Plain values: gtest takes its arguments by reference, which a packed
  // field must not bind.
  static uint64_t SeqOf(const std::string& datagram) { return LoadRecord<LightHeader>(datagram.data()).seq; }
  static uint64_t LengthOf(const std::string& datagram) { return LoadRecord<LightHeader>(datagram.data()).length; }

  Listener listener_;
  Light light_;
  int udp_ = -1;
  unsigned short udp_port_ = 0;
  int tcp_peer_ = -1;
};

TEST_F(LightLinkTest, SendCutsDatagramsOf1456AndNumbersThem) {
  ConnectSplitAnnouncement();
  const std::vector<char> bytes = Pattern(3000, 3);
  ASSERT_TRUE(light_.Send(const_cast<char*>(bytes.data()), bytes.size()));
  const size_t expected_payloads[] = {1456, 1456, 88};
  size_t offset = 0;
  for (uint64_t seq = 0; seq < 3; ++seq) {
    const std::string datagram = NextDatagram();
    ASSERT_EQ(datagram.size(), 16 + expected_payloads[seq]);
    EXPECT_EQ(SeqOf(datagram), seq);
    EXPECT_EQ(LengthOf(datagram), expected_payloads[seq]);
    EXPECT_EQ(std::memcmp(datagram.data() + 16, bytes.data() + offset, expected_payloads[seq]), 0);
    offset += expected_payloads[seq];
  }
  char five[5] = {'a', 'b', 'c', 'd', 'e'};
  ASSERT_TRUE(light_.Send(five, sizeof(five)));
  const std::string small = NextDatagram();
  ASSERT_EQ(small.size(), 21u);
  EXPECT_EQ(SeqOf(small), 3u);
  EXPECT_EQ(small.substr(16), "abcde");
  EXPECT_TRUE(light_.Send(nullptr, 0));
}

TEST_F(LightLinkTest, ResendOfTheNextNumberIsABareHeaderThatUsesNoNumber) {
  ConnectSplitAnnouncement();
  ASSERT_TRUE(light_.ResendLightPacket(0));
  const std::string bare = NextDatagram();
  ASSERT_EQ(bare.size(), 16u);
  EXPECT_EQ(SeqOf(bare), 0u);
  EXPECT_EQ(LengthOf(bare), 0u);
  char byte = 'z';
  ASSERT_TRUE(light_.Send(&byte, 1));
  const std::string first = NextDatagram();
  ASSERT_EQ(first.size(), 17u);
  EXPECT_EQ(SeqOf(first), 0u);
}

TEST_F(LightLinkTest, ResendSendsTheCachedDatagramAndForgetsLowerNumbers) {
  ConnectSplitAnnouncement();
  std::vector<std::string> sent;
  for (int i = 0; i < 10; ++i) {
    std::string payload = "datagram-" + std::to_string(i);
    ASSERT_TRUE(light_.Send(payload.data(), payload.size()));
    sent.push_back(NextDatagram());
  }
  ASSERT_TRUE(light_.ResendLightPacket(4));
  EXPECT_EQ(NextDatagram(), sent[4]);
  ASSERT_TRUE(light_.ResendLightPacket(4));  // 4 itself stays cached
  EXPECT_EQ(NextDatagram(), sent[4]);
  ASSERT_TRUE(light_.ResendLightPacket(9));
  EXPECT_EQ(NextDatagram(), sent[9]);

  CapturedStderr err;
  EXPECT_FALSE(light_.ResendLightPacket(2));  // forgotten
  EXPECT_FALSE(light_.ResendLightPacket(8));  // forgotten by the resend of 9
  EXPECT_FALSE(light_.ResendLightPacket(11));  // above next_seq_ (10)
  const std::string text = err.Take();
  size_t count = 0;
  for (size_t at = text.find("the cached light packet did not exist"); at != std::string::npos;
       at = text.find("the cached light packet did not exist", at + 1)) {
    ++count;
  }
  EXPECT_EQ(count, 3u);
}

TEST_F(LightLinkTest, MissingAnnouncementFailsConnect) {
  CapturedStderr err;
  auto node = std::async(std::launch::async, [&] {
    int peer = listener_.Accept();
    unsigned char half = 1;
    WriteAll(peer, &half, 1);  // one byte, then gone
    close(peer);
  });
  EXPECT_FALSE(light_.Connect(LoopbackHost(), 0, listener_.port()));
  node.get();
  EXPECT_NE(err.Take().find("recv udp port error=0 happened"), std::string::npos);
}

}  // namespace
