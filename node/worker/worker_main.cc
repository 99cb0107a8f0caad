#include "node/worker/worker_main.h"

#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <memory>

#include "common/log.h"
#include "common/trellan.h"
#include "node/worker/channel_budget.h"
#include "node/worker/record_runner.h"
#include "node/worker/worker_channel.h"

namespace zantu_node {
namespace {

constexpr long kFullRingPauseNs = 50000;
// How long an idle worker sleeps at a time when nothing comes.
constexpr int64_t kIdleSleepNs = int64_t{60} * 1000 * 1000 * 1000;

class Worker {
 public:
  Worker(const WorkerLaunch& launch, const KernelLibraries* kernels) : launch_(launch), kernels_(kernels) {}
  ~Worker() {
    if (control_ != nullptr) munmap(control_, kWorkerControlBytes);
  }

  int Run();

 private:
  bool Attach();
  RingBufferStatus ServeSpan(const char* data, size_t length);
  bool ServeRecord(const RequestBatchHeader& header, const char* body);
  bool WriteAnswer(const Response& response);

  const WorkerLaunch launch_;
  const KernelLibraries* const kernels_;
  std::unique_ptr<RingBuffer> requests_;
  std::unique_ptr<RingBuffer> responses_;
  WorkerControl* control_ = nullptr;
  std::unique_ptr<ChannelBudget> budget_;
  std::unique_ptr<GpuBackend> backend_;
  CancelToken cancel_;  // never cancelled: the client's exit kills the process
  std::unique_ptr<RecordRunner> runner_;  // made for the first record's client
  uint32_t pid_ = 0;
};

bool Worker::Attach() {
  try {
    std::string request_name = launch_.request_ring;
    std::string response_name = launch_.response_ring;
    requests_ = std::make_unique<RingBuffer>(request_name, kWorkerRequestRingBytes, false);
    responses_ = std::make_unique<RingBuffer>(response_name, kWorkerResponseRingBytes, false);
  } catch (const std::exception& e) {
    ZANTU_ERROR("worker %u cannot attach its rings: %s", launch_.slot, e.what());
    return false;
  }
  void* page = mmap(nullptr, kWorkerControlBytes, PROT_READ | PROT_WRITE, MAP_SHARED, launch_.control_fd, 0);
  close(launch_.control_fd);
  if (page == MAP_FAILED) {
    ZANTU_ERROR("worker %u cannot map its control page: %s", launch_.slot, strerror(errno));
    return false;
  }
  control_ = static_cast<WorkerControl*>(page);
  budget_ = std::make_unique<ChannelBudget>(responses_.get(), control_);
  return true;
}

// A fault in a client's kernel ends the worker with its signal, which the
// front end turns into the client's error; nothing inherited may catch it
// (a sanitizer's report would end the process with an exit status instead).
void DieOfFaults() {
  for (const int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL}) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigaction(signal, &action, nullptr);
  }
}

int Worker::Run() {
  prctl(PR_SET_NAME, "zantu_worker", 0, 0, 0);
  DieOfFaults();
  if (!Attach()) return kWorkerExitChannelFailed;
  std::string why;
  backend_ = OpenBackend(launch_.plan, kernels_, budget_.get(), &why);
  if (!backend_) {
    ZANTU_ERROR("worker %u cannot open its GPUs: %s", launch_.slot, why.c_str());
    return kWorkerExitNoBackend;
  }
  for (;;) {
    // An idle worker sleeps until its next record: it dies with the front
    // end (and the spawner), so it need not wake to look for them.
    if (!requests_->MayHaveRecords()) {
      requests_->AwaitRecords(kIdleSleepNs);
      continue;
    }
    const RingBufferStatus status =
        requests_->Read([this](void* data, size_t length) { return ServeSpan(static_cast<const char*>(data), length); });
    if (status == kRingSuccess || status == kRingEmpty) continue;
    return status == kRingPeerGone ? kWorkerExitDone : kWorkerExitChannelFailed;
  }
}

RingBufferStatus Worker::ServeSpan(const char* data, size_t length) {
  while (length > 0) {
    if (length < sizeof(RequestBatchHeader)) return kRingCorrupt;
    const RequestBatchHeader header = LoadRecord<RequestBatchHeader>(data);
    if (header.size > length - sizeof(RequestBatchHeader)) return kRingCorrupt;
    if (!ServeRecord(header, data + sizeof(RequestBatchHeader))) return kRingCorrupt;
    data += sizeof(RequestBatchHeader) + header.size;
    length -= sizeof(RequestBatchHeader) + header.size;
  }
  return kRingSuccess;
}

bool Worker::ServeRecord(const RequestBatchHeader& header, const char* body) {
  // One client per worker, for its whole life.
  if (pid_ == 0) {
    pid_ = header.pid;
    runner_ = std::make_unique<RecordRunner>(backend_.get(), pid_, &cancel_, launch_.test_module);
  }
  if (header.pid != pid_) {
    ZANTU_ERROR("worker %u serves pid=%u and got a record of pid=%u", launch_.slot, pid_, header.pid);
    return false;
  }
  if (header.flags == kNoteRefused) {
    runner_->NoteRefused(header.device, header.count);
    return true;
  }
  Response response;
  if (!runner_->Run(header, body, &response)) return false;
  return WriteAnswer(response);
}

bool Worker::WriteAnswer(const Response& response) {
  const size_t size = response.head_size + response.payload_size;
  for (;;) {
    const RingBufferStatus status = responses_->Write(size, [&response](void* space) {
      char* out = static_cast<char*>(space);
      std::memcpy(out, response.head, response.head_size);
      if (response.payload_size != 0) std::memcpy(out + response.head_size, response.payload, response.payload_size);
      return kRingSuccess;
    });
    if (status == kRingSuccess) return true;
    // Full while the front end sends earlier answers: only this client
    // waits.
    if (status != kRingFull) return false;
    timespec pause{0, kFullRingPauseNs};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
  }
}

}  // namespace

int RunWorker(const WorkerLaunch& launch, const KernelLibraries* kernels) {
  Worker worker(launch, kernels);
  return worker.Run();
}

}  // namespace zantu_node
