// The registration service: one 4-byte pid datagram in, the client's two ring
// buffers created, one reply datagram out (layout in common/registration.h).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "common/log.h"
#include "common/registration.h"
#include "server/peer_check.h"
#include "server/zantu.h"

namespace {

// The user and group of process `pid`; false if it does not exist.
bool ProcessOwner(uint64_t pid, uid_t* uid, gid_t* gid) {
  struct stat st;
  const std::string path = "/proc/" + std::to_string(pid);
  if (stat(path.c_str(), &st) != 0) return false;
  *uid = st.st_uid;
  *gid = st.st_gid;
  return true;
}

}  // namespace

void Zantu::CloseServerSocket() {
  std::lock_guard<std::mutex> lock(server_socket_mutex_);
  if (server_socket_ != -1) close(server_socket_);
  server_socket_ = -1;
}

void Zantu::Server() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  const int socket_errno = errno;
  {
    std::lock_guard<std::mutex> lock(server_socket_mutex_);
    server_socket_ = fd;
  }
  // Any failure below ends the service and, unless already quitting, the
  // daemon.
  auto stop = [this] {
    CloseServerSocket();
    if (!quit_.load(std::memory_order_acquire)) Quit();
  };
  if (fd < 0) {
    ZANTU_ERROR("Socket creation failed=%d", socket_errno);
    stop();
    return;
  }
  // Loopback only: the reply means something on this machine alone, and an
  // open port would let any host make the daemon create shared memory.
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kRegistrationPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  if (bound != 0) {
    ZANTU_ERROR("Bind failed=%d", bound);
    stop();
    return;
  }
  if (quit_.load(std::memory_order_acquire)) {
    CloseServerSocket();
    return;
  }

  for (;;) {
    uint32_t pid32 = 0;
    sockaddr_in peer{};
    socklen_t peer_len = sizeof(peer);  // 16
    ssize_t n;
    do {
      peer_len = sizeof(peer);
      n = recvfrom(fd, &pid32, sizeof(pid32), 0, reinterpret_cast<sockaddr*>(&peer), &peer_len);
    } while (n < 0 && errno == EINTR);
    // Quit shuts the socket down, which ends the receive.
    if (quit_.load(std::memory_order_acquire)) {
      CloseServerSocket();
      return;
    }
    if (n < 0) {
      ZANTU_ERROR("recv data failed=%d", errno);
      stop();
      return;
    }
    if (static_cast<size_t>(n) < kRegistrationRequestSize) {
      ZANTU_ERROR("registration datagram of %zd bytes is shorter than a pid, ignored", n);
      continue;
    }

    // Only the process itself may register its pid: re-registration
    // replaces a client's rings, so anybody else could tear them down.
    std::string why;
    if (!PeerHoldsSocket(pid32, peer, kRegistrationPort, &why)) {
      ZANTU_ERROR("registration of pid=%u from port %u refused: %s", pid32, ntohs(peer.sin_port), why.c_str());
      continue;
    }
    std::string key;
    if (!RegisterClient(pid32, &key)) continue;

    const size_t gpu_count = gpus_.size();
    const size_t node_count = networks_.size();
    const size_t reply_size = ReplySize(gpu_count, node_count);
    if (reply_size > kMaxReplySize) {
      ZANTU_ERROR("response data was too large for current config!");
      stop();
      return;
    }
    std::vector<uint8_t> reply(reply_size, 0);
    uint8_t* p = reply.data();
    std::memcpy(p, key.data(), kKeySize);
    p += kKeySize;
    StoreRecord(p, static_cast<uint32_t>(gpu_count));
    p += 4;
    for (const GPU& gpu : gpus_) {
      StoreRecord(p, gpu.index);
      p += 4;
    }
    for (const GPU& gpu : gpus_) {
      StoreRecord(p, gpu.node);
      p += 4;
    }
    StoreRecord(p, static_cast<uint32_t>(node_count));
    p += 4;
    for (uint32_t node = 0; node < node_count; ++node) {
      NodeInfo info;
      std::memset(&info, 0, sizeof(info));
      auto network = networks_.find(node);
      if (network != networks_.end() && network->second != nullptr) {
        // strncpy with bound 16: zero-filled, no NUL for 16 characters or more.
        const std::string& host = network->second->Host();
        std::memcpy(info.host, host.data(), std::min(host.size(), sizeof(info.host)));
      }
      auto port = node_ports_.find(node);
      info.port = port == node_ports_.end() ? 0 : port->second;
      StoreRecord(p, info);
      p += sizeof(NodeInfo);
    }

    ssize_t sent;
    do {
      sent = sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&peer), peer_len);
    } while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(reply.size())) {
      ZANTU_ERROR("send register info failed=%d", sent < 0 ? errno : 0);
      stop();
      return;
    }
    if (quit_.load(std::memory_order_acquire)) {
      CloseServerSocket();
      return;
    }
  }
}

bool Zantu::RegisterClient(uint64_t pid, std::string* key) {
  // A registered client before its rings exist: the request worker releases
  // a ring whose pid is not in clients_ as soon as it finds it empty.
  // A pid taken over by a new process must not be taken for the old one
  // that exited: the liveness check forgets the old start time, and a check
  // already under way does not drop the pid (fresh_clients_).
  RefreshExitedPidsState(pid);
  bool inserted;
  {
    std::lock_guard<std::mutex> lock(clients_mutex_);
    inserted = clients_.insert(pid).second;
    fresh_clients_.insert(pid);
  }
  auto undo = [this, pid, inserted] {
    if (!inserted) return;
    std::lock_guard<std::mutex> lock(clients_mutex_);
    clients_.erase(pid);
  };

  *key = GenerateRandomString(kKeyChars);
  key->push_back('\0');
  // The names end with the key's NUL; the ring reads them up to it.
  std::string request_name = std::string(kRequestRingPrefix) + *key;
  std::string response_name = std::string(kResponseRingPrefix) + *key;

  // Both rings are made before either is installed, so a failure leaves the
  // tables (and an earlier registration of the pid) as they were.
  RingBuffer* request_ring = nullptr;
  RingBuffer* response_ring = nullptr;
  try {
    request_ring = new RingBuffer(request_name, kRingBufferSize, true);
    response_ring = new RingBuffer(response_name, kRingBufferSize, true);
  } catch (const std::system_error& e) {
    const int err = e.code().value();
    if (err == EMFILE || err == ENFILE) {
      ZANTU_ERROR("registration of pid=%lu failed: out of file descriptors (%s)", static_cast<unsigned long>(pid),
                  e.what());
    } else {
      ZANTU_ERROR("create ring buffers for pid=%lu failed: %s", static_cast<unsigned long>(pid), e.what());
    }
    delete request_ring;
    undo();
    return false;
  } catch (const std::exception& e) {
    ZANTU_ERROR("create ring buffers for pid=%lu failed: %s", static_cast<unsigned long>(pid), e.what());
    delete request_ring;
    undo();
    return false;
  }
  if (geteuid() == 0) {
    // Rings are 0600; the client process must be able to open them.
    uid_t uid;
    gid_t gid;
    int err = ESRCH;
    bool owned = ProcessOwner(pid, &uid, &gid);
    if (owned) {
      owned = request_ring->SetOwner(uid, gid) && response_ring->SetOwner(uid, gid);
      err = errno;
    }
    if (!owned) {
      ZANTU_ERROR("give ring buffers to the owner of pid=%lu failed=%d", static_cast<unsigned long>(pid), err);
      delete request_ring;
      delete response_ring;
      undo();
      return false;
    }
  }

  // The response ring goes first: a release request of a response worker
  // names a response ring, and once the old one is replaced no request can
  // release the new pair (see ServeReleaseRequests).
  {
    std::lock_guard<std::mutex> lock(ResponseMutex(pid));
    delete ExchangeResponseRing(pid, response_ring);
    ForgetReleaseRequests(pid);
  }

  registering_.store(true, std::memory_order_seq_cst);
  // A request worker asleep in Read holds request_mutex_; ring it awake.
  RingBuffer::WakeLocalReaders();
  {
    std::lock_guard<std::mutex> lock(request_mutex_);
    auto it = request_rbs_.find(pid);
    if (it != request_rbs_.end()) {
      // The pid registers again: the nodes forget the earlier incarnation
      // before its rings go.
      SendClientExit(pid);
      delete it->second;
      it->second = request_ring;
    } else {
      request_rbs_.emplace(pid, request_ring);
    }
    registering_.store(false, std::memory_order_seq_cst);
  }
  request_cv_.notify_all();
  return true;
}
