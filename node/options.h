// The command line of zantu_node. It is a contract with the daemon's and the
// client library's tests, which start the node through tests/harness/processes.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zantu_node {

enum class Transport { kNative, kLight };

// Which GPU backend runs the runtime module's calls. kDefault: the real GPUs
// when the driver loads and reports at least one, else the emulated ones.
enum class BackendKind { kDefault, kCuda, kEmulated };

struct NodeOptions {
  Transport transport = Transport::kNative;
  uint16_t recv_port = 0;  // 0: any free port
  uint16_t send_port = 0;  // Native only
  uint16_t udp_port = 0;   // Light only
  double drop = 0.0;       // Light: fraction of data datagrams discarded on arrival
  uint64_t seed = 0;       // makes --drop repeatable
  bool skip_headers = false;
  uint64_t close_after = 0;  // 0: serve until the daemon's stream ends
  std::string record_path;   // empty: nothing is recorded
  // Light: every this many in-order datagrams the node asks for the newest
  // one it holds, which lets the daemon forget all older ones. 0: never.
  uint64_t resend_newest_every = 512;
  BackendKind backend = BackendKind::kDefault;
  uint32_t gpus = 0;  // 0: emulated 4, cuda every device found
  uint64_t memory_per_gpu = uint64_t{4} << 30;  // emulated capacity per device
  std::vector<std::string> kernel_libraries;    // emulated: --kernels, in order
  // The test module's calls are served with --test-module, and on a node
  // started without --backend (the reference node); otherwise they are
  // unknown functions.
  bool test_module = false;
  uint32_t worker_pool = 2;  // idle client workers kept started
  // Bytes of records each client may have outstanding at the node (the
  // grant announced to the daemon).
  uint64_t grant_bytes = uint64_t{512} << 20;
};

// Exit statuses of the program.
constexpr int kExitOk = 0;           // the daemon's stream ended, or --close-after was reached
constexpr int kExitSetupFailed = 1;  // a socket or the record file could not be set up
constexpr int kExitBadCommandLine = 2;
constexpr int kExitBrokenStream = 3;  // the daemon sent something that cannot be trusted

// Parses argv. On failure logs why (with the usage) and returns false.
[[nodiscard]] bool ParseOptions(int argc, char** argv, NodeOptions* options);

}  // namespace zantu_node
