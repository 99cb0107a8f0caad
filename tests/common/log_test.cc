// DebugPrintf as seen from outside a process: where lines go, their form, the
// ZANTU_DISABLE_LOG switch and how a failed assertion ends the process. Every
// case runs log_probe in a fresh process with a controlled environment.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

constexpr int kAssertReturned = 3;  // log_probe's status when an assertion returns
constexpr auto kProbeTimeLimit = std::chrono::seconds(10);

struct ProbeResult {
  bool finished = false;  // false: it ran past the time limit and was killed
  int status = 0;         // as waitpid reports it
  std::string out;
  std::string err;
};

std::string ProbePath() {
  const char* dir = std::getenv("ZANTU_BIN_DIR");
  std::string base;
  if (dir != nullptr && dir[0] != '\0') {
    base = dir;
  } else {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n > 0) {
      self[n] = '\0';
      base = self;
      base.erase(base.rfind('/'));
    }
  }
  return base + "/log_probe";
}

// Runs log_probe with `args` in an environment holding only the sanitizers'
// settings and, unless `disable_log` is empty, ZANTU_DISABLE_LOG.
ProbeResult RunProbe(const std::vector<std::string>& args, std::optional<std::string> disable_log) {
  ProbeResult result;
  const std::string path = ProbePath();
  std::vector<std::string> env_strings;
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
    if (const char* value = std::getenv(name)) env_strings.push_back(std::string(name) + "=" + value);
  }
  if (disable_log.has_value()) env_strings.push_back("ZANTU_DISABLE_LOG=" + *disable_log);
  std::vector<char*> argv = {const_cast<char*>(path.c_str())};
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  int out_pipe[2];
  int err_pipe[2];
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return result;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return result;
  }
  const int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t pid = fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec. A SIGINT ignored or
    // blocked by whoever started the tests would otherwise reach the probe.
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof(dfl));
    dfl.sa_handler = SIG_DFL;
    sigaction(SIGINT, &dfl, nullptr);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (null_fd >= 0) dup2(null_fd, STDIN_FILENO);
    dup2(out_pipe[1], STDOUT_FILENO);
    dup2(err_pipe[1], STDERR_FILENO);
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (null_fd >= 0) close(null_fd);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (pid < 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return result;
  }

  const auto deadline = std::chrono::steady_clock::now() + kProbeTimeLimit;
  auto ms_left = [&] {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
  };
  bool timed_out = false;
  struct pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_fds = 2;
  while (open_fds > 0) {
    const int left = ms_left();
    if (left == 0) {
      timed_out = true;
      break;
    }
    const int ready = poll(fds, 2, left);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[65536];
      const ssize_t n = read(fds[i].fd, buf, sizeof(buf));
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (struct pollfd& fd : fds) {
    if (fd.fd >= 0) close(fd.fd);
  }

  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return result;
    if (timed_out || ms_left() == 0) {
      timed_out = true;
      kill(pid, SIGKILL);
      do {
        r = waitpid(pid, &status, 0);
      } while (r < 0 && errno == EINTR);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  result.finished = !timed_out;
  result.status = status;
  return result;
}

bool ExitedWith(const ProbeResult& r, int code) {
  return r.finished && WIFEXITED(r.status) && WEXITSTATUS(r.status) == code;
}

bool EndedBySigint(const ProbeResult& r) { return r.finished && WIFSIGNALED(r.status) && WTERMSIG(r.status) == SIGINT; }

// Whole-text match of `pattern`, whose '#' stands for one or more digits and
// every other character for itself.
bool Matches(const std::string& text, const std::string& pattern) {
  size_t t = 0;
  for (char p : pattern) {
    if (p != '#') {
      if (t == text.size() || text[t] != p) return false;
      ++t;
      continue;
    }
    const size_t digits_start = t;
    while (t < text.size() && text[t] >= '0' && text[t] <= '9') ++t;
    if (t == digits_start) return false;
  }
  return t == text.size();
}

// ------------------------------------------------------------------ the switch

TEST(LogSwitch, ExactlyOneSilencesEverything) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"log", "hello"}, {"error", "hello"}, {"long"}, {"setenv-then-log"}, {"threads"}}) {
    const ProbeResult r = RunProbe(args, "1");
    EXPECT_TRUE(ExitedWith(r, 0)) << args[0];
    EXPECT_EQ(r.out, "") << args[0];
    EXPECT_EQ(r.err, "") << args[0];
  }
  // Silenced, a failed assertion does not stop the process either.
  for (const char* mode : {"assert", "assert-handler"}) {
    const ProbeResult r = RunProbe({mode}, "1");
    EXPECT_TRUE(ExitedWith(r, kAssertReturned)) << mode << " status " << r.status;
    EXPECT_EQ(r.out + r.err, "") << mode;
  }
}

TEST(LogSwitch, OtherValuesDoNotSilence) {
  const std::vector<std::optional<std::string>> values = {std::nullopt, "", "0", "01", "1 ", " 1", "11", "yes", "true"};
  for (const std::optional<std::string>& value : values) {
    const std::string label = value.has_value() ? "'" + *value + "'" : "unset";
    const ProbeResult log = RunProbe({"log", "visible"}, value);
    EXPECT_TRUE(ExitedWith(log, 0)) << label;
    EXPECT_TRUE(Matches(log.out, "[Zantu] Log Func:RunLog Line:# visible\n")) << label << ": " << log.out;
    const ProbeResult error = RunProbe({"error", "visible"}, value);
    EXPECT_TRUE(Matches(error.err, "[Zantu] Error Func:RunError Line:# visible\n")) << label << ": " << error.err;
    const ProbeResult fatal = RunProbe({"assert"}, value);
    EXPECT_TRUE(EndedBySigint(fatal)) << label << " status " << fatal.status;
  }
}

TEST(LogSwitch, ReadOnlyAtTheFirstMessage) {
  // Unset at the first message: setting it later silences nothing.
  const ProbeResult loud = RunProbe({"setenv-then-log"}, std::nullopt);
  EXPECT_TRUE(ExitedWith(loud, 0));
  EXPECT_TRUE(Matches(loud.out,
                      "[Zantu] Log Func:RunFlipEnv Line:# first\n"
                      "[Zantu] Log Func:RunFlipEnv Line:# second\n"))
      << loud.out;
  EXPECT_TRUE(Matches(loud.err, "[Zantu] Error Func:RunFlipEnv Line:# third\n")) << loud.err;
  // "1" at the first message: removing it later wakes nothing.
  const ProbeResult quiet = RunProbe({"setenv-then-log"}, "1");
  EXPECT_TRUE(ExitedWith(quiet, 0));
  EXPECT_EQ(quiet.out + quiet.err, "");
}

// ----------------------------------------------------------------- the lines

TEST(LogLines, LogToStdoutErrorToStderr) {
  const ProbeResult log = RunProbe({"log", "hello world"}, std::nullopt);
  EXPECT_TRUE(ExitedWith(log, 0));
  EXPECT_TRUE(Matches(log.out, "[Zantu] Log Func:RunLog Line:# hello world\n")) << log.out;
  EXPECT_EQ(log.err, "");
  const ProbeResult error = RunProbe({"error", "it broke"}, std::nullopt);
  EXPECT_TRUE(ExitedWith(error, 0));
  EXPECT_TRUE(Matches(error.err, "[Zantu] Error Func:RunError Line:# it broke\n")) << error.err;
  EXPECT_EQ(error.out, "");
}

// The message is text, never a format of its own.
TEST(LogLines, PercentSignsInMessagesArePrintedAsIs) {
  const ProbeResult r = RunProbe({"log", "100% %s %d %n %%"}, std::nullopt);
  EXPECT_TRUE(ExitedWith(r, 0));
  EXPECT_TRUE(Matches(r.out, "[Zantu] Log Func:RunLog Line:# 100% %s %d %n %%\n")) << r.out;
}

TEST(LogLines, LongMessageCutTo4095Characters) {
  const ProbeResult r = RunProbe({"long"}, std::nullopt);
  EXPECT_TRUE(ExitedWith(r, 0));
  ASSERT_EQ(r.out.size(), 4095u);
  const std::string head = r.out.substr(0, r.out.find(" x"));
  EXPECT_TRUE(Matches(head, "[Zantu] Log Func:RunLong Line:#")) << head;
  EXPECT_EQ(r.out.find_first_not_of('x', head.size() + 1), std::string::npos);
  EXPECT_EQ(r.err, "");
}

TEST(LogLines, ConcurrentLinesStayWholeAndAppearOnce) {
  const ProbeResult r = RunProbe({"threads"}, std::nullopt);
  ASSERT_TRUE(ExitedWith(r, 0)) << r.status << " " << r.err;
  ASSERT_FALSE(r.out.empty());
  ASSERT_EQ(r.out.back(), '\n');
  std::set<std::pair<int, int>> seen;
  std::istringstream lines(r.out);
  std::string line;
  int bad = 0;
  while (std::getline(lines, line)) {
    int number = 0;
    int thread = -1;
    int index = -1;
    if (!Matches(line, "[Zantu] Log Func:ThreadBody Line:# thread=# line=# end") ||
        std::sscanf(line.c_str(), "[Zantu] Log Func:ThreadBody Line:%d thread=%d line=%d end", &number, &thread,
                    &index) != 3) {
      if (++bad <= 3) ADD_FAILURE() << "damaged line: " << line;
      continue;
    }
    const std::pair<int, int> id(thread, index);
    if (!seen.insert(id).second) ADD_FAILURE() << "line twice: " << line;
    EXPECT_TRUE(id.first >= 0 && id.first < 8 && id.second >= 0 && id.second < 1000) << line;
  }
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(seen.size(), 8000u);
}

// A child forked while another thread logs can log too: no lock of the
// logging function is left held across fork.
TEST(LogLines, ForkedChildLogsWhileAnotherThreadLogs) {
  const ProbeResult r = RunProbe({"fork-while-logging"}, std::nullopt);
  EXPECT_TRUE(ExitedWith(r, 0)) << r.status;
  EXPECT_NE(r.err.find("child 199"), std::string::npos);
}

// ---------------------------------------------------------------- assertions

TEST(LogAssert, PrintsThenEndsBySigint) {
  const ProbeResult r = RunProbe({"assert"}, std::nullopt);
  EXPECT_TRUE(EndedBySigint(r)) << "status " << r.status;
  EXPECT_TRUE(Matches(r.err, "[Zantu] ASSERT Func:RunAssert Line:# probe 7\n")) << r.err;
  EXPECT_EQ(r.out, "");
}

TEST(LogAssert, ReturningSigintHandlerMeansExitStatusOne) {
  const ProbeResult r = RunProbe({"assert-handler"}, std::nullopt);
  EXPECT_TRUE(ExitedWith(r, 1)) << "status " << r.status;
  EXPECT_TRUE(Matches(r.err, "[Zantu] ASSERT Func:RunAssert Line:# probe 7\n")) << r.err;
}

}  // namespace
