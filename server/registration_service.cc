// The registration service: one 4-byte pid datagram in, the client's two ring
// buffers created, one reply datagram out (both encoded and decoded in
// common/registration_format.h).
//
// A crowd of clients starting at once is served in batches: every datagram
// waiting is taken and only the newest of each pid served (a client retries
// from a new socket and takes the answer to its newest attempt only).
#include "common/registration.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <vector>

#include "common/log.h"
#include "common/registration_format.h"
#include "server/peer_check.h"
#include "server/zantu.h"

namespace {

// Datagrams taken in one batch: a crowd of clients starting at once.
constexpr size_t kRegistrationBatch = 1024;
// Room for a crowd's datagrams while the service makes rings.
constexpr int kRegistrationReceiveBuffer = 8 << 20;

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
  zantu::MutexLock lock(&server_socket_mutex_);
  if (server_socket_ != -1) close(server_socket_);
  server_socket_ = -1;
}

void Zantu::Server() {
  const int fd = OpenServerSocket();
  std::vector<PendingRegistration> batch;
  // Every way out ends the service and, unless already quitting, the daemon.
  bool serving = fd >= 0;
  while (serving && !Quitting()) {
    if (ReceiveRegistrations(fd, &batch) == Received::kEnd) break;
    for (const PendingRegistration& pending : batch) {
      serving = ServeRegistration(fd, pending);
      if (!serving) break;
    }
  }
  CloseServerSocket();
  if (!Quitting()) Quit();
}

bool Zantu::ServeRegistration(int fd, const PendingRegistration& pending) {
  const uint32_t pid = pending.pid;
  // Only the process itself may register its pid: re-registration
  // replaces a client's rings, so anybody else could tear them down.
  std::string why;
  if (!PeerHoldsSocket(pid, pending.peer, kRegistrationPort, &why)) {
    ZANTU_ERROR("registration of pid=%u from port %u refused: %s", pid, ntohs(pending.peer.sin_port), why.c_str());
    return true;
  }
  std::string key;
  if (!RegisterClient(pid, &key)) return true;
  return AnswerRegistration(fd, key, pending.peer, pending.peer_len);
}

int Zantu::OpenServerSocket() {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
  const int socket_errno = errno;
  {
    zantu::MutexLock lock(&server_socket_mutex_);
    server_socket_ = fd;
  }
  if (fd < 0) {
    ZANTU_ERROR_AS("Server", "Socket creation failed=%d", socket_errno);
    return -1;
  }
  // Loopback only: the reply means something on this machine alone, and an
  // open port would let any host make the daemon create shared memory.
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(kRegistrationPort);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  // A crowd of clients starting at once must not overflow the socket: a
  // lost datagram costs its client a retry and the service a repeat. Past
  // the system's limit where allowed (as root).
  const int buffer = kRegistrationReceiveBuffer;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
  }
  const int bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
  if (bound != 0) {
    ZANTU_ERROR_AS("Server", "Bind failed=%d", bound);
    return -1;
  }
  return fd;
}

Zantu::Received Zantu::ReceiveRegistrations(int fd, std::vector<PendingRegistration>* batch) {
  batch->clear();
  for (size_t taken = 0; taken < kRegistrationBatch; ++taken) {
    uint8_t datagram[kRegistrationRequestSize];
    PendingRegistration pending{};
    ssize_t n;
    do {
      pending.peer_len = sizeof(pending.peer);
      // The first one is waited for; those behind it are taken as they are.
      n = recvfrom(fd, datagram, sizeof(datagram), taken == 0 ? 0 : MSG_DONTWAIT,
                   reinterpret_cast<sockaddr*>(&pending.peer), &pending.peer_len);
    } while (n < 0 && errno == EINTR);
    // Quit shuts the socket down, which ends the receive.
    if (Quitting()) return Received::kEnd;
    if (n < 0 && taken > 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (n < 0) {
      ZANTU_ERROR_AS("Server", "recv data failed=%d", errno);
      return Received::kEnd;
    }
    if (!DecodeRegistrationRequest(datagram, static_cast<size_t>(n), &pending.pid)) {
      ZANTU_ERROR_AS("Server", "registration datagram of %zd bytes is shorter than a pid, ignored", n);
      continue;
    }
    // A newer datagram of the same pid takes the older one's place.
    auto same = std::find_if(batch->begin(), batch->end(),
                             [&pending](const PendingRegistration& p) { return p.pid == pending.pid; });
    if (same != batch->end()) batch->erase(same);
    batch->push_back(pending);
  }
  return Received::kPids;
}

bool Zantu::AnswerRegistration(int fd, const std::string& key, const sockaddr_in& peer, socklen_t peer_len) {
  RegistrationReply contents;
  contents.key = key;
  for (const GPU& gpu : gpus_) {
    contents.gpu_indexes.push_back(gpu.index);
    contents.gpu_nodes.push_back(gpu.node);
  }
  // Nodes are numbered 0 .. N-1 (main checks it); the reply lists them so.
  for (uint32_t node = 0; node < networks_.size(); ++node) {
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
    contents.nodes.push_back(info);
  }
  std::vector<uint8_t> reply;
  if (!EncodeReply(contents, &reply)) {
    ZANTU_ERROR_AS("Server", "response data was too large for current config!");
    return false;
  }
  ssize_t sent;
  do {
    sent = sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<const sockaddr*>(&peer), peer_len);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(reply.size())) {
    ZANTU_ERROR_AS("Server", "send register info failed=%d", sent < 0 ? errno : 0);
    return false;
  }
  return true;
}

bool Zantu::RegisterClient(uint64_t pid, std::string* key) {
  // A registered client before its rings exist: the request worker releases
  // a ring whose pid is not in clients_ as soon as it finds it empty.
  // The liveness check watches the process through a pidfd, which names
  // this process and no later one with its pid. Without one it polls /proc:
  // then a pid taken over by a new process must not be taken for the old
  // one that exited: the check forgets the old start time, and a check
  // already under way does not drop the pid (fresh_clients_).
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
  const bool gone = pidfd < 0 && errno == ESRCH;
  if (pidfd < 0) RefreshExitedPidsState(pid);
  bool inserted;
  {
    zantu::MutexLock lock(&clients_mutex_);
    if (gone) {
      // Exited already: its rings go once found empty, as for any client
      // that exits.
      inserted = false;
      RemoveExitedClient(pid);
    } else {
      inserted = clients_.insert(pid).second;
      fresh_clients_.insert(pid);
      WatchClient(pid, pidfd);
    }
  }
  *key = GenerateRandomString(kKeyChars);
  key->push_back('\0');
  RingBuffer* request_ring = nullptr;
  RingBuffer* response_ring = nullptr;
  if (!CreateClientRings(pid, *key, &request_ring, &response_ring)) {
    if (inserted) {
      zantu::MutexLock lock(&clients_mutex_);
      clients_.erase(pid);
      UnwatchClient(pid);
    }
    return false;
  }
  InstallClientRings(pid, request_ring, response_ring);
  return true;
}

bool Zantu::CreateClientRings(uint64_t pid, const std::string& key, RingBuffer** request_ring,
                              RingBuffer** response_ring) {
  // The names end with the key's NUL; the ring reads them up to it.
  std::string request_name = std::string(kRequestRingPrefix) + key;
  std::string response_name = std::string(kResponseRingPrefix) + key;
  const unsigned long client = static_cast<unsigned long>(pid);
  try {
    *request_ring = new RingBuffer(request_name, kRingBufferSize, true);
    *response_ring = new RingBuffer(response_name, kRingBufferSize, true);
  } catch (const std::system_error& e) {
    const int err = e.code().value();
    if (err == EMFILE || err == ENFILE) {
      ZANTU_ERROR_AS("RegisterClient", "registration of pid=%lu failed: out of file descriptors (%s)", client,
                     e.what());
    } else {
      ZANTU_ERROR_AS("RegisterClient", "create ring buffers for pid=%lu failed: %s", client, e.what());
    }
    delete *request_ring;
    return false;
  } catch (const std::exception& e) {
    ZANTU_ERROR_AS("RegisterClient", "create ring buffers for pid=%lu failed: %s", client, e.what());
    delete *request_ring;
    return false;
  }
  if (geteuid() != 0) return true;
  // Rings are 0600; the client process must be able to open them.
  uid_t uid;
  gid_t gid;
  int err = ESRCH;
  bool owned = ProcessOwner(pid, &uid, &gid);
  if (owned) {
    owned = (*request_ring)->SetOwner(uid, gid) && (*response_ring)->SetOwner(uid, gid);
    err = errno;
  }
  if (owned) return true;
  ZANTU_ERROR_AS("RegisterClient", "give ring buffers to the owner of pid=%lu failed=%d", client, err);
  delete *request_ring;
  delete *response_ring;
  return false;
}

void Zantu::InstallClientRings(uint64_t pid, RingBuffer* request_ring, RingBuffer* response_ring) {
  // Both rings were made before either is installed, so a failure left the
  // tables (and an earlier registration of the pid) as they were.
  // The response ring goes first: a release request of a response worker
  // names a response ring, and once the old one is replaced no request can
  // release the new pair (see ServeReleaseRequests).
  {
    zantu::MutexLock lock(&ResponseMutex(pid));
    delete ExchangeResponseRing(pid, response_ring);
    ForgetReleaseRequests(pid);
    ForgetOverflow(pid);
  }

  registering_.store(true, std::memory_order_seq_cst);
  // A request worker asleep (in Read, or waiting for a node's answers)
  // holds request_mutex_; wake it.
  WakeRequestWorker();
  {
    zantu::MutexLock lock(&request_mutex_);
    // A new incarnation starts with nothing outstanding and not held back.
    ResetFlow(pid);
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
}
