// Registration of the process with the daemon at load time: the exchange with
// the daemon, the reply, attaching the two rings (only from a daemon this
// process can trust) and starting the response loop.
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <string>
#include <thread>

#include "client/internal.h"
#include "client/register_info.h"
#include "client/registration_exchange.h"
#include "client/submission_lock.h"
#include "client/visible_devices.h"
#include "common/log.h"
#include "common/registration_format.h"

int32_t CudaTovrel::pid_ = 0;
RegisterInfo CudaTovrel::register_info_{};
RingBuffer* CudaTovrel::request_rb_ = nullptr;
RingBuffer* CudaTovrel::response_rb_ = nullptr;
std::mutex CudaTovrel::mutex_;
std::atomic<bool> CudaTovrel::initialized_{false};
std::atomic<bool> CudaTovrel::response_loop_working_{false};
std::atomic<bool> CudaTovrel::response_loop_ended_{false};

namespace {

// Whoever owns a ring's object reads every call's data and writes every
// answer. Anybody can bind the registration port while no daemon runs, so a
// ring is taken only from root (a daemon run as root hands each client its
// rings) or from this process's own user.
bool Trusted(const RingBuffer& ring) {
  const uid_t owner = ring.owner_uid();
  if (owner == 0 || owner == geteuid()) return true;
  ZANTU_ERROR("registration refused: the rings belong to uid=%u, neither root nor this process's uid=%u",
              static_cast<unsigned>(owner), static_cast<unsigned>(geteuid()));
  return false;
}

// Attaches the two rings of `key`. The daemon created both before it
// replied; the names carry the key without its NUL. Anything that throws
// leaves the process unregistered, never aborted. False, with nothing
// attached, on failure or when the rings are not Trusted.
bool AttachRings(const std::string& key, RingBuffer** request, RingBuffer** response) {
  RingBuffer* request_rb = nullptr;
  RingBuffer* response_rb = nullptr;
  try {
    std::string request_name = kRequestRingPrefix + key;
    std::string response_name = kResponseRingPrefix + key;
    request_rb = new RingBuffer(request_name, kRingBufferSize, false);
    response_rb = new RingBuffer(response_name, kRingBufferSize, false);
  } catch (const std::exception& e) {
    ZANTU_ERROR("attach ring buffers failed: %s", e.what());
    delete request_rb;
    return false;
  }
  if (!Trusted(*request_rb) || !Trusted(*response_rb)) {
    delete request_rb;
    delete response_rb;
    return false;
  }
  *request = request_rb;
  *response = response_rb;
  return true;
}

}  // namespace

CudaTovrel::CudaTovrel() : module_(-1) {}

CudaTovrel::~CudaTovrel() = default;

void CudaTovrel::Initialize() {
  tovrel::SubmissionLock lock(mutex_);
  if (initialized_.load(std::memory_order_acquire)) return;
  pid_ = getpid();
  ZANTU_LOG("Initialize start, pid=%d tid=%d", pid_, thread_info.tid);

  uint8_t reply[kMaxReplySize];
  size_t length = 0;
  switch (tovrel::ExchangeRegistration(pid_, reply, sizeof(reply), &length)) {
    case tovrel::ExchangeOutcome::kReply:
      break;
    case tovrel::ExchangeOutcome::kNoDaemon:
      ZANTU_LOG("no daemon listens on 127.0.0.1:%u", static_cast<unsigned>(kRegistrationPort));
      ZANTU_ERROR("recv info from server failed=%d", -1);
      return;
    case tovrel::ExchangeOutcome::kTimedOut:
      ZANTU_LOG("the daemon did not answer within %d ms", tovrel::kReplyTimeoutMs);
      ZANTU_ERROR("recv info from server failed=%d", -1);
      return;
    case tovrel::ExchangeOutcome::kReceiveFailed:
      ZANTU_ERROR("recv info from server failed=%d", -1);
      return;
    case tovrel::ExchangeOutcome::kSocketFailed:
    case tovrel::ExchangeOutcome::kSendFailed:
      return;  // reported by the exchange
  }
  RegisterInfo info;
  if (!tovrel::DecodeRegisterInfo(reply, length, &info)) return;
  const std::string key(info.key);
  ZANTU_LOG("Get ring buffer key=%s", key.c_str());

  RingBuffer* request_rb = nullptr;
  RingBuffer* response_rb = nullptr;
  if (!AttachRings(key, &request_rb, &response_rb)) return;
  register_info_ = info;
  request_rb_ = request_rb;
  response_rb_ = response_rb;
  try {
    std::thread(&CudaTovrel::ResponseLoop).detach();
  } catch (const std::exception& e) {
    ZANTU_ERROR("start response loop failed: %s", e.what());
    request_rb_ = nullptr;
    response_rb_ = nullptr;
    delete request_rb;
    delete response_rb;
    register_info_ = RegisterInfo{};
    return;
  }
  tovrel::ApplyVisibleDevices(std::getenv("CUDA_VISIBLE_DEVICES"), &register_info_);
  initialized_.store(true, std::memory_order_release);
  ZANTU_LOG("Initialize done");
}

void CudaTovrel::Uninitialize() {}

const RegisterInfo* CudaTovrel::GetRegisterInfo() const { return &register_info_; }
