// The daemon's core: the tables shared by its threads, and the threads
// themselves (registration service, liveness check, request worker, one
// response worker per node).
//
// Lock order: request_mutex_ before clients_mutex_; request_mutex_ before a
// client's response mutex; a response mutex before response_table_mutex_.
// clients_mutex_ and a response mutex are never held together, no thread
// holds two response mutexes, and response_table_mutex_, release_mutex_,
// server_socket_mutex_ and check_mutex_ are leaves, held only briefly.
//
// Shutdown: Quit sets quit_ and wakes every blocked thread (node sockets and
// the registration socket are shut down, sleeping ring readers are rung).
// Transports, ring buffers and the compressor are deleted only by Run, once
// it has joined every thread.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/records.h"
#include "common/thread_annotations.h"
#include "common/trellan.h"
#include "server/network.h"

// One remote GPU: its index on its node, and the node's id.
struct GPU {
  uint32_t index;
  uint32_t node;
};

class Zantu {
 public:
  Zantu();
  // Deletes none of the transports, rings or the compressor; Run has done so.
  ~Zantu();

  Zantu(const Zantu&) = delete;
  Zantu& operator=(const Zantu&) = delete;

  // Takes the three tables over (the caller's containers are left empty),
  // starts the threads and returns once all have ended, with every transport,
  // ring buffer and the compressor deleted. Called once.
  void Run(std::vector<GPU>& gpus, std::map<unsigned int, Network*>& networks,
           std::map<unsigned int, unsigned short>& node_ports) EXCLUDES(request_mutex_, response_table_mutex_);

  // Starts the shutdown; only the first call has an effect. Any thread.
  void Quit() EXCLUDES(server_socket_mutex_, check_mutex_);

 private:
  // Copies of the records being forwarded, reused from record to record.
  struct ForwardStaging {
    // Bytes of a record to send, in order: from `bytes` (staged; it starts
    // with the record header) or from the record's body in the ring.
    struct Piece {
      bool staged;
      uint64_t offset;
      uint64_t length;
    };
    std::string bytes;
    std::vector<Piece> pieces;
  };

  // Every thread tests this, in its loop and after each wake-up.
  bool Quitting() const { return quit_.load(std::memory_order_acquire); }

  // Thread bodies.
  void Server() EXCLUDES(server_socket_mutex_, request_mutex_, clients_mutex_);
  void IsClientActiveCheck() EXCLUDES(clients_mutex_, check_mutex_);
  void RequestWorker() EXCLUDES(request_mutex_);
  void ResponseWorker(Network* network);

  // Registration service (registration.cc), on its thread.
  // The bound registration socket, installed in server_socket_; -1 after
  // logging why not.
  int OpenServerSocket() EXCLUDES(server_socket_mutex_);
  enum class Received { kPid, kIgnored, kEnd };
  // Waits for the next pid datagram on `fd`. kIgnored for one that is not a
  // registration, kEnd when the service must end (quitting, or a failed
  // receive, logged).
  Received ReceiveRegistration(int fd, uint32_t* pid, sockaddr_in* peer, socklen_t* peer_len);
  // Sends the reply that hands `key` and the GPU and node tables to the
  // client at `peer`. False, after logging, when the service must end.
  bool AnswerRegistration(int fd, const std::string& key, const sockaddr_in& peer, socklen_t peer_len);
  // Creates and installs the pid's two ring buffers under a fresh key
  // (returned in `*key`, 10 bytes with the NUL). On failure logs, undoes
  // the pass and returns false.
  bool RegisterClient(uint64_t pid, std::string* key) EXCLUDES(request_mutex_, clients_mutex_);
  // Creates the two rings named after `key` and hands them to the owner of
  // `pid` when run as root. On failure logs, deletes what it made and
  // returns false.
  static bool CreateClientRings(uint64_t pid, const std::string& key, RingBuffer** request_ring,
                                RingBuffer** response_ring);
  // Installs the pid's new rings in place of any earlier pair.
  void InstallClientRings(uint64_t pid, RingBuffer* request_ring, RingBuffer* response_ring) EXCLUDES(request_mutex_);
  void CloseServerSocket() EXCLUDES(server_socket_mutex_);

  // Liveness check (client_check.cc).
  // Watches pid's process through `pidfd` (owned from here on; -1: none, the
  // pid is then polled through /proc), replacing what watched it before.
  void WatchClient(uint64_t pid, int pidfd) REQUIRES(clients_mutex_);
  // Stops watching pid (closes its pidfd).
  void UnwatchClient(uint64_t pid) REQUIRES(clients_mutex_);
  // The liveness epoll set, created on first use; -1 when it cannot be or
  // the check has ended.
  int LivenessEpoll() REQUIRES(clients_mutex_);
  // Drops `pid` from clients_ as exited and tells the request worker.
  void RemoveExitedClient(uint64_t pid) REQUIRES(clients_mutex_);
  // Waits up to `timeout_ms` for pidfds to report exits and removes those
  // clients.
  void AwaitPidfdExits(int epoll_fd, int timeout_ms) EXCLUDES(clients_mutex_);
  // Polls the clients without a pidfd through /proc.
  void PollUnwatchedClients() EXCLUDES(clients_mutex_);
  void EndLivenessWatch() EXCLUDES(clients_mutex_);

  // Request worker (request_worker.cc).
  // Lets a waiting registration take request_mutex_ first.
  void AwaitRegistrations() REQUIRES(request_mutex_);
  // With no client yet: waits up to 100 ms for the first ring.
  void AwaitFirstClient() REQUIRES(request_mutex_);
  // Takes over the pids the liveness check dropped, if any were dropped
  // since the last call (into departed_).
  void TakeExitedClients() REQUIRES(request_mutex_) EXCLUDES(clients_mutex_);
  // One pass over every client's request ring. False when a node link failed
  // (logged): nothing more can be forwarded in step.
  bool ServeClients(ForwardStaging* staging) REQUIRES(request_mutex_);
  // What follows a Read of its ring with `status` other than a failed
  // link: the next client, after releasing this one where it is due.
  std::map<unsigned long, RingBuffer*>::iterator AfterRead(std::map<unsigned long, RingBuffer*>::iterator it,
                                                           RingBufferStatus status) REQUIRES(request_mutex_);
  void SendClientExit(uint64_t pid) REQUIRES(request_mutex_);
  std::map<unsigned long, RingBuffer*>::iterator ReleaseClient(std::map<unsigned long, RingBuffer*>::iterator it)
      REQUIRES(request_mutex_);
  // Releases a client that is still registered (drops it from clients_).
  std::map<unsigned long, RingBuffer*>::iterator DropClient(std::map<unsigned long, RingBuffer*>::iterator it)
      REQUIRES(request_mutex_) EXCLUDES(clients_mutex_);
  // Releases the clients that the response workers asked to release.
  void ServeReleaseRequests() REQUIRES(request_mutex_) EXCLUDES(release_mutex_);

  // Release requests. A response worker that could not deliver an answer
  // into `response_ring`, pid's current response ring, asks the request
  // worker to release that client; the caller holds pid's response mutex.
  void AskRelease(uint64_t pid, RingBuffer* response_ring) EXCLUDES(release_mutex_);
  // Called, holding pid's response mutex, whenever pid's response ring is
  // deleted or replaced: the requests naming it are void.
  void ForgetReleaseRequests(uint64_t pid) EXCLUDES(release_mutex_);

  // Forwarding (forwarding.cc), on the request worker.
  // Sends the span's records on their nodes. kRingRejected when a record
  // breaks the rules (nothing of it was sent), kRingSendFailed when a link
  // failed.
  RingBufferStatus ForwardSpan(uint64_t pid, uint8_t* data, size_t length, ForwardStaging* staging)
      REQUIRES(request_mutex_);
  // Sends the staged pieces of one record (its body at `body` in the ring).
  // False, after logging, when the link failed.
  bool SendRecord(Network* link, const ForwardStaging& staging, uint8_t* body) REQUIRES(request_mutex_);
  // Copies what frames the record (the header, every entry header, small
  // payloads; all of it if small), checks the copy and lays out the pieces
  // that make up the record on the link. False, with the reason,
  // for a record that breaks the rules.
  static bool StageRecord(const RequestBatchHeader& header, const uint8_t* body, ForwardStaging* staging,
                          std::string* why);

  // Response workers (response_worker.cc), one per node. Each step returns
  // false when the node's stream is out of step and the worker must end.
  // Serves the node's request to send datagram `seq` again.
  bool ServeResend(Network* network, uint64_t seq);
  // Delivers one response message into the ring of the client it names:
  // reads (and decompresses) its body, then writes it with WriteDelivery.
  struct Delivery;
  bool DeliverResponse(Network* network, const ResponseBatchHeader& header) EXCLUDES(response_table_mutex_);
  // False when the message ends here, with `*in_step` set.
  bool PrepareCompressed(Delivery* delivery, bool* in_step);
  void PreparePlain(Delivery* delivery);
  bool WriteDelivery(Delivery* delivery) EXCLUDES(response_table_mutex_);
  // Writes the record into `*ring`; while the ring is full, lets go of the
  // lock, waits and looks the ring up again. kRingFull when the client went
  // meanwhile (`*ring` is null then) or when quitting (the lock let go).
  RingBufferStatus WriteWithFullRingWait(uint64_t pid, size_t record_size,
                                         const std::function<RingBufferStatus(void*)>& fill,
                                         std::unique_lock<zantu::Mutex>* lock, RingBuffer** ring)
      EXCLUDES(response_table_mutex_);
  // Reads and drops the rest of a message.
  bool DropBody(Network* network, uint64_t size);
  void ReportReadError();

  // Response table (zantu.cc).
  // The pid's response mutex, created on first use.
  zantu::Mutex& ResponseMutex(uint64_t pid) EXCLUDES(response_table_mutex_);
  // The pid's response mutex, or null if it has none (then it has no
  // response ring either).
  zantu::Mutex* FindResponseMutex(uint64_t pid) EXCLUDES(response_table_mutex_);
  // The pid's response ring or null. The caller holds the pid's response
  // mutex, which keeps the ring alive.
  RingBuffer* FindResponseRing(uint64_t pid) EXCLUDES(response_table_mutex_);
  // Installs `ring` (null erases the entry) and returns the former one. The
  // caller holds the pid's response mutex.
  RingBuffer* ExchangeResponseRing(uint64_t pid, RingBuffer* ring) EXCLUDES(response_table_mutex_);

  // Atomics.
  std::atomic<bool> quit_{false};         // set once, by the first Quit; read through Quitting()
  std::atomic<bool> registering_{false};  // the registration service wants request_mutex_

  // Set by Run before the threads start, deleted or emptied by Run after
  // they have all been joined; constant in between.
  ZSTDUtil* zstd_ = nullptr;  // owned
  std::vector<GPU> gpus_;
  std::map<unsigned int, Network*> networks_;  // owns the transports
  std::map<unsigned int, unsigned short> node_ports_;

  // Touched by Run only.
  std::vector<std::thread> response_threads_;
  std::thread request_thread_;
  std::thread server_thread_;
  std::thread client_check_thread_;

  // Guards server_socket_ against close while Quit shuts it down.
  zantu::Mutex server_socket_mutex_;
  int server_socket_ GUARDED_BY(server_socket_mutex_) = -1;  // written by Server only

  // Held by the request worker for whole passes; see registering_. Senders
  // on the node links hold it, which keeps the records of different
  // clients from interleaving.
  zantu::Mutex request_mutex_ ACQUIRED_BEFORE(clients_mutex_, response_table_mutex_);
  std::condition_variable_any request_cv_;  // registering_ cleared, a ring stored, or quit
  std::map<unsigned long, RingBuffer*> request_rbs_ GUARDED_BY(request_mutex_);  // owns the rings

  // The map structures are guarded by response_table_mutex_; the ring of a
  // pid (its value in response_rbs_ and the writing into it) by the pid's
  // response mutex, which the analysis cannot name. response_mutexes_
  // entries are never removed.
  zantu::Mutex response_table_mutex_;
  std::map<unsigned long, RingBuffer*> response_rbs_ GUARDED_BY(response_table_mutex_);  // owns the rings
  std::map<unsigned long, zantu::Mutex> response_mutexes_ GUARDED_BY(response_table_mutex_);

  zantu::Mutex release_mutex_;  // a leaf
  std::vector<std::pair<uint64_t, RingBuffer*>> release_requests_ GUARDED_BY(release_mutex_);

  zantu::Mutex clients_mutex_;
  std::unordered_set<unsigned long> clients_ GUARDED_BY(clients_mutex_);
  // Pids registered since the liveness check last copied polled_clients_;
  // that check's verdict on them is stale.
  std::unordered_set<unsigned long> fresh_clients_ GUARDED_BY(clients_mutex_);
  // Each client's pidfd, in liveness_epoll_ with the pid as its data; a
  // client without one (no pidfd_open here) is in polled_clients_ instead.
  std::unordered_map<unsigned long, int> pidfds_ GUARDED_BY(clients_mutex_);
  std::unordered_set<unsigned long> polled_clients_ GUARDED_BY(clients_mutex_);
  int liveness_epoll_ GUARDED_BY(clients_mutex_) = -1;
  bool liveness_ended_ GUARDED_BY(clients_mutex_) = false;  // pidfds closed, none taken any more
  // Pids the liveness check dropped from clients_ since the request worker
  // last took them; clients_generation_ counts the drops, so that the
  // request worker takes clients_mutex_ only after one.
  std::vector<unsigned long> exited_clients_ GUARDED_BY(clients_mutex_);
  std::atomic<uint64_t> clients_generation_{0};

  // Request-worker private: the generation whose exits it has taken, and
  // pids that left clients_ whose request rings it has not yet found empty
  // (a pid in it may have registered again since: checked under
  // clients_mutex_ before its release).
  uint64_t seen_generation_ GUARDED_BY(request_mutex_) = 0;
  std::unordered_set<unsigned long> departed_ GUARDED_BY(request_mutex_);
  // Whether the last pass over the request rings read a record; after one
  // that did not, the next reads its first ring even if it looks empty, so
  // that the worker sleeps in Read instead of spinning.
  bool last_pass_read_ GUARDED_BY(request_mutex_) = true;

  // The liveness check's pause; Quit ends it early. Guards nothing: held
  // around the wait and the wake-up so that neither is missed.
  zantu::Mutex check_mutex_;
  std::condition_variable_any check_cv_;
};

namespace zantu_internal {

// Sleeps `ns` nanoseconds, resuming after a signal for the time left.
void SleepNanos(long ns);

}  // namespace zantu_internal
