// <cooperative_groups/reduce.h> for kernel sources built by the host compiler
// (see ../cooperative_groups.h): reduce() is part of zantu_kernel_groups.h.
#pragma once
#include "../../zantu_kernel_groups.h"
