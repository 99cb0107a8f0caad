#include <cstdarg>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "client/tovrel.h"
#include "common/api_numbers.h"
#include "common/response_batch.h"
#include "node/backends/emulated_backend.h"
#include "node/worker/runtime_executor.h"
#include "tests/cudart/fake_tovrel/fake_node.h"

namespace fake_tovrel {
namespace {

constexpr uint32_t kPid = 4242;

class NoBudget final : public zantu_node::MemoryBudget {
 public:
  bool Charge(uint32_t, uint64_t) override { return true; }
  void Refund(uint32_t, uint64_t) override {}
  void Usage(uint32_t, uint64_t* used, uint64_t* capacity) override { *used = 0, *capacity = kGpus * kGpuMemory; }
};

// The node: one executor for this process, as a worker has.
class Node {
 public:
  static Node& Get() {
    static Node* node = new Node();  // never destroyed: calls may come during exit
    return *node;
  }

  void Plant(uint32_t api, uint32_t result) {
    std::lock_guard<std::mutex> lock(mutex_);
    planted_[api] = result;
  }

  std::vector<RequestHeader> TakeLog() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(log_, {});
  }

  // Runs one entry; `answer` is the node's answer to it.
  void Run(uint32_t device, const RequestHeader& entry, const std::string& payload, zantu_node::CallAnswer* answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    log_.push_back(entry);
    auto planted = planted_.find(entry.api);
    if (planted != planted_.end()) {
      answer->Clear();
      answer->result = planted->second;
      planted_.erase(planted);
      // A deferred entry's failure waits on the node for the next sync.
      if ((entry.flags & kRequestDeferrable) != 0) executor_.NoteDeferredFailure(device, answer->result);
      return;
    }
    executor_.Execute(device, entry, payload.data(), answer);
  }

 private:
  Node() : backend_(kGpus, kGpuMemory, &kernels_, &budget_), executor_(&backend_, kPid) {}

  std::mutex mutex_;
  NoBudget budget_;
  zantu_node::KernelLibraries kernels_;  // none: this node runs no kernels
  zantu_node::EmulatedBackend backend_;
  zantu_node::RuntimeExecutor executor_;
  std::unordered_map<uint32_t, uint32_t> planted_;
  std::vector<RequestHeader> log_;
};

thread_local int current_gpu = 0;

// The request's pieces as the ring would carry them: its buffers, then what
// it borrows.
std::string Payload(const Request& request) {
  std::string payload;
  for (const std::string& piece : request.buffers) payload += piece;
  for (const BorrowedPiece& piece : request.borrowed) {
    payload.append(static_cast<const char*>(piece.data), piece.size);
  }
  return payload;
}

Request* NewRequest(CudaTovrel* owner, int32_t module, unsigned int api, unsigned int argc, va_list args) {
  auto* request = new Request(owner);
  request->header.request = reinterpret_cast<uint64_t>(request);
  request->header.module = static_cast<uint32_t>(module);
  request->header.magic = kRequestMagic;
  request->header.api = api;
  request->header.argc = argc;
  std::string arguments(size_t{argc} * sizeof(uint64_t), '\0');
  for (unsigned int i = 0; i < argc; ++i) {
    const uint64_t value = va_arg(args, uint64_t);
    std::memcpy(arguments.data() + i * sizeof(uint64_t), &value, sizeof(value));
  }
  request->buffers.push_back(std::move(arguments));
  return request;
}

// Hands the node's answer to the request as the response loop would, and
// gives the caller's result.
int Deliver(Request* request, const zantu_node::CallAnswer& answer) {
  const ResponseHeader head = AnswerEntry(request->header, answer.result, answer.payload_size);
  std::string entry(ResponseEntryBytes(head.size), '\0');
  StoreResponseEntry(entry.data(), head, answer.payload);
  ResponseView view{reinterpret_cast<ResponseHeader*>(entry.data()),
                    reinterpret_cast<uint8_t*>(entry.data() + sizeof(ResponseHeader))};
  if ((request->header.flags & kRequestDeferrable) != 0) return 0;  // answered with its record, if at all
  if ((request->header.flags & kRequestNoWait) != 0) {
    request->owner->HandleResponse(request, &view);
    return 0;
  }
  int result = static_cast<int>(view.Result());
  if (result == 0) {
    request->owner->HandleResponse(request, &view);
    result = static_cast<int>(view.Result());
  }
  if (result == 0 && request->callback) request->callback();
  return result;
}

}  // namespace

void Plant(uint32_t api, uint32_t result) { Node::Get().Plant(api, result); }

std::vector<RequestHeader> TakeLog() { return Node::Get().TakeLog(); }

}  // namespace fake_tovrel

RegisterInfo CudaTovrel::register_info_;

CudaTovrel::CudaTovrel() : module_(-1) {
  std::fprintf(stderr, "libtovrel: a test stand-in answers every call in this process\n");
  register_info_ = RegisterInfo{};
  std::strcpy(register_info_.key, "fakering");
  register_info_.gpu_count = fake_tovrel::kGpus;
  for (uint32_t i = 0; i < fake_tovrel::kGpus; ++i) register_info_.gpu_indexes[i] = i;
  register_info_.node_count = 1;
}

CudaTovrel::~CudaTovrel() = default;

const RegisterInfo* CudaTovrel::GetRegisterInfo() const { return &register_info_; }

int CudaTovrel::GetCurrentGpu() { return fake_tovrel::current_gpu; }

void CudaTovrel::SetCurrentGpu(int gpu) { fake_tovrel::current_gpu = gpu; }

int CudaTovrel::Dispatch(unsigned int api, unsigned int argc, ...) {
  va_list args;
  va_start(args, argc);
  std::unique_ptr<Request> request(fake_tovrel::NewRequest(this, module_, api, argc, args));
  va_end(args);
  const int32_t status = PrepareRequest(request.get());
  if (status == kCompletedLocally) return 0;
  if (status != 0) return status;
  const int gpu = fake_tovrel::current_gpu;
  if (gpu < 0 || static_cast<uint32_t>(gpu) >= register_info_.gpu_count) return kTovrelFailure;
  const std::string payload = fake_tovrel::Payload(*request);
  request->header.size = payload.size();
  zantu_node::CallAnswer answer;
  fake_tovrel::Node::Get().Run(register_info_.gpu_indexes[gpu], request->header, payload, &answer);
  return fake_tovrel::Deliver(request.get(), answer);
}
