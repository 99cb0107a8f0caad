// Processes for the tests, bounded in time: forked children, real programs
// (the daemon, nodes, clients) with their output in temporary files, so that
// a chatty child never blocks on a full pipe and its output can be read at
// any time, also after it ended; unique names, counting in output, and
// removing what a killed process left in /dev/shm.
//
// The reference node zantu_node, and what it recorded of the daemon's stream:
//
//   testing_util::NodeConfig config;
//   config.transport = "light";
//   config.record = true;
//   std::string error;
//   auto node = testing_util::NodeProcess::Start(config, &error);
//   ASSERT_NE(node, nullptr) << error;
//   ... point the daemon at node->recv_port() (and node->send_port()) ...
//   wire_test::NodeRecord record;
//   ASSERT_TRUE(node->ReadRecord(&record));
//   EXPECT_EQ(record.messages.size(), 2u);
//
// The node listens on 127.0.0.1 for exactly one daemon and exits 0 when the
// daemon's stream ends (2: bad command line, 3: the daemon sent something
// malformed). The destructor kills it by its pid if it still runs and
// removes the record file.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/registration.h"
#include "harness/wire.h"

namespace testing_util {

// Runs `body` in a forked child, which ends with _exit(body's result) so that
// nothing of the parent's test state runs twice.
inline pid_t ForkChild(const std::function<int()>& body) {
  pid_t pid = fork();
  if (pid == 0) {
    int rc = 1;
    try {
      rc = body();
    } catch (...) {
      rc = 99;
    }
    _exit(rc);
  }
  return pid;
}

// Waits for the child; kills it (by its pid) once `timeout` has passed.
// Returns the raw wait status, or -1 if it had to be killed.
inline int WaitChild(pid_t pid, std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0) return -2;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

inline bool ExitedWith(int status, int code) { return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code; }

// Polls `predicate` every 5 ms until it holds or `timeout` passes.
template <typename Predicate>
bool WaitFor(Predicate predicate, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (predicate()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// Nanoseconds of the machine's monotonic clock, which forked children share.
inline int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A name no other test run on this machine uses.
inline std::string UniqueName(const std::string& prefix) {
  static std::atomic<int> counter{0};
  return prefix + "_" + std::to_string(getpid()) + "_" + std::to_string(counter.fetch_add(1)) + "_" +
         std::to_string(std::chrono::steady_clock::now().time_since_epoch().count() % 1000000007);
}

// The directory that holds the built programs.
inline std::string BinDir() {
  if (const char* dir = std::getenv("ZANTU_BIN_DIR")) return dir;
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return ".";
  std::string exe(buf, static_cast<size_t>(n));
  return exe.substr(0, exe.rfind('/'));
}

// The whole content of the file at `path`; empty if it cannot be read.
inline std::string ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  return content.str();
}

// How often `needle` occurs in `text`, overlapping occurrences included.
inline size_t CountOf(const std::string& text, const std::string& needle) {
  size_t count = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
  return count;
}

// Which of a program's lines "R name=value" for one name counts.
enum class Pick { kFirst, kLast };

// The value of a line "R name=value" in `out`; "<missing>" if absent.
inline std::string Value(const std::string& out, const std::string& name, Pick pick = Pick::kLast) {
  const std::string tag = "R " + name + "=";
  const bool at_start = out.compare(0, tag.size(), tag) == 0;
  size_t at = 0;
  if (pick == Pick::kLast || !at_start) {
    at = pick == Pick::kFirst ? out.find("\n" + tag) : out.rfind("\n" + tag);
    if (at != std::string::npos) {
      ++at;
    } else if (at_start) {
      at = 0;
    } else {
      return "<missing>";
    }
  }
  at += tag.size();
  return out.substr(at, out.find('\n', at) - at);
}

using Expected = std::vector<std::pair<std::string, std::string>>;

// Expects the value of each name in `expected` as given.
inline void ExpectValues(const std::string& out, const Expected& expected, Pick pick = Pick::kLast) {
  for (const auto& [name, value] : expected) EXPECT_EQ(Value(out, name, pick), value) << name;
}

// Removes what a process killed before it could clean up leaves in /dev/shm:
// the shared-memory objects `names` (without their leading slash) and the
// process bell of `owner` (trellan.bell.<pid>.*).
inline void RemoveShmLeftovers(pid_t owner, const std::vector<std::string>& names) {
  for (const std::string& name : names) shm_unlink(("/" + name).c_str());
  const std::string bell = "trellan.bell." + std::to_string(owner) + ".";
  if (DIR* dir = opendir("/dev/shm")) {
    while (dirent* entry = readdir(dir)) {
      if (std::strncmp(entry->d_name, bell.c_str(), bell.size()) == 0) {
        shm_unlink(("/" + std::string(entry->d_name)).c_str());
      }
    }
    closedir(dir);
  }
}

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
  std::string Stdout() const { return ReadWholeFile(stdout_path_); }
  std::string Stderr() const { return ReadWholeFile(stderr_path_); }

  // Polls the child's stdout (or stderr) until it contains `needle`.
  bool WaitForOutput(const std::string& needle, std::chrono::milliseconds timeout, bool on_stderr = false) {
    return WaitFor([&] { return (on_stderr ? Stderr() : Stdout()).find(needle) != std::string::npos; }, timeout);
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

  pid_t pid_ = -1;
  int status_ = 0;
  bool reaped_ = false;
  bool keep_files_ = false;
  std::string stdout_path_;
  std::string stderr_path_;
};

// Starts `program` (a name in the build's bin directory) with `args`, logging
// on and CUDA_VISIBLE_DEVICES unset, then `env` as for Spawn. Null if fork
// fails.
inline std::unique_ptr<ChildProcess> SpawnClient(const std::string& program, const std::vector<std::string>& args,
                                                 const std::vector<std::string>& env = {}) {
  std::vector<std::string> argv = {BinDir() + "/" + program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<std::string> full_env = {"-ZANTU_DISABLE_LOG", "-CUDA_VISIBLE_DEVICES"};
  full_env.insert(full_env.end(), env.begin(), env.end());
  return ChildProcess::Spawn(argv, full_env);
}

// Waits for a client to end; true when it exited with status 0, otherwise a
// failure with what it wrote.
inline bool Finished(ChildProcess& client, std::chrono::milliseconds timeout = std::chrono::milliseconds(20000)) {
  const int status = client.Wait(timeout);
  if (ExitedWith(status, 0)) return true;
  ADD_FAILURE() << "client status " << status << "\nstdout:\n"
                << client.Stdout().substr(0, 20000) << "\nstderr:\n"
                << client.Stderr().substr(0, 20000);
  return false;
}

inline std::string RequestRingName(const std::string& key) { return kRequestRingPrefix + key; }
inline std::string ResponseRingName(const std::string& key) { return kResponseRingPrefix + key; }

// What a daemon (or a stand-in of one) that did not end normally leaves: the
// rings of the clients `keys` and its process bell.
inline void RemoveRingLeftovers(pid_t daemon, const std::vector<std::string>& keys) {
  std::vector<std::string> rings;
  for (const std::string& key : keys) {
    rings.push_back(RequestRingName(key));
    rings.push_back(ResponseRingName(key));
  }
  RemoveShmLeftovers(daemon, rings);
}

// The node's command line; defaults are the node's own.
struct NodeConfig {
  std::string transport = "native";  // "native" or "light"
  uint16_t recv_port = 0;            // 0: the node picks free ports
  uint16_t send_port = 0;
  uint16_t udp_port = 0;
  double drop = 0.0;  // Light: fraction of datagrams discarded on arrival
  uint64_t seed = 0;
  bool skip_headers = false;            // a flag-8 header before every answer
  uint64_t close_after = 0;             // 0: serve until the daemon's stream ends
  bool record = false;                  // record the stream into a fresh file
  int64_t resend_newest_every = -1;     // -1: the node's default (512)
  std::string backend;                  // "cuda", "emulated"; empty: the node's default
  uint32_t gpus = 0;                    // 0: the backend's default
  std::string memory;                   // emulated memory per GPU, e.g. "256M"; empty: default
  std::vector<std::string> kernel_libraries;  // --kernels, in order
  std::vector<std::string> extra_args;  // appended as they are
  std::vector<std::string> env;         // as for ChildProcess::Spawn
};

class NodeProcess {
 public:
  // Starts build/bin/zantu_node and waits up to `timeout` for its ready line.
  // Null when it exits or stays silent; `*error` then says why, with its
  // standard error.
  static std::unique_ptr<NodeProcess> Start(const NodeConfig& config, std::string* error = nullptr,
                                            std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    std::unique_ptr<NodeProcess> node(new NodeProcess());
    std::vector<std::string> argv = {BinDir() + "/zantu_node", "--transport", config.transport};
    auto add = [&argv](const std::string& name, const std::string& value) {
      argv.push_back(name);
      argv.push_back(value);
    };
    if (config.recv_port != 0) add("--recv-port", std::to_string(config.recv_port));
    if (config.send_port != 0) add("--send-port", std::to_string(config.send_port));
    if (config.udp_port != 0) add("--udp-port", std::to_string(config.udp_port));
    if (config.drop > 0) {
      char fraction[32];
      std::snprintf(fraction, sizeof(fraction), "%.17g", config.drop);
      add("--drop", fraction);
    }
    if (config.seed != 0) add("--seed", std::to_string(config.seed));
    if (config.skip_headers) argv.push_back("--skip-headers");
    if (config.close_after != 0) add("--close-after", std::to_string(config.close_after));
    if (config.resend_newest_every >= 0) add("--resend-newest-every", std::to_string(config.resend_newest_every));
    if (!config.backend.empty()) add("--backend", config.backend);
    if (config.gpus != 0) add("--gpus", std::to_string(config.gpus));
    if (!config.memory.empty()) add("--memory", config.memory);
    for (const std::string& library : config.kernel_libraries) add("--kernels", library);
    if (config.record) {
      node->record_path_ = "/tmp/" + UniqueName("zantu_node_record");
      add("--record", node->record_path_);
    }
    argv.insert(argv.end(), config.extra_args.begin(), config.extra_args.end());

    node->process_ = ChildProcess::Spawn(argv, config.env);
    std::string why;
    if (!node->process_) {
      why = "fork failed";
    } else if (!node->AwaitReady(timeout)) {
      why = "no ready line from zantu_node; stderr: " + node->process_->Stderr();
    }
    if (!why.empty()) {
      if (error != nullptr) *error = why;
      return nullptr;
    }
    return node;
  }

  ~NodeProcess() {
    // Asked to stop first, the node takes its workers' rings and its bell
    // out of /dev/shm; one that does not stop within 5 s is killed.
    if (process_ && process_->Wait(std::chrono::milliseconds(0)) == -1) {
      process_->Signal(SIGTERM);
      process_->Wait(std::chrono::milliseconds(5000));
    }
    process_.reset();  // kills the node by its pid if it still runs
    if (!record_path_.empty()) unlink(record_path_.c_str());
  }

  NodeProcess(const NodeProcess&) = delete;
  NodeProcess& operator=(const NodeProcess&) = delete;

  pid_t pid() const { return process_->pid(); }
  uint16_t recv_port() const { return recv_port_; }
  uint16_t send_port() const { return send_port_; }                // 0 for Light
  uint16_t udp_port() const { return udp_port_; }                  // 0 for Native
  const std::string& record_path() const { return record_path_; }  // empty unless config.record
  ChildProcess& process() { return *process_; }
  // The rest of the ready line after the ports, e.g. "backend=emulated
  // gpus=4 ...".
  const std::string& backend_description() const { return backend_description_; }

  // Waits for the node to end: its wait status (see ExitedWith), or -1 if it
  // still runs after `timeout`.
  int Wait(std::chrono::milliseconds timeout) { return process_->Wait(timeout); }

  // Reads and parses the record file as it is now (the node writes each
  // message as soon as it has it whole). False without config.record.
  bool ReadRecord(wire_test::NodeRecord* record) const {
    return !record_path_.empty() && wire_test::ParseNodeRecord(ReadWholeFile(record_path_), record);
  }

 private:
  NodeProcess() = default;

  bool AwaitReady(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      const std::string out = process_->Stdout();
      const size_t at = out.find("zantu_node ready ");
      if (at != std::string::npos && out.find('\n', at) != std::string::npos) {
        unsigned recv = 0, send = 0, udp = 0;
        if (std::sscanf(out.c_str() + at, "zantu_node ready recv_port=%u send_port=%u udp_port=%u", &recv, &send,
                        &udp) != 3) {
          return false;
        }
        const std::string line = out.substr(at, out.find('\n', at) - at);
        const size_t backend = line.find(" backend=");
        if (backend != std::string::npos) backend_description_ = line.substr(backend + 1);
        recv_port_ = static_cast<uint16_t>(recv);
        send_port_ = static_cast<uint16_t>(send);
        udp_port_ = static_cast<uint16_t>(udp);
        return true;
      }
      if (!process_->Running() || std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }

  std::unique_ptr<ChildProcess> process_;
  std::string record_path_;
  std::string backend_description_;
  uint16_t recv_port_ = 0;
  uint16_t send_port_ = 0;
  uint16_t udp_port_ = 0;
};

}  // namespace testing_util
