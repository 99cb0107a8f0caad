// Registration of the process with the daemon at load time: the pid datagram,
// the reply, attaching the two rings and starting the response loop.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "client/internal.h"
#include "client/visible_devices.h"
#include "common/log.h"

int32_t CudaTovrel::pid_ = 0;
RegisterInfo CudaTovrel::register_info_{};
RingBuffer* CudaTovrel::request_rb_ = nullptr;
RingBuffer* CudaTovrel::response_rb_ = nullptr;
std::mutex CudaTovrel::mutex_;
std::atomic<bool> CudaTovrel::initialized_{false};
std::atomic<bool> CudaTovrel::response_loop_working_{false};
std::atomic<bool> CudaTovrel::response_loop_ended_{false};

namespace {

// Closes the registration socket on every path out of Initialize.
class SocketCloser {
 public:
  explicit SocketCloser(int fd) : fd_(fd) {}
  ~SocketCloser() { Close(); }
  SocketCloser(const SocketCloser&) = delete;
  SocketCloser& operator=(const SocketCloser&) = delete;
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

sockaddr_in DaemonAddress() {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kRegistrationPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

// Sends the 4-byte pid. False on failure.
bool SendPid(int fd, int32_t pid) {
  uint8_t datagram[kRegistrationRequestSize];
  const uint32_t value = static_cast<uint32_t>(pid);
  std::memcpy(datagram, &value, sizeof(datagram));  // little-endian host
  const sockaddr_in to = DaemonAddress();
  ssize_t sent;
  do {
    sent = sendto(fd, datagram, sizeof(datagram), 0, reinterpret_cast<const sockaddr*>(&to), sizeof(to));
  } while (sent < 0 && errno == EINTR);
  return sent == static_cast<ssize_t>(sizeof(datagram));
}

// Waits for the daemon's reply, kReplyTimeoutMs in all. Only a datagram from
// 127.0.0.1:9979 counts: anybody on the machine can send to our port. Returns
// the reply's length, or -1 on failure or timeout.
ssize_t ReceiveReply(int fd, uint8_t (&reply)[kMaxReplySize]) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(tovrel::kReplyTimeoutMs);
  const sockaddr_in daemon = DaemonAddress();
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return -1;
    pollfd pfd{fd, POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(left.count()) + 1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return -1;
    if (ready == 0) continue;  // the deadline check above ends the wait
    sockaddr_in from{};
    socklen_t from_length = sizeof(from);
    const ssize_t n = recvfrom(fd, reply, sizeof(reply), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_length);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return -1;
    }
    if (from_length == sizeof(from) && from.sin_family == AF_INET && from.sin_port == daemon.sin_port &&
        from.sin_addr.s_addr == daemon.sin_addr.s_addr) {
      return n;
    }
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
    ZANTU_LOG("ignored a registration reply from %s:%d", text, ntohs(from.sin_port));
  }
}

uint32_t LoadU32(const uint8_t* at) {
  uint32_t v;
  std::memcpy(&v, at, sizeof(v));
  return v;
}

// Decodes the reply into `info`: key[10] | G | G indexes | G nodes | N | N
// NodeInfo. Refuses a reply shorter than its counts imply and counts beyond
// what the record holds.
bool DecodeReply(const uint8_t* reply, size_t length, RegisterInfo* info) {
  *info = RegisterInfo{};
  if (length < ReplySize(0, 0)) {
    ZANTU_ERROR("registration reply refused: %zu bytes", length);
    return false;
  }
  const uint32_t gpus = LoadU32(reply + kKeySize);
  if (gpus > kMaxGpus) {
    ZANTU_ERROR("registration reply refused: gpu count=%u above %u", gpus, kMaxGpus);
    return false;
  }
  const size_t node_count_at = kKeySize + 4 + 8 * size_t{gpus};
  if (length < node_count_at + 4) {
    ZANTU_ERROR("registration reply refused: %zu bytes for %u gpus", length, gpus);
    return false;
  }
  const uint32_t nodes = LoadU32(reply + node_count_at);
  if (nodes > kMaxNodes) {
    ZANTU_ERROR("registration reply refused: node count=%u above %u", nodes, kMaxNodes);
    return false;
  }
  if (length < ReplySize(gpus, nodes)) {
    ZANTU_ERROR("registration reply refused: %zu bytes for %u gpus and %u nodes", length, gpus, nodes);
    return false;
  }
  std::memcpy(info->key, reply, kKeySize);
  info->key[kKeySize - 1] = '\0';
  info->gpu_count = gpus;
  std::memcpy(info->gpu_indexes, reply + kKeySize + 4, 4 * size_t{gpus});
  std::memcpy(info->gpu_nodes, reply + kKeySize + 4 + 4 * size_t{gpus}, 4 * size_t{gpus});
  info->node_count = nodes;
  std::memcpy(info->nodes, reply + node_count_at + 4, sizeof(NodeInfo) * nodes);
  return true;
}

}  // namespace

CudaTovrel::CudaTovrel() : module_(-1) {}

CudaTovrel::~CudaTovrel() = default;

void CudaTovrel::Initialize() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (initialized_.load(std::memory_order_acquire)) return;
  pid_ = getpid();
  ZANTU_LOG("Initialize start, pid=%d tid=%d", pid_, thread_info.tid);

  const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  if (fd < 0) {
    ZANTU_ERROR("Socket creation failed=%d", fd);
    return;
  }
  SocketCloser closer(fd);
  if (!SendPid(fd, pid_)) {
    ZANTU_ERROR("send pid to server failed=%d", -1);
    return;
  }
  uint8_t reply[kMaxReplySize];
  const ssize_t length = ReceiveReply(fd, reply);
  if (length < 0) {
    ZANTU_ERROR("recv info from server failed=%d", -1);
    return;
  }
  RegisterInfo info;
  if (!DecodeReply(reply, static_cast<size_t>(length), &info)) return;
  const std::string key(info.key);
  ZANTU_LOG("Get ring buffer key=%s", key.c_str());

  // The daemon created both rings before it replied; the names carry the key
  // without its NUL. Anything that throws leaves the process unregistered,
  // never aborted.
  RingBuffer* request_rb = nullptr;
  RingBuffer* response_rb = nullptr;
  try {
    std::string request_name = kRequestRingPrefix + key;
    std::string response_name = kResponseRingPrefix + key;
    request_rb = new RingBuffer(request_name, kRingBufferSize, false);
    response_rb = new RingBuffer(response_name, kRingBufferSize, false);
  } catch (const std::exception& e) {
    ZANTU_ERROR("attach ring buffers failed: %s", e.what());
    delete request_rb;
    return;
  }
  register_info_ = info;
  request_rb_ = request_rb;
  response_rb_ = response_rb;
  try {
    std::thread(&CudaTovrel::ResponseLoop).detach();
  } catch (const std::exception& e) {
    ZANTU_ERROR("start response loop failed: %s", e.what());
    request_rb_ = nullptr;
    response_rb_ = nullptr;
    delete request_rb;
    delete response_rb;
    register_info_ = RegisterInfo{};
    return;
  }
  tovrel::ApplyVisibleDevices(std::getenv("CUDA_VISIBLE_DEVICES"), &register_info_);
  initialized_.store(true, std::memory_order_release);
  closer.Close();
  ZANTU_LOG("Initialize done");
}

void CudaTovrel::Uninitialize() {}

const RegisterInfo* CudaTovrel::GetRegisterInfo() const { return &register_info_; }
