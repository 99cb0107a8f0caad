// Real child processes for integration tests: the daemon, nodes, clients.
// Output goes to temporary files, so a chatty child never blocks on a full
// pipe and its output can be read at any time, also after it ended.
#pragma once

#include <fcntl.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_util.h"

namespace testing_util {

class ChildProcess {
 public:
  // Starts `argv` (argv[0] is a path) with the current environment plus
  // `extra_env` ("NAME=value"; an entry "NAME=" without value is set empty,
  // "-NAME" removes NAME). Null if fork fails.
  static std::unique_ptr<ChildProcess> Spawn(const std::vector<std::string>& argv,
                                             const std::vector<std::string>& extra_env = {}) {
    std::unique_ptr<ChildProcess> child(new ChildProcess());
    std::string base = "/tmp/" + UniqueName("zantu_child");
    child->stdout_path_ = base + ".out";
    child->stderr_path_ = base + ".err";
    pid_t pid = fork();
    if (pid < 0) return nullptr;
    if (pid == 0) {
      // A test that crashes must not leave its daemon or nodes running.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      int out = open(child->stdout_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int err = open(child->stderr_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || err < 0) _exit(127);
      dup2(out, 1);
      dup2(err, 2);
      int devnull = open("/dev/null", O_RDONLY);
      if (devnull >= 0) dup2(devnull, 0);
      // A test runner may ignore or block signals; the child starts clean.
      signal(SIGINT, SIG_DFL);
      signal(SIGPIPE, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (const std::string& entry : extra_env) {
        if (!entry.empty() && entry[0] == '-') {
          unsetenv(entry.c_str() + 1);
          continue;
        }
        size_t eq = entry.find('=');
        if (eq != std::string::npos) setenv(entry.substr(0, eq).c_str(), entry.c_str() + eq + 1, 1);
      }
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    child->pid_ = pid;
    return child;
  }

  ~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status_, 0);
    }
    if (!keep_files_) {
      unlink(stdout_path_.c_str());
      unlink(stderr_path_.c_str());
    }
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  std::string Stdout() const { return ReadFile(stdout_path_); }
  std::string Stderr() const { return ReadFile(stderr_path_); }

  // Polls the child's stdout (or stderr) until it contains `needle`.
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout, bool on_stderr = false) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      if ((on_stderr ? Stderr() : Stdout()).find(needle) != std::string::npos) return true;
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  // Waits for the child to end. Returns its wait status, or -1 if it still
  // runs after `timeout`.
  int Wait(std::chrono::milliseconds timeout) {
    if (reaped_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      pid_t done = waitpid(pid_, &status_, WNOHANG);
      if (done == pid_) {
        reaped_ = true;
        return status_;
      }
      if (std::chrono::steady_clock::now() >= deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  bool Running() { return Wait(std::chrono::milliseconds(0)) == -1; }

  void Signal(int sig) {
    if (!reaped_) kill(pid_, sig);
  }

  // Keeps the output files after destruction (for debugging a failure).
  void KeepFiles() { keep_files_ = true; }

 private:
  ChildProcess() = default;

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }

  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
  bool keep_files_ = false;
  std::string stdout_path_;
  std::string stderr_path_;
};

}  // namespace testing_util
