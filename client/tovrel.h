// libtovrel: the client library that an interposing layer of the GPU API
// links. Loading the library registers the process with the daemon; the layer
// derives from CudaTovrel, implements the two hooks and forwards every
// intercepted call through Dispatch.
//
// Only what is marked TOVREL_EXPORT is visible outside libtovrel.so.
#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "common/records.h"
#include "common/registration.h"
#include "common/trellan.h"

#define TOVREL_EXPORT __attribute__((visibility("default")))
// Members of an exported class that stay inside libtovrel.
#define TOVREL_HIDDEN __attribute__((visibility("hidden")))

// Dispatch's status for failures inside this system (the API's unknown-error
// code). A fresh Request carries it until an answer replaces it.
constexpr int32_t kTovrelFailure = 999;

// PrepareRequest's status for a call the hook has completed itself: nothing
// is sent and Dispatch returns 0.
constexpr int32_t kCompletedLocally = 0x19950129;

class CudaTovrel;

// The registration reply as the process keeps it. Process GPU k is GPU
// gpu_indexes[k] of node gpu_nodes[k]; entries from gpu_count on are not GPUs
// of this process.
struct RegisterInfo {
  char key[kKeySize];  // 9 characters and a NUL
  uint32_t gpu_count;
  uint32_t gpu_indexes[kMaxGpus];
  uint32_t gpu_nodes[kMaxGpus];
  uint32_t node_count;
  NodeInfo nodes[kMaxNodes];
};

// A payload piece the request does not own: `size` bytes at `data`, copied
// straight into the request ring when the request is written.
struct BorrowedPiece {
  const void* data;
  size_t size;
};

// One forwarded call, private to the process. Created by Dispatch; owned by
// the calling thread until written, then by whoever the call's flags name
// (see CudaTovrel::Dispatch). `header` is exactly the 40 bytes that go into
// the request ring; its `request` field is this object's address.
struct Request {
  explicit Request(CudaTovrel* request_owner) : owner(request_owner) { sem_init(&sem, 0, 0); }
  ~Request() { sem_destroy(&sem); }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  CudaTovrel* owner;
  sem_t sem;  // count 0; the waiting caller blocks on it, the response loop posts it
  int32_t result = kTovrelFailure;
  RequestHeader header{};
  std::function<void()> callback;    // run by Dispatch after a successful synchronous answer
  std::vector<std::string> buffers;  // payload pieces; piece 0 is the argument block
  // Pieces that follow `buffers` in the payload without a copy of their own.
  // Their memory must stay valid and unchanged until the request is written:
  // for a call somebody waits on, until Dispatch returns.
  std::vector<BorrowedPiece> borrowed;
};

// One answer as the response hook sees it: both pointers lead into the
// response ring and are valid only during the hook call. They may be
// misaligned: read and write through the helpers (or LoadRecord/StoreRecord).
struct ResponseView {
  ResponseHeader* header;
  uint8_t* payload;  // header->size bytes

  ResponseHeader Header() const { return LoadRecord<ResponseHeader>(header); }
  uint32_t Result() const { return Header().result; }
  uint64_t PayloadSize() const { return Header().size; }
  // A hook answering a waiting call may replace the status its caller gets.
  void SetResult(uint32_t result) {
    ResponseHeader h = Header();
    h.result = result;
    StoreRecord(header, h);
  }
};

// Per-thread call context, in thread_info. Fields up to `pending` are in the
// fixed order code outside the library relies on.
struct TOVREL_EXPORT ThreadInfo {
  ThreadInfo();
  // Writes deferred requests still pending (their callers were told they
  // succeeded), or releases them where nothing can be written any more.
  ~ThreadInfo();
  ThreadInfo(const ThreadInfo&) = delete;
  ThreadInfo& operator=(const ThreadInfo&) = delete;

  int32_t current_gpu;  // index into the GPU table of the registration
  int32_t tid;          // kernel thread id
  sem_t sem;            // count 0; never waited on or posted
  int32_t pending_gpu;  // GPU of `pending`; meaningful while it is not empty
  std::vector<Request*> pending;  // deferred requests in call order, owned until written
  uint64_t pending_bytes;         // record size that writing `pending` takes
};

// The calling thread's context, constructed at its first touch in a thread.
extern TOVREL_EXPORT thread_local ThreadInfo thread_info;

// The library's core. Process-wide state is static and lasts until the
// process ends; an interposing layer derives from this class and sets
// `module_`.
//
// Lock order: mutex_, then the library's internal lock of requests awaiting an
// answer. Hooks run with neither held.
class TOVREL_EXPORT CudaTovrel {
 public:
  CudaTovrel();
  virtual ~CudaTovrel();
  CudaTovrel(const CudaTovrel&) = delete;
  CudaTovrel& operator=(const CudaTovrel&) = delete;

  // Prepare hook, run on the calling thread once per Dispatch with a fresh
  // request whose header is complete and whose piece 0 is the argument block.
  // It may set kRequestNoWait and kRequestDeferrable in header.flags, rewrite
  // piece 0, append pieces, install `callback` and change the thread's
  // current GPU (read after it returns). Returns 0 to send the request,
  // kCompletedLocally when it has completed the call itself, anything else
  // as the failed call's status. Must not call Dispatch.
  virtual int32_t PrepareRequest(Request* request) = 0;

  // Response hook, run on the response-loop thread. For a call somebody waits
  // on, only when the answer's result is 0 (it may replace that result through
  // view->SetResult); for a no-wait or deferred call, for every answer, and
  // then the request is released. Must not call Dispatch: the answer it would
  // wait for could only come through this same thread.
  virtual void HandleResponse(Request* request, ResponseView* view) = 0;

  // Registers the process once; later calls return at once. Run at load time.
  static void Initialize();
  // Does nothing: the registration lasts until the process ends.
  static void Uninitialize();
  const RegisterInfo* GetRegisterInfo() const;

  // The calling thread's current GPU. No lock; never fail.
  int GetCurrentGpu();
  void SetCurrentGpu(int gpu);
  // Node of the current GPU; 0 for an index outside the GPU table.
  uint32_t GetCurrentNode();
  // Makes `gpu` current for this call and restores the previous one once the
  // call has been answered successfully; for the prepare hook.
  void SwitchGpuWithRestore(Request* request, int gpu);

  // Forwards call `api` of this object's module with `argc` 64-bit arguments
  // (integers or pointers, never floating point). Returns 0 on success,
  // kTovrelFailure for failures inside this system, otherwise the hook's or
  // the remote call's status. A no-wait or deferred call returns 0 once
  // written or queued; any other blocks until answered.
  int Dispatch(unsigned int api, unsigned int argc, ...);

  // Writes one record of `requests` for process GPU `gpu`, waiting while the
  // ring is full. Releases every request but the last as it writes them; the
  // last becomes an awaited answer. False, with none released, when the
  // record cannot be written (too large, ring failure, response loop ended,
  // GPU outside the table, not registered).
  static bool SendRequest(std::vector<Request*>& requests, int gpu);
  static bool SendRequest(Request* request, int gpu);

  // Body of the response thread; returns when reading the ring fails, after
  // waking every waiting caller with kTovrelFailure.
  static void ResponseLoop();

 protected:
  int32_t module_;  // module number; -1 until the derived class sets it

 private:
  friend struct ThreadInfo;

  // True when this process may write its request ring: registered, not a
  // forked child, response loop not ended.
  TOVREL_HIDDEN static bool CanSend();

  // Dispatch's steps (client/dispatch.cc). Admit: whether a call of `api`
  // may be forwarded now (registered, not a forked child, loop running),
  // waiting for the response loop to start. Defer: queues a prepared
  // deferrable request in the thread's batch. SendAndWait: writes a prepared
  // request after the thread's batch and waits for its answer unless nobody
  // waits for it. Both take the request over and return Dispatch's status.
  TOVREL_HIDDEN bool Admit(unsigned int api);
  TOVREL_HIDDEN int Defer(Request* request, int gpu);
  TOVREL_HIDDEN int SendAndWait(Request* request, int gpu, unsigned int api);

  // Constant after a successful Initialize (written under mutex_ before
  // initialized_ is published).
  static int32_t pid_;
  static RegisterInfo register_info_;
  static RingBuffer* request_rb_;
  static RingBuffer* response_rb_;

  // Serialises Initialize and every write into request_rb_. A std::mutex
  // because its type is part of this exported class; library code takes it
  // only through tovrel::SubmissionLock (client/submission_lock.h), which
  // clang's thread-safety analysis checks.
  static std::mutex mutex_;

  static std::atomic<bool> initialized_;            // release once registration is complete
  static std::atomic<bool> response_loop_working_;  // set once by the response loop
  static std::atomic<bool> response_loop_ended_;    // set once when the loop has ended
};
