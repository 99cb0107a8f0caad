// <cooperative_groups.h> for kernel sources built by the host compiler into a
// CPU kernel library: this directory is on the host compiler's include path
// of kernel libraries only, never nvcc's.
#pragma once
#include "../zantu_kernel_groups.h"
