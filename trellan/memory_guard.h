// Survival of shared memory that the other process takes away.
//
// A process that creates a ring maps memory whose size the attaching process
// controls: it may shrink the object, and every access to the pages beyond
// the new end then raises SIGBUS (or fails with EFAULT inside a system call).
// The creator registers each such mapping here. A fault inside one replaces
// the whole mapping by private zero pages, so the access goes on harmlessly,
// and marks the mapping damaged; the ring then reports itself corrupt and its
// owner releases it. Faults elsewhere go to the handler that was installed
// before (by default they end the process, as they would have).
#pragma once

#include <cstddef>

namespace trellan {

// Registers [base, base + length). The SIGBUS handler is installed on first
// use. A slot number, or -1 when every slot is taken (the mapping is then
// unguarded).
int GuardMapping(void* base, size_t length);

// Unregisters; call before the mapping is unmapped. -1 is ignored.
void UnguardMapping(int slot);

// Whether the mapping of `slot` was replaced after a fault.
bool MappingDamaged(int slot);

// If `address` lies in a registered mapping, replaces that mapping by zero
// pages and marks it damaged; true if so. Async-signal-safe.
bool AbandonMappingAt(const void* address);

}  // namespace trellan
