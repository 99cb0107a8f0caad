// The check of a request record that the daemon runs on every record a
// client writes into its ring, and the node on every record it receives:
// whatever the bytes, it reads only the record, and a record it accepts can
// be walked entry by entry to exactly its end, every entry with the magic
// number and its argument block inside its payload. Input: a 28-byte batch
// header and the body; the header's size is the body's length (the daemon
// checks that against its span first).
#include <cstdlib>
#include <memory>
#include <string>

#include "common/request_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < sizeof(RequestBatchHeader)) return 0;
  RequestBatchHeader header = LoadRecord<RequestBatchHeader>(data);
  header.size = size - sizeof(RequestBatchHeader);
  // Exactly the body's bytes, so a read past it is caught.
  std::unique_ptr<uint8_t[]> body(new uint8_t[header.size + 1]);
  std::memcpy(body.get(), data + sizeof(RequestBatchHeader), header.size);

  std::string why;
  const bool ok = CheckRequestRecord(header, body.get(), &why);
  if (ok != CheckRequestRecord(header, body.get(), nullptr)) std::abort();
  if (!ok) {
    if (why.empty()) std::abort();
    return 0;
  }
  if (header.count == 0) std::abort();
  uint64_t offset = 0;
  for (uint32_t i = 0; i < header.count; ++i) {
    if (header.size - offset < sizeof(RequestHeader)) std::abort();
    const RequestHeader entry = LoadRecord<RequestHeader>(body.get() + offset);
    offset += sizeof(RequestHeader);
    if (entry.magic != kRequestMagic || entry.size > header.size - offset || uint64_t{entry.argc} * 8 > entry.size) {
      std::abort();
    }
    offset += entry.size;
  }
  if (offset != header.size) std::abort();
  return 0;
}
