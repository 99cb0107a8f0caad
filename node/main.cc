// zantu_node: the reference node. It listens on 127.0.0.1 for one daemon,
// serves it over the Native or the Light transport until the daemon's stream
// ends, and answers the test module's calls and the runtime module's calls,
// the latter on real GPUs (--backend cuda) or emulated ones. Each client runs
// in a worker process of its own, forked by the spawner, a process the node
// starts first of all, while it holds nothing a worker must not inherit.
// Tests, benchmarks and the demo drive it; tests/harness/processes.h starts
// it and reads its ready line.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <thread>

#include "node/backends/backend_factory.h"
#include "node/backends/kernel_libraries.h"
#include "node/front/light_link.h"
#include "node/front/native_link.h"
#include "node/front/node_server.h"
#include "node/front/spawner.h"
#include "node/front/worker_slot.h"
#include "node/node_log.h"
#include "node/options.h"

namespace {

using namespace zantu_node;

std::unique_ptr<NodeLink> MakeLink(const NodeOptions& options) {
  if (options.transport == Transport::kLight) return std::make_unique<LightLink>(options);
  return std::make_unique<NativeLink>(options.recv_port, options.send_port);
}

// SIGTERM and SIGINT end the node at once, taking its workers' rings and its
// bell out of /dev/shm (the spawner, and its workers with it, follow the node
// when it dies). Blocked in every thread the node starts; one thread takes
// them. The spawner is forked before, with the default actions.
void WatchStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  if (pthread_sigmask(SIG_BLOCK, &stop, nullptr) != 0) return;
  std::thread([stop] {
    int signal = 0;
    if (sigwait(&stop, &signal) != 0) return;
    const size_t rings = RemoveOwnWorkerRings();
    UnlinkOwnBell();
    NODE_LOG("%s received, quitting (removed %zu worker rings)", signal == SIGTERM ? "SIGTERM" : "SIGINT", rings);
    std::fflush(stdout);
    _exit(kExitOk);
  }).detach();
}

DispatchConfig ConfigOf(const NodeOptions& options, const BackendPlan& plan) {
  DispatchConfig config;
  config.plan = plan;
  config.test_module = options.test_module;
  config.pump.skip_headers = options.skip_headers;
  config.pump.close_after = options.close_after;
  config.pool_size = options.worker_pool;
  config.grant_bytes = options.grant_bytes;
  return config;
}

}  // namespace

int main(int argc, char** argv) {
  NodeOptions options;
  if (!ParseOptions(argc, argv, &options)) return kExitBadCommandLine;

  KernelLibraries kernels;
  if (!kernels.Load(options.kernel_libraries)) return kExitSetupFailed;
  // First, while this process has one thread, no socket and no GPU driver.
  std::string why;
  std::unique_ptr<Spawner> spawner = Spawner::Start(&kernels, &why);
  if (!spawner) {
    NODE_LOG("the node cannot start its workers: %s", why.c_str());
    return kExitSetupFailed;
  }
  WatchStopSignals();
  // What nodes that were killed left in shared memory: their workers' rings.
  // Bells are left to the daemon, which removes every orphan's at its start.
  const size_t orphans = RemoveOrphanRings({kNodeRingPrefix}, false);
  if (orphans != 0) NODE_LOG("removed %zu ring objects left by nodes that are gone", orphans);
  BackendPlan plan;
  std::string note;
  if (!PlanBackend(options, &kernels, &plan, &note)) return kExitSetupFailed;

  std::unique_ptr<NodeLink> link = MakeLink(options);
  // Declared after the spawner and the link, so that its threads end before
  // either goes.
  NodeServer server(options, ConfigOf(options, plan), link.get(), spawner.get());
  if (!server.Prepare()) return kExitSetupFailed;
  ListenPorts ports;
  if (!link->Listen(&ports)) return kExitSetupFailed;

  // The one line on standard output; harnesses wait for it before they
  // start the daemon. The ports come first, in this order.
  std::printf("zantu_node ready recv_port=%u send_port=%u udp_port=%u %s%s%s%s\n", ports.recv_port, ports.send_port,
              ports.udp_port, plan.description.c_str(), options.test_module ? " test_module=on" : "",
              note.empty() ? "" : " default=emulated: ", note.c_str());
  std::fflush(stdout);

  const int status = link->Accept() ? server.Serve() : kExitSetupFailed;
  link->Close();
  NODE_LOG("zantu_node exits status=%d %s %s", status, server.Summary().c_str(), link->Summary().c_str());
  return status;
}
