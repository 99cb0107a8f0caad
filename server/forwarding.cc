// The request worker's forwarding of one span of a client's request ring.
//
// A client's ring is shared with the client and not trusted: it may hold
// anything, and the client may change it while it is being sent. What frames
// a record on the node link (its header, every entry header) is therefore
// copied out of the ring once, checked, and only the copy is sent; a record
// that breaks a rule is refused before any byte of it is sent, so the node
// stream, which every client shares, always stays in step. Large payloads
// are sent straight from the ring: their bytes are the client's own business.
//
// A record goes only when it fits the grant of its node (AdmitRecord); the
// first one that does not stays in the ring with everything after it.
#include <algorithm>
#include <cstring>
#include <string>

#include "common/log.h"
#include "common/request_check.h"
#include "server/zantu.h"

namespace {

// A record up to this size is copied whole before it is checked and sent.
constexpr uint64_t kCopyWholeRecord = uint64_t{64} << 10;
// In a larger record, payloads up to this size travel in the copy too, so
// that a record of many small entries is still sent in a few calls.
constexpr uint64_t kCopyPayload = uint64_t{4} << 10;

}  // namespace

bool Zantu::StageRecord(const RequestBatchHeader& header, const uint8_t* body, ForwardStaging* staging,
                        std::string* why) {
  staging->bytes.assign(reinterpret_cast<const char*>(&header), sizeof(header));
  staging->pieces.clear();
  if (!CheckRequestBatch(header, why)) return false;
  if (header.size <= kCopyWholeRecord) {
    staging->bytes.append(reinterpret_cast<const char*>(body), header.size);
    const auto* copy = reinterpret_cast<const uint8_t*>(staging->bytes.data()) + sizeof(header);
    if (!CheckRequestRecord(header, copy, why)) return false;
    staging->pieces.push_back({true, 0, staging->bytes.size()});
    return true;
  }
  // Runs of copied bytes alternate with payloads left in the ring.
  uint64_t offset = 0;
  uint64_t run_start = 0;
  for (uint32_t i = 0; i < header.count; ++i) {
    const uint64_t room = header.size - offset;
    RequestHeader entry{};
    if (room >= sizeof(RequestHeader)) entry = LoadRecord<RequestHeader>(body + offset);
    if (!CheckRequestEntry(entry, i, room, why)) return false;
    staging->bytes.append(reinterpret_cast<const char*>(&entry), sizeof(entry));
    offset += sizeof(RequestHeader);
    if (entry.size <= kCopyPayload) {
      staging->bytes.append(reinterpret_cast<const char*>(body + offset), entry.size);
    } else {
      staging->pieces.push_back({true, run_start, staging->bytes.size() - run_start});
      staging->pieces.push_back({false, offset, entry.size});
      run_start = staging->bytes.size();
    }
    offset += entry.size;
  }
  if (!CheckRequestEnd(header.size - offset, why)) return false;
  if (staging->bytes.size() > run_start) {
    staging->pieces.push_back({true, run_start, staging->bytes.size() - run_start});
  }
  return true;
}

bool Zantu::OffersGpu(uint32_t node, uint32_t device) const {
  return std::any_of(gpus_.begin(), gpus_.end(),
                     [node, device](const GPU& gpu) { return gpu.node == node && gpu.index == device; });
}

Network* Zantu::CheckRecordHeader(uint64_t pid, const RequestBatchHeader& header, size_t body_room,
                                  std::string* why) const {
  if (header.size > body_room) {
    *why = "record size " + std::to_string(header.size) + " runs past the span";
    return nullptr;
  }
  if (header.flags != 0 || header.pid != pid) {
    *why = "flags=" + std::to_string(header.flags) + " pid=" + std::to_string(header.pid);
    return nullptr;
  }
  auto network = networks_.find(header.node);
  if (network == networks_.end() || network->second == nullptr) {
    *why = "node=" + std::to_string(header.node) + " has no network";
    return nullptr;
  }
  if (!OffersGpu(header.node, header.device)) {
    *why = "node=" + std::to_string(header.node) + " device=" + std::to_string(header.device) +
           " is not a GPU of this daemon";
    return nullptr;
  }
  return network->second;
}

RingBufferStatus Zantu::ForwardSpan(uint64_t pid, uint8_t* data, size_t length, ForwardStaging* staging,
                                    size_t* taken) {
  const unsigned long client = static_cast<unsigned long>(pid);
  auto refuse = [client](const std::string& why) {
    ZANTU_ERROR("request record from pid=%lu refused, the client is released: %s", client, why.c_str());
    return kRingRejected;
  };
  size_t done = 0;
  while (done < length) {
    if (Quitting()) return kRingSendFailed;
    if (length - done < sizeof(RequestBatchHeader)) return refuse("a record header runs past the span");
    const RequestBatchHeader header = LoadRecord<RequestBatchHeader>(data + done);
    std::string why;
    Network* link = CheckRecordHeader(pid, header, length - done - sizeof(RequestBatchHeader), &why);
    if (link == nullptr) return refuse(why);
    const size_t record_size = sizeof(RequestBatchHeader) + header.size;
    // Held back: this record and the rest stay in the ring.
    if (!AdmitRecord(pid, header.node, record_size)) break;
    uint8_t* body = data + done + sizeof(RequestBatchHeader);
    if (!StageRecord(header, body, staging, &why)) return refuse(why);
    if (!SendRecord(link, *staging, body)) return kRingSendFailed;
    done += record_size;
    *taken = done;
  }
  return kRingSuccess;
}

bool Zantu::SendRecord(Network* link, const ForwardStaging& staging, uint8_t* body) {
  for (const ForwardStaging::Piece& piece : staging.pieces) {
    const uint8_t* from =
        piece.staged ? reinterpret_cast<const uint8_t*>(staging.bytes.data()) + piece.offset : body + piece.offset;
    if (!link->Send(const_cast<uint8_t*>(from), piece.length)) {
      if (!Quitting()) ZANTU_ERROR_AS("ForwardSpan", "network send error happened");
      return false;
    }
  }
  return true;
}
