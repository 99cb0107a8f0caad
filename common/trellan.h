// libtrellan: the utility library that both deliverables link. Shared-memory
// ring buffers, Zstandard compression, random strings, exited-process
// detection and API names.
//
// Only what is declared here with TRELLAN_EXPORT is visible outside
// libtrellan.so.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/thread_annotations.h"

#define TRELLAN_EXPORT __attribute__((visibility("default")))

// Outcome of a ring-buffer operation or of a ring-buffer callback. Callers
// treat every value other than kRingSuccess, kRingFull and kRingEmpty as a
// failure.
enum RingBufferStatus : int {
  kRingSuccess = 0,
  kRingFull = 1,        // no room now; the fill callback was not run
  kRingEmpty = 2,       // nothing to read (after waiting up to 100 ms)
  kRingSendFailed = 3,  // returned by the daemon's forwarding callback
  kRingRecvFailed = 4,  // returned by the daemon's response fill callback
  kRingTooLarge = 5,    // the record is larger than the ring: it never fits
  kRingCorrupt = 6,     // the other side's position is impossible
  kRingPeerGone = 7,    // the creator of the ring ended or released it
  kRingNoMemory = 8,    // shared memory for the record could not be allocated
  kRingRejected = 9,    // returned by the daemon's forwarding callback: a record broke the rules
};

namespace trellan {
struct RingHeader;
struct Bell;
struct TrimSlot;
}  // namespace trellan

// A single-producer single-consumer byte ring in POSIX shared memory, shared
// by two processes that know its name.
//
// Thread safety: at most one thread writes and at most one thread reads a ring
// at a time (callers hold their own locks); reader and writer may run at once,
// in the same or in different processes.
//
// Records: Write publishes one record of exactly `size` contiguous bytes; Read
// hands out one span of one or more whole records back to back, byte for byte
// as written and in order. Nothing of the ring's own bookkeeping lies between
// records.
//
// The other side is not trusted: each side keeps its own position privately
// and checks every position it reads of the other side. A damaged ring makes
// the operation return kRingCorrupt from then on, never an access outside the
// ring. A writer that dies inside its fill callback leaves nothing visible.
//
// Memory: the ring is a sparse object of `size` bytes plus one header page.
// Backing is allocated (MADV_POPULATE_WRITE) before a record is handed to its
// fill callback, so a full /dev/shm makes Write return kRingNoMemory instead
// of raising SIGBUS. A ring keeps no file descriptor once it is mapped (an
// attacher keeps one pidfd on the creator). Resident memory follows the high-water mark of unread
// bytes: an empty ring restarts at offset 0, and once its reader has released
// nothing beyond the first MiB for 250 to 500 ms and nothing is unread, the
// pages beyond the first MiB are given back, whether or not Read is called
// again. A thread of the reading process does that: it starts when a reader
// first reads beyond the first MiB and ends once no ring of the process has
// pages to give back (a forked child leaves the rings it inherited to its
// parent).
class TRELLAN_EXPORT RingBuffer {
 public:
  // Creates (create == true) or attaches to (false) the ring called `name`,
  // read as a C string: everything up to its first NUL. `size` is the ring's
  // capacity in bytes: a power of two from 4096 to 2^40, identical on both
  // sides. Throws std::system_error (the name exists on create, is missing on
  // attach, memory fails) or std::invalid_argument (bad name or size, a
  // region that is not a ring, a size that does not match).
  //
  // Creation does not touch the data pages. The object is created with mode
  // 0600 and only its creator unlinks it.
  RingBuffer(std::string& name, size_t size, bool create);

  // Unmaps. The creating process also marks the ring closed (the other side's
  // operations then return kRingPeerGone), wakes a sleeping reader and unlinks
  // the name.
  ~RingBuffer();

  RingBuffer(const RingBuffer&) = delete;
  RingBuffer& operator=(const RingBuffer&) = delete;

  // Tests start a ring at any position through this accessor (defined in
  // tests/trellan/, never in the library).
  friend class RingBufferTestPeer;

  // Reserves `size` contiguous bytes, runs `fill` once on them and, if it
  // returns kRingSuccess, publishes them as one record. A non-zero status of
  // `fill` is returned unchanged and nothing is published. Returns kRingFull
  // without running `fill` when the record does not fit now, kRingTooLarge at
  // once when it is larger than the ring, kRingNoMemory when shared memory
  // cannot back it, kRingPeerGone when the ring is full and its creator has
  // gone. A size of 0 runs `fill` on an empty span and publishes nothing.
  // Makes no system call unless a reader sleeps or new pages need backing.
  RingBufferStatus Write(size_t size, std::function<RingBufferStatus(void*)> fill);

  // Hands one span of whole records to `consume` and releases it after the
  // callback, whose status is returned (the span is released whatever the
  // status). Returns kRingEmpty without running the callback when nothing
  // waits.
  //
  // Waiting: a thread that polls several rings calls Read on each in turn.
  // An empty ring returns kRingEmpty at once until the thread comes back to a
  // ring it already found empty with no record read anywhere in between (a
  // full round of empty rings). That Read spins briefly, then sleeps until a
  // record is published to any ring that wakes the same bell, or 100 ms pass.
  // A thread reading a single ring therefore returns once at once and then
  // waits up to 100 ms on every further empty call.
  //
  // A reader that attached (did not create) the ring returns kRingPeerGone
  // once the ring is empty and its creator has ended or released it.
  RingBufferStatus Read(std::function<RingBufferStatus(void*, size_t)> consume);

  // Read for a reader that may take only the first records of a span:
  // `consume` stores in its third argument how many bytes it took (0 when it
  // stores nothing; more than the span counts as all of it). Only those are
  // released, whatever the status; the rest stays unread, and the next Read
  // or ReadPrefix hands it out again at the start of its span. The ring keeps
  // no record boundaries: a count that ends inside a record puts the caller's
  // own stream out of step. Waiting as in Read; a span handed out counts as
  // a record read even when none of it is taken, so a reader that leaves a
  // span where it is does not call again until it can take some of it.
  RingBufferStatus ReadPrefix(std::function<RingBufferStatus(void*, size_t, size_t*)> consume);

  // Reader thread only: false when a Read now would surely return kRingEmpty
  // at once and has nothing else to do (no failure to report). Never false
  // when a record is published; may be true when none is. One load of the
  // writer's position, no system call and no part in Read's rounds: a thread
  // that polls many rings calls Read only on those that may have records,
  // and, when a whole pass found none, keeps calling Read on one ring in each
  // pass at the same place in the order, so that Read comes back to it after
  // a pass in which every ring was looked at and sleeps there. A reader that
  // attached learns that its creator has gone only from Read.
  bool MayHaveRecords();

  // Writer side: the reader's position as the reader last published it (it
  // moves forward as records are taken). A writer whose records do not fit
  // tells from it whether its reader still takes any. The other side sets
  // it: it may be anything, and only a change of it means something.
  uint64_t ReaderPosition() const;

  // Creator only: gives the ring to another owner (a daemon running as root
  // hands a client's rings to the client's user). False with errno on failure.
  bool SetOwner(uid_t uid, gid_t gid);

  size_t capacity() const { return capacity_; }

  // Reader thread only, for a thread that reads this one ring: returns once
  // a record may be there (MayHaveRecords), after at most `timeout_ns`
  // otherwise. It spins briefly, then sleeps on the ring's bell, so a reader
  // that waits for long between records costs nothing meanwhile; Read, by
  // contrast, wakes every 100 ms to look at its creator. Makes no system call
  // when a record is already there.
  void AwaitRecords(int64_t timeout_ns);

  // Any thread of the reader's process: wakes the reader if it sleeps in
  // Read or AwaitRecords, so that it looks at the ring again now. A system
  // call only when it sleeps.
  void WakeReader();

  // The user that owns the ring's shared-memory object, as found when this
  // side created or attached it: whoever owns it can read and write every
  // record, so an attacher trusts the ring only from a user it trusts.
  uid_t owner_uid() const { return owner_uid_; }

  // Wakes every thread of this process that sleeps in Read on a ring this
  // process created, as if a record had been published. Their Read returns
  // kRingEmpty at once if nothing is there.
  static void WakeLocalReaders();

  // For a transfer that the kernel refused with EFAULT: if `address` lies in
  // a ring this process created, the other side has shrunk the ring's object
  // under it. The whole ring is then replaced by private zero pages and marked
  // corrupt (its operations return kRingCorrupt from then on), so that the
  // transfer can be repeated and keeps its byte count; true if so. An access
  // from user space that meets such pages (SIGBUS) is handled the same way by
  // a handler that the first ring created installs; SIGBUS from elsewhere
  // goes to the handler that was there before.
  static bool AbandonMemoryAt(const void* address);

 private:
  void Create(const std::string& shm_name);
  void Attach(const std::string& shm_name);
  // Writer (ring_writer.cc).
  enum Room { kRoomNone, kRoomBacked, kRoomUnbacked, kRoomReaderDamaged };
  RingBufferStatus PlaceRecord(uint64_t size, uint64_t* start);
  Room FindRoom(uint64_t read_pos, uint64_t size, uint64_t* start) const;
  // Raises the writer's flag for a record beyond the hot bytes; false (the
  // flag lowered again) while the reader's side gives pages back.
  bool EnterCold();
  RingBufferStatus FillRecord(uint64_t offset, uint64_t size, const std::function<RingBufferStatus(void*)>& fill);
  void PublishRecord(uint64_t start, uint64_t size);
  RingBufferStatus Full();
  RingBufferStatus EnsureBacking(uint64_t offset, uint64_t length);
  void RingReaderBells();
  // Reader (ring_reader.cc).
  void DeclareReader();
  RingBufferStatus FindSpan(uint64_t* offset, uint64_t* length);
  RingBufferStatus ConsumeSpan(uint64_t offset, uint64_t length,
                               const std::function<RingBufferStatus(void*, size_t, size_t*)>& consume);
  void Release(uint64_t offset, uint64_t length);
  bool WaitOnBell(trellan::Bell* bell, bool mixed_round, uint32_t key);
  bool PeerGone();
  // The creator's mapping was replaced after the other side shrank it; makes
  // the failure sticky.
  bool Damaged();

  // Constant after construction.
  std::string shm_name_;
  bool creator_ = false;
  int guard_slot_ = -1;  // the creator's mapping in the SIGBUS guard, or -1
  pid_t owner_pid_ = 0;  // the process that built this object
  uid_t owner_uid_ = 0;  // owner of the shared-memory object (fstat)
  uint64_t capacity_ = 0;
  uint64_t mask_ = 0;
  uint64_t hot_bytes_ = 0;  // the first data bytes, never given back
  size_t map_length_ = 0;
  trellan::RingHeader* header_ = nullptr;
  uint8_t* data_ = nullptr;
  trellan::Bell* creator_bell_ = nullptr;  // the creating process's bell
  void* creator_bell_map_ = nullptr;       // mapped by an attacher; owned
  pid_t creator_pid_ = 0;
  uint64_t creator_start_ = 0;
  int pidfd_ = -1;  // the creator, watched by an attacher
  // Owned; listed with the process's trimming thread while the ring is
  // mapped. The reader notes in it what it read beyond the hot bytes.
  trellan::TrimSlot* trim_slot_ = nullptr;

  // Writer-private: touched only by the writing thread.
  alignas(64) uint64_t write_pos_ = 0;
  uint64_t wrap_lap_ = 0;   // lap start for which wrap_pos was last stored
  uint64_t pad_start_ = 0;  // data end of the lap before wrap_lap_
  uint64_t hot_backed_ = 0; // [0, hot_backed_) is allocated
  uint64_t cold_lo_ = 0;    // [cold_lo_, cold_hi_) is known to be allocated
  uint64_t cold_hi_ = 0;
  // The reader's position as last read: never goes back, never ahead of the
  // real one. Read again only when it leaves no room in backed pages.
  uint64_t read_seen_ = 0;
  uint32_t trim_epoch_seen_ = 0;
  uint32_t reader_bell_seen_ = 0;
  int64_t liveness_checked_ns_ = 0;
  RingBufferStatus write_failure_ = kRingSuccess;  // sticky

  // Reader-private: touched only by the reading thread.
  alignas(64) uint64_t read_pos_ = 0;
  uint64_t write_seen_ = 0;  // the writer's position as last read; never goes back
  uint64_t round_mark_ = 0;  // the round in which this ring was last found empty
  bool reader_declared_ = false;
  RingBufferStatus read_failure_ = kRingSuccess;  // sticky
};

// Zstandard compression of node-link bodies.
//
// Thread safety: every member may be called from several threads at once.
class TRELLAN_EXPORT ZSTDUtil {
 public:
  // `level` is the compression level of Compress; `workers` the number of
  // compression worker threads (0 compresses on the calling thread).
  ZSTDUtil(unsigned level, unsigned workers);
  ~ZSTDUtil();
  ZSTDUtil(const ZSTDUtil&) = delete;
  ZSTDUtil& operator=(const ZSTDUtil&) = delete;

  // Largest plain body Decompress returns: 2 GiB.
  static constexpr size_t kMaxPlainSize = size_t{1} << 31;

  // Decompresses one or more Zstandard frames. Returns false, with `*out`
  // emptied, for input that is not valid Zstandard, is truncated, or would
  // decompress beyond kMaxPlainSize; never returns partial output as success.
  // An empty input holds no frame and fails too (an empty body compresses to
  // a frame of its own). A declared plain size is checked before anything is
  // allocated for it.
  bool Decompress(const std::string& in, std::string* out);

  // The same; failure is reported by an empty result, so a caller that must
  // tell a failure from an empty body uses the form above.
  std::string Decompress(std::string& in);

  // Compresses `in` into one frame that records its plain size and a checksum
  // of it, so damaged content fails to decompress. False only when the
  // library fails (out of memory).
  bool Compress(const void* in, size_t length, std::string* out);

 private:
  void* TakeDecompressContext() EXCLUDES(mutex_);
  void ReturnDecompressContext(void* ctx) EXCLUDES(mutex_);
  void* TakeCompressContext() EXCLUDES(mutex_);
  void ReturnCompressContext(void* ctx) EXCLUDES(mutex_);

  const unsigned level_;
  const unsigned workers_;
  zantu::Mutex mutex_;
  std::vector<void*> free_dctx_ GUARDED_BY(mutex_);
  std::vector<void*> free_cctx_ GUARDED_BY(mutex_);
};

// `n` characters drawn uniformly from [A-Za-z0-9] by the kernel's random
// source; usable in a ring-buffer name.
TRELLAN_EXPORT std::string GenerateRandomString(size_t n);

// The members of `pids` whose processes no longer run: ended, zombies not yet
// reaped (a process runs as long as any of its threads does, also after its
// main thread called pthread_exit), and pids taken over by a new process since the first call that saw
// them (each pid's start time is remembered at first sight). A pid once
// reported is forgotten: asked about again, whatever process holds it then is
// new. Numbers that cannot be pids (0, above INT32_MAX) count as exited.
// Thread safety: may be called from several threads at once.
TRELLAN_EXPORT std::unordered_set<unsigned long> GetExitedPids(
    std::unordered_set<unsigned long>& pids);

// Remembers the start time of whatever process holds `pid` now (forgets the
// pid if none does), so that a process that has just taken over a reused pid
// is not reported as exited in place of the one before it. Called when a pid
// is admitted anew. Thread safety: as GetExitedPids.
TRELLAN_EXPORT void RefreshExitedPidsState(unsigned long pid);

// Removes from the shared-memory directory (/dev/shm) what processes that are
// gone left there: ring objects whose names start with one of
// `ring_prefixes`, and process bells (the objects that rings name in their
// header). A ring goes when the creator its header records no longer runs,
// or when its pid now belongs to a process started at another time; a bell
// likewise, by the pid in its name and the start time it records. Objects of
// a live process are never removed, nor anything that is not a ring or a bell
// (another name, not a plain file), nor what this process may not unlink.
// An object under a ring prefix that is shorter than a header or has no
// magic stays unless it has not changed for a minute (its creator was killed
// while making it). Returns how many objects it removed. Meant for a process
// that creates rings, before it creates any: another process's ring that is
// being created right now has no magic yet and stays.
// Without `bells` only rings are looked at (bells are whoever's).
TRELLAN_EXPORT size_t RemoveOrphanRings(const std::vector<std::string>& ring_prefixes, bool bells = true);

// Removes this process's bell from /dev/shm now (it is otherwise removed at
// exit): for a process that ends with _exit, without its exit handlers.
TRELLAN_EXPORT void UnlinkOwnBell();

// The API function's name, "unknown(3:17)" style for numbers without one.
// Never null; the text stays valid until the calling thread's next call.
TRELLAN_EXPORT const char* GetCudaFunctionName(unsigned char module, unsigned int function);
