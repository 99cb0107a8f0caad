// Turning an intercepted call into a request: prepared by the layer's hook,
// then completed locally, deferred into the thread's batch, or written and,
// unless it is a no-wait call, waited for.
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

#include "client/internal.h"
#include "common/log.h"

namespace {

const char* FunctionName(int32_t module, uint32_t api) {
  return GetCudaFunctionName(static_cast<unsigned char>(module), api);
}

}  // namespace

int CudaTovrel::Dispatch(unsigned int api, unsigned int argc, ...) {
  if (!initialized_.load(std::memory_order_acquire)) {
    ZANTU_ERROR("tovrel has not been initialized yet.");
    return kTovrelFailure;
  }
  if (tovrel::CurrentPid() != pid_) {
    // A forked child shares its parent's rings; a second writer would
    // corrupt the parent's request ring.
    ZANTU_ERROR("process pid=%d is a fork of registered pid=%d and is not registered", static_cast<int>(getpid()),
                pid_);
    return kTovrelFailure;
  }
  if (response_loop_ended_.load(std::memory_order_acquire)) {
    ZANTU_ERROR("response loop has ended, request api=%s refused", FunctionName(module_, api));
    return kTovrelFailure;
  }
  while (!response_loop_working_.load(std::memory_order_acquire)) {
    ZANTU_LOG("wait for response loop to start...");
    tovrel::PauseOneMillisecond();
  }

  ThreadInfo& thread = thread_info;
  Request* request = new Request(this);
  request->header.request = reinterpret_cast<uint64_t>(request);
  request->header.flags = 0;
  request->header.tid = static_cast<uint32_t>(thread.tid);
  request->header.module = static_cast<uint32_t>(module_);
  request->header.magic = kRequestMagic;
  request->header.api = api;
  request->header.argc = argc;
  std::string arguments(size_t{argc} * sizeof(uint64_t), '\0');
  va_list args;
  va_start(args, argc);
  for (unsigned int i = 0; i < argc; ++i) {
    const uint64_t value = va_arg(args, uint64_t);
    std::memcpy(arguments.data() + i * sizeof(uint64_t), &value, sizeof(value));
  }
  va_end(args);
  request->header.size = arguments.size();
  request->buffers.push_back(std::move(arguments));

  const int32_t status = PrepareRequest(request);
  if (status == kCompletedLocally) {
    tovrel::ReleaseRequest(request);
    return 0;
  }
  if (status != 0) {
    ZANTU_ERROR("failed to prepare request api=%s", FunctionName(module_, api));
    tovrel::ReleaseRequest(request);
    return status;
  }
  // Counted from the pieces as they are now, piece 0 included: the hook may
  // have rewritten it.
  uint64_t size = 0;
  for (const std::string& piece : request->buffers) size += piece.size();
  for (const BorrowedPiece& piece : request->borrowed) size += piece.size;
  request->header.size = size;

  const int gpu = thread.current_gpu;
  if (gpu < 0 || static_cast<uint32_t>(gpu) >= register_info_.gpu_count) {
    ZANTU_ERROR("current gpu=%d is outside the %u gpus of this process", gpu, register_info_.gpu_count);
    tovrel::ReleaseRequest(request);
    return kTovrelFailure;
  }

  auto flush_pending = [&thread]() {
    if (!SendRequest(thread.pending, thread.pending_gpu)) return false;
    thread.pending.clear();
    thread.pending_bytes = 0;
    return true;
  };

  if ((request->header.flags & kRequestDeferrable) != 0) {
    const uint64_t entry = tovrel::EntryBytes(request);
    if (sizeof(RequestBatchHeader) + entry > request_rb_->capacity()) {
      // It could never be written; its caller must hear now, not never.
      ZANTU_ERROR("send request error happened");
      tovrel::ReleaseRequest(request);
      return kTovrelFailure;
    }
    const bool other_gpu = thread.pending_gpu != gpu;
    const bool over_bound = thread.pending_bytes + entry > tovrel::kMaxPendingRecordBytes;
    if (!thread.pending.empty() && (other_gpu || over_bound) && !flush_pending()) {
      ZANTU_ERROR("send request error happened");
      tovrel::ReleaseRequest(request);
      return kTovrelFailure;
    }
    if (thread.pending.empty()) {
      thread.pending_gpu = gpu;
      thread.pending_bytes = sizeof(RequestBatchHeader);
    }
    thread.pending.push_back(request);
    thread.pending_bytes += entry;
    return 0;
  }

  if (!thread.pending.empty() && !flush_pending()) {
    ZANTU_ERROR("send request error happened");
    tovrel::ReleaseRequest(request);
    return kTovrelFailure;
  }
  // Decided before the write: once written, a no-wait request belongs to the
  // response loop and may be gone.
  const bool waits = tovrel::SomebodyWaits(request);
  if (!SendRequest(request, gpu)) {
    ZANTU_ERROR("send request error happened");
    tovrel::ReleaseRequest(request);
    return kTovrelFailure;
  }
  if (!waits) return 0;

  while (sem_wait(&request->sem) != 0 && errno == EINTR) {
  }
  const int32_t result = request->result;
  if (result != 0) {
    ZANTU_ERROR("request api=%s pid=%d tid=%d result=%d failed", FunctionName(module_, api),
                static_cast<int>(getpid()), static_cast<int>(request->header.tid), result);
    tovrel::ReleaseRequest(request);
    return result;
  }
  if (request->callback) request->callback();
  tovrel::ReleaseRequest(request);
  return 0;
}
