#include <cstdio>

#include "common/api_numbers.h"
#include "common/trellan.h"

namespace {

#define ZANTU_API_NAME(name) #name,
constexpr const char* kRuntimeNames[] = {ZANTU_RUNTIME_API(ZANTU_API_NAME)};
constexpr const char* kDriverNames[] = {ZANTU_DRIVER_API(ZANTU_API_NAME)};
constexpr const char* kTestNames[] = {ZANTU_TEST_API(ZANTU_API_NAME)};
#undef ZANTU_API_NAME

static_assert(sizeof(kRuntimeNames) / sizeof(kRuntimeNames[0]) == kRuntimeApiCount);
static_assert(sizeof(kDriverNames) / sizeof(kDriverNames[0]) == kDriverApiCount);
static_assert(sizeof(kTestNames) / sizeof(kTestNames[0]) == kTestApiCount);

}  // namespace

const char* GetCudaFunctionName(unsigned char module, unsigned int function) {
  switch (module) {
    case kModuleRuntime:
      if (function < kRuntimeApiCount) return kRuntimeNames[function];
      break;
    case kModuleDriver:
      if (function < kDriverApiCount) return kDriverNames[function];
      break;
    case kModuleTest:
      if (function < kTestApiCount) return kTestNames[function];
      break;
    default:
      break;
  }
  // Large enough for "unknown(255:4294967295)".
  thread_local char unknown[32];
  std::snprintf(unknown, sizeof(unknown), "unknown(%u:%u)", static_cast<unsigned>(module), function);
  return unknown;
}
