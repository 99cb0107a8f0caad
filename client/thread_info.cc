// The per-thread call context and the current-GPU operations on it.
#include <unistd.h>

#include "client/internal.h"
#include "common/log.h"

thread_local ThreadInfo thread_info;

ThreadInfo::ThreadInfo() : current_gpu(0), tid(static_cast<int32_t>(gettid())), pending_gpu(0), pending_bytes(0) {
  sem_init(&sem, 0, 0);
}

ThreadInfo::~ThreadInfo() {
  if (!pending.empty()) {
    // The callers of these requests were told they succeeded: write them
    // while the thread still can.
    if (!CudaTovrel::CanSend() || !CudaTovrel::SendRequest(pending, pending_gpu)) {
      ZANTU_ERROR("%zu deferred requests of exiting thread tid=%d dropped", pending.size(), tid);
      for (Request* request : pending) tovrel::ReleaseRequest(request);
    }
    pending.clear();
  }
  sem_destroy(&sem);
}

int CudaTovrel::GetCurrentGpu() { return thread_info.current_gpu; }

void CudaTovrel::SetCurrentGpu(int gpu) { thread_info.current_gpu = gpu; }

uint32_t CudaTovrel::GetCurrentNode() {
  const int gpu = thread_info.current_gpu;
  if (gpu < 0 || gpu >= static_cast<int>(kMaxGpus)) return 0;
  return register_info_.gpu_nodes[gpu];
}

void CudaTovrel::SwitchGpuWithRestore(Request* request, int gpu) {
  const int previous = GetCurrentGpu();
  // Runs on the calling thread after a successful synchronous answer, so it
  // restores that thread's GPU.
  request->callback = [this, previous] { SetCurrentGpu(previous); };
  SetCurrentGpu(gpu);
}
