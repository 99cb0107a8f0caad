// ZSTDUtil: round trips, and that damaged, truncated or oversized input fails
// instead of producing bytes that were never compressed.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/trellan.h"

namespace {

constexpr uint32_t kFrameMagic = 0xFD2FB528;

// Text, runs, zeros and random bytes in turn, in chunks of up to `max_chunk`
// bytes: what node-link bodies look like.
std::string MixedData(size_t size, uint64_t seed, size_t max_chunk = 8192) {
  std::mt19937_64 rng(seed);
  std::string data;
  data.reserve(size);
  const std::string text = "cudaMemcpyAsync(dst, src, 4096, cudaMemcpyHostToDevice, stream);\n";
  while (data.size() < size) {
    const size_t chunk = std::min<size_t>(size - data.size(), 1 + rng() % max_chunk);
    switch (rng() % 4) {
      case 0:
        for (size_t i = 0; i < chunk; ++i) data.push_back(text[i % text.size()]);
        break;
      case 1:
        data.append(chunk, static_cast<char>(rng()));
        break;
      case 2:
        data.append(chunk, '\0');
        break;
      default:
        for (size_t i = 0; i < chunk; ++i) data.push_back(static_cast<char>(rng()));
        break;
    }
  }
  return data;
}

std::string CompressOrDie(ZSTDUtil& zstd, const std::string& plain) {
  std::string frame;
  EXPECT_TRUE(zstd.Compress(plain.data(), plain.size(), &frame));
  EXPECT_FALSE(frame.empty());
  return frame;
}

uint32_t ReadLE32(const std::string& s, size_t pos) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(s[pos + i]);
  return v;
}

// The parts of a frame header (magic, descriptor, window, dictionary id,
// content size) that the tests rewrite.
struct FrameHeader {
  size_t length = 0;  // bytes before the first block
  bool single_segment = false;
  bool checksum = false;
  std::optional<uint8_t> window_descriptor;
  std::optional<uint64_t> content_size;
};

FrameHeader ParseHeader(const std::string& frame) {
  FrameHeader h;
  EXPECT_GE(frame.size(), 6u);
  EXPECT_EQ(ReadLE32(frame, 0), kFrameMagic);
  const uint8_t descriptor = static_cast<uint8_t>(frame[4]);
  const int fcs_flag = descriptor >> 6;
  h.single_segment = (descriptor & 0x20) != 0;
  h.checksum = (descriptor & 0x04) != 0;
  EXPECT_EQ(descriptor & 0x03, 0) << "our frames carry no dictionary id";
  size_t pos = 5;
  if (!h.single_segment) h.window_descriptor = static_cast<uint8_t>(frame[pos++]);
  const int fcs_bytes = fcs_flag == 0 ? (h.single_segment ? 1 : 0) : 1 << fcs_flag;
  if (fcs_bytes > 0) {
    uint64_t size = 0;
    for (int i = fcs_bytes - 1; i >= 0; --i) size = (size << 8) | static_cast<uint8_t>(frame[pos + i]);
    if (fcs_bytes == 2) size += 256;
    h.content_size = size;
  }
  h.length = pos + fcs_bytes;
  return h;
}

// `frame` with its header rewritten to declare `content_size` in an 8-byte
// field, or no size at all; the blocks are kept as they are.
std::string RewriteHeader(const std::string& frame, std::optional<uint64_t> content_size) {
  const FrameHeader old = ParseHeader(frame);
  std::string out = frame.substr(0, 4);
  const uint8_t checksum_bit = old.checksum ? 0x04 : 0x00;
  if (content_size.has_value()) {
    const bool single = old.single_segment;
    out.push_back(static_cast<char>(0xC0 | (single ? 0x20 : 0) | checksum_bit));
    if (!single) out.push_back(static_cast<char>(*old.window_descriptor));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(*content_size >> (8 * i)));
  } else {
    out.push_back(static_cast<char>(checksum_bit));
    uint8_t window = 0;
    if (old.window_descriptor.has_value()) {
      window = *old.window_descriptor;
    } else {
      // A single-segment frame's window is its content: any window at least
      // that large decodes the same blocks.
      int log = 10;
      while ((uint64_t{1} << log) < old.content_size.value_or(0)) ++log;
      window = static_cast<uint8_t>((log - 10) << 3);
    }
    out.push_back(static_cast<char>(window));
  }
  out.append(frame, old.length, std::string::npos);
  return out;
}

long PeakRssKib() {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof(line), f) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(f);
  return kib;
}

void ExpectFails(ZSTDUtil& zstd, const std::string& in, const char* what) {
  std::string out = "stale";
  EXPECT_FALSE(zstd.Decompress(in, &out)) << what;
  EXPECT_TRUE(out.empty()) << what;
}

// ---------------------------------------------------------------- round trips

TEST(ZstdRoundTrip, BodiesOfEverySize) {
  ZSTDUtil zstd(3, 0);
  for (const std::string& plain :
       {std::string(), std::string("x"), std::string("hello, node"), MixedData(10 << 20, 1)}) {
    const std::string frame = CompressOrDie(zstd, plain);
    std::string out = "stale";
    ASSERT_TRUE(zstd.Decompress(frame, &out)) << plain.size();
    EXPECT_TRUE(out == plain) << plain.size();
  }
}

TEST(ZstdRoundTrip, FrameRecordsPlainSizeAndChecksum) {
  ZSTDUtil single(3, 0);
  ZSTDUtil threaded(3, 2);
  const std::string plain = MixedData(10 << 20, 2);
  for (ZSTDUtil* zstd : {&single, &threaded}) {
    const std::string frame = CompressOrDie(*zstd, plain);
    const FrameHeader header = ParseHeader(frame);
    EXPECT_EQ(header.content_size, plain.size());
    EXPECT_TRUE(header.checksum);
    std::string out;
    ASSERT_TRUE(zstd->Decompress(frame, &out));
    EXPECT_TRUE(out == plain);
  }
}

TEST(ZstdRoundTrip, ConcatenatedFramesDecodeBackToBack) {
  ZSTDUtil zstd(1, 0);
  const std::string a = MixedData(300000, 3);
  const std::string b = MixedData(5000, 4);
  const std::string empty_frame = CompressOrDie(zstd, "");
  std::string out;
  ASSERT_TRUE(zstd.Decompress(CompressOrDie(zstd, a) + CompressOrDie(zstd, b), &out));
  EXPECT_TRUE(out == a + b);
  ASSERT_TRUE(zstd.Decompress(empty_frame + CompressOrDie(zstd, b) + empty_frame, &out));
  EXPECT_TRUE(out == b);
}

TEST(ZstdRoundTrip, FramesWithoutDeclaredSize) {
  ZSTDUtil zstd(3, 0);
  // Zeros compress so well that the output buffer must grow many times.
  for (const std::string& plain : {std::string("tiny"), std::string(3 << 20, '\0'), MixedData(3 << 20, 5)}) {
    const std::string frame = RewriteHeader(CompressOrDie(zstd, plain), std::nullopt);
    ASSERT_FALSE(ParseHeader(frame).content_size.has_value());
    std::string out;
    ASSERT_TRUE(zstd.Decompress(frame, &out)) << plain.size();
    EXPECT_TRUE(out == plain) << plain.size();
  }
  const std::string a = MixedData(100000, 6);
  const std::string b = MixedData(70000, 7);
  std::string out;
  ASSERT_TRUE(zstd.Decompress(CompressOrDie(zstd, a) + RewriteHeader(CompressOrDie(zstd, b), std::nullopt), &out));
  EXPECT_TRUE(out == a + b);
}

TEST(ZstdRoundTrip, StringFormReturnsBodyOrEmpty) {
  ZSTDUtil zstd(3, 0);
  const std::string plain = MixedData(20000, 8);
  std::string frame = CompressOrDie(zstd, plain);
  EXPECT_TRUE(zstd.Decompress(frame) == plain);
  std::string truncated = frame.substr(0, frame.size() / 2);
  EXPECT_TRUE(zstd.Decompress(truncated).empty());
  std::string garbage = "definitely not a frame";
  EXPECT_TRUE(zstd.Decompress(garbage).empty());
}

// ----------------------------------------------------------------- bad input

TEST(ZstdBadInput, EmptyAndGarbageFail) {
  ZSTDUtil zstd(3, 0);
  ExpectFails(zstd, "", "empty input");
  ExpectFails(zstd, "hello world, this is not zstd", "text");
  std::mt19937_64 rng(9);
  for (size_t length : {1, 3, 4, 5, 8, 100, 4096}) {
    std::string garbage;
    for (size_t i = 0; i < length; ++i) garbage.push_back(static_cast<char>(rng()));
    ExpectFails(zstd, garbage, "random bytes");
    // The magic number alone does not make a frame.
    ExpectFails(zstd, CompressOrDie(zstd, "").substr(0, 4) + garbage, "magic then random bytes");
  }
  const std::string frame = CompressOrDie(zstd, MixedData(1000, 10));
  ExpectFails(zstd, frame + "x", "a frame then a stray byte");
}

// Whatever single byte is damaged, the result is a failure or the original:
// never other bytes.
TEST(ZstdBadInput, DamagedFrameNeverDecodesToOtherBytes) {
  ZSTDUtil zstd(3, 0);
  const std::string plain = MixedData(6000, 11, 200);
  const std::string declared = CompressOrDie(zstd, plain);
  const std::string undeclared = RewriteHeader(declared, std::nullopt);
  for (const std::string* frame : {&declared, &undeclared}) {
    ASSERT_GT(frame->size(), 1000u);
    size_t failures = 0;
    for (size_t pos = 0; pos < frame->size(); ++pos) {
      for (uint8_t mask : {0x01, 0x80, 0xFF}) {
        std::string damaged = *frame;
        damaged[pos] = static_cast<char>(damaged[pos] ^ mask);
        std::string out;
        if (zstd.Decompress(damaged, &out)) {
          ASSERT_TRUE(out == plain) << "byte " << pos << " mask " << int{mask};
        } else {
          ASSERT_TRUE(out.empty());
          ++failures;
        }
      }
    }
    // A few header bits (window size, an ignored flag) may be changed
    // without effect; damage anywhere else must be noticed.
    EXPECT_GE(failures * 10, 3 * frame->size() * 9);
    std::string middle = *frame;
    middle[middle.size() / 2] ^= 0x10;
    ExpectFails(zstd, middle, "a flipped byte in the middle");
  }
}

TEST(ZstdBadInput, TruncatedFramesFail) {
  ZSTDUtil zstd(3, 0);
  const std::string a = CompressOrDie(zstd, MixedData(4000, 12, 200));
  const std::string b = CompressOrDie(zstd, MixedData(4000, 13, 200));
  const std::string undeclared = RewriteHeader(b, std::nullopt);
  ASSERT_GT(a.size(), 1000u);
  ASSERT_GT(b.size(), 500u);
  for (size_t n = 1; n < a.size(); ++n) ExpectFails(zstd, a.substr(0, n), "truncated frame");
  for (size_t n = 1; n < undeclared.size(); ++n) {
    ExpectFails(zstd, undeclared.substr(0, n), "truncated frame without size");
  }
  for (size_t n = 1; n < b.size(); n += 97) {
    ExpectFails(zstd, a + b.substr(0, n), "whole frame then truncated frame");
    ExpectFails(zstd, a + undeclared.substr(0, n), "whole frame then truncated frame without size");
  }
}

// A decoder left mid-frame by a failure must not carry that frame's state
// into the next call.
TEST(ZstdBadInput, FailureLeavesNoStateBehind) {
  ZSTDUtil zstd(3, 0);
  const std::string plain = MixedData(200000, 14);
  const std::string frame = RewriteHeader(CompressOrDie(zstd, plain), std::nullopt);
  // Whole frames with damaged blocks get past the frame walk and fail inside
  // the decoder.
  std::string damaged = frame;
  damaged[damaged.size() / 2] ^= 0x20;
  std::string damaged_early = frame;
  damaged_early[frame.size() / 8] ^= 0x01;
  for (int i = 0; i < 3; ++i) {
    ExpectFails(zstd, i % 2 == 0 ? damaged : damaged_early, "damaged");
    std::string out;
    ASSERT_TRUE(zstd.Decompress(frame, &out));
    EXPECT_TRUE(out == plain);
  }
}

TEST(ZstdBadInput, HugeDeclaredSizeFailsWithoutAllocating) {
  ZSTDUtil zstd(3, 0);
  const std::string frame = CompressOrDie(zstd, MixedData(1000, 15));
  const long before = PeakRssKib();
  ASSERT_GT(before, 0);
  for (uint64_t lie : {uint64_t{ZSTDUtil::kMaxPlainSize} + 1, uint64_t{1} << 40, uint64_t{3} << 29}) {
    const std::string patched = RewriteHeader(frame, lie);
    ASSERT_EQ(ParseHeader(patched).content_size, lie);
    ExpectFails(zstd, patched, "declared size far beyond the data");
    ExpectFails(zstd, CompressOrDie(zstd, "abc") + patched, "second frame declares too much");
  }
  // Two frames each under the cap whose sum is over it.
  const std::string half = RewriteHeader(frame, ZSTDUtil::kMaxPlainSize / 2 + 1);
  ExpectFails(zstd, half + half, "declared sizes summing beyond the cap");
  EXPECT_LT(PeakRssKib() - before, 256 * 1024) << "the declared size was allocated";
}

// ---------------------------------------------------------------- concurrency

TEST(ZstdConcurrency, FourThreadsShareOneInstance) {
  for (unsigned workers : {0u, 2u}) {
    ZSTDUtil zstd(3, workers);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&zstd, &mismatches, t] {
        for (int i = 0; i < 30; ++i) {
          const std::string plain = MixedData(1000 + (t * 7919 + i * 104729) % 200000, t * 1000 + i);
          std::string frame;
          std::string out;
          if (!zstd.Compress(plain.data(), plain.size(), &frame)) ++mismatches;
          if (i % 3 == 0) {
            // Failures interleaved with successes put broken contexts back
            // into the shared pool.
            if (zstd.Decompress(RewriteHeader(frame, std::nullopt).substr(0, frame.size() / 2), &out)) {
              ++mismatches;
            }
          }
          if (!zstd.Decompress(frame, &out) || out != plain) ++mismatches;
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0) << "workers " << workers;
  }
}

}  // namespace
