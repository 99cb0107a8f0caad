// zantu_node: the reference node. It listens on 127.0.0.1 for one daemon,
// serves it over the Native or the Light transport until the daemon's stream
// ends, and answers the test module's calls and the runtime module's calls,
// the latter on real GPUs (--backend cuda) or emulated ones. Tests,
// benchmarks and the demo drive it; tests/harness/processes.h starts it and reads
// its ready line.

#include <cstdio>
#include <memory>

#include "node/backend_factory.h"
#include "node/kernel_libraries.h"
#include "node/light_link.h"
#include "node/native_link.h"
#include "node/node_log.h"
#include "node/node_server.h"
#include "node/options.h"

int main(int argc, char** argv) {
  using namespace zantu_node;
  NodeOptions options;
  if (!ParseOptions(argc, argv, &options)) return kExitBadCommandLine;

  KernelLibraries kernels;
  if (!kernels.Load(options.kernel_libraries)) return kExitSetupFailed;
  std::string note;
  std::unique_ptr<GpuBackend> backend = MakeBackend(options, &kernels, &note);
  if (!backend) return kExitSetupFailed;

  std::unique_ptr<NodeLink> link;
  if (options.transport == Transport::kLight) {
    link = std::make_unique<LightLink>(options);
  } else {
    link = std::make_unique<NativeLink>(options.recv_port, options.send_port);
  }
  // Declared after the backend and the link, so that its workers are joined
  // before either goes.
  NodeServer server(options, link.get(), backend.get());
  if (!server.OpenRecord()) return kExitSetupFailed;
  ListenPorts ports;
  if (!link->Listen(&ports)) return kExitSetupFailed;

  // The one line on standard output; harnesses wait for it before they
  // start the daemon. The ports come first, in this order.
  std::printf("zantu_node ready recv_port=%u send_port=%u udp_port=%u %s%s%s\n", ports.recv_port, ports.send_port,
              ports.udp_port, backend->Describe().c_str(), note.empty() ? "" : " default=emulated: ",
              note.c_str());
  std::fflush(stdout);

  const int status = link->Accept() ? server.Serve() : kExitSetupFailed;
  link->Close();
  NODE_LOG("zantu_node exits status=%d %s %s", status, server.Summary().c_str(), link->Summary().c_str());
  return status;
}
