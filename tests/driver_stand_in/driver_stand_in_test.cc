// The driver stand-in on its own, through the node's own loader
// (CudaDriver): what each refusal returns, and that a kernel's fault sticks
// to its context, and to it only, until the context is reset. The cuda
// backend's tests trust these answers to be the driver's.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "node/backends/cuda_driver.h"

namespace {

constexpr int kGpus = 3;

class DriverStandIn : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    setenv("ZANTU_STAND_IN_GPUS", std::to_string(kGpus).c_str(), 1);
    setenv("ZANTU_STAND_IN_MEMORY", "64M", 1);
    setenv("ZANTU_STAND_IN_KERNELS", ZANTU_SAMPLE_KERNELS, 1);
    // Loaded by path first, so that the loader's dlopen by name finds it.
    ASSERT_NE(dlopen(ZANTU_DRIVER_STAND_IN, RTLD_NOW | RTLD_GLOBAL), nullptr) << dlerror();
    driver_ = new zantu_node::CudaDriver();
    std::string why;
    ASSERT_TRUE(driver_->Load(&why)) << why;
    ASSERT_EQ(driver_->cuInit_fn(0), CUDA_SUCCESS);
  }

  void SetUp() override {
    for (int i = 0; i < kGpus; ++i) ASSERT_EQ(d().cuDevicePrimaryCtxRetain_fn(&contexts_[i], i), CUDA_SUCCESS);
    ASSERT_EQ(d().cuCtxSetCurrent_fn(contexts_[0]), CUDA_SUCCESS);
  }
  // The last release frees what a test left behind.
  void TearDown() override {
    for (int i = 0; i < kGpus; ++i) EXPECT_EQ(d().cuDevicePrimaryCtxRelease_fn(i), CUDA_SUCCESS);
  }

  static zantu_node::CudaDriver& d() { return *driver_; }

 public:
  static zantu_node::CudaDriver& Driver() { return *driver_; }

 protected:
  CUdeviceptr Alloc(size_t bytes) {
    CUdeviceptr pointer = 0;
    EXPECT_EQ(d().cuMemAlloc_fn(&pointer, bytes), CUDA_SUCCESS);
    return pointer;
  }

  static zantu_node::CudaDriver* driver_;  // lives as long as the process
  CUcontext contexts_[kGpus] = {};
};

zantu_node::CudaDriver* DriverStandIn::driver_ = nullptr;

TEST_F(DriverStandIn, DevicesAsConfigured) {
  int count = 0;
  ASSERT_EQ(d().cuDeviceGetCount_fn(&count), CUDA_SUCCESS);
  EXPECT_EQ(count, kGpus);
  int value = 0;
  EXPECT_EQ(d().cuDeviceGetAttribute_fn(&value, CU_DEVICE_ATTRIBUTE_COMPUTE_CAPABILITY_MAJOR, 1), CUDA_SUCCESS);
  EXPECT_EQ(value, 8);
  EXPECT_EQ(d().cuDeviceGetAttribute_fn(&value, CU_DEVICE_ATTRIBUTE_WARP_SIZE, 1), CUDA_SUCCESS);
  EXPECT_EQ(value, 32);
  EXPECT_EQ(d().cuDeviceGetAttribute_fn(&value, CU_DEVICE_ATTRIBUTE_COOPERATIVE_LAUNCH, 1), CUDA_SUCCESS);
  EXPECT_EQ(value, 0);  // unclaimed
  EXPECT_EQ(d().cuDeviceGetAttribute_fn(&value, CU_DEVICE_ATTRIBUTE_WARP_SIZE, kGpus), CUDA_ERROR_INVALID_DEVICE);
  size_t total = 0;
  EXPECT_EQ(d().cuDeviceTotalMem_fn(&total, 0), CUDA_SUCCESS);
  EXPECT_EQ(total, size_t{64} << 20);
  CUuuid a{}, b{};
  EXPECT_EQ(d().cuDeviceGetUuid_fn(&a, 0) | d().cuDeviceGetUuid_fn(&b, 1), CUDA_SUCCESS);
  EXPECT_NE(std::memcmp(a.bytes, b.bytes, sizeof(a.bytes)), 0);
}

TEST_F(DriverStandIn, CallsWithoutACurrentContextFail) {
  std::thread([] {
    CUdeviceptr pointer = 0;
    EXPECT_EQ(d().cuMemAlloc_fn(&pointer, 64), CUDA_ERROR_INVALID_CONTEXT);
    EXPECT_EQ(d().cuCtxSynchronize_fn(), CUDA_ERROR_INVALID_CONTEXT);
  }).join();
}

TEST_F(DriverStandIn, MemoryIsCheckedAsTheDriverChecksIt) {
  const CUdeviceptr a = Alloc(1000);
  std::vector<char> host(1000, 7), back(1000, 0);
  EXPECT_EQ(d().cuMemcpyHtoDAsync_fn(a, host.data(), 1000, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(d().cuMemsetD8Async_fn(a + 10, 3, 10, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(d().cuMemcpyDtoHAsync_fn(back.data(), a, 1000, CU_STREAM_LEGACY), CUDA_SUCCESS);
  EXPECT_EQ(back[9], 7);
  EXPECT_EQ(back[10], 3);
  EXPECT_EQ(d().cuMemcpyHtoDAsync_fn(a + 1, host.data(), 1000, nullptr), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(d().cuMemcpyDtoDAsync_fn(a, a + 500, 501, nullptr), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(d().cuMemFree_fn(a + 8), CUDA_ERROR_INVALID_VALUE);
  size_t free = 0, total = 0;
  EXPECT_EQ(d().cuMemGetInfo_fn(&free, &total), CUDA_SUCCESS);
  EXPECT_EQ(total - free, 1024u);  // rounded up to the allocation granularity
  CUdeviceptr big = 0;
  EXPECT_EQ(d().cuMemAlloc_fn(&big, total), CUDA_ERROR_OUT_OF_MEMORY);
  EXPECT_EQ(d().cuMemFree_fn(a), CUDA_SUCCESS);
  EXPECT_EQ(d().cuMemFree_fn(a), CUDA_ERROR_INVALID_VALUE);
  // Another GPU's memory is no allocation of this context.
  ASSERT_EQ(d().cuCtxSetCurrent_fn(contexts_[1]), CUDA_SUCCESS);
  const CUdeviceptr other = Alloc(64);
  ASSERT_EQ(d().cuCtxSetCurrent_fn(contexts_[0]), CUDA_SUCCESS);
  EXPECT_EQ(d().cuMemsetD8Async_fn(other, 0, 64, nullptr), CUDA_ERROR_INVALID_VALUE);
}

TEST_F(DriverStandIn, StreamsAndEventsWithTheirFlags) {
  CUstream stream = nullptr;
  EXPECT_EQ(d().cuStreamCreate_fn(&stream, 0x10), CUDA_ERROR_INVALID_VALUE);
  ASSERT_EQ(d().cuStreamCreate_fn(&stream, CU_STREAM_NON_BLOCKING), CUDA_SUCCESS);
  CUevent start = nullptr, end = nullptr, untimed = nullptr, unrecorded = nullptr;
  EXPECT_EQ(d().cuEventCreate_fn(&untimed, CU_EVENT_INTERPROCESS), CUDA_ERROR_INVALID_VALUE);
  ASSERT_EQ(d().cuEventCreate_fn(&start, CU_EVENT_DEFAULT) | d().cuEventCreate_fn(&end, CU_EVENT_BLOCKING_SYNC) |
                d().cuEventCreate_fn(&untimed, CU_EVENT_DISABLE_TIMING) | d().cuEventCreate_fn(&unrecorded, 0),
            CUDA_SUCCESS);
  EXPECT_EQ(d().cuEventRecord_fn(start, stream) | d().cuEventRecord_fn(untimed, stream), CUDA_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(d().cuEventRecord_fn(end, stream), CUDA_SUCCESS);
  EXPECT_EQ(d().cuStreamQuery_fn(stream) | d().cuEventQuery_fn(end) | d().cuEventSynchronize_fn(end) |
                d().cuStreamWaitEvent_fn(nullptr, end, 0),
            CUDA_SUCCESS);
  float ms = 0;
  EXPECT_EQ(d().cuEventElapsedTime_fn(&ms, start, end), CUDA_SUCCESS);
  EXPECT_GE(ms, 4.0f);
  EXPECT_EQ(d().cuEventElapsedTime_fn(&ms, start, untimed), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(d().cuEventElapsedTime_fn(&ms, start, unrecorded), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(d().cuStreamDestroy_fn(stream), CUDA_SUCCESS);
  EXPECT_EQ(d().cuStreamSynchronize_fn(stream), CUDA_ERROR_INVALID_HANDLE);
  EXPECT_EQ(d().cuEventDestroy_fn(end), CUDA_SUCCESS);
  EXPECT_EQ(d().cuEventQuery_fn(end), CUDA_ERROR_INVALID_HANDLE);
}

// vectorAdd(const float* a, const float* b, float* c, int n) over n
// threads: 28 bytes of parameters.
CUresult LaunchVectorAdd(CUfunction function, CUdeviceptr a, CUdeviceptr b, CUdeviceptr c, int n,
                         unsigned shared = 0) {
  char params[28];
  std::memcpy(params, &a, 8);
  std::memcpy(params + 8, &b, 8);
  std::memcpy(params + 16, &c, 8);
  std::memcpy(params + 24, &n, 4);
  size_t size = sizeof(params);
  void* extra[] = {CU_LAUNCH_PARAM_BUFFER_POINTER, params, CU_LAUNCH_PARAM_BUFFER_SIZE, &size, CU_LAUNCH_PARAM_END};
  return DriverStandIn::Driver().cuLaunchKernel_fn(function, 1, 1, 1, static_cast<unsigned>(n), 1, 1, shared,
                                                   nullptr, nullptr, extra);
}

TEST_F(DriverStandIn, KernelsComeFromTheKernelLibraries) {
  CUmodule module = nullptr;
  const unsigned char garbage[] = {0, 1, 2, 3};
  EXPECT_EQ(d().cuModuleLoadData_fn(&module, garbage), CUDA_ERROR_INVALID_IMAGE);
  ASSERT_EQ(d().cuModuleLoadData_fn(&module, "// PTX text\n"), CUDA_SUCCESS);
  CUfunction function = nullptr;
  EXPECT_EQ(d().cuModuleGetFunction_fn(&function, module, "_Z7missingv"), CUDA_ERROR_NOT_FOUND);
  ASSERT_EQ(d().cuModuleGetFunction_fn(&function, module, "_Z9vectorAddPKfS0_Pfi"), CUDA_SUCCESS);
  CUdeviceptr global = 0;
  size_t global_size = 0;
  EXPECT_EQ(d().cuModuleGetGlobal_fn(&global, &global_size, module, "saxpy_a"), CUDA_SUCCESS);
  EXPECT_EQ(global_size, sizeof(float));
  EXPECT_EQ(d().cuModuleGetGlobal_fn(&global, &global_size, module, "missing"), CUDA_ERROR_NOT_FOUND);

  const int n = 64;
  std::vector<float> a(n, 1.5f), sum(n, 0);
  const CUdeviceptr da = Alloc(n * 4), dc = Alloc(n * 4);
  ASSERT_EQ(d().cuMemcpyHtoDAsync_fn(da, a.data(), n * 4, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(LaunchVectorAdd(function, da, da, dc, n), CUDA_SUCCESS);
  EXPECT_EQ(d().cuMemcpyDtoHAsync_fn(sum.data(), dc, n * 4, nullptr), CUDA_SUCCESS);
  EXPECT_EQ(sum, std::vector<float>(n, 3.0f));
  // Past the default dynamic shared memory only once allowed.
  EXPECT_EQ(LaunchVectorAdd(function, da, da, dc, n, 64 << 10), CUDA_ERROR_INVALID_VALUE);
  EXPECT_EQ(d().cuFuncSetAttribute_fn(function, CU_FUNC_ATTRIBUTE_MAX_DYNAMIC_SHARED_SIZE_BYTES, 64 << 10),
            CUDA_SUCCESS);
  EXPECT_EQ(LaunchVectorAdd(function, da, da, dc, n, 64 << 10), CUDA_SUCCESS);
  EXPECT_EQ(LaunchVectorAdd(function, da, da, dc, 2048), CUDA_ERROR_INVALID_VALUE);  // 2048 threads a block
  EXPECT_EQ(d().cuModuleUnload_fn(module), CUDA_SUCCESS);
  EXPECT_EQ(LaunchVectorAdd(function, da, da, dc, n), CUDA_ERROR_INVALID_HANDLE);
}

TEST_F(DriverStandIn, AFaultSticksToItsContextUntilReset) {
  CUmodule module = nullptr;
  CUfunction function = nullptr;
  ASSERT_EQ(d().cuModuleLoadData_fn(&module, "// PTX text\n"), CUDA_SUCCESS);
  ASSERT_EQ(d().cuModuleGetFunction_fn(&function, module, "_Z9vectorAddPKfS0_Pfi"), CUDA_SUCCESS);
  const CUdeviceptr a = Alloc(256);
  // As on a GPU, the launch itself succeeds; the fault shows afterwards.
  EXPECT_EQ(LaunchVectorAdd(function, a, a, 0x10, 64), CUDA_SUCCESS);
  EXPECT_EQ(d().cuCtxSynchronize_fn(), CUDA_ERROR_ILLEGAL_ADDRESS);
  CUdeviceptr more = 0;
  EXPECT_EQ(d().cuMemAlloc_fn(&more, 64), CUDA_ERROR_ILLEGAL_ADDRESS);
  EXPECT_EQ(d().cuStreamQuery_fn(nullptr), CUDA_ERROR_ILLEGAL_ADDRESS);
  ASSERT_EQ(d().cuCtxSetCurrent_fn(contexts_[1]), CUDA_SUCCESS);
  EXPECT_EQ(d().cuCtxSynchronize_fn(), CUDA_SUCCESS);  // another GPU's context
  ASSERT_EQ(d().cuCtxSetCurrent_fn(contexts_[0]), CUDA_SUCCESS);
  EXPECT_EQ(d().cuDevicePrimaryCtxReset_fn(0), CUDA_SUCCESS);
  EXPECT_EQ(d().cuCtxSynchronize_fn(), CUDA_SUCCESS);
  EXPECT_EQ(d().cuMemFree_fn(a), CUDA_ERROR_INVALID_VALUE);  // went with the reset
  EXPECT_EQ(d().cuMemAlloc_fn(&more, 64), CUDA_SUCCESS);
}

// A process forked from one that initialised the driver cannot use it.
TEST_F(DriverStandIn, AForkedChildIsNotInitialised) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    int count = 0;
    const bool refused = d().cuInit_fn(0) == CUDA_ERROR_NOT_INITIALIZED &&
                         d().cuDeviceGetCount_fn(&count) == CUDA_ERROR_NOT_INITIALIZED;
    _exit(refused ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
