#include "node/node_server.h"

#include <sys/uio.h>

#include <algorithm>
#include <new>

#include "common/log.h"
#include "common/records.h"
#include "node/node_log.h"
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

}  // namespace

NodeServer::NodeServer(const NodeOptions& options, NodeLink* link) : options_(options), link_(link) {}

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

bool NodeServer::ReserveBody(uint64_t size) {
  if (size <= body_capacity_) return true;
  const uint64_t capacity = std::max<uint64_t>(size, std::min<uint64_t>(body_capacity_ * 2, kMaxRequestBody));
  body_.reset();  // the old contents are not needed; never hold both
  body_.reset(new (std::nothrow) char[capacity]);
  body_capacity_ = body_ ? capacity : 0;
  return body_ != nullptr;
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

  for (;;) {
    char head[sizeof(RequestBatchHeader)];
    const StreamRead read = link_->ReadStream(head, sizeof(head));
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
  if (!ReserveBody(header.size)) {
    ZANTU_ERROR("no memory for a request record of %llu bytes", static_cast<unsigned long long>(header.size));
    return kExitSetupFailed;
  }
  if (link_->ReadStream(body_.get(), header.size) != StreamRead::kComplete) {
    NODE_LOG("the daemon's stream ended inside a request record");
    return kExitOk;
  }
  ++records_;
  char head[sizeof(RequestBatchHeader)];
  StoreRecord(head, header);
  if (!Record(head, sizeof(head), body_.get(), header.size)) return kExitSetupFailed;

  std::string why;
  if (!TestModuleExecutor::Validate(header, body_.get(), &why)) {
    ZANTU_ERROR("malformed request record for pid=%u: %s; the stream cannot be trusted", header.pid, why.c_str());
    return kExitBrokenStream;
  }
  Response response;
  if (!executor_.Execute(header, body_.get(), &response)) return kExitSetupFailed;

  char skip[sizeof(ResponseBatchHeader)];
  StoreRecord(skip, ResponseBatchHeader{kLinkSkip, 0, 0, 0});
  struct iovec iov[3];
  int count = 0;
  if (options_.skip_headers) iov[count++] = {skip, sizeof(skip)};
  iov[count++] = {response.head, response.head_size};
  iov[count++] = {const_cast<char*>(response.payload), response.payload_size};
  if (!link_->WriteMessage(iov, count)) {
    NODE_LOG("the daemon has gone; an answer for pid=%u was not delivered", header.pid);
    return kExitOk;
  }
  ++answered_;
  if (options_.close_after != 0 && answered_ >= options_.close_after) {
    NODE_LOG("closing after %llu answered records", static_cast<unsigned long long>(answered_));
    link_->Close();
    return kExitOk;
  }
  *stop = false;
  return kExitOk;
}

std::string NodeServer::Summary() const {
  return "records=" + std::to_string(records_) + " answered=" + std::to_string(answered_) +
         " exit_notices=" + std::to_string(exit_notices_);
}

}  // namespace zantu_node
