// The CPU kernel library of the samples, libzantu_sample_kernels.so: the
// samples' kernel files, compiled by the host compiler, and their names.
#include "node/kernel_runtime/kernel_registry.h"

#include "examples/cuda/async_kernels.cuh"
#include "examples/cuda/reduction_kernels.cuh"
#include "examples/cuda/saxpy_kernels.cuh"
#include "examples/cuda/vector_add_kernels.cuh"

ZANTU_KERNELS(vectorAdd, countLaunch, saxpy, reduceSum<256>, reduceAtomic<256>, stepChain);
ZANTU_SYMBOL(saxpy_a);
