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
#include <semaphore.h>

#include <cstdlib>
#include <vector>

#include "client/awaiting_requests.h"
#include "client/chunk_reader.h"
#include "client/internal.h"
#include "common/response_batch.h"

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

// Replaces each small `request` with the address of a live request, in the
// entries that ChunkReader follows: walked with the same decoder, so the
// aiming stops where the reading does.
void AimEntries(uint8_t* chunk, size_t size, Request* const* requests) {
  ResponseRecordWalker records(chunk, size);
  ResponseRecordWalker::Item record;
  while (records.Next(&record) == ResponseStep::kItem) {
    uint8_t* body = chunk + record.body();
    ResponseEntryWalker entries(body, record.header.size, record.header.count);
    ResponseEntryWalker::Item entry;
    while (entries.Next(&entry) == ResponseStep::kItem) {
      if (entry.header.request >= kRequests) continue;
      entry.header.request = reinterpret_cast<uint64_t>(requests[entry.header.request]);
      StoreRecord(body + entry.offset, entry.header);
    }
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
  AimEntries(chunk.data(), chunk.size(), requests);
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
