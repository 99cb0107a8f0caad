#include "node/front/node_server.h"

#include <sys/uio.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "common/api_numbers.h"
#include "common/log.h"
#include "common/records.h"
#include "common/request_check.h"
#include "common/response_batch.h"
#include "common/runtime_calls.h"
#include "node/front/sys_io.h"
#include "node/node_log.h"

namespace zantu_node {
namespace {

// How long a worker's full request ring is tried again before its record is
// refused. A worker drains its ring's end before the writer has room at its
// start again; a sanitizer build's worker runs many times slower.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr auto kFullRingPatience = std::chrono::milliseconds(2000);
#else
constexpr auto kFullRingPatience = std::chrono::milliseconds(100);
#endif
constexpr auto kNoPatience = std::chrono::milliseconds(0);

// Shows the guest information in a log line without trusting it to be text.
std::string Printable(const char* bytes, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && bytes[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    text.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  return text;
}

// The last entry of a record that CheckRequestRecord accepted.
RequestHeader LastEntry(const RequestBatchHeader& header, const char* body) {
  uint64_t offset = 0;
  RequestHeader entry{};
  for (uint32_t i = 0; i < header.count; ++i) {
    entry = LoadRecord<RequestHeader>(body + offset);
    offset += sizeof(RequestHeader) + entry.size;
  }
  return entry;
}

// A record's body read from the link and dropped, entry by entry, keeping
// what its answer needs.
class BodySkipper {
 public:
  explicit BodySkipper(NodeLink* link) : link_(link) {}

  enum class Outcome { kWellFormed, kMalformed, kStreamEnded };
  // Consumes exactly `header.size` bytes (unless the stream ends).
  Outcome Skip(const RequestBatchHeader& header, RequestHeader* last, bool* deferred) {
    uint64_t left = header.size;
    bool well_formed = CheckRequestBatch(header, nullptr);
    *deferred = false;
    for (uint32_t i = 0; well_formed && i < header.count; ++i) {
      if (left < sizeof(RequestHeader)) {
        well_formed = false;
        break;
      }
      RequestHeader entry{};
      if (link_->ReadStream(&entry, sizeof(entry)) != StreamRead::kComplete) return Outcome::kStreamEnded;
      left -= sizeof(entry);
      well_formed = CheckRequestEntry(entry, i, left + sizeof(entry), nullptr);
      if (!well_formed) break;
      if (!Drop(entry.size)) return Outcome::kStreamEnded;
      left -= entry.size;
      *deferred = *deferred || (entry.module == kModuleRuntime && (entry.flags & kRequestDeferrable) != 0);
      *last = entry;
    }
    if (!Drop(left)) return Outcome::kStreamEnded;
    return well_formed && left == 0 ? Outcome::kWellFormed : Outcome::kMalformed;
  }

 private:
  bool Drop(uint64_t bytes) {
    char scratch[64 << 10];
    while (bytes > 0) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes, sizeof(scratch)));
      if (link_->ReadStream(scratch, n) != StreamRead::kComplete) return false;
      bytes -= n;
    }
    return true;
  }

  NodeLink* const link_;
};

}  // namespace

NodeServer::NodeServer(const NodeOptions& options, const DispatchConfig& config, NodeLink* link, Spawner* spawner)
    : options_(options), config_(config), link_(link), dispatcher_(config, link, spawner) {}

NodeServer::~NodeServer() { CloseFd(&record_fd_); }

bool NodeServer::Prepare() {
  dispatcher_.Start();
  if (options_.record_path.empty()) return true;
  record_fd_ = OpenAppend(options_.record_path);
  return record_fd_ >= 0;
}

bool NodeServer::Record(const void* head, size_t head_size, const void* body, size_t body_size) {
  if (record_fd_ < 0) return true;
  const struct iovec iov[2] = {{const_cast<void*>(head), head_size}, {const_cast<void*>(body), body_size}};
  return WriteAll(record_fd_, iov, 2);
}

bool NodeServer::SendGrant() {
  char grant[sizeof(ResponseBatchHeader)];
  StoreResponseHead(grant, kLinkGrant | kLinkSkip, config_.grant_bytes, 0, config_.grant_records);
  const struct iovec piece = {grant, sizeof(grant)};
  return link_->WriteMessage(&piece, 1);
}

int NodeServer::Serve() {
  if (!SendGrant()) {
    NODE_LOG("the daemon went before the node's grant could be sent");
    dispatcher_.Finish(false);
    return kExitOk;
  }
  char guest[kGuestInfoSize];
  const StreamRead guest_read = link_->ReadStream(guest, sizeof(guest));
  if (guest_read != StreamRead::kComplete) {
    NODE_LOG("the daemon's stream ended before its guest information");
    dispatcher_.Finish(false);
    return kExitOk;
  }
  if (!Record(guest, sizeof(guest), nullptr, 0)) return kExitSetupFailed;
  NODE_LOG("guest information \"%s\"", Printable(guest, sizeof(guest)).c_str());

  const int status = ReadMessages();
  // A stream that ended is served to its end; a stop or a broken stream
  // drops what is queued.
  dispatcher_.Finish(status == kExitOk && !dispatcher_.stopping());
  return dispatcher_.stopping() && status == kExitOk ? dispatcher_.stop_status() : status;
}

int NodeServer::ReadMessages() {
  for (;;) {
    char head[sizeof(RequestBatchHeader)];
    const StreamRead read = link_->ReadStream(head, sizeof(head));
    if (dispatcher_.stopping()) return kExitOk;
    if (read == StreamRead::kEnded) {
      NODE_LOG("the daemon closed its stream");
      return kExitOk;
    }
    if (read == StreamRead::kTruncated) {
      NODE_LOG("the daemon's stream ended inside a message header");
      return kExitOk;
    }
    const RequestBatchHeader header = LoadRecord<RequestBatchHeader>(head);
    if (header.flags == kLinkClientExit) {
      ++exit_notices_;
      NODE_LOG("client pid=%u has exited", header.pid);
      dispatcher_.ClientExited(header.pid);
      if (!Record(head, sizeof(head), nullptr, 0)) return kExitSetupFailed;
      continue;
    }
    if (header.flags != 0) {
      ZANTU_ERROR("message with flags %u from the daemon; the stream cannot be trusted", header.flags);
      return kExitBrokenStream;
    }
    bool stop = false;
    const int status = ServeRecord(header, &stop);
    if (stop) return status;
  }
}

int NodeServer::ServeRecord(const RequestBatchHeader& header, bool* stop) {
  *stop = true;
  if (header.size > kMaxRequestBody) {
    ZANTU_ERROR("request record of %llu bytes for pid=%u is larger than any ring",
                static_cast<unsigned long long>(header.size), header.pid);
    return kExitBrokenStream;
  }
  ++records_;
  ClientEntry* entry = dispatcher_.EntryFor(header.pid);
  uint32_t result =
      entry != nullptr ? dispatcher_.Admit(entry, sizeof(header) + header.size, header.device) : kRtMemoryAllocation;
  if (result == kRtSuccess) {
    dispatcher_.WritePendingNote(entry);
    switch (DeliverToWorker(entry, header)) {
      case Delivery::kDelivered:
      case Delivery::kMalformed:  // logged; the next message is in step
        *stop = false;
        return kExitOk;
      case Delivery::kStreamEnded:
        if (!dispatcher_.stopping()) NODE_LOG("the daemon's stream ended inside a request record");
        return kExitOk;
      case Delivery::kRecordFailed:
        return kExitSetupFailed;
      case Delivery::kNoRoom:
        result = kRtMemoryAllocation;
        break;
    }
  }
  return AnswerHere(entry, header, result, stop);
}

NodeServer::Delivery NodeServer::DeliverToWorker(ClientEntry* entry, const RequestBatchHeader& header) {
  Delivery delivery = Delivery::kDelivered;
  const uint64_t bytes = sizeof(header) + header.size;
  // The grant keeps a worker's ring from filling: full means idle pages of
  // the ring are being given back this moment, which takes a moment only. A
  // ring that stays in the way longer gets its record refused, and the next
  // ones at once until one goes in: nothing waits for one client twice.
  const auto give_up = std::chrono::steady_clock::now() + (entry->ring_stalled ? kNoPatience : kFullRingPatience);
  RingBufferStatus status;
  do {
    status = WriteRecord(entry, header, &delivery);
  } while (status == kRingFull && delivery == Delivery::kDelivered && std::chrono::steady_clock::now() < give_up);
  entry->ring_stalled = status == kRingFull;
  if (status == kRingSuccess || delivery != Delivery::kDelivered) return delivery;
  // The fill did not run: the ring has no room or no memory for the record.
  ZANTU_ERROR("a record of %llu bytes for pid=%u is refused: its worker's ring cannot take it (status %d)",
              static_cast<unsigned long long>(bytes), header.pid, static_cast<int>(status));
  return Delivery::kNoRoom;
}

RingBufferStatus NodeServer::WriteRecord(ClientEntry* entry, const RequestBatchHeader& header, Delivery* result) {
  const uint64_t bytes = sizeof(header) + header.size;
  Delivery& delivery = *result;
  return entry->slot()->requests()->Write(bytes, [&](void* space) {
    char* out = static_cast<char*>(space);
    char* body = out + sizeof(header);
    StoreRecord(out, header);
    // Straight from the link into the ring the worker reads.
    if (link_->ReadStream(body, header.size) != StreamRead::kComplete) {
      delivery = Delivery::kStreamEnded;
      return kRingRecvFailed;
    }
    if (!Record(out, sizeof(header), body, header.size)) {
      delivery = Delivery::kRecordFailed;
      return kRingRecvFailed;
    }
    // The header's size still tells where the next message starts, so a
    // malformed record costs only its own client's call.
    std::string why;
    if (!CheckRequestRecord(header, reinterpret_cast<const uint8_t*>(body), &why)) {
      ++malformed_;
      ZANTU_ERROR("malformed request record for pid=%u dropped: %s", header.pid, why.c_str());
      delivery = Delivery::kMalformed;
      return kRingRejected;
    }
    dispatcher_.Expect(entry, LastEntry(header, body), bytes);
    return kRingSuccess;
  });
}

int NodeServer::AnswerHere(ClientEntry* entry, const RequestBatchHeader& header, uint32_t result, bool* stop) {
  ++refused_;
  RequestHeader last{};
  bool deferred = false;
  BodySkipper skipper(link_);
  switch (skipper.Skip(header, &last, &deferred)) {
    case BodySkipper::Outcome::kStreamEnded:
      if (!dispatcher_.stopping()) NODE_LOG("the daemon's stream ended inside a request record");
      return kExitOk;
    case BodySkipper::Outcome::kMalformed:
      ++malformed_;
      ZANTU_ERROR("malformed request record for pid=%u dropped", header.pid);
      *stop = false;
      return kExitOk;
    case BodySkipper::Outcome::kWellFormed:
      break;
  }
  // A device reset is how a program recovers from a broken context.
  if (entry != nullptr && last.module == kModuleRuntime && last.api == k_cudaDeviceReset && result != kRtSuccess &&
      result != kRtMemoryAllocation) {
    entry = dispatcher_.ResetBroken(entry, header.device, &result);
  }
  if (entry != nullptr) {
    dispatcher_.AnswerNow(entry, last, sizeof(header) + header.size, result,
                          deferred ? static_cast<int64_t>(header.device) : -1);
  } else {
    dispatcher_.AnswerUnserved(header.pid, last, result);
  }
  *stop = false;
  return kExitOk;
}

std::string NodeServer::Summary() const {
  return "records=" + std::to_string(records_) + " answered=" + std::to_string(dispatcher_.answered()) +
         " exit_notices=" + std::to_string(exit_notices_) + " malformed=" + std::to_string(malformed_) +
         " refused=" + std::to_string(refused_) + " dropped_records=" + std::to_string(dispatcher_.dropped()) +
         " workers=" + std::to_string(dispatcher_.workers_started()) +
         " workers_failed=" + std::to_string(dispatcher_.workers_failed());
}

}  // namespace zantu_node
