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
#include "trellan/ring_layout.h"

using trellan::Bell;
using trellan::kRingHeaderBytes;
using trellan::MonotonicNanos;
using trellan::RingHeader;

namespace {

constexpr uint64_t kMinCapacity = 4096;
constexpr uint64_t kMaxCapacity = uint64_t{1} << 40;
constexpr uint64_t kPage = 4096;
// The first MiB of data is allocated once and never given back: small records
// keep cycling through it, so it stays resident and warm in the cache.
constexpr uint64_t kHotBytes = uint64_t{1} << 20;
constexpr uint64_t kBackingChunk = uint64_t{64} << 10;
constexpr int64_t kSpinNs = 20000;
constexpr int64_t kSleepNs = 100'000'000;
constexpr int64_t kMixedSleepNs = 1'000'000;
constexpr int64_t kTrimIdleNs = 100'000'000;
constexpr int64_t kLivenessIntervalNs = 100'000'000;

uint64_t RoundUp(uint64_t v, uint64_t to) { return (v + to - 1) & ~(to - 1); }
uint64_t RoundDown(uint64_t v, uint64_t to) { return v & ~(to - 1); }

inline void CpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

// The reading thread's current round over the rings it polls. A round starts
// with the bell's sequence number taken as the key, before any ring is looked
// at, and ends when a record is read or the thread has slept.
struct ReadRound {
  uint64_t id = 0;
  bool active = false;
  bool mixed = false;  // rings of this round sleep on different bells
  Bell* bell = nullptr;
  uint32_t key = 0;
};

std::atomic<uint64_t> next_round_base{1};

ReadRound& ThisThreadsRound() {
  // Round ids are unique across threads, so a ring read by several threads in
  // turn never takes another thread's round for its own.
  thread_local ReadRound round{next_round_base.fetch_add(1, std::memory_order_relaxed) << 32};
  return round;
}

std::string ShmName(const std::string& name) {
  std::string base(name.c_str());  // up to the first NUL
  if (base.empty() || base.size() > 200 || base.find('/') != std::string::npos) {
    throw std::invalid_argument("RingBuffer: invalid name '" + base + "'");
  }
  return "/" + base;
}

#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23
#endif

// Allocates the shared memory under [at, at + length) of a mapping and maps
// it into this process: one call instead of a page fault per page while the
// fill callback copies, and a failure here (no memory, or an object the other
// side shrank) instead of SIGBUS later. The mapping is all it needs, so a ring
// keeps no descriptor. A kernel without the call leaves it to the faults.
bool BackPages(uint8_t* at, uint64_t length) {
  int rc;
  do {
    rc = madvise(at, length, MADV_POPULATE_WRITE);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 || errno == EINVAL;
}

[[noreturn]] void ThrowErrno(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), "RingBuffer " + what);
}

// Clears the writer's flag however the fill callback leaves (a throw too).
class ColdGuard {
 public:
  explicit ColdGuard(std::atomic<uint32_t>* flag) : flag_(flag) {}
  ~ColdGuard() {
    if (flag_ != nullptr) flag_->store(0, std::memory_order_release);
  }
  ColdGuard(const ColdGuard&) = delete;
  ColdGuard& operator=(const ColdGuard&) = delete;

 private:
  std::atomic<uint32_t>* flag_;
};

}  // namespace

RingBuffer::RingBuffer(std::string& name, size_t size, bool create) {
  if (size < kMinCapacity || size > kMaxCapacity || (size & (size - 1)) != 0) {
    throw std::invalid_argument("RingBuffer: size must be a power of two from 4096 to 2^40");
  }
  shm_name_ = ShmName(name);
  capacity_ = size;
  mask_ = size - 1;
  hot_bytes_ = std::min<uint64_t>(kHotBytes, size);
  map_length_ = kRingHeaderBytes + size;
  owner_pid_ = getpid();
  if (create) {
    Create(shm_name_);
  } else {
    Attach(shm_name_);
  }
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

// ---------------------------------------------------------------------------
// Writer

RingBufferStatus RingBuffer::Write(size_t size, std::function<RingBufferStatus(void*)> fill) {
  if (size > capacity_) return kRingTooLarge;
  if (write_failure_ != kRingSuccess || Damaged()) return write_failure_;
  if (size == 0) return fill(data_ + (write_pos_ & mask_));

  const uint64_t w = write_pos_;
  const uint64_t r = header_->read_pos.load(std::memory_order_acquire);
  if (r - read_seen_ > w - read_seen_) {  // behind its last position, or ahead of the writer
    write_failure_ = kRingCorrupt;
    return write_failure_;
  }
  read_seen_ = r;
  const uint64_t ow = w & mask_;
  const uint64_t lap_start = w - ow;
  const uint64_t unread = w - r;
  uint64_t start = 0;
  bool placed = false;
  if (unread <= ow) {
    // The reader is in this lap: the unread bytes are [r, w).
    const uint64_t read_offset = r & mask_;
    if (unread == 0) {
      // Empty: start over at offset 0 (a new lap, unless already there).
      start = ow == 0 ? w : lap_start + capacity_;
      placed = true;
    } else {
      // The next lap's start is free below the reader's offset. Going there
      // early keeps a ring whose reader keeps up inside its hot bytes.
      const bool wrap_fits = size <= read_offset;
      if (wrap_fits && ow + size > hot_bytes_) {
        start = lap_start + capacity_;
        placed = true;
      } else if (ow + size <= capacity_) {
        start = w;
        placed = true;
      }
    }
  } else {
    // The reader is still in the previous lap, before or at its padding.
    const uint64_t pad = wrap_lap_ == lap_start ? pad_start_ : w;
    const uint64_t base = lap_start - capacity_;
    if (r - base > pad - base) {
      write_failure_ = kRingCorrupt;
      return write_failure_;
    }
    // Stop short of the lap end while the reader is a lap behind, so that the
    // writer is never two laps ahead.
    const uint64_t limit = r == pad ? capacity_ - 1 : (r & mask_);
    if (ow + size <= limit) {
      start = w;
      placed = true;
    }
  }
  if (!placed) return Full();

  const uint64_t offset = start & mask_;
  std::atomic<uint32_t>* cold_flag = nullptr;
  if (offset + size > hot_bytes_) {
    // Pages beyond the hot bytes may be given back by an idle reader; the
    // flag and the reader's gate keep the two apart (see MaybeTrim).
    header_->writer_in_cold.store(1, std::memory_order_seq_cst);
    if (header_->trim_gate.load(std::memory_order_seq_cst) != 0) {
      header_->writer_in_cold.store(0, std::memory_order_release);
      return Full();
    }
    cold_flag = &header_->writer_in_cold;
    const uint32_t epoch = header_->trim_epoch.load(std::memory_order_acquire);
    if (epoch != trim_epoch_seen_) {
      trim_epoch_seen_ = epoch;
      cold_lo_ = cold_hi_ = 0;
    }
  }
  ColdGuard guard(cold_flag);
  RingBufferStatus status = EnsureBacking(offset, size);
  if (Damaged()) return kRingCorrupt;
  if (status != kRingSuccess) return status;
  status = fill(data_ + offset);
  // What the fill wrote may have gone to pages that replaced vanished ones.
  if (Damaged()) return kRingCorrupt;
  if (status != kRingSuccess) return status;

  const uint64_t start_lap = start & ~mask_;
  if (start_lap != wrap_lap_) {
    // First record of a new lap: tell the reader where the last one ended.
    header_->wrap_pos.store(w, std::memory_order_relaxed);
    wrap_lap_ = start_lap;
    pad_start_ = w;
  }
  write_pos_ = start + size;
  // Release: the record's bytes and wrap_pos are visible before the position.
  header_->write_pos.store(write_pos_, std::memory_order_release);
  RingReaderBells();
  return kRingSuccess;
}

RingBufferStatus RingBuffer::Full() {
  // A writer that attached keeps waiting for room only while the ring's
  // creator, its reader, is there to make it.
  if (!creator_) {
    const int64_t now = MonotonicNanos();
    if (now - liveness_checked_ns_ >= kLivenessIntervalNs) {
      liveness_checked_ns_ = now;
      if (PeerGone()) {
        write_failure_ = kRingPeerGone;
        return write_failure_;
      }
    }
  }
  return kRingFull;
}

RingBufferStatus RingBuffer::EnsureBacking(uint64_t offset, uint64_t length) {
  const uint64_t end = offset + length;
  if (offset < hot_bytes_) {
    const uint64_t hot_end = std::min(end, hot_bytes_);
    if (hot_end > hot_backed_) {
      const uint64_t to = std::min(hot_bytes_, RoundUp(hot_end, kBackingChunk));
      if (!BackPages(data_ + hot_backed_, to - hot_backed_)) return kRingNoMemory;
      hot_backed_ = to;
    }
  }
  if (end <= hot_bytes_) return kRingSuccess;

  const uint64_t lo = RoundDown(std::max(offset, hot_bytes_), kPage);
  const uint64_t needed_hi = RoundUp(end, kPage);
  const uint64_t hi = std::min(capacity_, RoundUp(end, kBackingChunk));
  const bool known = cold_hi_ > cold_lo_;
  if (known && lo >= cold_lo_ && needed_hi <= cold_hi_) return kRingSuccess;
  if (known && lo <= cold_hi_ && hi >= cold_lo_) {
    if (lo < cold_lo_) {
      if (!BackPages(data_ + lo, cold_lo_ - lo)) return kRingNoMemory;
      cold_lo_ = lo;
    }
    if (hi > cold_hi_) {
      if (!BackPages(data_ + cold_hi_, hi - cold_hi_)) return kRingNoMemory;
      cold_hi_ = hi;
    }
    return kRingSuccess;
  }
  if (!BackPages(data_ + lo, hi - lo)) return kRingNoMemory;
  cold_lo_ = lo;
  cold_hi_ = hi;
  return kRingSuccess;
}

void RingBuffer::RingReaderBells() {
  uint32_t bell = reader_bell_seen_;
  if (bell == trellan::kReaderBellUnknown) {
    // Set once by the reader; until then both bells ring, so no wake-up is
    // lost whichever bell the reader ends up on.
    bell = header_->reader_bell.load(std::memory_order_acquire);
    if (bell == trellan::kReaderBellRing || bell == trellan::kReaderBellCreator) reader_bell_seen_ = bell;
  }
  if (bell != trellan::kReaderBellCreator) trellan::RingBell(&header_->bell);
  if (bell != trellan::kReaderBellRing) trellan::RingBell(creator_bell_);
}

// ---------------------------------------------------------------------------
// Reader

RingBufferStatus RingBuffer::FindSpan(uint64_t* offset, uint64_t* length) {
  for (;;) {
    const uint64_t r = read_pos_;
    const uint64_t w = header_->write_pos.load(std::memory_order_acquire);
    if (w == r) return kRingEmpty;
    // Never behind its last position, never more than two laps ahead.
    if (w - write_seen_ > 2 * capacity_) return kRingCorrupt;
    write_seen_ = w;
    const uint64_t to_lap_end = capacity_ - (r & mask_);
    const uint64_t unread = w - r;
    if (unread <= to_lap_end) {
      *offset = r & mask_;
      *length = unread;
      return kRingSuccess;
    }
    // The writer has moved on to the next lap; the data of this lap ends at
    // wrap_pos.
    if (unread - to_lap_end > capacity_) return kRingCorrupt;
    const uint64_t data_end = header_->wrap_pos.load(std::memory_order_acquire);
    if (data_end - r > to_lap_end) return kRingCorrupt;
    if (data_end != r) {
      *offset = r & mask_;
      *length = data_end - r;
      return kRingSuccess;
    }
    // Only padding is left in this lap.
    read_pos_ = r + to_lap_end;
    header_->read_pos.store(read_pos_, std::memory_order_release);
  }
}

void RingBuffer::Release(uint64_t offset, uint64_t length) {
  const uint64_t end = offset + length;
  if (end > hot_bytes_) {
    cold_seen_hi_ = std::max(cold_seen_hi_, end);
    last_cold_read_ns_ = MonotonicNanos();
  }
  read_pos_ += length;
  // Release: the span's bytes are read before the writer may reuse them.
  header_->read_pos.store(read_pos_, std::memory_order_release);
}

RingBufferStatus RingBuffer::Read(std::function<RingBufferStatus(void*, size_t)> consume) {
  if (read_failure_ != kRingSuccess || Damaged()) return read_failure_;
  if (!reader_declared_) {
    header_->reader_bell.store(creator_ ? trellan::kReaderBellCreator : trellan::kReaderBellRing,
                               std::memory_order_release);
    reader_declared_ = true;
  }
  Bell* bell = creator_ ? creator_bell_ : &header_->bell;
  ReadRound& round = ThisThreadsRound();
  bool waited = false;
  bool timed_out = false;
  for (;;) {
    uint64_t offset = 0;
    uint64_t length = 0;
    RingBufferStatus status = FindSpan(&offset, &length);
    if (status == kRingEmpty) {
      if (!round.active) {
        // A round starts at the first empty ring. Its key is taken now, so
        // this ring is looked at once more: a record published before the
        // key was taken must not be slept over.
        round.active = true;
        round.mixed = false;
        round.bell = bell;
        ++round.id;
        round.key = bell->seq.load(std::memory_order_acquire);
        status = FindSpan(&offset, &length);
      } else if (round.bell != bell) {
        round.mixed = true;
      }
    }
    if (status == kRingSuccess) {
      round.active = false;
      RingBufferStatus result = consume(data_ + offset, length);
      // The span may have been read from pages that replaced vanished ones.
      if (Damaged()) return kRingCorrupt;
      Release(offset, length);
      return result;
    }
    // Damage found while looking (the other side shrank the ring) is
    // reported at once, not after a sleep.
    if (status != kRingEmpty || Damaged()) {
      read_failure_ = Damaged() ? kRingCorrupt : status;
      return read_failure_;
    }
    if (cold_seen_hi_ != 0) MaybeTrim();
    if (waited) {
      if (!creator_ && (header_->closed.load(std::memory_order_acquire) != 0 || (timed_out && PeerGone()))) {
        read_failure_ = kRingPeerGone;
        return read_failure_;
      }
      round_mark_ = round.id;
      return kRingEmpty;
    }
    if (round_mark_ != round.id) {
      round_mark_ = round.id;
      return kRingEmpty;
    }
    // Back at a ring already found empty in this round: every ring of the
    // round is empty. Sleep until any of them gets a record.
    timed_out = !WaitOnBell(bell, round.mixed, round.key);
    waited = true;
    round.active = false;
  }
}

bool RingBuffer::WaitOnBell(Bell* bell, bool mixed_round, uint32_t key) {
  if (mixed_round) {
    // The round's key belongs to another bell; a fresh key may miss a record
    // published just before it was taken, so the sleep is kept short.
    return trellan::SleepOnBell(bell, bell->seq.load(std::memory_order_acquire), kMixedSleepNs);
  }
  const int64_t spin_until = MonotonicNanos() + kSpinNs;
  for (unsigned i = 1;; ++i) {
    if (bell->seq.load(std::memory_order_acquire) != key) return true;
    if (i % 64 == 0) {
      if (MonotonicNanos() >= spin_until) break;
      // The writer may be waiting for this CPU; a spin must not keep it off.
      sched_yield();
    }
    CpuRelax();
  }
  return trellan::SleepOnBell(bell, key, kSleepNs);
}

void RingBuffer::MaybeTrim() {
  const int64_t now = MonotonicNanos();
  if (now - last_cold_read_ns_ < kTrimIdleNs) return;
  last_cold_read_ns_ = now;
  // The gate and the writer's flag exclude each other (each side sets its
  // own, then reads the other's, all sequentially consistent): pages are
  // given back only while no record beyond the hot bytes is being placed and
  // none is unread.
  header_->trim_gate.store(1, std::memory_order_seq_cst);
  if (header_->writer_in_cold.load(std::memory_order_seq_cst) == 0 &&
      header_->write_pos.load(std::memory_order_acquire) == read_pos_) {
    const uint64_t to = std::min(capacity_, RoundUp(cold_seen_hi_, kBackingChunk));
    if (to > hot_bytes_) madvise(data_ + hot_bytes_, to - hot_bytes_, MADV_REMOVE);
    cold_seen_hi_ = 0;
    // The writer forgets what it knew was allocated beyond the hot bytes.
    header_->trim_epoch.store(header_->trim_epoch.load(std::memory_order_relaxed) + 1,
                              std::memory_order_release);
  }
  header_->trim_gate.store(0, std::memory_order_release);
}
