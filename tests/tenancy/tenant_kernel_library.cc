// The CPU twins of tenant_kernels.cuh for the emulated node (--kernels).
#include "node/kernel_runtime/kernel_registry.h"
#include "tests/tenancy/tenant_kernels.cuh"

ZANTU_KERNELS(tenant_copy, tenant_fill, tenant_saxpy, tenant_shared, tenant_spin, tenant_busy);
ZANTU_SYMBOL(tenant_factor);
