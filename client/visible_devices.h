// Narrowing the process's GPUs by CUDA_VISIBLE_DEVICES.
#pragma once

#include "client/tovrel.h"

namespace tovrel {

// Applies the variable's value (null when unset) to the GPU tables of `info`.
// The value is split at commas; each entry is read as a base-10 unsigned long
// (leading blanks skipped, reading stops at the first non-digit, a minus sign
// negates modulo 2^64). Entries without digits or out of range are reported
// and skipped; values not below gpu_count are dropped silently; only the first
// kMaxGpus values are kept, and one Error line reports that more were named. The kept values, sorted with duplicates, become
// process GPUs 0 .. n-1. With no value kept, nothing changes.
void ApplyVisibleDevices(const char* value, RegisterInfo* info);

}  // namespace tovrel
