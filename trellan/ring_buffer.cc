// RingBuffer's life cycle: creating or attaching the shared memory, the
// creator's liveness as an attacher sees it, and damage. Writing, reading and
// backing live in ring_writer.cc, ring_reader.cc and ring_backing.cc.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "common/trellan.h"
#include "trellan/doorbell.h"
#include "trellan/memory_guard.h"
#include "trellan/process_identity.h"
#include "trellan/ring_internal.h"
#include "trellan/ring_layout.h"
#include "trellan/ring_trimmer.h"

using trellan::BackPages;
using trellan::Bell;
using trellan::kRingHeaderBytes;
using trellan::MonotonicNanos;
using trellan::RingHeader;

namespace {

constexpr uint64_t kMinCapacity = 4096;
constexpr uint64_t kMaxCapacity = uint64_t{1} << 40;

std::string ShmName(const std::string& name) {
  std::string base(name.c_str());  // up to the first NUL
  if (base.empty() || base.size() > 200 || base.find('/') != std::string::npos) {
    throw std::invalid_argument("RingBuffer: invalid name '" + base + "'");
  }
  return "/" + base;
}

[[noreturn]] void ThrowErrno(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), "RingBuffer " + what);
}

}  // namespace

RingBuffer::RingBuffer(std::string& name, size_t size, bool create) {
  if (size < kMinCapacity || size > kMaxCapacity || (size & (size - 1)) != 0) {
    throw std::invalid_argument("RingBuffer: size must be a power of two from 4096 to 2^40");
  }
  shm_name_ = ShmName(name);
  capacity_ = size;
  mask_ = size - 1;
  hot_bytes_ = std::min<uint64_t>(trellan::kRingHotBytes, size);
  map_length_ = kRingHeaderBytes + size;
  owner_pid_ = getpid();
  if (create) {
    Create(shm_name_);
  } else {
    Attach(shm_name_);
  }
  trim_slot_ = new trellan::TrimSlot();
  trim_slot_->header = header_;
  trim_slot_->data = data_;
  trim_slot_->capacity = capacity_;
  trim_slot_->hot_bytes = hot_bytes_;
  trellan::ListForTrim(trim_slot_);
}

void RingBuffer::Create(const std::string& shm_name) {
  std::string bell_name;
  Bell* bell = trellan::LocalBell(&bell_name);
  if (bell == nullptr) ThrowErrno(errno, "bell");
  int fd = shm_open(shm_name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) ThrowErrno(errno, "create " + shm_name);
  // Only the header page is allocated now: data pages are allocated by the
  // writer as records reach them. The descriptor is not needed past mmap.
  void* map = MAP_FAILED;
  if (ftruncate(fd, static_cast<off_t>(map_length_)) == 0) {
    map = mmap(nullptr, map_length_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
  }
  int err = errno;
  close(fd);
  if (map != MAP_FAILED && !BackPages(static_cast<uint8_t*>(map), kRingHeaderBytes)) {
    err = ENOMEM;
    munmap(map, map_length_);
    map = MAP_FAILED;
  }
  if (map == MAP_FAILED) {
    shm_unlink(shm_name.c_str());
    ThrowErrno(err, "create " + shm_name);
  }
  // The attaching side may shrink the object under this mapping.
  guard_slot_ = trellan::GuardMapping(map, map_length_);
  creator_ = true;
  owner_uid_ = geteuid();
  header_ = static_cast<RingHeader*>(map);
  data_ = static_cast<uint8_t*>(map) + kRingHeaderBytes;
  creator_bell_ = bell;
  creator_pid_ = getpid();
  creator_start_ = trellan::ReadProcessState(creator_pid_).start_time;

  // The object is fresh and zero-filled: positions start at 0.
  header_->capacity = capacity_;
  header_->creator_pid = static_cast<uint32_t>(creator_pid_);
  header_->creator_start_time = creator_start_;
  std::strncpy(header_->bell_name, bell_name.c_str(), trellan::kBellNameSize - 1);
  header_->magic.store(trellan::kRingMagic, std::memory_order_release);
}

void RingBuffer::Attach(const std::string& shm_name) {
  int fd = shm_open(shm_name.c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) ThrowErrno(errno, "attach " + shm_name);
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int err = errno;
    close(fd);
    ThrowErrno(err, "attach " + shm_name);
  }
  if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != map_length_) {
    close(fd);
    throw std::invalid_argument("RingBuffer: " + shm_name + " is not a ring of this size");
  }
  owner_uid_ = st.st_uid;
  void* map = mmap(nullptr, map_length_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd, 0);
  const int map_errno = errno;
  close(fd);
  if (map == MAP_FAILED) ThrowErrno(map_errno, "attach " + shm_name);
  auto* header = static_cast<RingHeader*>(map);
  char bell_name[trellan::kBellNameSize];
  std::memcpy(bell_name, header->bell_name, sizeof(bell_name));
  bell_name[sizeof(bell_name) - 1] = '\0';
  if (header->magic.load(std::memory_order_acquire) != trellan::kRingMagic || header->capacity != capacity_) {
    munmap(map, map_length_);
    throw std::invalid_argument("RingBuffer: " + shm_name + " is not a ring of this size");
  }
  void* bell_map = nullptr;
  Bell* bell = trellan::MapBell(bell_name, &bell_map);
  if (bell == nullptr) {
    munmap(map, map_length_);
    ThrowErrno(ENOENT, "attach " + shm_name + ": the creator's bell is gone");
  }
  header_ = header;
  data_ = static_cast<uint8_t*>(map) + kRingHeaderBytes;
  creator_bell_ = bell;
  creator_bell_map_ = bell_map;
  creator_pid_ = static_cast<pid_t>(header_->creator_pid);
  creator_start_ = header_->creator_start_time;

  // Pick up wherever the ring stands (it is normally fresh).
  write_pos_ = header_->write_pos.load(std::memory_order_acquire);
  read_pos_ = header_->read_pos.load(std::memory_order_acquire);
  read_seen_ = read_pos_;
  write_seen_ = write_pos_;
  wrap_lap_ = write_pos_ & ~mask_;
  pad_start_ = header_->wrap_pos.load(std::memory_order_acquire);

  // A pidfd follows exactly this process, even once its pid is reused; it is
  // only trusted if the process still has the start time the header records.
  int pidfd = static_cast<int>(syscall(SYS_pidfd_open, creator_pid_, 0));
  if (pidfd >= 0) {
    trellan::ProcessState state = trellan::ReadProcessState(creator_pid_);
    if (state.running && state.start_time == creator_start_) {
      pidfd_ = pidfd;
    } else {
      close(pidfd);
    }
  }
}

RingBuffer::~RingBuffer() {
  // A forked child holds a copy of its parent's object: it neither closes
  // the ring for the other side nor unlinks it.
  const bool owner = creator_ && getpid() == owner_pid_;
  // Off the trimming thread's list before the memory goes.
  trellan::UnlistForTrim(trim_slot_);
  delete trim_slot_;
  if (header_ != nullptr) {
    if (owner) {
      header_->closed.store(1, std::memory_order_release);
      trellan::RingBell(&header_->bell);
      trellan::RingBell(creator_bell_);
    }
    trellan::UnguardMapping(guard_slot_);
    munmap(header_, map_length_);
  }
  if (owner) shm_unlink(shm_name_.c_str());
  trellan::UnmapBell(creator_bell_map_);
  if (pidfd_ >= 0) close(pidfd_);
}

bool RingBuffer::SetOwner(uid_t uid, gid_t gid) {
  if (!creator_) {
    errno = EPERM;
    return false;
  }
  // The ring keeps no descriptor; shm_open's objects live in /dev/shm, where
  // nobody but this process may replace one of its names (sticky directory).
  if (chown(("/dev/shm" + shm_name_).c_str(), uid, gid) != 0) return false;
  if (uid != static_cast<uid_t>(-1)) owner_uid_ = uid;
  return true;
}

bool RingBuffer::AbandonMemoryAt(const void* address) { return trellan::AbandonMappingAt(address); }

bool RingBuffer::Damaged() {
  if (!trellan::MappingDamaged(guard_slot_)) return false;
  write_failure_ = kRingCorrupt;
  read_failure_ = kRingCorrupt;
  return true;
}

void RingBuffer::WakeLocalReaders() {
  if (Bell* bell = trellan::LocalBellIfCreated()) trellan::RingBell(bell);
}

bool RingBuffer::PeerGone() {
  if (header_->closed.load(std::memory_order_acquire) != 0) return true;
  if (pidfd_ >= 0) {
    pollfd pfd{pidfd_, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0;
  }
  trellan::ProcessState state = trellan::ReadProcessState(creator_pid_);
  return !state.running || state.start_time != creator_start_;
}
