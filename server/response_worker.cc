// A response worker: reads one node's messages and writes each response
// record into the response ring of the client it names, decompressing
// compressed bodies; serves the Light transport's resend requests.
//
// The node's stream stays in step: every message is consumed whole, also one
// that cannot be delivered (its body is read and discarded). Only a failed
// receive, which leaves the stream out of step, ends the worker.
//
// An answer that cannot be delivered (a body that does not decompress, a
// record the client's ring can never take, cannot back with memory, or finds
// damaged) would leave its caller waiting for ever; the worker asks the
// request worker to release that client instead, which it does at the start
// of its next pass (woken at once if it sleeps): the client's rings go, its
// response loop ends and every waiting call gets 999.
#include <algorithm>
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

// A compressed body is held whole before it is decompressed; a larger one is
// refused (the plain result may not exceed this either).
constexpr uint64_t kMaxCompressedBody = uint64_t{1} << 31;

constexpr long kFullRingWaitNs = 1000000;  // 1 ms

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

}  // namespace

void Zantu::ResponseWorker(Network* network) {
  // Nothing may follow a failed receive: the stream is out of step.
  auto stop = [this] {
    if (!quit_.load(std::memory_order_acquire)) Quit();
  };
  // A receive that fails after Quit was woken by it: nothing to report.
  auto read_failed = [this] { return !quit_.load(std::memory_order_acquire); };
  for (;;) {
    if (quit_.load(std::memory_order_acquire)) return;

    ResponseBatchHeader header;
    if (!network->Recv(&header, sizeof(header))) {
      if (read_failed()) ZANTU_ERROR("network read error happened");
      return stop();
    }
    if (header.flags & kLinkSkip) continue;
    if (header.flags & kLinkResend) {
      auto* light = dynamic_cast<Light*>(network);
      if (light == nullptr) {
        ZANTU_ERROR("resend request seq=%lu on a transport that is not light ignored",
                    static_cast<unsigned long>(header.size));
        continue;
      }
      if (!light->ResendLightPacket(header.size)) {
        ZANTU_ERROR("resend light packet failed");
        return stop();
      }
      continue;
    }

    const uint64_t pid = header.pid;
    const bool compressed = (header.flags & kLinkCompressed) != 0;
    bool body_read = false;
    // Drops the message; its body, if still unread, is read and discarded.
    // False when that receive fails.
    auto drop = [&]() -> bool {
      if (body_read || Discard(network, header.size)) return true;
      if (read_failed()) ZANTU_ERROR("network read error happened");
      return false;
    };

    std::mutex* response_mutex = FindResponseMutex(pid);
    std::unique_lock<std::mutex> lock;
    RingBuffer* ring = nullptr;
    if (response_mutex != nullptr) {
      lock = std::unique_lock<std::mutex>(*response_mutex);
      ring = FindResponseRing(pid);
    }
    if (ring == nullptr) {
      ZANTU_ERROR("client process pid=%d has been exited when zantu is busy.", static_cast<int>(pid));
      if (lock.owns_lock()) lock.unlock();
      if (!drop()) return stop();
      continue;
    }

    std::string plain;
    size_t record_size;
    std::function<RingBufferStatus(void*)> fill;
    if (compressed) {
      std::string packed;
      bool too_large = header.size > kMaxCompressedBody;
      if (!too_large) {
        try {
          packed.resize(static_cast<size_t>(header.size));
        } catch (const std::bad_alloc&) {
          too_large = true;
        }
      }
      if (too_large) {
        ZANTU_ERROR("compressed response of %lu bytes for pid=%d dropped", static_cast<unsigned long>(header.size),
                    static_cast<int>(pid));
        AskRelease(pid, ring);
        lock.unlock();
        if (!drop()) return stop();
        continue;
      }
      if (!network->Recv(packed.data(), packed.size())) {
        if (read_failed()) ZANTU_ERROR("network read error happened");
        return stop();
      }
      body_read = true;
      if (!zstd_->Decompress(packed, &plain)) {
        ZANTU_ERROR("decompress response of %lu bytes for pid=%d failed, dropped",
                    static_cast<unsigned long>(header.size), static_cast<int>(pid));
        AskRelease(pid, ring);
        continue;
      }
      header.size = plain.size();
      record_size = sizeof(header) + plain.size();
      fill = [&header, &plain](void* space) -> RingBufferStatus {
        StoreRecord(space, header);
        std::copy(plain.begin(), plain.end(), static_cast<char*>(space) + sizeof(header));
        return kRingSuccess;
      };
    } else {
      // Sizes no ring can hold are refused before the sum could overflow.
      record_size = header.size > kRingBufferSize ? kRingBufferSize + 1 : sizeof(header) + header.size;
      fill = [&header, &body_read, network](void* space) -> RingBufferStatus {
        StoreRecord(space, header);
        // Straight from the node into the client's ring.
        body_read = true;
        if (!network->Recv(static_cast<char*>(space) + sizeof(header), header.size)) return kRingRecvFailed;
        return kRingSuccess;
      };
    }

    RingBufferStatus status;
    for (;;) {
      status = ring->Write(record_size, fill);
      if (status != kRingFull) break;
      ZANTU_LOG("response ringbuffer is full pid=%d", static_cast<int>(pid));
      // The client may be released while the lock is let go.
      lock.unlock();
      zantu_internal::SleepNanos(kFullRingWaitNs);
      if (quit_.load(std::memory_order_acquire)) {
        ZANTU_ERROR("write ring buffer failed=%d", status);
        return;
      }
      lock.lock();
      ring = FindResponseRing(pid);
      if (ring == nullptr) {
        ZANTU_ERROR("client process pid=%d has been exited when zantu is busy.", static_cast<int>(pid));
        break;
      }
    }
    const bool lost = ring != nullptr && status != kRingSuccess && status != kRingRecvFailed;
    if (lost) AskRelease(pid, ring);
    if (lock.owns_lock()) lock.unlock();
    if (ring == nullptr) {
      if (!drop()) return stop();
      continue;
    }
    if (status == kRingSuccess) continue;
    if (status == kRingRecvFailed) {
      // The body was half read: the stream is out of step.
      if (read_failed()) ZANTU_ERROR("write ring buffer failed=%d", status);
      return stop();
    }
    // The ring cannot take the record (larger than the ring, no memory,
    // damaged by the client): this message is lost, the others are not.
    ZANTU_ERROR("write ring buffer failed=%d", status);
    if (!drop()) return stop();
  }
}
