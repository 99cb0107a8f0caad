// Starts the reference node zantu_node for a test, and reads back what it
// recorded of the daemon's stream.
//
//   testing_util::NodeConfig config;
//   config.transport = "light";
//   config.record = true;
//   std::string error;
//   auto node = testing_util::NodeProcess::Start(config, &error);
//   ASSERT_NE(node, nullptr) << error;
//   ... point the daemon at node->recv_port() (and node->send_port()) ...
//   testing_util::NodeRecord record;
//   ASSERT_TRUE(node->ReadRecord(&record));
//   EXPECT_EQ(record.messages.size(), 2u);
//
// The node listens on 127.0.0.1 for exactly one daemon and exits 0 when the
// daemon's stream ends (2: bad command line, 3: the daemon sent something
// malformed). The destructor kills it by its pid if it still runs and
// removes the record file.
#pragma once

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/records.h"
#include "process_harness.h"
#include "test_util.h"

namespace testing_util {

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

// One message of the daemon's stream: a request record (flags 0; header and
// body) or a client-exit notice (flags 16; header only).
// The header fields are copied out of the packed record, so tests can
// compare them directly.
struct RecordedMessage {
  uint32_t flags = 0;
  uint32_t node = 0;
  uint32_t device = 0;
  uint64_t size = 0;
  uint32_t pid = 0;
  uint32_t count = 0;
  std::string bytes;  // exactly as received, header included
};

struct NodeRecord {
  std::string guest;  // the 32 bytes of guest information; empty if not yet there
  std::vector<RecordedMessage> messages;
  size_t partial = 0;  // bytes at the end of a message still being written
};

// Splits the content of a record file. False when it holds something the
// node would not have recorded (a header with other flags).
inline bool ParseNodeRecord(const std::string& data, NodeRecord* record) {
  *record = NodeRecord();
  if (data.size() < kGuestInfoSize) {
    record->partial = data.size();
    return true;
  }
  record->guest = data.substr(0, kGuestInfoSize);
  size_t pos = kGuestInfoSize;
  while (pos < data.size()) {
    const size_t left = data.size() - pos;
    if (left < sizeof(RequestBatchHeader)) break;
    const RequestBatchHeader header = LoadRecord<RequestBatchHeader>(data.data() + pos);
    if (header.flags != 0 && header.flags != kLinkClientExit) return false;
    const uint64_t body = header.flags == 0 ? header.size : 0;
    if (body > left - sizeof(RequestBatchHeader)) break;
    const size_t length = sizeof(RequestBatchHeader) + static_cast<size_t>(body);
    record->messages.push_back(RecordedMessage{header.flags, header.node, header.device, header.size, header.pid,
                                               header.count, data.substr(pos, length)});
    pos += length;
  }
  record->partial = data.size() - pos;
  return true;
}

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
  bool ReadRecord(NodeRecord* record) const {
    if (record_path_.empty()) return false;
    std::ifstream in(record_path_, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return ParseNodeRecord(content.str(), record);
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
