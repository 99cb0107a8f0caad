// The daemon's core: the tables shared by its threads, and the threads
// themselves (registration service, liveness check, request worker, one
// response worker per node, the overflow worker).
//
// Lock order: request_mutex_ before clients_mutex_; request_mutex_ before a
// client's response mutex; a response mutex before response_table_mutex_.
// clients_mutex_ and a response mutex are never held together, no thread
// holds two response mutexes, and response_table_mutex_, release_mutex_,
// flow_mutex_, overflow_mutex_, server_socket_mutex_ and check_mutex_ are
// leaves, held only briefly (never across a send, a receive or a ring
// write), and none of them is held while another is taken.
//
// No thread waits for one client: a client's records travel only as far as
// the grants of its nodes allow (flow_control.cc), and the answers its
// response ring cannot take wait in daemon memory (overflow.cc).
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
#include <deque>
#include <functional>
#include <map>
#include <memory>
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
  void ResponseWorker(uint32_t node, Network* network);
  void OverflowWorker() EXCLUDES(overflow_mutex_);

  // Registration service (registration_service.cc), on its thread.
  // The bound registration socket, installed in server_socket_; -1 after
  // logging why not.
  int OpenServerSocket() EXCLUDES(server_socket_mutex_);
  // One pid datagram: the pid and where it came from.
  struct PendingRegistration {
    uint32_t pid;
    sockaddr_in peer;
    socklen_t peer_len;
  };
  enum class Received { kPids, kEnd };
  // Waits for the next pid datagrams on `fd` and takes every one waiting
  // behind the first, keeping only the newest of each pid (a client retries
  // with a new socket and takes the answer to its newest attempt only).
  // kEnd when the service must end (quitting, or a failed receive, logged).
  Received ReceiveRegistrations(int fd, std::vector<PendingRegistration>* batch);
  // Serves one datagram; false, after logging, when the service must end.
  bool ServeRegistration(int fd, const PendingRegistration& pending) EXCLUDES(request_mutex_, clients_mutex_);

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
  // One pass over the request ring of every client that is not held back;
  // `freed`: some were freed since the last pass. False when a node link
  // failed (logged): nothing more can be forwarded in step.
  bool ServeClients(ForwardStaging* staging, bool freed) REQUIRES(request_mutex_);
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

  // Release requests. A thread that could not deliver an answer into
  // `response_ring`, pid's current response ring, asks the request worker to
  // release that client, which it logs with `why`; the caller holds pid's
  // response mutex.
  struct ReleaseRequest {
    uint64_t pid;
    RingBuffer* response_ring;
    std::string why;
  };
  void AskRelease(uint64_t pid, RingBuffer* response_ring, std::string why)
      EXCLUDES(release_mutex_, flow_mutex_);
  // Called, holding pid's response mutex, whenever pid's response ring is
  // deleted or replaced: the requests naming it are void.
  void ForgetReleaseRequests(uint64_t pid) EXCLUDES(release_mutex_);

  // Forwarding (forwarding.cc), on the request worker.
  // Sends the span's records on their nodes, in order, as far as their
  // nodes' grants allow; `*taken` counts the bytes of the records sent.
  // kRingRejected when a record breaks the rules (nothing of it was sent),
  // kRingSendFailed when a link failed.
  RingBufferStatus ForwardSpan(uint64_t pid, uint8_t* data, size_t length, ForwardStaging* staging,
                               size_t* taken) REQUIRES(request_mutex_);
  // The link of the record's node after checking what the header says;
  // null, with the reason, for a header that breaks the rules.
  Network* CheckRecordHeader(uint64_t pid, const RequestBatchHeader& header, size_t body_room,
                             std::string* why) const;
  // Whether (node, device) is one of the GPUs of the command line.
  bool OffersGpu(uint32_t node, uint32_t device) const;
  // Sends the staged pieces of one record (its body at `body` in the ring).
  // False, after logging, when the link failed.
  bool SendRecord(Network* link, const ForwardStaging& staging, uint8_t* body) REQUIRES(request_mutex_);
  // Copies what frames the record (the header, every entry header, small
  // payloads; all of it if small), checks the copy and lays out the pieces
  // that make up the record on the link. False, with the reason,
  // for a record that breaks the rules.
  static bool StageRecord(const RequestBatchHeader& header, const uint8_t* body, ForwardStaging* staging,
                          std::string* why);

  // Flow control (flow_control.cc). A node's grant bounds the work each
  // client may have outstanding there (forwarded, not yet answered); a
  // client whose next record does not fit is held back: its ring is not read
  // until an answer from that node (or a new grant) frees it.
  // Response worker: takes in a grant message of `node`.
  void TakeGrant(uint32_t node, const ResponseBatchHeader& header) EXCLUDES(flow_mutex_);
  // Response worker: an answer of `node` for pid settles its oldest record
  // there.
  void CreditAnswer(uint32_t node, uint64_t pid) EXCLUDES(flow_mutex_);
  // Request worker: whether a record of `bytes` for `node` may travel now;
  // if so it counts as outstanding from here on, if not pid is held back.
  bool AdmitRecord(uint64_t pid, uint32_t node, uint64_t bytes) REQUIRES(request_mutex_) EXCLUDES(flow_mutex_);
  // Request worker: forgets pid's work, hold and grants (released or
  // registered anew).
  void ResetFlow(uint64_t pid) REQUIRES(request_mutex_) EXCLUDES(flow_mutex_);
  // Request worker: serves again the held clients that were freed since the
  // last call; true if any was.
  bool TakeFreedClients() REQUIRES(request_mutex_) EXCLUDES(flow_mutex_);
  bool AllClientsHeld() const REQUIRES(request_mutex_);
  // Request worker, when every client is held back: waits up to 100 ms for
  // a wake-up (WakeRequestWorker) since the last TakeFreedClients.
  void AwaitCredit() REQUIRES(request_mutex_) EXCLUDES(flow_mutex_);
  // Wakes the request worker wherever it sleeps (in Read, in AwaitCredit).
  void WakeRequestWorker() EXCLUDES(flow_mutex_);
  // Quit's wake-up of the request worker's and the overflow worker's waits.
  void WakeWaitersForQuit() EXCLUDES(flow_mutex_, overflow_mutex_);

  // Overflow (overflow.cc). Answers that a client's response ring cannot
  // take now wait, in order, in daemon memory; the overflow worker moves
  // them into the ring once it has room. The caller of each of these holds
  // pid's response mutex.
  // Whether pid's answers go to the overflow (kHold: some wait already) or
  // are dropped (kDrop: it is being released); kRing when neither.
  enum class Route { kRing, kHold, kDrop };
  // A whole response record in daemon memory. Not zeroed when made: the
  // node's bytes fill it.
  struct HeldAnswer {
    std::unique_ptr<char[]> bytes;
    size_t size = 0;
  };
  Route RouteOf(uint64_t pid) EXCLUDES(overflow_mutex_);
  // Makes room for a record of `bytes` and sizes `*record` for it; false,
  // after asking for pid's release (of `ring`), when that would break a
  // bound or memory fails.
  bool ReserveOverflow(uint64_t pid, uint64_t bytes, RingBuffer* ring, HeldAnswer* record)
      EXCLUDES(overflow_mutex_, release_mutex_);
  // Appends a record whose room was reserved.
  void AppendOverflow(uint64_t pid, HeldAnswer record) EXCLUDES(overflow_mutex_);
  // Drops what pid holds (its response ring is deleted or replaced).
  void ForgetOverflow(uint64_t pid) EXCLUDES(overflow_mutex_);
  // Overflow worker.
  // Waits until some client holds answers; their pids, or false when quitting.
  bool AwaitOverflow(std::vector<unsigned long>* pids) EXCLUDES(overflow_mutex_);
  // Moves pid's held answers into its ring while they fit, or releases it.
  void MoveOverflow(uint64_t pid) EXCLUDES(overflow_mutex_, response_table_mutex_);
  // One step of MoveOverflow, under pid's response mutex; false when done.
  bool MoveOneAnswer(uint64_t pid, RingBuffer* ring) EXCLUDES(overflow_mutex_);
  bool TakeHeldAnswer(uint64_t pid, HeldAnswer* record) EXCLUDES(overflow_mutex_);
  // After `record` went into the ring; true when nothing is held any more.
  bool HeldAnswerTaken(uint64_t pid, size_t bytes) EXCLUDES(overflow_mutex_);
  void ReturnHeldAnswer(uint64_t pid, HeldAnswer record) EXCLUDES(overflow_mutex_);
  // The ring turned the oldest answer away: releases a client whose reader
  // has not moved for too long.
  void CheckStalled(uint64_t pid, RingBuffer* ring) EXCLUDES(overflow_mutex_);
  // Frees pid's held answers and drops every later one until its ring goes.
  void DoomOverflow(uint64_t pid) REQUIRES(overflow_mutex_);

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
  // The ring cannot take the record now: it joins pid's overflow.
  bool HoldDelivery(Delivery* delivery);
  // The ring can never take the record: the client is released.
  bool FailDelivery(Delivery* delivery, RingBufferStatus status);
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
  std::thread overflow_thread_;
  std::thread server_thread_;
  std::thread client_check_thread_;

  // Guards server_socket_ against close while Quit shuts it down.
  zantu::Mutex server_socket_mutex_;
  int server_socket_ GUARDED_BY(server_socket_mutex_) = -1;  // written by Server only

  // Held by the request worker for whole passes; see registering_. Senders
  // on the node links hold it, which keeps the records of different
  // clients from interleaving.
  zantu::Mutex request_mutex_ ACQUIRED_BEFORE(clients_mutex_, response_table_mutex_, flow_mutex_);
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
  std::vector<ReleaseRequest> release_requests_ GUARDED_BY(release_mutex_);

  // Flow control. Work is counted only at nodes that have sent a grant.
  struct Grant {
    uint64_t bytes = UINT64_MAX;  // request-record bytes outstanding at most
    uint64_t records = 0;         // records outstanding at most; 0: no limit
  };
  struct NodeGrants {
    bool has_fallback = false;
    Grant fallback;  // for the clients without a grant of their own
    std::unordered_map<unsigned long, Grant> clients;
  };
  // One client's records at one node that are forwarded and not yet answered.
  struct Outstanding {
    std::deque<uint64_t> sizes;  // request-record bytes, oldest first
    uint64_t bytes = 0;
  };
  struct ClientFlow {
    std::map<uint32_t, Outstanding> nodes;
    bool held = false;       // its next record waits for an answer of held_node
    uint32_t held_node = 0;
  };
  Grant GrantOf(uint32_t node, uint64_t pid) const REQUIRES(flow_mutex_);
  // Bit n: node n has sent a grant. Set once, read without the lock.
  std::atomic<uint64_t> granted_nodes_{0};
  zantu::Mutex flow_mutex_;        // a leaf
  std::condition_variable_any flow_cv_;  // flow_wakes_ counted up
  std::map<uint32_t, NodeGrants> grants_ GUARDED_BY(flow_mutex_);
  std::unordered_map<unsigned long, ClientFlow> flows_ GUARDED_BY(flow_mutex_);
  std::vector<unsigned long> freed_ GUARDED_BY(flow_mutex_);  // held clients freed since the last take
  uint64_t flow_wakes_ GUARDED_BY(flow_mutex_) = 0;  // every WakeRequestWorker
  // Request-worker private: the clients held back (a subset of request_rbs_),
  // and flow_wakes_ as of the last TakeFreedClients.
  std::unordered_set<unsigned long> held_ GUARDED_BY(request_mutex_);
  uint64_t seen_flow_wakes_ GUARDED_BY(request_mutex_) = 0;

  // Overflow. The records of a pid change only under its response mutex
  // too, so that the one who holds that mutex keeps them in order.
  struct Overflow {
    std::deque<HeldAnswer> records;  // oldest first
    uint64_t bytes = 0;               // reserved for them
    uint64_t reader_seen = 0;         // the ring's reader position as last seen
    int64_t moved_ns = 0;             // when that last moved (or the first answer was held)
    bool doomed = false;              // released: later answers are dropped
  };
  zantu::Mutex overflow_mutex_;  // a leaf
  std::condition_variable_any overflow_cv_;  // a client's first answer held, or quit
  std::unordered_map<unsigned long, Overflow> overflow_ GUARDED_BY(overflow_mutex_);
  uint64_t overflow_bytes_ GUARDED_BY(overflow_mutex_) = 0;  // all clients together
  // overflow_.size(), read without the lock: 0 keeps the normal path free.
  std::atomic<size_t> overflow_entries_{0};

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
  // Where the next pass starts: the first pid at or after it (a pass that a
  // registration cut short goes on where it stopped).
  uint64_t resume_pid_ GUARDED_BY(request_mutex_) = 0;

  // The liveness check's pause; Quit ends it early. Guards nothing: held
  // around the wait and the wake-up so that neither is missed.
  zantu::Mutex check_mutex_;
  std::condition_variable_any check_cv_;

  // Stop signals (zantu.cc). main blocks SIGTERM and SIGINT before any
  // thread starts, so that no thread runs a handler; one thread of Run's
  // takes them from a signalfd and quits as on a fatal error. Both
  // descriptors are made by Run before the threads start and closed after
  // they have ended (-1 otherwise); Quit wakes the thread through the
  // eventfd.
  bool OpenStopSignals();
  void WatchStopSignals();
  void CloseStopSignals();
  int stop_signal_fd_ = -1;
  int quit_event_fd_ = -1;
  std::thread signal_thread_;
};

namespace zantu_internal {

// Sleeps `ns` nanoseconds, resuming after a signal for the time left.
void SleepNanos(long ns);

}  // namespace zantu_internal
