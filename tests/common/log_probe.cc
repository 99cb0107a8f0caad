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
//   log_probe fork-while-logging  forks children while another thread logs
//
// Exit status 3 means an assertion returned to its caller.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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

// A thread logs without pause while the main thread forks 200 children that
// each log one line and exit. A child forked while the other thread was in
// the middle of a message must still be able to log. Exit status: 0, or 1
// if a child did not end within 5 s (it is killed).
int RunForkWhileLogging() {
  std::atomic<bool> stop{false};
  std::thread chatter([&stop] {
    while (!stop.load(std::memory_order_relaxed)) ZANTU_LOG("chatter");
  });
  int rc = 0;
  for (int i = 0; i < 200 && rc == 0; ++i) {
    pid_t child = fork();
    if (child == 0) {
      ZANTU_ERROR("child %d", i);
      _exit(0);
    }
    int status = 0;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; ++waited) {
      if (waited == 5000) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        rc = 1;
        break;
      }
      usleep(1000);
    }
  }
  stop = true;
  chatter.join();
  return rc;
}

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
  } else if (mode == "fork-while-logging") {
    return RunForkWhileLogging();
  } else {
    return 2;
  }
  return 0;
}
