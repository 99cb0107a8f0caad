#include "node/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/log.h"

namespace zantu_node {
namespace {

constexpr char kUsage[] =
    "usage: zantu_node --transport native|light [--recv-port P] [--send-port P] [--udp-port P] "
    "[--drop FRACTION] [--seed N] [--skip-headers] [--close-after N] [--record FILE] "
    "[--resend-newest-every N] [--backend cuda|emulated] [--gpus N] [--memory SIZE[K|M|G]] "
    "[--kernels LIB.so]...";

bool ParseUnsigned(const std::string& text, uint64_t max, uint64_t* value) {
  if (text.empty() || text[0] < '0' || text[0] > '9') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long parsed = std::strtoull(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParsePort(const std::string& text, uint16_t* port) {
  uint64_t value = 0;
  if (!ParseUnsigned(text, 65535, &value)) return false;
  *port = static_cast<uint16_t>(value);
  return true;
}

// A fraction of 1 or more would drop every resend too and stall the stream
// for good.
bool ParseFraction(const std::string& text, double* fraction) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const double parsed = std::strtod(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !(parsed >= 0.0 && parsed < 1.0)) return false;
  *fraction = parsed;
  return true;
}

// A byte count with an optional K, M or G suffix (powers of 1024).
bool ParseSize(const std::string& text, uint64_t* bytes) {
  if (text.empty()) return false;
  std::string digits = text;
  unsigned shift = 0;
  switch (digits.back()) {
    case 'K': case 'k': shift = 10; break;
    case 'M': case 'm': shift = 20; break;
    case 'G': case 'g': shift = 30; break;
    default: break;
  }
  if (shift != 0) digits.pop_back();
  uint64_t value = 0;
  if (!ParseUnsigned(digits, UINT64_MAX >> shift, &value) || value == 0) return false;
  *bytes = value << shift;
  return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, NodeOptions* options) {
  bool have_transport = false;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    std::string value;
    bool inline_value = false;
    const size_t eq = name.find('=');
    if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      inline_value = true;
    }
    if (name == "--skip-headers") {
      if (inline_value) {
        ZANTU_ERROR("option %s takes no value\n%s", name.c_str(), kUsage);
        return false;
      }
      options->skip_headers = true;
      continue;
    }
    if (!inline_value) {
      if (i + 1 >= argc) {
        ZANTU_ERROR("option %s needs a value\n%s", name.c_str(), kUsage);
        return false;
      }
      value = argv[++i];
    }
    bool ok = true;
    uint64_t number = 0;
    if (name == "--transport") {
      have_transport = true;
      if (value == "native") {
        options->transport = Transport::kNative;
      } else if (value == "light") {
        options->transport = Transport::kLight;
      } else {
        ok = false;
      }
    } else if (name == "--recv-port") {
      ok = ParsePort(value, &options->recv_port);
    } else if (name == "--send-port") {
      ok = ParsePort(value, &options->send_port);
    } else if (name == "--udp-port") {
      ok = ParsePort(value, &options->udp_port);
    } else if (name == "--drop") {
      ok = ParseFraction(value, &options->drop);
    } else if (name == "--seed") {
      ok = ParseUnsigned(value, UINT64_MAX, &options->seed);
    } else if (name == "--close-after") {
      ok = ParseUnsigned(value, UINT64_MAX, &number) && number > 0;
      options->close_after = number;
    } else if (name == "--record") {
      ok = !value.empty();
      options->record_path = value;
    } else if (name == "--resend-newest-every") {
      ok = ParseUnsigned(value, UINT64_MAX, &options->resend_newest_every);
    } else if (name == "--backend") {
      if (value == "cuda") {
        options->backend = BackendKind::kCuda;
      } else if (value == "emulated") {
        options->backend = BackendKind::kEmulated;
      } else {
        ok = false;
      }
    } else if (name == "--gpus") {
      ok = ParseUnsigned(value, 64, &number) && number > 0;
      options->gpus = static_cast<uint32_t>(number);
    } else if (name == "--memory") {
      ok = ParseSize(value, &options->memory_per_gpu);
    } else if (name == "--kernels") {
      ok = !value.empty();
      options->kernel_libraries.push_back(value);
    } else {
      ZANTU_ERROR("unknown option %s\n%s", name.c_str(), kUsage);
      return false;
    }
    if (!ok) {
      ZANTU_ERROR("bad value '%s' for %s\n%s", value.c_str(), name.c_str(), kUsage);
      return false;
    }
  }
  if (!have_transport) {
    ZANTU_ERROR("--transport is required\n%s", kUsage);
    return false;
  }
  return true;
}

}  // namespace zantu_node
