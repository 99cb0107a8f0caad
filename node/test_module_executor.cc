#include "node/test_module_executor.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/api_numbers.h"
#include "common/log.h"
#include "common/test_module.h"

namespace zantu_node {
namespace {

uint64_t Argument(const char* payload, uint32_t index) {
  return LoadRecord<uint64_t>(payload + static_cast<size_t>(index) * sizeof(uint64_t));
}

void StoreHeads(Response* response, uint32_t batch_flags, uint64_t batch_size, uint32_t pid,
                const ResponseHeader& entry, bool with_entry) {
  ResponseBatchHeader batch{};
  batch.flags = batch_flags;
  batch.size = batch_size;
  batch.pid = pid;
  batch.count = 1;
  StoreRecord(response->head, batch);
  response->head_size = sizeof(ResponseBatchHeader);
  if (with_entry) {
    StoreRecord(response->head + sizeof(ResponseBatchHeader), entry);
    response->head_size += sizeof(ResponseHeader);
  }
}

}  // namespace

TestModuleExecutor::TestModuleExecutor() : zstd_(1, 0) {}

bool TestModuleExecutor::Validate(const RequestBatchHeader& header, const char* body, std::string* why) {
  if (header.count == 0) {
    *why = "record with count 0";
    return false;
  }
  uint64_t offset = 0;
  for (uint32_t i = 0; i < header.count; ++i) {
    if (header.size - offset < sizeof(RequestHeader)) {
      *why = "entry " + std::to_string(i) + " header runs past the record";
      return false;
    }
    const RequestHeader entry = LoadRecord<RequestHeader>(body + offset);
    offset += sizeof(RequestHeader);
    if (entry.magic != kRequestMagic) {
      *why = "entry " + std::to_string(i) + " magic " + std::to_string(entry.magic);
      return false;
    }
    if (entry.size > header.size - offset) {
      *why = "entry " + std::to_string(i) + " payload of " + std::to_string(entry.size) + " bytes runs past the record";
      return false;
    }
    if (uint64_t{entry.argc} * sizeof(uint64_t) > entry.size) {
      *why = "entry " + std::to_string(i) + " argc " + std::to_string(entry.argc) + " exceeds its payload of " +
             std::to_string(entry.size) + " bytes";
      return false;
    }
    offset += entry.size;
  }
  if (offset != header.size) {
    *why = std::to_string(header.size - offset) + " bytes after the last entry";
    return false;
  }
  return true;
}

bool TestModuleExecutor::Execute(const RequestBatchHeader& header, const char* body, Response* response) {
  uint64_t offset = 0;
  for (uint32_t i = 0; i < header.count; ++i) {
    const RequestHeader entry = LoadRecord<RequestHeader>(body + offset);
    const char* payload = body + offset + sizeof(RequestHeader);
    offset += sizeof(RequestHeader) + entry.size;
    const bool test = entry.module == kModuleTest;
    if (test && entry.api == k_testDelay && entry.argc >= 1) {
      const uint64_t micros = std::min(Argument(payload, 0), kMaxDelayMicros);
      std::this_thread::sleep_for(std::chrono::microseconds(micros));
    }
    if (i + 1 < header.count) continue;

    // The last entry is the one answered.
    ResponseHeader answer{};
    answer.request = entry.request;
    answer.flags = entry.flags & kRequestNoWait;
    answer.result = kTestUnknownFunction;
    answer.size = 0;
    response->payload = nullptr;
    response->payload_size = 0;
    response->storage.clear();
    if (test && (entry.api == k_testEcho || (entry.api == k_testDelay && entry.argc >= 1))) {
      answer.result = 0;
      answer.size = entry.size;
      response->payload = payload;
      response->payload_size = entry.size;
    } else if (test && entry.api == k_testFail && entry.argc >= 1) {
      answer.result = static_cast<uint32_t>(Argument(payload, 0));
    } else if (test && entry.api == k_testCompressed && entry.argc >= 2 &&
               Argument(payload, 0) <= kMaxCompressedPayload) {
      const uint64_t n = Argument(payload, 0);
      const uint64_t seed = Argument(payload, 1);
      answer.result = 0;
      answer.size = n;
      // The whole body, entry header included, travels compressed.
      std::string plain(sizeof(ResponseHeader) + n, '\0');
      StoreRecord(plain.data(), answer);
      char* bytes = plain.data() + sizeof(ResponseHeader);
      for (uint64_t k = 0; k < n; ++k) bytes[k] = static_cast<char>(TestPatternByte(seed, k));
      if (!zstd_.Compress(plain.data(), plain.size(), &response->storage)) {
        ZANTU_ERROR("compressing an answer of %llu bytes failed", static_cast<unsigned long long>(plain.size()));
        return false;
      }
      response->payload = response->storage.data();
      response->payload_size = response->storage.size();
      StoreHeads(response, kLinkCompressed, response->storage.size(), header.pid, answer, false);
      return true;
    }
    StoreHeads(response, 0, sizeof(ResponseHeader) + answer.size, header.pid, answer, true);
  }
  return true;
}

}  // namespace zantu_node
