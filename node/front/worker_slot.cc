#include "node/front/worker_slot.h"

#include <dirent.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

namespace zantu_node {
namespace {

// Ring names: a prefix of their own (a node's rings are never a daemon's),
// the node's pid and a random part.
std::string RingName(const char* kind) {
  return std::string(kNodeRingPrefix) + kind + "_" + std::to_string(getpid()) + "_" + GenerateRandomString(12);
}

}  // namespace

size_t RemoveOwnWorkerRings() {
  DIR* dir = opendir("/dev/shm");
  if (dir == nullptr) return 0;
  const std::string pid = "_" + std::to_string(getpid()) + "_";
  std::vector<std::string> own;
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    for (const char* kind : {"REQUEST", "RESPONSE"}) {
      if (name.rfind(std::string(kNodeRingPrefix) + kind + pid, 0) == 0) own.push_back(name);
    }
  }
  closedir(dir);
  size_t removed = 0;
  for (const std::string& name : own) removed += shm_unlink(("/" + name).c_str()) == 0 ? 1 : 0;
  return removed;
}

std::unique_ptr<WorkerSlot> WorkerSlot::Create(uint32_t id, std::string* why) {
  std::unique_ptr<WorkerSlot> slot(new WorkerSlot(id));
  slot->request_name_ = RingName("REQUEST");
  slot->response_name_ = RingName("RESPONSE");
  try {
    slot->requests_ = std::make_unique<RingBuffer>(slot->request_name_, kWorkerRequestRingBytes, true);
    slot->responses_ = std::make_unique<RingBuffer>(slot->response_name_, kWorkerResponseRingBytes, true);
  } catch (const std::exception& e) {
    *why = std::string("worker rings: ") + e.what();
    return nullptr;
  }
  if (!slot->MakeControlPage(why)) return nullptr;
  return slot;
}

bool WorkerSlot::MakeControlPage(std::string* why) {
  control_fd_ = memfd_create("zantu_worker_control", MFD_CLOEXEC);
  if (control_fd_ < 0 || ftruncate(control_fd_, kWorkerControlBytes) != 0) {
    *why = std::string("worker control page: ") + strerror(errno);
    return false;
  }
  void* page = mmap(nullptr, kWorkerControlBytes, PROT_READ | PROT_WRITE, MAP_SHARED, control_fd_, 0);
  if (page == MAP_FAILED) {
    *why = std::string("worker control page: ") + strerror(errno);
    return false;
  }
  control_ = new (page) WorkerControl{};
  return true;
}

WorkerSlot::~WorkerSlot() {
  if (control_ != nullptr) munmap(control_, kWorkerControlBytes);
  if (control_fd_ >= 0) close(control_fd_);
}

}  // namespace zantu_node
