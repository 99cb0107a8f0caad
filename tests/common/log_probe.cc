// Runs DebugPrintf the way log_test asks, one case per process: the logging
// switch is read once per process.
//
//   log_probe log <text>        one Log line on stdout
//   log_probe error <text>      one Error line on stderr
//   log_probe long              a Log line with a 5000-character message
//   log_probe assert            a failed assertion (the process should end)
//   log_probe assert-handler    the same with a SIGINT handler that returns
//   log_probe setenv-then-log   logs, flips ZANTU_DISABLE_LOG, logs again
//   log_probe threads           8 threads log 1000 distinct lines each
//
// Exit status 3 means an assertion returned to its caller.

#include <signal.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"

namespace {

constexpr int kAssertReturned = 3;
constexpr int kThreads = 8;
constexpr int kLinesPerThread = 1000;

void RunLog(const char* text) { ZANTU_LOG("%s", text); }

void RunError(const char* text) { ZANTU_ERROR("%s", text); }

void RunLong() {
  const std::string message(5000, 'x');
  ZANTU_LOG("%s", message.c_str());
}

void RunAssert() { ZANTU_ASSERT_FAILED("probe %d", 7); }

void OnSigint(int) {}

void RunFlipEnv() {
  ZANTU_LOG("first");
  const char* value = std::getenv("ZANTU_DISABLE_LOG");
  if (value != nullptr && std::strcmp(value, "1") == 0) {
    unsetenv("ZANTU_DISABLE_LOG");
  } else {
    setenv("ZANTU_DISABLE_LOG", "1", 1);
  }
  ZANTU_LOG("second");
  ZANTU_ERROR("third");
}

void ThreadBody(int thread) {
  for (int i = 0; i < kLinesPerThread; ++i) ZANTU_LOG("thread=%d line=%d end", thread, i);
}

void RunThreads() {
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(ThreadBody, t);
  for (std::thread& thread : threads) thread.join();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  const char* text = argc > 2 ? argv[2] : "";
  if (mode == "log") {
    RunLog(text);
  } else if (mode == "error") {
    RunError(text);
  } else if (mode == "long") {
    RunLong();
  } else if (mode == "assert") {
    RunAssert();
    return kAssertReturned;
  } else if (mode == "assert-handler") {
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = OnSigint;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    RunAssert();
    return kAssertReturned;
  } else if (mode == "setenv-then-log") {
    RunFlipEnv();
  } else if (mode == "threads") {
    RunThreads();
  } else {
    return 2;
  }
  return 0;
}
