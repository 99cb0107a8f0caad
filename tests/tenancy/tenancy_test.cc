// One program never harms another: unmodified nvcc-built programs on our
// runtime library, the real daemon and two emulated nodes (node 0 over
// Native, node 1 over Light), each GPU shared by several clients. A victim
// keeps memory on GPU 0 and bystanders make synchronous calls on the same
// GPU, on the other GPU of that node and on the other node, while hostile
// tenants take their turns on GPU 0: kernels that read or write the victim's
// memory, write through wild pointers or past their own allocation or shared
// array, queue more work than the node grants, set their own __constant__,
// make streams without end, spin for ever. Each hostile tenant gets CUDA's
// errors (or its own results) and nothing more; the victim's memory is intact
// byte for byte, every bystander call is answered within a second, and the
// node and the daemon serve on. A thousand clients at once each run a kernel
// on one node.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "harness/daemon.h"

namespace {

using std::chrono::milliseconds;
using testing_util::ChildProcess;

// Error numbers of the runtime API.
const std::string kIllegalAddress = "700";
const std::string kMemoryAllocation = "2";
#ifdef ZANTU_ADDRESS_SANITIZED
const std::string kWorkerFault = "999";
#else
// The memory fault, or the abort of a worker whose own structures the
// kernel reached first.
const std::string kWorkerFault = kIllegalAddress + "|719";
#endif
// A bystander's slowest synchronizing call. A sanitizer build runs every
// process of the test several times slower, the bystanders' own included.
#ifdef ZANTU_SANITIZED_BUILD
constexpr int kBystanderBoundMs = 5000;
#else
constexpr int kBystanderBoundMs = 1000;
#endif

std::unique_ptr<daemon_test::DaemonOnNodes> StartRoad(size_t nodes, std::string* error) {
  std::vector<testing_util::NodeConfig> configs;
  for (size_t id = 0; id < nodes; ++id) {
    testing_util::NodeConfig config;
    config.transport = id == 0 ? "native" : "light";
    // A small grant: the flooding tenant goes over it with a few copies
    // (a sanitizer build moves bulk data slowly).
    config.extra_args = {"--backend", "emulated", "--gpus", "2", "--memory", "2G",
                         "--grant", "64M", "--kernels", ZANTU_TENANT_KERNELS};
    configs.push_back(config);
  }
  return daemon_test::DaemonOnNodes::Start(configs, 2, error);
}

std::unique_ptr<ChildProcess> App(const std::vector<std::string>& args) {
  std::vector<std::string> argv = {ZANTU_TENANT_APP};
  argv.insert(argv.end(), args.begin(), args.end());
  return ChildProcess::Spawn(argv, daemon_test::CudartEnv(ZANTU_CUDART_DIR, ZANTU_SANITIZER_RUNTIME, {}));
}

// The program's output once it has ended (within `timeout`).
std::string Finish(ChildProcess* app, milliseconds timeout = milliseconds(60000)) {
  EXPECT_EQ(app->Wait(timeout), 0) << app->Stdout() << app->Stderr();
  return app->Stdout();
}

std::string Value(const std::string& out, const std::string& name) { return daemon_test::Value(out, name); }

// CPU time (clock ticks) of `root` and every process below it.
long long TreeTicks(pid_t root) {
  std::vector<std::pair<pid_t, pid_t>> parents;  // (pid, parent)
  std::vector<std::pair<pid_t, long long>> ticks;
  if (DIR* dir = opendir("/proc")) {
    while (dirent* entry = readdir(dir)) {
      const pid_t pid = std::atoi(entry->d_name);
      if (pid <= 0) continue;
      std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
      std::string line;
      if (!std::getline(stat, line)) continue;
      std::istringstream fields(line.substr(line.rfind(')') + 2));
      std::string field;
      std::vector<std::string> f;
      while (fields >> field) f.push_back(field);
      if (f.size() < 13) continue;
      parents.emplace_back(pid, std::atoi(f[1].c_str()));
      ticks.emplace_back(pid, std::atoll(f[11].c_str()) + std::atoll(f[12].c_str()));
    }
    closedir(dir);
  }
  std::vector<pid_t> tree = {root};
  for (size_t i = 0; i < tree.size(); ++i) {
    for (const auto& [pid, parent] : parents) {
      if (parent == tree[i]) tree.push_back(pid);
    }
  }
  long long total = 0;
  for (const auto& [pid, t] : ticks) {
    for (pid_t member : tree) total += pid == member ? t : 0;
  }
  return total;
}

// Share of one core the process tree of `root` used over `window`.
double TreeCpu(pid_t root, milliseconds window) {
  const long long before = TreeTicks(root);
  std::this_thread::sleep_for(window);
  const long long used = TreeTicks(root) - before;
  return static_cast<double>(used) / sysconf(_SC_CLK_TCK) / (window.count() / 1000.0);
}

struct Hostile {
  std::vector<std::string> args;                         // after the mode's device
  std::vector<std::pair<std::string, std::string>> expect;  // R lines
};

TEST(Tenancy, HostileTenantsHurtOnlyThemselves) {
  std::string error;
  auto road = StartRoad(2, &error);
  ASSERT_NE(road, nullptr) << error;
  const std::string go = "/tmp/" + testing_util::UniqueName("zantu_tenancy_go");

  auto victim = App({"victim", "0", go});
  ASSERT_TRUE(victim && victim->WaitForOutput("R pointer=", milliseconds(30000))) << victim->Stderr();
  const std::string pointer = Value(victim->Stdout(), "pointer");
  // On GPU 0 itself, on the node's other GPU, and on the other node.
  std::vector<std::unique_ptr<ChildProcess>> bystanders;
  for (const char* device : {"0", "1", "2"}) bystanders.push_back(App({"bystander", device, go}));

  const std::vector<Hostile> hostile = {
      // Another worker's address is refused, or, where the tenant's own
      // worker has memory of its own at the same address (workers forked
      // from one process lay out alike), names that: never the victim's.
      {{"read_other", "0", pointer}, {{"sync", kIllegalAddress + "|0"}, {"leaked", "0"}}},
      {{"write_other", "0", pointer}, {{"sync", kIllegalAddress + "|0"}}},
      {{"wild", "0"}, {{"sync", kIllegalAddress}, {"after", kIllegalAddress}}},
      // Past its own allocation a kernel reaches its own worker at most: it
      // meets unmapped memory (the address sanitizer's check meets the
      // overrun first and ends the worker with its report: 999).
      {{"overrun", "0"}, {{"sync", kWorkerFault}, {"after", kWorkerFault}}},
      {{"shared", "0"}, {}},
      {{"flood", "0"}, {{"queued", "0"}, {"sync", "0"}}},
      // Streams are made without waiting: the node's refusal of the ones
      // past its limit comes with the next synchronizing call.
      {{"streams", "0"}, {{"created", "200000"}, {"after", kMemoryAllocation}}},
  };
  for (const Hostile& tenant : hostile) {
    SCOPED_TRACE(tenant.args[0]);
    auto app = App(tenant.args);
    ASSERT_TRUE(app);
    const std::string out = Finish(app.get());
    for (const auto& [name, value] : tenant.expect) {
      // "a|b": either answer.
      const std::string got = Value(out, name);
      const bool either = value.find('|') != std::string::npos &&
                          (got == value.substr(0, value.find('|')) || got == value.substr(value.find('|') + 1));
      if (!either) {
        EXPECT_EQ(got, value) << name << "\n" << out;
      }
    }
  }
  // Two clients with a __constant__ of their own each, at once.
  auto twice = App({"constant", "0", "2"});
  auto thrice = App({"constant", "0", "3"});
  ASSERT_TRUE(twice && thrice);
  EXPECT_EQ(Value(Finish(twice.get()), "wrong"), "0");
  EXPECT_EQ(Value(Finish(thrice.get()), "wrong"), "0");

  std::ofstream(go).put('\n');
  for (auto& bystander : bystanders) {
    const std::string out = Finish(bystander.get());
    EXPECT_EQ(Value(out, "wrong"), "0") << out;
    EXPECT_NE(Value(out, "calls"), "0") << out;
    EXPECT_LT(std::atoi(Value(out, "slowest_ms").c_str()), kBystanderBoundMs) << out;
  }
  const std::string victim_out = Finish(victim.get());
  EXPECT_EQ(Value(victim_out, "intact"), "1") << victim_out;

  // A kernel that never ends: its client's death ends it, and the node's
  // processes go back to idle.
  auto spinner = App({"spin", "0"});
  ASSERT_TRUE(spinner && spinner->WaitForOutput("R launched=0", milliseconds(30000))) << spinner->Stderr();
  std::this_thread::sleep_for(milliseconds(300));
  spinner->Signal(SIGKILL);
  spinner->Wait(milliseconds(5000));
  std::this_thread::sleep_for(milliseconds(2000));
  EXPECT_LT(TreeCpu(road->node(0).process().pid(), milliseconds(1000)), 0.05);

  // Both nodes and the daemon still serve.
  for (const char* device : {"0", "3"}) {
    auto tiny = App({"tiny", device});
    ASSERT_TRUE(tiny);
    EXPECT_EQ(Value(Finish(tiny.get()), "wrong"), "0");
  }
  unlink(go.c_str());
}

TEST(Tenancy, AThousandClientsEachRunAKernelOnOneNode) {
  std::string error;
  auto road = StartRoad(1, &error);
  ASSERT_NE(road, nullptr) << error;
  const std::string go = "/tmp/" + testing_util::UniqueName("zantu_crowd_go");
  // Every client stays until all have run their kernel; they start in waves,
  // as a real crowd arrives, each while the earlier ones hold their workers.
  constexpr int kWave = 32;
  std::vector<std::unique_ptr<ChildProcess>> clients;
  int wrong = 0;
  for (int i = 0; i < ZANTU_TENANT_CROWD; ++i) {
    clients.push_back(App({"tiny", std::to_string(i % 2), go}));
    ASSERT_TRUE(clients.back()) << i;
    if ((i + 1) % kWave != 0 && i + 1 != ZANTU_TENANT_CROWD) continue;
    for (size_t c = clients.size() - ((i % kWave) + 1); c < clients.size(); ++c) {
      EXPECT_TRUE(clients[c]->WaitForOutput("R wrong=", milliseconds(60000))) << c;
      const std::string out = clients[c]->Stdout();
      if (Value(out, "wrong") != "0" && ++wrong <= 3) ADD_FAILURE() << out << clients[c]->Stderr();
    }
  }
  EXPECT_EQ(wrong, 0);
  std::ofstream(go).put('\n');
  for (auto& client : clients) Finish(client.get());
  unlink(go.c_str());
  auto tiny = App({"tiny", "1"});
  ASSERT_TRUE(tiny);
  EXPECT_EQ(Value(Finish(tiny.get()), "wrong"), "0");
}

}  // namespace
