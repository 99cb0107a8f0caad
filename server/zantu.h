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

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/records.h"
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
           std::map<unsigned int, unsigned short>& node_ports);

  // Starts the shutdown; only the first call has an effect. Any thread.
  void Quit();

 private:
  // Thread bodies.
  void Server();
  void IsClientActiveCheck();
  void RequestWorker();
  void ResponseWorker(Network* network);

  // Registration service (registration.cc).
  // Creates and installs the pid's two ring buffers under a fresh key
  // (returned in `*key`, 10 bytes with the NUL). On failure logs, undoes
  // the pass and returns false.
  bool RegisterClient(uint64_t pid, std::string* key);
  void CloseServerSocket();

  // Request worker (request_worker.cc). The caller holds request_mutex_.
  void SendClientExit(uint64_t pid);
  std::map<unsigned long, RingBuffer*>::iterator ReleaseClient(std::map<unsigned long, RingBuffer*>::iterator it);
  // Releases a client that is still registered (drops it from clients_).
  std::map<unsigned long, RingBuffer*>::iterator DropClient(std::map<unsigned long, RingBuffer*>::iterator it);
  // Releases the clients that the response workers asked to release.
  void ServeReleaseRequests();

  // Release requests. A response worker that could not deliver an answer
  // into `response_ring`, pid's current response ring, asks the request
  // worker to release that client; the caller holds pid's response mutex.
  void AskRelease(uint64_t pid, RingBuffer* response_ring);
  // Called, holding pid's response mutex, whenever pid's response ring is
  // deleted or replaced: the requests naming it are void.
  void ForgetReleaseRequests(uint64_t pid);

  // Forwarding (forwarding.cc), on the request worker.
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
  // Sends the span's records on their nodes. kRingRejected when a record
  // breaks the rules (nothing of it was sent), kRingSendFailed when a link
  // failed.
  RingBufferStatus ForwardSpan(uint64_t pid, uint8_t* data, size_t length, ForwardStaging* staging);
  // Copies what frames the record (the header, every entry header, small
  // payloads; all of it if small), checks the copy and lays out the pieces
  // that make up the record on the link. False, with the reason,
  // for a record that breaks the rules.
  static bool StageRecord(const RequestBatchHeader& header, const uint8_t* body, ForwardStaging* staging,
                          std::string* why);

  // Response table (zantu.cc).
  // The pid's response mutex, created on first use.
  std::mutex& ResponseMutex(uint64_t pid);
  // The pid's response mutex, or null if it has none (then it has no
  // response ring either).
  std::mutex* FindResponseMutex(uint64_t pid);
  // The pid's response ring or null. The caller holds the pid's response
  // mutex, which keeps the ring alive.
  RingBuffer* FindResponseRing(uint64_t pid);
  // Installs `ring` (null erases the entry) and returns the former one. The
  // caller holds the pid's response mutex.
  RingBuffer* ExchangeResponseRing(uint64_t pid, RingBuffer* ring);

  // Atomics.
  std::atomic<bool> quit_{false};         // set once, by the first Quit
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

  std::mutex server_socket_mutex_;  // guards server_socket_ against close while Quit shuts it down
  int server_socket_ = -1;          // guarded by server_socket_mutex_; written by Server only

  // Held by the request worker for whole passes; see registering_.
  std::mutex request_mutex_;
  std::condition_variable request_cv_;             // registering_ cleared, a ring stored, or quit
  std::map<unsigned long, RingBuffer*> request_rbs_;  // guarded by request_mutex_; owns the rings

  // The map structures are guarded by response_table_mutex_; the ring of a
  // pid (its value in response_rbs_ and the writing into it) by the pid's
  // response mutex. response_mutexes_ entries are never removed.
  std::mutex response_table_mutex_;
  std::map<unsigned long, RingBuffer*> response_rbs_;  // owns the rings
  std::map<unsigned long, std::mutex> response_mutexes_;

  std::mutex release_mutex_;  // a leaf; guards release_requests_
  std::vector<std::pair<uint64_t, RingBuffer*>> release_requests_;

  std::mutex clients_mutex_;
  std::unordered_set<unsigned long> clients_;  // guarded by clients_mutex_
  // Pids registered since the liveness check last copied clients_; that
  // check's verdict on them is stale. Guarded by clients_mutex_.
  std::unordered_set<unsigned long> fresh_clients_;

  // The liveness check's pause; Quit ends it early.
  std::mutex check_mutex_;
  std::condition_variable check_cv_;
};

namespace zantu_internal {

// Sleeps `ns` nanoseconds, resuming after a signal for the time left.
void SleepNanos(long ns);

}  // namespace zantu_internal
