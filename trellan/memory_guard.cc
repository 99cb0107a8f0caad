#include "common/thread_annotations.h"
#include "trellan/memory_guard.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace trellan {
namespace {

// Two rings per client and some thousand clients; the handler scans only up
// to the highest slot ever used.
constexpr int kSlots = 1 << 16;

// `base` publishes a slot: set last on registration, cleared first on
// removal; 0 marks a free slot.
struct Slot {
  std::atomic<uintptr_t> base{0};
  std::atomic<size_t> length{0};
  std::atomic<uint32_t> damaged{0};
  std::atomic<uint32_t> claimed{0};  // owned by a registration, also before base is set
};

Slot slots[kSlots];
std::atomic<int> high_water{0};  // slots [0, high_water) may be in use

zantu::Mutex install_mutex;                // guards the installation below
std::atomic<bool> installed{false};
struct sigaction previous_action;        // written once before `installed`

void OnSigbus(int sig, siginfo_t* info, void* context) {
  // si_code > 0: raised by a fault at si_addr, not sent by a process.
  if (info != nullptr && info->si_code > 0 && AbandonMappingAt(info->si_addr)) return;
  if ((previous_action.sa_flags & SA_SIGINFO) != 0 && previous_action.sa_sigaction != nullptr) {
    previous_action.sa_sigaction(sig, info, context);
    return;
  }
  if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(sig);
    return;
  }
  // Default action: a fault repeats on return and now ends the process; a
  // signal sent by a process is raised again.
  signal(SIGBUS, SIG_DFL);
  if (info == nullptr || info->si_code <= 0) raise(SIGBUS);
}

void InstallHandler() {
  if (installed.load(std::memory_order_acquire)) return;
  zantu::MutexLock lock(&install_mutex);
  if (installed.load(std::memory_order_relaxed)) return;
  struct sigaction action {};
  action.sa_sigaction = OnSigbus;
  action.sa_flags = SA_SIGINFO | SA_RESTART | SA_NODEFER;
  sigemptyset(&action.sa_mask);
  if (sigaction(SIGBUS, &action, &previous_action) == 0) installed.store(true, std::memory_order_release);
}

}  // namespace

int GuardMapping(void* base, size_t length) {
  InstallHandler();
  for (int i = 0; i < kSlots; ++i) {
    uint32_t expected = 0;
    if (!slots[i].claimed.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) continue;
    slots[i].length.store(length, std::memory_order_relaxed);
    slots[i].damaged.store(0, std::memory_order_relaxed);
    slots[i].base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
    int seen = high_water.load(std::memory_order_relaxed);
    while (seen < i + 1 && !high_water.compare_exchange_weak(seen, i + 1, std::memory_order_acq_rel)) {
    }
    return i;
  }
  return -1;
}

void UnguardMapping(int slot) {
  if (slot < 0 || slot >= kSlots) return;
  slots[slot].base.store(0, std::memory_order_release);
  slots[slot].claimed.store(0, std::memory_order_release);
}

bool MappingDamaged(int slot) {
  return slot >= 0 && slot < kSlots && slots[slot].damaged.load(std::memory_order_acquire) != 0;
}

bool AbandonMappingAt(const void* address) {
  const auto at = reinterpret_cast<uintptr_t>(address);
  const int end = high_water.load(std::memory_order_acquire);
  for (int i = 0; i < end; ++i) {
    const uintptr_t base = slots[i].base.load(std::memory_order_acquire);
    if (base == 0 || at < base) continue;
    const size_t length = slots[i].length.load(std::memory_order_relaxed);
    if (at - base >= length) continue;
    // Over the whole mapping: the header page may be gone as well, and the
    // ring is not used for data any more.
    void* zero = mmap(reinterpret_cast<void*>(base), length, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    if (zero == MAP_FAILED) return false;
    slots[i].damaged.store(1, std::memory_order_release);
    return true;
  }
  return false;
}

}  // namespace trellan
