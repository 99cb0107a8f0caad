// A response worker: reads one node's messages and writes each response
// record into the response ring of the client it names, decompressing
// compressed bodies; serves the Light transport's resend requests and takes
// in the node's grants (flow_control.cc).
//
// The node's stream stays in step: every message is consumed whole, also one
// that cannot be delivered (its body is read and discarded). Only a failed
// receive, which leaves the stream out of step, ends the worker.
//
// The worker never waits for one client: an answer that the client's ring
// cannot take now, or that has answers of the same client waiting before it,
// joins that client's overflow (overflow.cc), and the next message is read.
// A plain body that the ring can take goes straight from the node into the
// ring.
//
// An answer that cannot be delivered (a body that does not decompress or is
// too large, a record the client's ring can never take, cannot back with
// memory, or finds damaged, an overflow that would pass its bounds) would
// leave its caller waiting for ever; the worker asks the request worker to
// release that client instead, which it does at the start of its next pass
// (woken at once if it sleeps): the client's rings go, its response loop
// ends and every waiting call gets 999.
#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/registration.h"
#include "server/light.h"
#include "server/zantu.h"

namespace {

// Reads and drops `size` bytes of the node's stream in bounded chunks.
bool Discard(Network* network, uint64_t size) {
  std::vector<char> chunk(static_cast<size_t>(std::min<uint64_t>(size, uint64_t{1} << 20)));
  while (size > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(size, chunk.size()));
    if (!network->Recv(chunk.data(), n)) return false;
    size -= n;
  }
  return true;
}

enum class Body {
  kReady,       // the plain body is in hand
  kTooLarge,    // refused unread (logged)
  kRefused,     // read, but it does not decompress or its plain form is too large (logged)
  kRecvFailed,  // the stream is out of step
};

// Reads the compressed body of `*header` whole and decompresses it into
// `*plain`; header->size becomes the plain size. Neither form may pass
// kMaxResponseBody.
Body ReadCompressedBody(Network* network, ZSTDUtil* zstd, ResponseBatchHeader* header, std::string* plain) {
  const int pid = static_cast<int>(header->pid);
  const unsigned long size = static_cast<unsigned long>(header->size);
  std::string packed;
  bool too_large = header->size > kMaxResponseBody;
  if (!too_large) {
    try {
      packed.resize(static_cast<size_t>(header->size));
    } catch (const std::bad_alloc&) {
      too_large = true;
    }
  }
  if (too_large) {
    ZANTU_ERROR_AS("ResponseWorker", "compressed response of %lu bytes for pid=%d dropped", size, pid);
    return Body::kTooLarge;
  }
  if (!network->Recv(packed.data(), packed.size())) return Body::kRecvFailed;
  if (!zstd->Decompress(packed, plain)) {
    ZANTU_ERROR_AS("ResponseWorker", "decompress response of %lu bytes for pid=%d failed, dropped", size, pid);
    return Body::kRefused;
  }
  if (plain->size() > kMaxResponseBody) {
    ZANTU_ERROR_AS("ResponseWorker", "compressed response of %lu bytes for pid=%d decompresses to %zu, dropped", size,
                   pid, plain->size());
    plain->clear();
    return Body::kRefused;
  }
  header->size = plain->size();
  return Body::kReady;
}

void ReportClientGone(uint64_t pid) {
  ZANTU_ERROR_AS("ResponseWorker", "client process pid=%d has been exited when zantu is busy.", static_cast<int>(pid));
}

std::string LostAnswer(uint64_t pid) { return "an answer for pid=" + std::to_string(pid) + " was lost"; }

}  // namespace

void Zantu::ResponseWorker(uint32_t node, Network* network) {
  while (!Quitting()) {
    ResponseBatchHeader header;
    if (!network->Recv(&header, sizeof(header))) {
      ReportReadError();
      break;
    }
    // A grant carries the skip flag too, for daemons that do not know it.
    if (header.flags & kLinkGrant) {
      TakeGrant(node, header);
      continue;
    }
    if (header.flags & kLinkSkip) continue;
    bool in_step;
    if (header.flags & kLinkResend) {
      in_step = ServeResend(network, header.size);
    } else {
      CreditAnswer(node, header.pid);
      in_step = DeliverResponse(network, header);
    }
    if (!in_step) break;
  }
  // Nothing may follow a failed receive: the stream is out of step.
  if (!Quitting()) Quit();
}

void Zantu::ReportReadError() {
  // A receive that fails after Quit was woken by it: nothing to report.
  if (!Quitting()) ZANTU_ERROR_AS("ResponseWorker", "network read error happened");
}

bool Zantu::DropBody(Network* network, uint64_t size) {
  if (Discard(network, size)) return true;
  ReportReadError();
  return false;
}

bool Zantu::ServeResend(Network* network, uint64_t seq) {
  auto* light = dynamic_cast<Light*>(network);
  if (light == nullptr) {
    ZANTU_ERROR_AS("ResponseWorker", "resend request seq=%lu on a transport that is not light ignored",
                   static_cast<unsigned long>(seq));
    return true;
  }
  if (light->ResendLightPacket(seq)) return true;
  ZANTU_ERROR_AS("ResponseWorker", "resend light packet failed");
  return false;
}

// One response message on its way into the ring of the client it names.
struct Zantu::Delivery {
  Network* network;
  ResponseBatchHeader header;
  std::unique_lock<zantu::Mutex> lock;  // the client's response mutex
  RingBuffer* ring = nullptr;           // the client's response ring, kept alive by `lock`
  Route route = Route::kRing;
  std::string plain;                    // a decompressed body
  bool body_read = false;               // unless set, the body is still on the stream
  size_t record_size = 0;
  std::function<RingBufferStatus(void*)> fill;
};

bool Zantu::DeliverResponse(Network* network, const ResponseBatchHeader& header) {
  Delivery delivery;
  delivery.network = network;
  delivery.header = header;
  const uint64_t pid = header.pid;
  if (zantu::Mutex* response_mutex = FindResponseMutex(pid)) {
    delivery.lock = std::unique_lock<zantu::Mutex>(*response_mutex);
    delivery.ring = FindResponseRing(pid);
  }
  if (delivery.ring == nullptr) {
    ReportClientGone(pid);
    if (delivery.lock.owns_lock()) delivery.lock.unlock();
    return DropBody(network, header.size);
  }
  delivery.route = RouteOf(pid);
  if (delivery.route == Route::kDrop) {
    // Its release is under way (logged once, when it was asked for).
    delivery.lock.unlock();
    return DropBody(network, header.size);
  }
  if (header.flags & kLinkCompressed) {
    bool in_step;
    if (!PrepareCompressed(&delivery, &in_step)) return in_step;
  } else {
    PreparePlain(&delivery);
  }
  return WriteDelivery(&delivery);
}

bool Zantu::PrepareCompressed(Delivery* delivery, bool* in_step) {
  const Body body = ReadCompressedBody(delivery->network, zstd_, &delivery->header, &delivery->plain);
  if (body == Body::kRecvFailed) {
    ReportReadError();
    *in_step = false;
    return false;
  }
  if (body != Body::kReady) {
    AskRelease(delivery->header.pid, delivery->ring, LostAnswer(delivery->header.pid));
    delivery->lock.unlock();
    *in_step = body == Body::kRefused || DropBody(delivery->network, delivery->header.size);
    return false;
  }
  delivery->body_read = true;
  delivery->record_size = sizeof(ResponseBatchHeader) + delivery->plain.size();
  delivery->fill = [delivery](void* space) -> RingBufferStatus {
    StoreRecord(space, delivery->header);
    std::copy(delivery->plain.begin(), delivery->plain.end(), static_cast<char*>(space) + sizeof(ResponseBatchHeader));
    return kRingSuccess;
  };
  return true;
}

void Zantu::PreparePlain(Delivery* delivery) {
  const uint64_t size = delivery->header.size;
  // Sizes no ring can hold are refused before the sum could overflow.
  delivery->record_size = size > kRingBufferSize ? kRingBufferSize + 1 : sizeof(ResponseBatchHeader) + size;
  delivery->fill = [delivery](void* space) -> RingBufferStatus {
    StoreRecord(space, delivery->header);
    // Straight from the node into the client's ring.
    delivery->body_read = true;
    char* body = static_cast<char*>(space) + sizeof(ResponseBatchHeader);
    if (!delivery->network->Recv(body, delivery->header.size)) return kRingRecvFailed;
    return kRingSuccess;
  };
}

bool Zantu::WriteDelivery(Delivery* delivery) {
  // Answers already held go first: this one joins them.
  if (delivery->route == Route::kHold) return HoldDelivery(delivery);
  const RingBufferStatus status = delivery->ring->Write(delivery->record_size, delivery->fill);
  if (status == kRingSuccess) return true;
  // Full: the fill was not run, a plain body is still on the stream.
  if (status == kRingFull) return HoldDelivery(delivery);
  return FailDelivery(delivery, status);
}

bool Zantu::HoldDelivery(Delivery* delivery) {
  const uint64_t pid = delivery->header.pid;
  HeldAnswer record;
  if (!ReserveOverflow(pid, delivery->record_size, delivery->ring, &record)) {
    delivery->lock.unlock();
    return delivery->body_read || DropBody(delivery->network, delivery->header.size);
  }
  StoreRecord(record.bytes.get(), delivery->header);
  char* body = record.bytes.get() + sizeof(ResponseBatchHeader);
  if (delivery->body_read) {
    std::memcpy(body, delivery->plain.data(), delivery->plain.size());
  } else if (!delivery->network->Recv(body, delivery->header.size)) {
    ReportReadError();
    return false;
  }
  AppendOverflow(pid, std::move(record));
  return true;
}

bool Zantu::FailDelivery(Delivery* delivery, RingBufferStatus status) {
  const uint64_t pid = delivery->header.pid;
  if (status == kRingRecvFailed) {
    // The body was half read: the stream is out of step.
    delivery->lock.unlock();
    if (!Quitting()) ZANTU_ERROR_AS("ResponseWorker", "write ring buffer failed=%d", status);
    return false;
  }
  // The ring cannot take the record (larger than the ring, no memory,
  // damaged by the client): this message is lost, the others are not.
  ZANTU_ERROR_AS("ResponseWorker", "write ring buffer failed=%d", status);
  AskRelease(pid, delivery->ring, LostAnswer(pid));
  delivery->lock.unlock();
  return delivery->body_read || DropBody(delivery->network, delivery->header.size);
}
