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

#include "client/e2e_road.h"
#include "node_harness.h"
#include "process_harness.h"
#include "server/server_harness.h"

namespace {

using std::chrono::milliseconds;

class SampleRoad {
 public:
  static std::unique_ptr<SampleRoad> Start(std::string* error) {
    std::unique_ptr<SampleRoad> road(new SampleRoad());
    testing_util::NodeConfig native;
    native.extra_args = {"--backend", "emulated", "--gpus", "2", "--memory", "1G", "--kernels", ZANTU_SAMPLE_KERNELS};
    testing_util::NodeConfig light = native;
    light.transport = "light";
    light.drop = 0.05;
    light.seed = 7;
    road->native_ = testing_util::NodeProcess::Start(native, error);
    if (road->native_ == nullptr) return nullptr;
    road->light_ = testing_util::NodeProcess::Start(light, error);
    if (road->light_ == nullptr) return nullptr;
    const auto args = server_test::Concat({server_test::Group(0, *road->native_, "native", 7000, 0),
                                           server_test::Group(0, *road->native_, "native", 7000, 1),
                                           server_test::Group(1, *road->light_, "light", 7001, 0),
                                           server_test::Group(1, *road->light_, "light", 7001, 1)});
    road->daemon_ = server_test::Daemon::Start(args);
    if (road->daemon_ == nullptr) {
      *error = "fork failed";
      return nullptr;
    }
    if (!e2e_test::WaitUntilServing(*road->daemon_, error)) return nullptr;
    return road;
  }

  ~SampleRoad() {
    native_.reset();  // the daemon ends when a node does
    light_.reset();
    if (daemon_ != nullptr && daemon_->Wait(milliseconds(5000)) == -1) daemon_->process().Signal(SIGKILL);
  }

  // Runs a sample to its end, pointed at our runtime library; "" when it
  // exited 0 and said PASSED, otherwise what it printed.
  static std::string Run(const std::string& sample, const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {}) {
    std::vector<std::string> full = {"LD_LIBRARY_PATH=" ZANTU_CUDART_DIR, "ZANTU_DISABLE_LOG=1"};
    if (std::string(ZANTU_SANITIZER_RUNTIME).size() != 0) full.push_back("LD_PRELOAD=" ZANTU_SANITIZER_RUNTIME);
    full.insert(full.end(), env.begin(), env.end());
    std::vector<std::string> argv = {std::string(ZANTU_SAMPLE_DIR) + "/" + sample};
    argv.insert(argv.end(), args.begin(), args.end());
    auto app = testing_util::ChildProcess::Spawn(argv, full);
    if (app == nullptr) return sample + ": fork failed";
    const int status = app->Wait(milliseconds(120000));
    const std::string out = app->Stdout();
    if (status == 0 && out.find(sample + ": PASSED") != std::string::npos) return "";
    return sample + " exited " + std::to_string(status) + ":\n" + out + app->Stderr();
  }

 private:
  SampleRoad() = default;
  std::unique_ptr<testing_util::NodeProcess> native_;
  std::unique_ptr<testing_util::NodeProcess> light_;
  std::unique_ptr<server_test::Daemon> daemon_;
};

TEST(CudaSamples, EverySampleOnNativeAndLossyLightThenNarrowed) {
  std::string error;
  auto road = SampleRoad::Start(&error);
  ASSERT_NE(road, nullptr) << error;

  EXPECT_EQ(SampleRoad::Run("device_query", {"--expect", "4"}), "");
  EXPECT_EQ(SampleRoad::Run("vector_add", {"--launches", "20000"}), "");
  EXPECT_EQ(SampleRoad::Run("multistream_saxpy", {}), "");
  EXPECT_EQ(SampleRoad::Run("reduction", {}), "");
  EXPECT_EQ(SampleRoad::Run("bandwidth", {"--device", "1", "--max-mib", "16"}), "");  // Native
  EXPECT_EQ(SampleRoad::Run("bandwidth", {"--device", "2", "--max-mib", "16"}), "");  // Light

  // The program's GPU 0 is the daemon's GPU 3 (Light), its GPU 1 the
  // daemon's GPU 1 (Native).
  const std::vector<std::string> narrowed = {"CUDA_VISIBLE_DEVICES=3,1"};
  EXPECT_EQ(SampleRoad::Run("device_query", {"--expect", "2"}, narrowed), "");
  EXPECT_EQ(SampleRoad::Run("vector_add", {"--launches", "5000"}, narrowed), "");
  EXPECT_EQ(SampleRoad::Run("multistream_saxpy", {}, narrowed), "");
  EXPECT_EQ(SampleRoad::Run("reduction", {}, narrowed), "");
  EXPECT_EQ(SampleRoad::Run("bandwidth", {"--max-mib", "4"}, {"CUDA_VISIBLE_DEVICES=2"}), "");
}

}  // namespace
