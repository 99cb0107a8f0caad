// The CUDA samples, unmodified nvcc-built programs, through our runtime
// library, the real daemon and two emulated nodes: GPUs 0 and 1 on a Native
// node, GPUs 2 and 3 on a Light node that drops 5 % of the datagrams it
// receives. Each sample checks its own results; its exit status and verdict
// line say whether they were right. The multi-GPU samples use every GPU, so
// each crosses both transports; the bandwidth sample runs on each transport
// in turn. CUDA_VISIBLE_DEVICES then narrows what the programs see.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "harness/daemon.h"

namespace {

using std::chrono::milliseconds;

// The daemon on a Native node and a Light node that drops 5 % of the
// datagrams, each emulating two GPUs that run the samples' kernels.
std::unique_ptr<daemon_test::DaemonOnNodes> StartRoad(std::string* error) {
  testing_util::NodeConfig native;
  native.extra_args = {"--backend", "emulated", "--gpus", "2", "--memory", "1G", "--kernels", ZANTU_SAMPLE_KERNELS};
  testing_util::NodeConfig light = native;
  light.transport = "light";
  light.drop = 0.05;
  light.seed = 7;
  return daemon_test::DaemonOnNodes::Start({native, light}, 2, error);
}

// Runs a sample to its end, pointed at our runtime library; "" when it
// exited 0 and said PASSED, otherwise what it printed.
std::string RunSample(const std::string& sample, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}) {
  return daemon_test::RunSample(std::string(ZANTU_SAMPLE_DIR) + "/" + sample, sample, args,
                                daemon_test::CudartEnv(ZANTU_CUDART_DIR, ZANTU_SANITIZER_RUNTIME, env),
                                milliseconds(120000));
}

TEST(CudaSamples, EverySampleOnNativeAndLossyLightThenNarrowed) {
  std::string error;
  auto road = StartRoad(&error);
  ASSERT_NE(road, nullptr) << error;

  EXPECT_EQ(RunSample("device_query", {"--expect", "4"}), "");
  EXPECT_EQ(RunSample("vector_add", {"--launches", "20000"}), "");
  EXPECT_EQ(RunSample("multistream_saxpy", {}), "");
  EXPECT_EQ(RunSample("reduction", {}), "");
  EXPECT_EQ(RunSample("bandwidth", {"--device", "1", "--max-mib", "16"}), "");  // Native
  EXPECT_EQ(RunSample("bandwidth", {"--device", "2", "--max-mib", "16"}), "");  // Light
  EXPECT_EQ(RunSample("gpu_pipeline", {}), "");  // two GPUs of one node
  EXPECT_EQ(RunSample("graph_steps", {}), "");
  // The emulated GPU runs the kernel while the program polls its event.
  EXPECT_EQ(RunSample("async_work", {"--expect-overlap"}), "");

  // The program's GPU 0 is the daemon's GPU 3 (Light), its GPU 1 the
  // daemon's GPU 1 (Native).
  const std::vector<std::string> narrowed = {"CUDA_VISIBLE_DEVICES=3,1"};
  EXPECT_EQ(RunSample("device_query", {"--expect", "2"}, narrowed), "");
  EXPECT_EQ(RunSample("vector_add", {"--launches", "5000"}, narrowed), "");
  EXPECT_EQ(RunSample("multistream_saxpy", {}, narrowed), "");
  EXPECT_EQ(RunSample("reduction", {}, narrowed), "");
  EXPECT_EQ(RunSample("gpu_pipeline", {}, narrowed), "");  // a GPU of each node
  EXPECT_EQ(RunSample("bandwidth", {"--max-mib", "4"}, {"CUDA_VISIBLE_DEVICES=2"}), "");
}

}  // namespace
