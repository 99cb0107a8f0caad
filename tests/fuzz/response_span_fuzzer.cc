// The client's reading of a chunk of response records, as its response loop
// takes them from the response ring: record headers, then the entries of
// each record, each answer handed to the request it names.
//
// Input: response records back to back. An entry's `request` below
// kRequests names one of four live requests of this run (two that a caller
// waits for, one no-wait, one deferred); anything else is an address the
// process never handed out and must be skipped. A record for another pid
// stops the process by design; with logging off, as here, that stop is off
// too and the walk goes on.
//
// The chunk walker lives in the anonymous namespace of response_loop.cc, so
// this file includes it.
#include "client/response_loop.cc"

#include <cstdlib>
#include <vector>

namespace {

using tovrel::AwaitingRequests;

constexpr uint64_t kRequests = 4;
constexpr uint32_t kPid = 1234;  // the pid of the seed records

class FuzzLayer : public CudaTovrel {
 public:
  int32_t PrepareRequest(Request*) override { return 0; }
  // Touches every payload byte, so a payload that runs past the record shows.
  void HandleResponse(Request*, ResponseView* view) override {
    const uint64_t size = view->PayloadSize();
    uint64_t sum = 0;
    for (uint64_t i = 0; i < size; ++i) sum += view->payload[i];
    if (sum % 7 == 3) view->SetResult(5);
  }
};

// Replaces each small `request` with the address of live request; stops where
// the entries stop being walkable (HandleRecord stops there too).
void AimEntries(uint8_t* body, uint64_t size, uint32_t count, Request* const* requests) {
  uint64_t offset = 0;
  for (uint32_t i = 0; i < count && size - offset >= sizeof(ResponseHeader); ++i) {
    ResponseHeader header = LoadRecord<ResponseHeader>(body + offset);
    if (header.request < kRequests) {
      header.request = reinterpret_cast<uint64_t>(requests[header.request]);
      StoreRecord(body + offset, header);
    }
    if (header.size > size - offset - sizeof(ResponseHeader)) return;
    offset += sizeof(ResponseHeader) + header.size;
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("ZANTU_DISABLE_LOG", "1", 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static FuzzLayer layer;
  Request* requests[kRequests];
  const uint32_t flags[kRequests] = {0, 0, kRequestNoWait, kRequestDeferrable};
  for (uint64_t i = 0; i < kRequests; ++i) {
    requests[i] = new Request(&layer);
    requests[i]->header.flags = flags[i];
    requests[i]->header.request = reinterpret_cast<uint64_t>(requests[i]);
    if (!AwaitingRequests::Get().Add(requests[i])) std::abort();
  }

  // Exactly `size` bytes, as a chunk of the ring would be.
  std::vector<uint8_t> chunk(data, data + size);
  uint8_t* p = chunk.data();
  size_t left = size;
  while (left >= sizeof(ResponseBatchHeader)) {
    const ResponseBatchHeader header = LoadRecord<ResponseBatchHeader>(p);
    if (header.size > left - sizeof(ResponseBatchHeader)) break;
    AimEntries(p + sizeof(ResponseBatchHeader), header.size, header.count, requests);
    p += sizeof(ResponseBatchHeader) + header.size;
    left -= sizeof(ResponseBatchHeader) + header.size;
  }
  if (tovrel::ChunkReader{kPid}(chunk.data(), chunk.size()) != kRingSuccess) std::abort();

  for (uint64_t i = 0; i < kRequests; ++i) {
    const bool answered = AwaitingRequests::Get().Take(reinterpret_cast<uint64_t>(requests[i])) == nullptr;
    const bool waits = (flags[i] & (kRequestNoWait | kRequestDeferrable)) == 0;
    if (answered && waits) {
      // Its caller was woken exactly once.
      if (sem_trywait(&requests[i]->sem) != 0 || sem_trywait(&requests[i]->sem) == 0) std::abort();
    }
    // Answered no-wait and deferred requests were released by the loop.
    if (waits || !answered) delete requests[i];
  }
  return 0;
}
