#include "node/node_server.h"

#include <sys/uio.h>

#include <cstring>

#include "common/api_numbers.h"
#include "common/log.h"
#include "common/runtime_calls.h"
#include "common/records.h"
#include "common/request_check.h"
#include "node/node_log.h"
#include "node/record_runner.h"
#include "node/sys_io.h"

namespace zantu_node {
namespace {

// Shows the guest information in a log line without trusting it to be text.
std::string Printable(const char* bytes, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && bytes[i] != '\0'; ++i) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    text.push_back(c >= 0x20 && c < 0x7f ? static_cast<char>(c) : '?');
  }
  return text;
}

DispatchLimits LimitsOf(const NodeOptions& options) {
  DispatchLimits limits;
  limits.skip_headers = options.skip_headers;
  limits.close_after = options.close_after;
  return limits;
}

}  // namespace

NodeServer::NodeServer(const NodeOptions& options, NodeLink* link, GpuBackend* backend)
    : options_(options), link_(link), backend_(backend), dispatcher_(backend, link, LimitsOf(options)) {}

NodeServer::~NodeServer() { CloseFd(&record_fd_); }

bool NodeServer::OpenRecord() {
  if (options_.record_path.empty()) return true;
  record_fd_ = OpenAppend(options_.record_path);
  return record_fd_ >= 0;
}

bool NodeServer::Record(const void* head, size_t head_size, const void* body, size_t body_size) {
  if (record_fd_ < 0) return true;
  const struct iovec iov[2] = {{const_cast<void*>(head), head_size}, {const_cast<void*>(body), body_size}};
  return WriteAll(record_fd_, iov, 2);
}

int NodeServer::Serve() {
  char guest[kGuestInfoSize];
  const StreamRead guest_read = link_->ReadStream(guest, sizeof(guest));
  if (guest_read != StreamRead::kComplete) {
    NODE_LOG("the daemon's stream ended before its guest information");
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
  if (!dispatcher_.Admit(header.pid, header.size)) return kExitOk;  // stopping
  BodyBuffer body;
  bool in_place = false;
  bool complete = false;
  const int status = ReadBody(header, &body, &in_place, &complete);
  if (status != kExitOk || !complete) {
    dispatcher_.Unadmit(header.pid, header.size);
    if (status == kExitOk && !dispatcher_.stopping()) NODE_LOG("the daemon's stream ended inside a request record");
    return status;
  }
  ++records_;
  if (in_place) {
    // Well formed by construction: one entry filling the record.
    dispatcher_.Submit(header, std::move(body), true);
    *stop = false;
    return kExitOk;
  }
  char head[sizeof(RequestBatchHeader)];
  StoreRecord(head, header);
  if (!Record(head, sizeof(head), body.data.get(), header.size)) {
    dispatcher_.Unadmit(header.pid, header.size);
    return kExitSetupFailed;
  }

  // The header's size still tells where the next message starts, so a
  // malformed record costs only its own client's call.
  std::string why;
  if (!CheckRequestRecord(header, reinterpret_cast<const uint8_t*>(body.data.get()), &why)) {
    ++malformed_;
    ZANTU_ERROR("malformed request record for pid=%u dropped: %s", header.pid, why.c_str());
    dispatcher_.Unadmit(header.pid, header.size);
    dispatcher_.GiveBuffer(std::move(body));
    *stop = false;
    return kExitOk;
  }
  dispatcher_.Submit(header, std::move(body));
  *stop = false;
  return kExitOk;
}

int NodeServer::ReadBody(const RequestBatchHeader& header, BodyBuffer* body, bool* in_place, bool* complete) {
  // Entry header and the five arguments of a copy.
  constexpr uint64_t kPrefix = sizeof(RequestHeader) + kMemcpyArgc * sizeof(uint64_t);
  // Below this, one more copy costs less than the checks.
  constexpr uint64_t kDirectMinimum = uint64_t{1} << 20;
  *in_place = false;
  *complete = false;
  char prefix[kPrefix];
  uint64_t have = 0;
  if (backend_ != nullptr && record_fd_ < 0 && header.count == 1 && header.size >= kPrefix + kDirectMinimum) {
    if (link_->ReadStream(prefix, kPrefix) != StreamRead::kComplete) return kExitOk;
    have = kPrefix;
    if (char* target = DirectTarget(header, prefix)) {
      *body = dispatcher_.TakeBuffer(kPrefix);
      if (body->data) {
        std::memcpy(body->data.get(), prefix, kPrefix);
        *in_place = true;
        *complete = link_->ReadStream(target, header.size - kPrefix) == StreamRead::kComplete;
        return kExitOk;
      }
    }
  }
  *body = dispatcher_.TakeBuffer(header.size);
  if (!body->data) {
    ZANTU_ERROR("no memory for a request record of %llu bytes", static_cast<unsigned long long>(header.size));
    return kExitSetupFailed;
  }
  if (have != 0) std::memcpy(body->data.get(), prefix, have);
  *complete = link_->ReadStream(body->data.get() + have, header.size - have) == StreamRead::kComplete;
  return kExitOk;
}

char* NodeServer::DirectTarget(const RequestBatchHeader& header, const char* prefix) {
  const RequestHeader entry = LoadRecord<RequestHeader>(prefix);
  if (entry.magic != kRequestMagic || entry.module != kModuleRuntime ||
      (entry.api != k_cudaMemcpy && entry.api != k_cudaMemcpyAsync) || entry.argc != kMemcpyArgc ||
      entry.size != header.size - sizeof(RequestHeader)) {
    return nullptr;
  }
  const char* args = prefix + sizeof(RequestHeader);
  const uint64_t dst = LoadRecord<uint64_t>(args);
  const uint64_t count = LoadRecord<uint64_t>(args + 16);
  const uint64_t kind = LoadRecord<uint64_t>(args + 24);
  const uint64_t stream = LoadRecord<uint64_t>(args + 32);
  if (kind != kCopyHostToDevice || count != entry.size - kMemcpyArgc * sizeof(uint64_t) || count > kMaxCopyChunk ||
      header.device >= backend_->DeviceCount() || !dispatcher_.ClientIdle(header.pid, header.size)) {
    return nullptr;
  }
  return backend_->DirectCopyTarget(header.pid, header.device, dst, count, stream);
}

std::string NodeServer::Summary() const {
  return "records=" + std::to_string(records_) + " answered=" + std::to_string(dispatcher_.answered()) +
         " exit_notices=" + std::to_string(exit_notices_) + " malformed=" + std::to_string(malformed_) +
         " dropped_records=" + std::to_string(dispatcher_.dropped());
}

}  // namespace zantu_node
