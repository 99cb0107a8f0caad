// Log lines of a thread body's named steps. A line names the function that
// reports it; the daemon's lines have always named the thread body (Server,
// RequestWorker, ResponseWorker, main, ...), and operators look for them so.
// A step reports under its body's name with these, whatever the step is
// called.
#pragma once

#include "common/log.h"

#define ZANTU_LOG_AS(func, fmt, ...) \
  DebugPrintf(false, false, "[Zantu] Log Func:%s Line:%d " fmt "\n", func, __LINE__, ##__VA_ARGS__)
#define ZANTU_ERROR_AS(func, fmt, ...) \
  DebugPrintf(true, false, "[Zantu] Error Func:%s Line:%d " fmt "\n", func, __LINE__, ##__VA_ARGS__)
