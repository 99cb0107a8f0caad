// Turning an intercepted call into a request: prepared by the layer's hook,
// then completed locally, deferred into the thread's batch, or written and,
// unless it is a no-wait call, waited for.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

#include "client/internal.h"
#include "common/log.h"

namespace tovrel {
namespace {

const char* FunctionName(int32_t module, uint32_t api) {
  return GetCudaFunctionName(static_cast<unsigned char>(module), api);
}

// A fresh request of the calling thread for call `api`, piece 0 holding the
// `argc` 64-bit arguments.
Request* NewRequest(CudaTovrel* owner, int32_t module, unsigned int api, unsigned int argc, va_list args) {
  Request* request = new Request(owner);
  request->header.request = reinterpret_cast<uint64_t>(request);
  request->header.flags = 0;
  request->header.tid = static_cast<uint32_t>(thread_info.tid);
  request->header.module = static_cast<uint32_t>(module);
  request->header.magic = kRequestMagic;
  request->header.api = api;
  request->header.argc = argc;
  std::string arguments(size_t{argc} * sizeof(uint64_t), '\0');
  for (unsigned int i = 0; i < argc; ++i) {
    const uint64_t value = va_arg(args, uint64_t);
    std::memcpy(arguments.data() + i * sizeof(uint64_t), &value, sizeof(value));
  }
  request->header.size = arguments.size();
  request->buffers.push_back(std::move(arguments));
  return request;
}

// Runs the prepare hook. On 0, the header's size is counted again from the
// pieces as they are now, piece 0 included: the hook may have rewritten it.
int32_t Prepare(CudaTovrel* owner, Request* request) {
  const int32_t status = owner->PrepareRequest(request);
  if (status != 0) return status;
  uint64_t size = 0;
  for (const std::string& piece : request->buffers) size += piece.size();
  for (const BorrowedPiece& piece : request->borrowed) size += piece.size;
  request->header.size = size;
  return 0;
}

// Writes the thread's deferred batch; its requests are gone once it is.
bool FlushPending(ThreadInfo& thread) {
  if (!CudaTovrel::SendRequest(thread.pending, thread.pending_gpu)) return false;
  thread.pending.clear();
  thread.pending_bytes = 0;
  return true;
}

// A request that could not be written: its caller hears now, not never.
int Refuse(Request* request) {
  ZANTU_ERROR_AS("Dispatch", "send request error happened");
  ReleaseRequest(request);
  return kTovrelFailure;
}

}  // namespace
}  // namespace tovrel

int CudaTovrel::Dispatch(unsigned int api, unsigned int argc, ...) {
  if (!Admit(api)) return kTovrelFailure;
  va_list args;
  va_start(args, argc);
  Request* request = tovrel::NewRequest(this, module_, api, argc, args);
  va_end(args);

  const int32_t status = tovrel::Prepare(this, request);
  if (status == kCompletedLocally) {
    tovrel::ReleaseRequest(request);
    return 0;
  }
  if (status != 0) {
    ZANTU_ERROR_AS("Dispatch", "failed to prepare request api=%s", tovrel::FunctionName(module_, api));
    tovrel::ReleaseRequest(request);
    return status;
  }
  const int gpu = thread_info.current_gpu;
  if (gpu < 0 || static_cast<uint32_t>(gpu) >= register_info_.gpu_count) {
    ZANTU_ERROR_AS("Dispatch", "current gpu=%d is outside the %u gpus of this process", gpu, register_info_.gpu_count);
    tovrel::ReleaseRequest(request);
    return kTovrelFailure;
  }
  if ((request->header.flags & kRequestDeferrable) != 0) return Defer(request, gpu);
  return SendAndWait(request, gpu, api);
}

bool CudaTovrel::Admit(unsigned int api) {
  if (!initialized_.load(std::memory_order_acquire)) {
    ZANTU_ERROR_AS("Dispatch", "tovrel has not been initialized yet.");
    return false;
  }
  if (tovrel::CurrentPid() != pid_) {
    // A forked child shares its parent's rings; a second writer would
    // corrupt the parent's request ring.
    ZANTU_ERROR_AS("Dispatch", "process pid=%d is a fork of registered pid=%d and is not registered", static_cast<int>(getpid()),
                pid_);
    return false;
  }
  if (response_loop_ended_.load(std::memory_order_acquire)) {
    ZANTU_ERROR_AS("Dispatch", "response loop has ended, request api=%s refused", tovrel::FunctionName(module_, api));
    return false;
  }
  while (!response_loop_working_.load(std::memory_order_acquire)) {
    ZANTU_LOG_AS("Dispatch", "wait for response loop to start...");
    tovrel::PauseOneMillisecond();
  }
  return true;
}

int CudaTovrel::Defer(Request* request, int gpu) {
  ThreadInfo& thread = thread_info;
  const uint64_t entry = tovrel::EntryBytes(request);
  // One that could never be written is refused now.
  if (sizeof(RequestBatchHeader) + entry > request_rb_->capacity()) return tovrel::Refuse(request);
  const bool other_gpu = thread.pending_gpu != gpu;
  const bool over_bound = thread.pending_bytes + entry > tovrel::kMaxPendingRecordBytes;
  if (!thread.pending.empty() && (other_gpu || over_bound) && !tovrel::FlushPending(thread)) {
    return tovrel::Refuse(request);
  }
  if (thread.pending.empty()) {
    thread.pending_gpu = gpu;
    thread.pending_bytes = sizeof(RequestBatchHeader);
  }
  thread.pending.push_back(request);
  thread.pending_bytes += entry;
  return 0;
}

int CudaTovrel::SendAndWait(Request* request, int gpu, unsigned int api) {
  ThreadInfo& thread = thread_info;
  if (!thread.pending.empty() && !tovrel::FlushPending(thread)) return tovrel::Refuse(request);
  // Decided before the write: once written, a no-wait request belongs to the
  // response loop and may be gone.
  const bool waits = tovrel::SomebodyWaits(request);
  if (!SendRequest(request, gpu)) return tovrel::Refuse(request);
  if (!waits) return 0;

  while (sem_wait(&request->sem) != 0 && errno == EINTR) {
  }
  const int32_t result = request->result;
  if (result != 0) {
    ZANTU_ERROR_AS("Dispatch", "request api=%s pid=%d tid=%d result=%d failed", tovrel::FunctionName(module_, api),
                static_cast<int>(getpid()), static_cast<int>(request->header.tid), result);
    tovrel::ReleaseRequest(request);
    return result;
  }
  if (request->callback) request->callback();
  tovrel::ReleaseRequest(request);
  return 0;
}
