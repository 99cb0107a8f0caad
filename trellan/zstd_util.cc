#include <zstd.h>

#include <algorithm>
#include <new>
#include <string>

#include "common/trellan.h"

namespace {

// Every block of a frame carries a 3-byte header and regenerates at most
// ZSTD_BLOCKSIZE_MAX bytes, so no valid input of n bytes decompresses to more
// than this. A declared content size above it is a lie; trusting it would let
// a few bytes of header make us allocate gigabytes.
uint64_t PlainSizeBound(size_t compressed_size) {
  return (static_cast<uint64_t>(compressed_size) / 3 + 1) * ZSTD_BLOCKSIZE_MAX;
}

// First step of the output buffer when the plain size is not declared.
constexpr size_t kMinStreamStep = size_t{64} << 10;

// Walks the frames of `in` without decoding them. False when `in` is not a
// sequence of whole frames (garbage, truncation, trailing bytes). Otherwise
// `*declared` is the sum of the declared plain sizes and `*all_declared`
// tells whether every frame declared one.
bool ScanFrames(const std::string& in, uint64_t* declared, bool* all_declared) {
  *declared = 0;
  *all_declared = true;
  size_t pos = 0;
  while (pos < in.size()) {
    const char* frame = in.data() + pos;
    const size_t left = in.size() - pos;
    const size_t frame_size = ZSTD_findFrameCompressedSize(frame, left);
    if (ZSTD_isError(frame_size) || frame_size == 0 || frame_size > left) return false;
    const unsigned long long content = ZSTD_getFrameContentSize(frame, frame_size);
    if (content == ZSTD_CONTENTSIZE_ERROR) return false;
    if (content == ZSTD_CONTENTSIZE_UNKNOWN) {
      *all_declared = false;
    } else {
      // Compared before adding, so the running total never overflows.
      if (content > ZSTDUtil::kMaxPlainSize - *declared) return false;
      *declared += content;
    }
    pos += frame_size;
  }
  return true;
}

}  // namespace

ZSTDUtil::ZSTDUtil(unsigned level, unsigned workers) : level_(level), workers_(workers) {}

ZSTDUtil::~ZSTDUtil() {
  zantu::MutexLock lock(&mutex_);
  for (void* ctx : free_dctx_) ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(ctx));
  for (void* ctx : free_cctx_) ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(ctx));
  free_dctx_.clear();
  free_cctx_.clear();
}

void* ZSTDUtil::TakeDecompressContext() {
  {
    zantu::MutexLock lock(&mutex_);
    if (!free_dctx_.empty()) {
      void* ctx = free_dctx_.back();
      free_dctx_.pop_back();
      return ctx;
    }
  }
  return ZSTD_createDCtx();
}

void ZSTDUtil::ReturnDecompressContext(void* ctx) {
  if (ctx == nullptr) return;
  // A context that failed midway still holds that frame's state.
  ZSTD_DCtx_reset(static_cast<ZSTD_DCtx*>(ctx), ZSTD_reset_session_only);
  try {
    zantu::MutexLock lock(&mutex_);
    free_dctx_.push_back(ctx);
    return;
  } catch (const std::bad_alloc&) {
  }
  ZSTD_freeDCtx(static_cast<ZSTD_DCtx*>(ctx));
}

void* ZSTDUtil::TakeCompressContext() {
  {
    zantu::MutexLock lock(&mutex_);
    if (!free_cctx_.empty()) {
      void* ctx = free_cctx_.back();
      free_cctx_.pop_back();
      return ctx;
    }
  }
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (cctx == nullptr) return nullptr;
  // Parameters stick to the context across frames, so a pooled context needs
  // them once. The checksum makes damaged content fail instead of decoding to
  // different bytes; Decompress relies on it to never return garbage from our
  // own frames.
  if (ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, static_cast<int>(level_))) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1)) ||
      ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1))) {
    ZSTD_freeCCtx(cctx);
    return nullptr;
  }
  if (workers_ > 0 && ZSTD_isError(ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, static_cast<int>(workers_)))) {
    // A library built without threads compresses on the calling thread.
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_nbWorkers, 0);
  }
  return cctx;
}

void ZSTDUtil::ReturnCompressContext(void* ctx) {
  if (ctx == nullptr) return;
  ZSTD_CCtx_reset(static_cast<ZSTD_CCtx*>(ctx), ZSTD_reset_session_only);
  try {
    zantu::MutexLock lock(&mutex_);
    free_cctx_.push_back(ctx);
    return;
  } catch (const std::bad_alloc&) {
  }
  ZSTD_freeCCtx(static_cast<ZSTD_CCtx*>(ctx));
}

bool ZSTDUtil::Compress(const void* in, size_t length, std::string* out) {
  out->clear();
  const size_t bound = ZSTD_compressBound(length);
  if (ZSTD_isError(bound) || bound == 0) return false;
  ZSTD_CCtx* cctx = static_cast<ZSTD_CCtx*>(TakeCompressContext());
  if (cctx == nullptr) return false;
  bool ok = false;
  try {
    out->resize(bound);
    const size_t written = ZSTD_compress2(cctx, out->data(), out->size(), in, length);
    if (!ZSTD_isError(written)) {
      out->resize(written);
      ok = true;
    }
  } catch (const std::bad_alloc&) {
  }
  ReturnCompressContext(cctx);
  if (!ok) out->clear();
  return ok;
}

bool ZSTDUtil::Decompress(const std::string& in, std::string* out) {
  out->clear();
  // An empty input holds no frame, so it is not Zstandard: an empty body
  // compresses to a frame of its own.
  if (in.empty()) return false;
  uint64_t declared = 0;
  bool all_declared = true;
  if (!ScanFrames(in, &declared, &all_declared)) return false;
  if (all_declared && declared > PlainSizeBound(in.size())) return false;

  ZSTD_DCtx* dctx = static_cast<ZSTD_DCtx*>(TakeDecompressContext());
  if (dctx == nullptr) return false;
  bool ok = false;
  try {
    if (all_declared) {
      // The library checks each frame's output against its declared size, so
      // anything but exactly `declared` bytes is a failure.
      out->resize(declared);
      const size_t plain = ZSTD_decompressDCtx(dctx, out->data(), out->size(), in.data(), in.size());
      ok = !ZSTD_isError(plain) && plain == declared;
    } else {
      ZSTD_inBuffer input = {in.data(), in.size(), 0};
      size_t produced = 0;
      out->resize(std::min(kMaxPlainSize, std::max(kMinStreamStep, in.size() * 4)));
      for (;;) {
        if (produced == out->size() && out->size() < kMaxPlainSize) {
          out->resize(std::min(kMaxPlainSize, out->size() * 2));
        }
        // At the cap, output goes to a one-byte probe: any byte there is one
        // byte too many.
        char probe;
        const bool at_cap = produced == out->size();
        ZSTD_outBuffer output =
            at_cap ? ZSTD_outBuffer{&probe, 1, 0} : ZSTD_outBuffer{out->data() + produced, out->size() - produced, 0};
        const size_t hint = ZSTD_decompressStream(dctx, &output, &input);
        if (ZSTD_isError(hint)) break;
        if (at_cap) {
          if (output.pos != 0) break;
        } else {
          produced += output.pos;
        }
        const bool input_done = input.pos == input.size;
        // 0: the current frame is decoded and flushed.
        if (hint == 0 && input_done) {
          out->resize(produced);
          ok = true;
          break;
        }
        // Room left yet no frame end with nothing more to feed: truncated.
        if (input_done && output.pos < output.size) break;
      }
    }
  } catch (const std::bad_alloc&) {
  }
  ReturnDecompressContext(dctx);
  if (!ok) {
    out->clear();
    out->shrink_to_fit();
  }
  return ok;
}

std::string ZSTDUtil::Decompress(std::string& in) {
  std::string out;
  if (!Decompress(static_cast<const std::string&>(in), &out)) out.clear();
  return out;
}
