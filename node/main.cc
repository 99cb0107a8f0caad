// zantu_node: the reference node. It listens on 127.0.0.1 for one daemon,
// serves it over the Native or the Light transport until the daemon's stream
// ends, and answers the test module's calls. Tests, benchmarks and the demo
// drive it; tests/node_harness.h starts it and reads its ready line.

#include <cstdio>
#include <memory>

#include "node/light_link.h"
#include "node/native_link.h"
#include "node/node_log.h"
#include "node/node_server.h"
#include "node/options.h"

int main(int argc, char** argv) {
  using namespace zantu_node;
  NodeOptions options;
  if (!ParseOptions(argc, argv, &options)) return kExitBadCommandLine;

  std::unique_ptr<NodeLink> link;
  if (options.transport == Transport::kLight) {
    link = std::make_unique<LightLink>(options);
  } else {
    link = std::make_unique<NativeLink>(options.recv_port, options.send_port);
  }
  NodeServer server(options, link.get());
  if (!server.OpenRecord()) return kExitSetupFailed;
  ListenPorts ports;
  if (!link->Listen(&ports)) return kExitSetupFailed;

  // The one line on standard output; harnesses wait for it before they
  // start the daemon.
  std::printf("zantu_node ready recv_port=%u send_port=%u udp_port=%u\n", ports.recv_port, ports.send_port,
              ports.udp_port);
  std::fflush(stdout);

  const int status = link->Accept() ? server.Serve() : kExitSetupFailed;
  link->Close();
  NODE_LOG("zantu_node exits status=%d %s %s", status, server.Summary().c_str(), link->Summary().c_str());
  return status;
}
