#include "bench/server/bare_roads.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <semaphore.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "bench/bench_util.h"
#include "common/records.h"
#include "common/response_batch.h"

namespace bench {
namespace {

int Listen(uint16_t* port, int type) {
  int fd = socket(AF_INET, type, 0);
  int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
  if (type == SOCK_STREAM && listen(fd, 4) != 0) return -1;
  socklen_t len = sizeof(addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

int Connect(uint16_t port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return -1;
  return fd;
}

bool SendAll(int fd, const void* data, size_t len) {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = send(fd, p, std::min<size_t>(len, 1 << 30), MSG_NOSIGNAL);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool RecvAll(int fd, void* data, size_t len) {
  char* p = static_cast<char*>(data);
  while (len > 0) {
    ssize_t n = recv(fd, p, std::min<size_t>(len, 1 << 30), 0);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      return false;
    }
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

// Answers every request record like the reference node's test module does
// for echo (the payload back) and fail (result arg0, nothing back).
void EchoServer(int listen_fd) {
  int fd = accept(listen_fd, nullptr, nullptr);
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  std::vector<char> in(size_t{1} << 20);
  std::vector<char> body;
  std::string answer;
  size_t have = 0;
  for (;;) {
    while (have < sizeof(RequestBatchHeader)) {
      ssize_t n = recv(fd, in.data() + have, in.size() - have, 0);
      if (n <= 0) _exit(0);
      have += static_cast<size_t>(n);
    }
    RequestBatchHeader batch = LoadRecord<RequestBatchHeader>(in.data());
    const size_t whole = sizeof(batch) + batch.size;
    if (in.size() < whole) in.resize(whole);
    while (have < whole) {
      ssize_t n = recv(fd, in.data() + have, in.size() - have, 0);
      if (n <= 0) _exit(0);
      have += static_cast<size_t>(n);
    }
    RequestHeader entry = LoadRecord<RequestHeader>(in.data() + sizeof(batch));
    const char* payload = in.data() + sizeof(batch) + sizeof(entry);
    uint64_t arg0 = 0;
    if (entry.argc > 0) std::memcpy(&arg0, payload, 8);
    const bool echo = entry.api == k_testEcho;
    const size_t out_payload = echo ? entry.size : 0;
    answer.resize(kSingleResponseHeadBytes + out_payload);
    const ResponseHeader reply = AnswerEntry(entry, echo ? 0u : static_cast<uint32_t>(arg0), out_payload);
    const size_t head = StoreSingleResponseHead(&answer[0], batch.pid, reply);
    if (out_payload > 0) std::memcpy(&answer[head], payload, out_payload);
    if (!SendAll(fd, answer.data(), answer.size())) _exit(0);
    std::memmove(in.data(), in.data() + whole, have - whole);
    have -= whole;
  }
}

// The daemon's two roads with nothing else: request ring to TCP on one
// thread, TCP to response ring on another.
void Forwarder(const std::string& request_name, const std::string& response_name, uint16_t echo_port,
               int ready_fd) {
  std::string req = request_name, resp = response_name;
  RingBuffer request(req, kRingBufferSize, true);
  RingBuffer response(resp, kRingBufferSize, true);
  int fd = Connect(echo_port);
  char c = fd >= 0 ? 1 : 0;
  if (write(ready_fd, &c, 1) != 1 || fd < 0) _exit(1);
  std::thread answers([&] {
    for (;;) {
      char head[sizeof(ResponseBatchHeader)];
      if (!RecvAll(fd, head, sizeof(head))) _exit(0);
      ResponseBatchHeader h = LoadRecord<ResponseBatchHeader>(head);
      for (;;) {
        RingBufferStatus st = response.Write(sizeof(head) + h.size, [&](void* dst) {
          std::memcpy(dst, head, sizeof(head));
          return RecvAll(fd, static_cast<char*>(dst) + sizeof(head), h.size) ? kRingSuccess : kRingRecvFailed;
        });
        if (st == kRingSuccess) break;
        if (st != kRingFull) _exit(0);
        usleep(1000);
      }
    }
  });
  for (;;) {
    RingBufferStatus st = request.Read([&](void* data, size_t len) {
      const char* p = static_cast<const char*>(data);
      while (len > 0) {
        RequestBatchHeader h = LoadRecord<RequestBatchHeader>(p);
        if (!SendAll(fd, p, sizeof(h)) || !SendAll(fd, p + sizeof(h), h.size)) return kRingSendFailed;
        p += sizeof(h) + h.size;
        len -= sizeof(h) + h.size;
      }
      return kRingSuccess;
    });
    if (st != kRingSuccess && st != kRingEmpty) _exit(0);
  }
}

}  // namespace

std::unique_ptr<FloorRoad> FloorRoad::Start() {
  std::unique_ptr<FloorRoad> road(new FloorRoad());
  uint16_t port = 0;
  int listen_fd = Listen(&port, SOCK_STREAM);
  if (listen_fd < 0) return nullptr;
  road->echo_ = fork();
  if (road->echo_ == 0) EchoServer(listen_fd);
  close(listen_fd);

  const std::string suffix = std::to_string(getpid()) + "_" + GenerateRandomString(8);
  const std::string request_name = "zantu_floor_request_" + suffix;
  const std::string response_name = "zantu_floor_response_" + suffix;
  int ready[2];
  if (pipe(ready) != 0) return nullptr;
  road->forwarder_ = fork();
  if (road->forwarder_ == 0) Forwarder(request_name, response_name, port, ready[1]);
  char c = 0;
  bool ok = read(ready[0], &c, 1) == 1 && c == 1;
  close(ready[0]);
  close(ready[1]);
  if (!ok) return nullptr;
  road->request_name_ = request_name;
  road->response_name_ = response_name;
  std::string req = request_name, resp = response_name;
  road->request_ = std::make_unique<RingBuffer>(req, kRingBufferSize, false);
  road->response_ = std::make_unique<RingBuffer>(resp, kRingBufferSize, false);
  return road;
}

FloorRoad::~FloorRoad() {
  request_.reset();
  response_.reset();
  for (pid_t pid : {forwarder_, echo_}) {
    if (pid > 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
  RemoveBellOf(forwarder_);
  // The forwarder created the rings and is killed: unlink in its place.
  shm_unlink(("/" + request_name_).c_str());
  shm_unlink(("/" + response_name_).c_str());
}

namespace {

// Where a caller of the hand-off floor waits; its address travels as the
// request's `request` field and comes back in the answer.
struct Waiter {
  Waiter() { sem_init(&sem, 0, 0); }
  ~Waiter() { sem_destroy(&sem); }
  sem_t sem;
};

}  // namespace

std::unique_ptr<HandOffFloor> HandOffFloor::Start() {
  std::unique_ptr<HandOffFloor> floor(new HandOffFloor());
  floor->road_ = FloorRoad::Start();
  if (floor->road_ == nullptr) return nullptr;
  floor->loop_ = std::thread(&HandOffFloor::ResponseLoop, floor.get());
  return floor;
}

HandOffFloor::~HandOffFloor() {
  quit_.store(true, std::memory_order_relaxed);
  if (loop_.joinable()) loop_.join();
}

bool HandOffFloor::Call(std::string* record) {
  Waiter waiter;
  StoreRecord(record->data() + sizeof(RequestBatchHeader), reinterpret_cast<uint64_t>(&waiter));
  {
    std::lock_guard<std::mutex> lock(write_mutex_);
    if (!WriteRecord(road_->request(), record->data(), record->size())) return false;
  }
  // Bounded, so a road that broke ends the benchmark instead of hanging it.
  timespec deadline;
  clock_gettime(CLOCK_REALTIME, &deadline);
  deadline.tv_sec += 10;
  int waited;
  while ((waited = sem_timedwait(&waiter.sem, &deadline)) != 0 && errno == EINTR) {
  }
  return waited == 0;
}

void HandOffFloor::ResponseLoop() {
  auto consume = [](void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    ResponseRecordWalker records(p, length);
    ResponseRecordWalker::Item record;
    while (records.Next(&record) == ResponseStep::kItem) {
      ResponseEntryWalker entries(p + record.body(), record.header.size, record.header.count);
      ResponseEntryWalker::Item entry;
      if (entries.Next(&entry) == ResponseStep::kItem) sem_post(&reinterpret_cast<Waiter*>(entry.header.request)->sem);
    }
    return kRingSuccess;
  };
  while (!quit_.load(std::memory_order_relaxed)) {
    const RingBufferStatus status = road_->response().Read(consume);
    if (status != kRingSuccess && status != kRingEmpty) break;
  }
}

// Both ends of the raw stream move 64 MiB per call, like the daemon's bulk
// records, so neither side replays a buffer that stays in the cache.
constexpr size_t kStreamBuffer = size_t{64} << 20;

double RawTcpStream(uint64_t bytes) {
  uint16_t port = 0;
  int listen_fd = Listen(&port, SOCK_STREAM);
  pid_t receiver = fork();
  if (receiver == 0) {
    int fd = accept(listen_fd, nullptr, nullptr);
    std::vector<char> buf(kStreamBuffer);
    uint64_t got = 0;
    while (got < bytes) {
      ssize_t n = recv(fd, buf.data(), buf.size(), 0);
      if (n <= 0) _exit(1);
      got += static_cast<uint64_t>(n);
    }
    char done = 1;
    SendAll(fd, &done, 1);
    _exit(0);
  }
  close(listen_fd);
  int fd = Connect(port);
  std::vector<char> source(kStreamBuffer, 't');
  const int64_t t0 = NowNs();
  for (uint64_t sent = 0; sent < bytes;) {
    size_t n = std::min<uint64_t>(source.size(), bytes - sent);
    if (!SendAll(fd, source.data(), n)) break;
    sent += n;
  }
  char done = 0;
  RecvAll(fd, &done, 1);
  const int64_t elapsed = NowNs() - t0;
  close(fd);
  waitpid(receiver, nullptr, 0);
  return bytes * 1e9 / elapsed;
}

double RawUdpStream(uint64_t bytes, double* lost) {
  constexpr size_t kDatagram = 1472;
  uint16_t port = 0;
  int rx = Listen(&port, SOCK_DGRAM);
  int big = 64 << 20;
  setsockopt(rx, SOL_SOCKET, SO_RCVBUF, &big, sizeof(big));
  int report[2];
  if (pipe(report) != 0) return 0;
  pid_t receiver = fork();
  if (receiver == 0) {
    timeval tv{0, 300000};  // the stream has ended after 300 ms of silence
    setsockopt(rx, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    char buf[kDatagram];
    uint64_t got = 0;
    int64_t first = 0, last = 0;
    for (;;) {
      ssize_t n = recv(rx, buf, sizeof(buf), 0);
      if (n <= 0) break;
      if (first == 0) first = NowNs();
      last = NowNs();
      got += static_cast<uint64_t>(n);
    }
    int64_t result[3] = {static_cast<int64_t>(got), first, last};
    if (write(report[1], result, sizeof(result)) != sizeof(result)) _exit(1);
    _exit(0);
  }
  close(rx);
  int tx = socket(AF_INET, SOCK_DGRAM, 0);
  setsockopt(tx, SOL_SOCKET, SO_SNDBUF, &big, sizeof(big));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  std::vector<char> datagram(kDatagram, 'u');
  const int64_t t0 = NowNs();
  uint64_t sent = 0;
  while (sent < bytes) {
    if (sendto(tx, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) > 0) {
      sent += kDatagram;
    }
  }
  close(tx);
  int64_t result[3] = {0, 0, 0};
  if (read(report[0], result, sizeof(result)) != sizeof(result)) result[0] = 0;
  waitpid(receiver, nullptr, 0);
  close(report[0]);
  close(report[1]);
  *lost = 1.0 - static_cast<double>(result[0]) / static_cast<double>(sent);
  const int64_t elapsed = result[2] - t0;
  return elapsed > 0 ? result[0] * 1e9 / elapsed : 0;
}

}  // namespace bench
