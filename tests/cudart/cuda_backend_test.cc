// The node's cuda backend end to end, without a GPU: the real daemon and a
// node started with --backend cuda whose libcuda.so.1 is the test stand-in
// (tests/driver_stand_in: host memory, the program's kernels from their CPU
// twins in cudart_e2e_kernels). The unmodified nvcc-built program of the
// runtime's end-to-end test runs through our libcuda-free runtime library,
// and gets the answers it gets from the emulated node wherever the driver's
// semantics are the same; where the cuda backend must differ, a comment
// says why.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "e2e_expected.h"
#include "harness/daemon.h"

namespace {

using std::chrono::milliseconds;

// The daemon on one node whose cuda backend serves the stand-in's two GPUs,
// running kernels from `kernels`.
std::unique_ptr<daemon_test::DaemonOnNodes> StartOnStandIn(std::string* error,
                                                           const std::string& kernels = ZANTU_E2E_KERNELS) {
  testing_util::NodeConfig config;
  config.backend = "cuda";
  config.gpus = 2;
  config.env = {"LD_LIBRARY_PATH=" ZANTU_DRIVER_STAND_IN_DIR, "ZANTU_STAND_IN_KERNELS=" + kernels,
                "ZANTU_STAND_IN_GPUS=2", "ZANTU_STAND_IN_MEMORY=1G"};
  return daemon_test::DaemonOnNodes::Start({config}, 2, error);
}

std::unique_ptr<testing_util::ChildProcess> App(const std::string& mode, const std::vector<std::string>& env = {},
                                                const char* program = ZANTU_E2E_APP) {
  return testing_util::ChildProcess::Spawn({program, mode},
                                           daemon_test::CudartEnv(ZANTU_CUDART_DIR, ZANTU_SANITIZER_RUNTIME, env));
}

// Waits for the program and checks its "R" lines.
void ExpectAnswers(testing_util::ChildProcess* app, const testing_util::Expected& expected) {
  ASSERT_NE(app, nullptr);
  EXPECT_EQ(app->Wait(milliseconds(30000)), 0) << app->Stdout() << app->Stderr();
  daemon_test::ExpectValues(app->Stdout(), expected);
}

// The work run: copies, kernels, events with their elapsed time, streams;
// every call succeeds and every result is right.
const testing_util::Expected kWorkDone = {{"done", "0"}, {"wrong", "0"}, {"bias_ok", "1"}, {"zeroed", "1"},
                                          {"events", "0"}, {"record", "0"}, {"elapsed", "0"}, {"destroy", "0"}};

// Errors, work and four threads on both GPUs at once, each error the
// runtime's code, then a program built for PTX alone that sees one GPU.
TEST(CudaBackendOnStandIn, WorkBesideErrorsThenANarrowedProgram) {
  std::string error;
  auto road = StartOnStandIn(&error);
  ASSERT_NE(road, nullptr) << error;
  auto errors = App("errors");
  auto work = App("work");
  auto threads = App("threads");
  ExpectAnswers(errors.get(),
                {{"done", "0"}, {"oob_copy", "1"}, {"last_after_oob", "1"}, {"last_cleared", "0"},
                 {"double_free", "1"}, {"bad_stream", "400"}, {"missing_launch", "0"},
                 // The module lacks the kernel (CUDA_ERROR_NOT_FOUND): the
                 // runtime's missing device function, at the next synchronize.
                 {"missing_sync", "98"}, {"sync_after", "0"}, {"bad_config", "9"}, {"unsupported", "801"},
                 {"set_device_bad", "101"}, {"big_d2h_deferred", "98"}, {"big_d2h", "0"}, {"big_differ", "0"},
                 {"big_d2h_oob", "1"}, {"big_free", "0"}});
  testing_util::Expected work_done = kWorkDone;
  work_done.push_back({"count", "2"});
  ExpectAnswers(work.get(), work_done);
  ExpectAnswers(threads.get(), {{"done", "0"}, {"threads_wrong", "0"}, {"threads_failed", "0"}});

  auto narrowed = App("work", {"CUDA_VISIBLE_DEVICES=1"}, ZANTU_E2E_APP_PTX);
  work_done.back() = {"count", "1"};
  ExpectAnswers(narrowed.get(), work_done);
}

// What a program asks of its kernels: the stand-in reports the emulated
// GPU's properties, so the answers are the emulated node's. A launch with
// more dynamic shared memory than the default runs once cudaFuncSetAttribute
// allowed it, which the driver must have been told.
TEST(CudaBackendOnStandIn, KernelAttributesAndALaunchPastTheDefaultSharedMemory) {
  std::string error;
  auto road = StartOnStandIn(&error);
  ASSERT_NE(road, nullptr) << error;
  auto app = App("kernels");
  ExpectAnswers(app.get(), {{"attributes", "0"}, {"scale_max_threads", "1024"}, {"occupancy", "0"},
                            {"blocks_256", "8"}, {"blocks_1024", "2"}, {"set_dynamic", "0"},
                            {"dynamic_after", std::to_string(100 << 10)}, {"set_dynamic_too_much", "1"},
                            {"launch_after", "0"}, {"sync", "0"}, {"launch_dynamic", "0"}, {"done", "0"}});
}

// A kernel's illegal address breaks its GPU's context: the driver reports it
// at the next call and at every call after, on that GPU only, until
// cudaDeviceReset resets the primary context; then the GPU serves anew. A
// kernel that ends the worker loses every GPU, each until its reset.
TEST(CudaBackendOnStandIn, AnIllegalAddressSticksUntilTheDeviceIsReset) {
  std::string error;
  auto road = StartOnStandIn(&error);
  ASSERT_NE(road, nullptr) << error;
  auto app = App("reset");
  ExpectAnswers(app.get(), e2e_expected::Reset());
}

// The program's "R" lines in `mode`, by name, on the road now running.
std::map<std::string, std::string> Answers(const std::string& mode) {
  std::map<std::string, std::string> answers;
  auto app = App(mode);
  if (app == nullptr) return answers;
  EXPECT_EQ(app->Wait(milliseconds(30000)), 0) << mode << ": " << app->Stdout() << app->Stderr();
  std::istringstream lines(app->Stdout());
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (line.compare(0, 2, "R ") == 0 && eq != std::string::npos) answers[line.substr(2, eq - 2)] = line.substr(eq + 1);
  }
  return answers;
}

// Host memory, host functions on streams, graphs and copies between GPUs:
// where the backend only does copies, memsets, events and launches, the
// program gets exactly the answers the emulated node gives it (which
// cudart_e2e_test checks one by one).
TEST(CudaBackendOnStandIn, AnswersAsTheEmulatedNodeDoes) {
  const std::vector<std::string> modes = {"host", "callbacks", "graphs", "peer"};
  std::map<std::string, std::map<std::string, std::string>> emulated;
  std::string error;
  {
    testing_util::NodeConfig config;
    config.extra_args = {"--backend", "emulated", "--gpus", "2", "--kernels", ZANTU_E2E_KERNELS};
    auto road = daemon_test::DaemonOnNodes::Start({config}, 2, &error);
    ASSERT_NE(road, nullptr) << error;
    for (const std::string& mode : modes) emulated[mode] = Answers(mode);
  }
  auto road = StartOnStandIn(&error);
  ASSERT_NE(road, nullptr) << error;
  for (const std::string& mode : modes) {
    EXPECT_EQ(emulated[mode]["done"], "0") << mode;
    EXPECT_EQ(Answers(mode), emulated[mode]) << mode;
  }
}

#ifdef ZANTU_SAMPLE_DIR
// Runs a sample to its end; "" when it exited 0 and said PASSED, otherwise
// what it printed.
std::string RunSample(const std::string& sample, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}) {
  return daemon_test::RunSample(std::string(ZANTU_SAMPLE_DIR) + "/" + sample, sample, args,
                                daemon_test::CudartEnv(ZANTU_CUDART_DIR, ZANTU_SANITIZER_RUNTIME, env),
                                milliseconds(60000));
}

// The CUDA samples, each checking its own results, on the two GPUs.
TEST(CudaBackendOnStandIn, TheCudaSamples) {
  std::string error;
  auto road = StartOnStandIn(&error, ZANTU_SAMPLE_KERNELS);
  ASSERT_NE(road, nullptr) << error;
  EXPECT_EQ(RunSample("device_query", {"--expect", "2"}), "");
  EXPECT_EQ(RunSample("vector_add", {"--launches", "500"}), "");
  EXPECT_EQ(RunSample("multistream_saxpy", {}), "");
  EXPECT_EQ(RunSample("reduction", {}), "");
  EXPECT_EQ(RunSample("bandwidth", {"--device", "1", "--max-mib", "1"}), "");
  EXPECT_EQ(RunSample("gpu_pipeline", {}), "");
  EXPECT_EQ(RunSample("graph_steps", {}), "");
  EXPECT_EQ(RunSample("async_work", {}), "");
  EXPECT_EQ(RunSample("vector_add", {"--launches", "100"}, {"CUDA_VISIBLE_DEVICES=1"}), "");
}
#endif

}  // namespace
