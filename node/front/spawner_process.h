// The spawner's own loop, in the process Spawner::Start forks (see
// spawner.h).
#pragma once

#include <sys/types.h>

#include "node/backends/kernel_libraries.h"

namespace zantu_node {

// Serves the front end's requests on `fd` until it closes, then kills the
// workers left. `parent` is the front end. Returns the spawner's exit status.
int RunSpawner(int fd, pid_t parent, const KernelLibraries* kernels);

}  // namespace zantu_node
