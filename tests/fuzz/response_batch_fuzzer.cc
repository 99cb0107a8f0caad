// The response record codec (common/response_batch.h) on its own: the walk
// over records and their entries, and the one-entry head written and read
// back. Input: response records back to back, as a span of the response
// ring would hold them.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "common/response_batch.h"

namespace {

// Every entry the walk hands out lies within its record, and encodes back to
// the bytes it was read from.
void CheckEntries(const uint8_t* body, uint64_t size, uint32_t count) {
  ResponseEntryWalker entries(body, size, count);
  ResponseEntryWalker::Item entry;
  ResponseStep step;
  uint64_t walked = 0;
  while ((step = entries.Next(&entry)) == ResponseStep::kItem) {
    if (entry.offset != walked || entry.body() + entry.header.size > size) std::abort();
    walked = entry.body() + entry.header.size;
    std::vector<uint8_t> encoded(ResponseEntryBytes(entry.header.size));
    if (StoreResponseEntry(encoded.data(), entry.header, body + entry.body()) != encoded.size()) std::abort();
    if (std::memcmp(encoded.data(), body + entry.offset, encoded.size()) != 0) std::abort();

    uint8_t head[kSingleResponseHeadBytes];
    ResponseHeader back;
    if (StoreSingleResponseHead(head, 7, entry.header) != sizeof(head)) std::abort();
    if (!LoadSingleResponseHead(head, &back)) std::abort();
    if (std::memcmp(&back, &entry.header, sizeof(back)) != 0) std::abort();
  }
  // A walk that stops early stops at an entry it did not hand out.
  if (entries.left() != size - walked) std::abort();
  if (step == ResponseStep::kEnd && entries.index() != count) std::abort();
  if (step != ResponseStep::kEnd && entries.index() >= count) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly `size` bytes, so a read past the span is caught.
  const std::vector<uint8_t> span(data, data + size);
  ResponseRecordWalker records(span.data(), span.size());
  ResponseRecordWalker::Item record;
  ResponseStep step;
  while ((step = records.Next(&record)) == ResponseStep::kItem) {
    CheckEntries(span.data() + record.body(), record.header.size, record.header.count);
  }
  // Records end only where the span does.
  if (step == ResponseStep::kEnd && records.left() != 0) std::abort();
  if (step == ResponseStep::kCutHead && records.left() >= sizeof(ResponseBatchHeader)) std::abort();

  ResponseHeader entry;
  if (size >= kSingleResponseHeadBytes && LoadSingleResponseHead(data, &entry)) {
    const ResponseBatchHeader batch = LoadRecord<ResponseBatchHeader>(data);
    if (batch.count != 1 || batch.size != ResponseEntryBytes(entry.size)) std::abort();
  }
  return 0;
}
