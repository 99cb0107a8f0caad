// Log lines of zantu_node. The node's standard output carries only its ready
// line, which harnesses parse, so its "Log" lines go to standard error as its
// "Error" lines do; the format is the system's usual one.
#pragma once

#include "common/log.h"

#define NODE_LOG(fmt, ...) \
  DebugPrintf(true, false, "[Zantu] Log Func:%s Line:%d " fmt "\n", __func__, __LINE__, ##__VA_ARGS__)
