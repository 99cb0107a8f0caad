// Answers of the end-to-end program (e2e_app.cu) that every backend must
// give, shared by the tests that run it on the emulated node and on the
// cuda backend.
#pragma once

#include "harness/daemon.h"

namespace e2e_expected {

// What a kernel that brings down its worker leaves its client: a memory
// fault, or the address sanitizer's report (999) where it is built in.
#ifdef ZANTU_ADDRESS_SANITIZED
inline const char* const kWorkerFault = "999";
#else
inline const char* const kWorkerFault = "700";
#endif

// The "reset" mode: an illegal address sticks on its GPU until a reset; a
// kernel that ends the worker loses every GPU, each until its own reset.
inline testing_util::Expected Reset() {
  return {{"setup", "0"}, {"fault_launch", "0"}, {"fault_sync", "700"}, {"sticky_malloc", "700"},
          {"sticky_last", "700"}, {"sticky_last_again", "700"}, {"other_gpu", "0"}, {"reset", "0"},
          {"last_after_reset", "0"}, {"old_stream", "400"}, {"old_event", "400"}, {"old_memory", "1"},
          {"fresh", "0"}, {"fresh_back", "0"}, {"fresh_wrong", "0"}, {"crash_sync", kWorkerFault},
          {"crash_other_gpu", kWorkerFault}, {"crash_reset", "0"}, {"again", "0"}, {"again_back", "0"},
          {"again_wrong", "0"}, {"other_still_lost", kWorkerFault}, {"other_reset", "0"}, {"other_again", "0"},
          {"teardown", "0"}, {"done", "0"}};
}

}  // namespace e2e_expected
