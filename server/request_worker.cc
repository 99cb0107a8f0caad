// The request worker: drains every client's request ring and sends each
// record, as the client wrote it, on the transport of the node it names. It
// is the only thread that sends records to the nodes (the registration
// service sends a client-exit notice only while it holds request_mutex_).
//
// A client's ring is shared with the client and not trusted: each record
// header is copied out of the ring once, checked, and only the copy is used.
#include <chrono>

#include "common/log.h"
#include "server/zantu.h"

void Zantu::SendClientExit(uint64_t pid) {
  RequestBatchHeader notice{};
  notice.flags = kLinkClientExit;
  notice.pid = static_cast<uint32_t>(pid);
  // A node that cannot be reached has logged it; the others still learn.
  for (auto& [node, network] : networks_) {
    if (network != nullptr) (void)network->Send(&notice, sizeof(notice));
  }
}

std::map<unsigned long, RingBuffer*>::iterator Zantu::ReleaseClient(
    std::map<unsigned long, RingBuffer*>::iterator it) {
  const uint64_t pid = it->first;
  ZANTU_LOG("delete ring buffers for pid=%d", static_cast<int>(pid));
  SendClientExit(pid);
  delete it->second;
  auto next = request_rbs_.erase(it);
  {
    // Waits for a response being written into the ring to finish.
    std::lock_guard<std::mutex> lock(ResponseMutex(pid));
    delete ExchangeResponseRing(pid, nullptr);
  }
  return next;
}

void Zantu::RequestWorker() {
  if (quit_.load(std::memory_order_acquire)) return;
  for (;;) {
    std::unique_lock<std::mutex> lock(request_mutex_);
    request_cv_.wait(lock, [this] {
      return !registering_.load(std::memory_order_seq_cst) || quit_.load(std::memory_order_acquire);
    });
    if (request_rbs_.empty()) {
      // The wait lets go of request_mutex_, so the first registration is
      // not held up; it ends early once a ring is stored.
      request_cv_.wait_for(lock, std::chrono::milliseconds(100), [this] {
        return !request_rbs_.empty() || quit_.load(std::memory_order_acquire);
      });
    } else {
      for (auto it = request_rbs_.begin(); it != request_rbs_.end();) {
        if (quit_.load(std::memory_order_acquire)) break;
        const uint64_t pid = it->first;
        // Forwards one span of whole records. A record that breaks the
        // rules is dropped with an Error line; if its size cannot be
        // trusted, so is the rest of the span.
        auto forward = [this, pid](void* data, size_t length) -> RingBufferStatus {
          const auto* p = static_cast<uint8_t*>(data);
          while (length > 0) {
            if (quit_.load(std::memory_order_acquire)) return kRingSendFailed;
            if (length < sizeof(RequestBatchHeader)) {
              ZANTU_ERROR("broken request record framing from pid=%lu, %zu bytes dropped",
                          static_cast<unsigned long>(pid), length);
              return kRingSuccess;
            }
            RequestBatchHeader header = LoadRecord<RequestBatchHeader>(p);
            const size_t body_room = length - sizeof(RequestBatchHeader);
            if (header.size > body_room) {
              ZANTU_ERROR("request record size=%lu runs past the span from pid=%lu, %zu bytes dropped",
                          static_cast<unsigned long>(header.size), static_cast<unsigned long>(pid), length);
              return kRingSuccess;
            }
            const size_t record_size = sizeof(RequestBatchHeader) + header.size;
            auto network = networks_.find(header.node);
            if (header.flags != 0 || header.pid != pid) {
              ZANTU_ERROR("invalid request record flags=%u pid=%u from pid=%lu dropped", header.flags, header.pid,
                          static_cast<unsigned long>(pid));
            } else if (network == networks_.end() || network->second == nullptr) {
              ZANTU_ERROR("request record for node=%u without a network from pid=%lu dropped", header.node,
                          static_cast<unsigned long>(pid));
            } else {
              if (!network->second->Send(&header, sizeof(header)) ||
                  !network->second->Send(const_cast<uint8_t*>(p) + sizeof(header), header.size)) {
                if (!quit_.load(std::memory_order_acquire)) ZANTU_ERROR("network send error happened");
                return kRingSendFailed;
              }
            }
            p += record_size;
            length -= record_size;
          }
          return kRingSuccess;
        };
        const RingBufferStatus status = it->second->Read(forward);
        if (status == kRingSuccess) {
          ++it;
        } else if (status == kRingEmpty) {
          bool registered;
          {
            std::lock_guard<std::mutex> clients(clients_mutex_);
            registered = clients_.count(pid) != 0;
          }
          it = registered ? std::next(it) : ReleaseClient(it);
        } else if (status == kRingSendFailed) {
          // A node link is broken: nothing more can be forwarded in step.
          if (!quit_.load(std::memory_order_acquire)) ZANTU_ERROR("read ring buffer failed=%d", status);
          lock.unlock();
          if (!quit_.load(std::memory_order_acquire)) Quit();
          return;
        } else {
          // The client damaged its ring: it is served no longer, the others
          // are.
          ZANTU_ERROR("read ring buffer failed=%d", status);
          {
            std::lock_guard<std::mutex> clients(clients_mutex_);
            clients_.erase(pid);
          }
          it = ReleaseClient(it);
        }
      }
    }
    lock.unlock();
    if (quit_.load(std::memory_order_acquire)) return;
  }
}
