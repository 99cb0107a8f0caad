// zantu_server: groups of seven arguments, one per remote GPU:
//   node_id host network_type send_port recv_port node_port gpu_index
// One transport per distinct node ("light" selects Light, anything else
// Native), connected in command-line order, each greeted with the same
// 32-byte guest information. SIGTERM and SIGINT stop the daemon as a fatal
// error of one of its threads would: every client's rings are released (their
// waiting calls fail), nothing is left in /dev/shm. The exit status is always
// 0.
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/records.h"
#include "common/registration.h"
#include "common/trellan.h"
#include "server/light.h"
#include "server/native.h"
#include "server/zantu.h"

namespace {

constexpr int kArgsPerGroup = 7;
constexpr int kMaxGroups = 64;

struct Group {
  uint32_t node_id;
  std::string host;
  std::string network_type;
  long send_port;
  long recv_port;
  long node_port;
  uint32_t gpu_index;
};

// Base 10; text that is not a number reads as 0.
long ParseLong(const char* text) { return std::strtol(text, nullptr, 10); }
uint32_t ParseU32(const char* text) { return static_cast<uint32_t>(std::strtoul(text, nullptr, 10)); }

bool ValidPort(long port) { return port >= 1 && port <= 65535; }

// The registration reply lists nodes by the numbers 0 .. N-1 and a client
// keeps at most kMaxNodes of them; the ports a group uses are 16 bits and
// never 0.
bool CheckGroups(const std::vector<Group>& groups) {
  std::set<uint32_t> nodes;
  for (size_t g = 0; g < groups.size(); ++g) {
    const Group& group = groups[g];
    // Light takes the node's UDP port from the node, not from send_port.
    const bool uses_send_port = group.network_type != "light";
    for (long port : {uses_send_port ? group.send_port : 1L, group.recv_port, group.node_port}) {
      if (!ValidPort(port)) {
        ZANTU_ERROR("invalid port=%ld in gpu-%zu, ports must be 1 to 65535", port, g);
        return false;
      }
    }
    nodes.insert(group.node_id);
  }
  if (nodes.size() > kMaxNodes) {
    ZANTU_ERROR("too many nodes, count=%zu, at most %u", nodes.size(), kMaxNodes);
    return false;
  }
  if (*nodes.rbegin() != nodes.size() - 1) {
    ZANTU_ERROR("node ids must be 0 to %zu, got node=%u", nodes.size() - 1, *nodes.rbegin());
    return false;
  }
  return true;
}

// The daemon serves every client of the machine; the soft descriptor limit
// (often 1024) must not be what caps their number.
void RaiseDescriptorLimit() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = limit.rlim_max;
  if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
    ZANTU_ERROR("raise the descriptor limit from %lu failed=%d", static_cast<unsigned long>(before), errno);
  }
}

// Blocks the stop signals in this thread, and so in every thread started
// from it: they are taken from a signalfd once the daemon runs (Zantu::Run),
// never by a handler.
void BlockStopSignals() {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);
}

// A daemon that was killed leaves its clients' rings (up to 2 GiB each) and
// its process bell behind; those of a daemon that still runs stay.
void RemoveRingsOfGoneDaemons() {
  const size_t removed = RemoveOrphanRings({kRequestRingPrefix, kResponseRingPrefix});
  if (removed > 0) {
    ZANTU_LOG_AS("main", "removed %zu ring and bell objects that processes which are gone left in /dev/shm",
                 removed);
  }
}

// Reads the command line into groups; false, after logging, for a bad one.
bool ParseGroups(int argc, char** argv, std::vector<Group>* groups) {
  if (argc <= kArgsPerGroup || (argc - 1) % kArgsPerGroup != 0) {
    ZANTU_ERROR_AS("main", "invalid params count=%d", argc);
    return false;
  }
  const int group_count = (argc - 1) / kArgsPerGroup;
  if (group_count > kMaxGroups) {
    ZANTU_ERROR_AS("main", "too many cuda device, count=%d", group_count);
    return false;
  }
  for (int g = 0; g < group_count; ++g) {
    char** arg = argv + 1 + g * kArgsPerGroup;
    groups->push_back(Group{ParseU32(arg[0]), arg[1], arg[2], ParseLong(arg[3]), ParseLong(arg[4]), ParseLong(arg[5]),
                            ParseU32(arg[6])});
  }
  return CheckGroups(*groups);
}

// Connects one transport per node, in command-line order, and greets each
// with `guest_info`. Start-up stops at the first node that fails: false,
// with every transport made so far deleted.
bool ConnectNodes(std::vector<Group>& groups, const char (&guest_info)[kGuestInfoSize], std::vector<GPU>* gpus,
                  std::map<unsigned int, Network*>* networks, std::map<unsigned int, unsigned short>* node_ports) {
  for (size_t g = 0; g < groups.size(); ++g) {
    Group& group = groups[g];
    if (networks->count(group.node_id) == 0) {
      Network* network = group.network_type == "light" ? static_cast<Network*>(new Light()) : new Native();
      (*networks)[group.node_id] = network;
      bool connected = network->Connect(group.host, static_cast<unsigned short>(group.send_port),
                                        static_cast<unsigned short>(group.recv_port));
      if (!connected) ZANTU_ERROR_AS("main", "create network failed");
      if (connected && !network->Send(const_cast<char*>(guest_info), kGuestInfoSize)) {
        ZANTU_ERROR_AS("main", "send guest info failed");
        connected = false;
      }
      if (!connected) {
        for (auto& [node, made] : *networks) delete made;
        networks->clear();
        return false;
      }
      (*node_ports)[group.node_id] = static_cast<unsigned short>(group.node_port);
    }
    ZANTU_LOG_AS("main",
                 "create gpu-%d from host=%s network=%s send_port=%d recv_port=%d node_port=%d gpu_index=%d uuid=%s",
                 static_cast<int>(g), group.host.c_str(), group.network_type.c_str(), static_cast<int>(group.send_port),
                 static_cast<int>(group.recv_port), static_cast<int>(group.node_port),
                 static_cast<int>(group.gpu_index), guest_info);
    gpus->push_back(GPU{group.gpu_index, group.node_id});
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  BlockStopSignals();
  RaiseDescriptorLimit();
  std::vector<Group> groups;
  if (ParseGroups(argc, argv, &groups)) {
    RemoveRingsOfGoneDaemons();
    char guest_info[kGuestInfoSize] = {};
    const std::string uuid = GenerateRandomString(kGuestInfoSize - 1);
    uuid.copy(guest_info, kGuestInfoSize - 1);

    std::vector<GPU> gpus;
    std::map<unsigned int, Network*> networks;
    std::map<unsigned int, unsigned short> node_ports;
    if (ConnectNodes(groups, guest_info, &gpus, &networks, &node_ports)) {
      Zantu zantu;
      zantu.Run(gpus, networks, node_ports);
    }
  }
  ZANTU_LOG("zantu quit");
  return 0;
}
