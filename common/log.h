// The one logging function of the daemon and the client library.
//
// It is an inline function with default visibility, so however many modules
// of a process include it (the application, libtovrel, the daemon), the
// dynamic linker binds them all to one copy: one cached switch per process
// and one formatting buffer per thread.
#pragma once

#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// Callers pass the reporting function's bare name and the line of the call.
#define ZANTU_LOG(fmt, ...) \
  DebugPrintf(false, false, "[Zantu] Log Func:%s Line:%d " fmt "\n", __func__, __LINE__, ##__VA_ARGS__)
#define ZANTU_ERROR(fmt, ...) \
  DebugPrintf(true, false, "[Zantu] Error Func:%s Line:%d " fmt "\n", __func__, __LINE__, ##__VA_ARGS__)
// For a named step that reports under the name of the function it was cut
// out of: operators and tests look for lines by that name.
#define ZANTU_LOG_AS(func, fmt, ...) \
  DebugPrintf(false, false, "[Zantu] Log Func:%s Line:%d " fmt "\n", func, __LINE__, ##__VA_ARGS__)
#define ZANTU_ERROR_AS(func, fmt, ...) \
  DebugPrintf(true, false, "[Zantu] Error Func:%s Line:%d " fmt "\n", func, __LINE__, ##__VA_ARGS__)
#define ZANTU_ASSERT_FAILED(fmt, ...) \
  DebugPrintf(true, true, "[Zantu] ASSERT Func:%s Line:%d " fmt "\n", __func__, __LINE__, ##__VA_ARGS__)

// Formats the message into a 4096-byte buffer (longer text is cut to 4095
// characters), writes it to stderr when `is_error`, else stdout, and flushes.
// `is_fatal` then stops the process: SIGINT, or exit status 1 when a SIGINT
// handler returns. ZANTU_DISABLE_LOG set to exactly "1" (read once, at the
// first call in the process) silences everything, the fatal stop included.
//
// Thread safety: callable from any thread; each message is written whole.
__attribute__((visibility("default"), format(printf, 3, 4))) inline void DebugPrintf(
    bool is_error, bool is_fatal, const char* format, ...) {
  static const char* const disbale_log_env = std::getenv("ZANTU_DISABLE_LOG");
  if (disbale_log_env != nullptr && std::strcmp(disbale_log_env, "1") == 0) return;

  // One buffer per thread: no lock to be left held in a child forked while
  // another thread was logging. stdio's own lock (reset in a forked child)
  // keeps each message, written by one call, whole on its stream.
  static thread_local char buf[4096];
  std::memset(buf, 0, sizeof(buf));
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof(buf), format, args);
  va_end(args);
  FILE* stream = is_error ? stderr : stdout;
  std::fprintf(stream, "%s", buf);
  std::fflush(stream);
  if (is_fatal) {
    std::raise(SIGINT);
    std::exit(1);
  }
}
