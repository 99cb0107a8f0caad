#include "node/options.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "common/log.h"

namespace zantu_node {
namespace {

constexpr char kUsage[] =
    "usage: zantu_node --transport native|light [--recv-port P] [--send-port P] [--udp-port P] "
    "[--drop FRACTION] [--seed N] [--skip-headers] [--close-after N] [--record FILE] "
    "[--resend-newest-every N] [--backend cuda|emulated] [--gpus N] [--memory SIZE[K|M|G]] "
    "[--kernels LIB.so]... [--test-module] [--worker-pool N] [--grant SIZE[K|M|G]]";

constexpr uint64_t kMaxGrantBytes = uint64_t{2} << 30;

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

// Names one of a closed set of words; anything else is a bad value.
template <typename T>
bool ParseChoice(const std::string& text, std::initializer_list<std::pair<const char*, T>> choices, T* chosen) {
  for (const auto& [word, value] : choices) {
    if (text == word) {
      *chosen = value;
      return true;
    }
  }
  return false;
}

enum class Applied { kOk, kBadValue, kUnknown };

// Sets the option `name` takes a value from. The flags (--skip-headers,
// --test-module) are handled by the caller.
Applied ApplyValue(const std::string& name, const std::string& value, NodeOptions* options) {
  uint64_t number = 0;
  bool ok = true;
  if (name == "--transport") {
    ok = ParseChoice(value, {{"native", Transport::kNative}, {"light", Transport::kLight}}, &options->transport);
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
    ok = ParseChoice(value, {{"cuda", BackendKind::kCuda}, {"emulated", BackendKind::kEmulated}}, &options->backend);
  } else if (name == "--gpus") {
    ok = ParseUnsigned(value, 64, &number) && number > 0;
    options->gpus = static_cast<uint32_t>(number);
  } else if (name == "--memory") {
    ok = ParseSize(value, &options->memory_per_gpu);
  } else if (name == "--worker-pool") {
    ok = ParseUnsigned(value, 64, &number);
    options->worker_pool = static_cast<uint32_t>(number);
  } else if (name == "--grant") {
    // At most half a worker's request ring, so that what a client was
    // granted always fits there beside a record larger than the grant.
    ok = ParseSize(value, &options->grant_bytes) && options->grant_bytes <= kMaxGrantBytes;
  } else if (name == "--kernels") {
    ok = !value.empty();
    options->kernel_libraries.push_back(value);
  } else {
    return Applied::kUnknown;
  }
  return ok ? Applied::kOk : Applied::kBadValue;
}

// One option from argv[*i]: "--name=value", "--name value" or the flag.
// Advances *i past a value taken from the next argument; *name is the
// option's name without its value.
bool ParseOne(int argc, char** argv, int* i, NodeOptions* options, std::string* name_out) {
  std::string& name = *name_out;
  name = argv[*i];
  std::string value;
  const size_t eq = name.find('=');
  const bool inline_value = name.rfind("--", 0) == 0 && eq != std::string::npos;
  if (inline_value) {
    value = name.substr(eq + 1);
    name.resize(eq);
  }
  if (name == "--skip-headers" || name == "--test-module") {
    if (inline_value) ZANTU_ERROR("option %s takes no value\n%s", name.c_str(), kUsage);
    (name == "--skip-headers" ? options->skip_headers : options->test_module) = true;
    return !inline_value;
  }
  if (!inline_value) {
    if (*i + 1 >= argc) {
      ZANTU_ERROR("option %s needs a value\n%s", name.c_str(), kUsage);
      return false;
    }
    value = argv[++*i];
  }
  switch (ApplyValue(name, value, options)) {
    case Applied::kOk:
      return true;
    case Applied::kUnknown:
      ZANTU_ERROR("unknown option %s\n%s", name.c_str(), kUsage);
      return false;
    case Applied::kBadValue:
      break;
  }
  ZANTU_ERROR("bad value '%s' for %s\n%s", value.c_str(), name.c_str(), kUsage);
  return false;
}

}  // namespace

bool ParseOptions(int argc, char** argv, NodeOptions* options) {
  bool have_transport = false;
  bool have_backend = false;
  for (int i = 1; i < argc; ++i) {
    std::string name;
    if (!ParseOne(argc, argv, &i, options, &name)) return false;
    have_transport = have_transport || name == "--transport";
    have_backend = have_backend || name == "--backend";
  }
  if (!have_transport) {
    ZANTU_ERROR("--transport is required\n%s", kUsage);
    return false;
  }
  // The reference node with no backend asked for serves the test module too.
  if (!have_backend) options->test_module = true;
  return true;
}

}  // namespace zantu_node
