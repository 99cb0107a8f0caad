# Detection of the CUDA toolkit: its headers (for our runtime library and the
# node's cuda backend) and nvcc (for the samples and the tests that compile
# device code). Nothing here needs a GPU or the toolkit's libraries.
#
# Sets ZANTU_HAVE_CUDA_HEADERS (ON/OFF), ZANTU_CUDA_INCLUDE_DIR and ZANTU_NVCC
# (empty when nvcc is absent).
set(ZANTU_CUDA_ROOT "/usr/local/cuda" CACHE PATH "Root of the CUDA toolkit (headers and nvcc)")

set(ZANTU_HAVE_CUDA_HEADERS OFF)
set(ZANTU_CUDA_INCLUDE_DIR "")
set(ZANTU_NVCC "")
if(EXISTS "${ZANTU_CUDA_ROOT}/include/cuda_runtime_api.h" AND EXISTS "${ZANTU_CUDA_ROOT}/include/driver_types.h")
  set(ZANTU_HAVE_CUDA_HEADERS ON)
  set(ZANTU_CUDA_INCLUDE_DIR "${ZANTU_CUDA_ROOT}/include")
endif()
if(EXISTS "${ZANTU_CUDA_ROOT}/bin/nvcc")
  set(ZANTU_NVCC "${ZANTU_CUDA_ROOT}/bin/nvcc")
endif()

if(ZANTU_HAVE_CUDA_HEADERS)
  message(STATUS "CUDA toolkit headers: ${ZANTU_CUDA_INCLUDE_DIR}; nvcc: ${ZANTU_NVCC}")
else()
  message(STATUS "CUDA toolkit not found under ${ZANTU_CUDA_ROOT}: the runtime library, the cuda backend and the CUDA samples are skipped")
endif()
