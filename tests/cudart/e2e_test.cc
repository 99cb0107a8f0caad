// The runtime library end to end: an unmodified nvcc-built program through
// our libcudart.so.13, the real daemon and an emulated node with two GPUs.
// One client does real work, another works from four threads on both GPUs,
// while a third provokes errors at the same time;
// each error is the runtime's code, a deferred failure comes back from the
// next synchronize, and the node keeps serving both. CUDA_VISIBLE_DEVICES
// narrows what a program sees; a program carrying PTX alone works as well.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "e2e_expected.h"
#include "harness/daemon.h"

namespace {

using std::chrono::milliseconds;

// The daemon on one Native node that emulates two GPUs, running the
// program's kernels from their CPU twins in cudart_e2e_kernels.
std::unique_ptr<daemon_test::DaemonOnNodes> StartRoad(std::string* error) {
  testing_util::NodeConfig config;
  config.extra_args = {"--backend", "emulated", "--gpus", "2", "--kernels", ZANTU_E2E_KERNELS};
  return daemon_test::DaemonOnNodes::Start({config}, 2, error);
}

// Starts the program in `mode`, pointed at our runtime library.
std::unique_ptr<testing_util::ChildProcess> App(const std::string& mode, const std::vector<std::string>& env = {},
                                                const char* program = ZANTU_E2E_APP) {
  return testing_util::ChildProcess::Spawn({program, mode},
                                           daemon_test::CudartEnv(ZANTU_CUDART_DIR, ZANTU_SANITIZER_RUNTIME, env));
}

// Waits for the program's end; its "R name=value" lines.
std::map<std::string, std::string> Finish(testing_util::ChildProcess* app) {
  EXPECT_EQ(app->Wait(milliseconds(30000)), 0) << app->Stdout() << app->Stderr();
  std::map<std::string, std::string> values;
  const std::string out = app->Stdout();
  for (const char* name : {"count", "wrong", "bias_ok", "zeroed", "done", "oob_copy", "last_after_oob",
                                  "last_cleared", "double_free", "bad_stream", "missing_launch", "missing_sync",
                                  "sync_after", "bad_config", "unsupported", "set_device_bad"}) {
    values[name] = daemon_test::Value(out, name);
  }
  return values;
}

void ExpectWorkDone(testing_util::ChildProcess* app, const std::string& count) {
  const std::string out = app->Stdout();
  auto values = Finish(app);
  EXPECT_EQ(values["done"], "0");
  EXPECT_EQ(values["count"], count);
  EXPECT_EQ(values["wrong"], "0");
  EXPECT_EQ(values["bias_ok"], "1");
  EXPECT_EQ(values["zeroed"], "1");
  // Every call of the work run succeeded.
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    const size_t eq = line.find('=');
    if (line.compare(0, 2, "R ") != 0 || eq == std::string::npos) continue;
    const std::string name = line.substr(2, eq - 2);
    if (name == "count" || name == "wrong" || name == "bias_ok" || name == "zeroed") continue;
    EXPECT_EQ(line.substr(eq + 1), "0") << name;
  }
}

// Runs the program in `mode` and checks its "R" lines: what CUDA answers.
void ExpectAnswers(const std::string& mode, const testing_util::Expected& expected) {
  auto app = App(mode);
  ASSERT_TRUE(app);
  EXPECT_EQ(app->Wait(milliseconds(30000)), 0) << app->Stdout() << app->Stderr();
  daemon_test::ExpectValues(app->Stdout(), expected);
}

TEST(CudartEndToEnd, WorkBesideErrorsOnTheSameNode) {
  std::string error;
  auto road = StartRoad(&error);
  ASSERT_NE(road, nullptr) << error;

  auto errors = App("errors");
  auto work = App("work");
  auto threads = App("threads");
  ASSERT_TRUE(errors && work && threads);
  auto values = Finish(errors.get());
  EXPECT_EQ(values["done"], "0");
  EXPECT_EQ(values["oob_copy"], "1");        // cudaErrorInvalidValue
  EXPECT_EQ(values["last_after_oob"], "1");  // kept as the last error ...
  EXPECT_EQ(values["last_cleared"], "0");    // ... until read
  EXPECT_EQ(values["double_free"], "1");
  EXPECT_EQ(values["bad_stream"], "400");     // cudaErrorInvalidResourceHandle
  EXPECT_EQ(values["missing_launch"], "0");   // deferred: nothing known at launch
  EXPECT_EQ(values["missing_sync"], "98");    // cudaErrorInvalidDeviceFunction from the node
  EXPECT_EQ(values["sync_after"], "0");       // reported once
  EXPECT_EQ(values["bad_config"], "9");       // cudaErrorInvalidConfiguration
  EXPECT_EQ(values["unsupported"], "801");    // cudaErrorNotSupported
  EXPECT_EQ(values["set_device_bad"], "101");  // cudaErrorInvalidDevice
  const std::string errors_out = errors->Stdout();
  EXPECT_EQ(daemon_test::Value(errors_out, "big_d2h_deferred"), "98");  // the launch's failure, from a chunked copy ...
  EXPECT_EQ(daemon_test::Value(errors_out, "big_d2h"), "0");            // ... once
  daemon_test::ExpectValues(errors_out, {{"big_differ", "0"}, {"big_d2h_oob", "1"}, {"big_free", "0"}});
  ExpectWorkDone(work.get(), "2");
  auto threaded = Finish(threads.get());
  EXPECT_EQ(threaded["done"], "0");
  EXPECT_EQ(daemon_test::Value(threads->Stdout(), "threads_wrong"), "0");
  EXPECT_EQ(daemon_test::Value(threads->Stdout(), "threads_failed"), "0");

  // The node still serves, and the program sees only the GPU it is given;
  // built for a virtual architecture only, its kernels' layouts come from
  // the PTX.
  auto narrowed = App("work", {"CUDA_VISIBLE_DEVICES=1"}, ZANTU_E2E_APP_PTX);
  ASSERT_TRUE(narrowed);
  ExpectWorkDone(narrowed.get(), "1");
}

// Calls of host memory, the profiler, device claims and per-thread streams,
// each with what CUDA answers for it.
TEST(CudartEndToEnd, HostCallsAndDeviceClaimsAnswerAsCudaDoes) {
  std::string error;
  auto road = StartRoad(&error);
  ASSERT_NE(road, nullptr) << error;
  ExpectAnswers(
      "host",
      {{"profiler_start", "0"}, {"profiler_stop", "0"},
       {"register", "0"}, {"register_again", "712"}, {"register_overlap", "712"}, {"register_after", "0"},
       {"register_null", "1"}, {"register_empty", "1"}, {"register_bad_flags", "1"}, {"register_io", "801"},
       {"get_flags", "0"}, {"flags_value", "2"}, {"get_flags_unknown", "1"},
       {"device_pointer", "801"}, {"device_pointer_unknown", "1"},
       {"pointer", "0"}, {"pointer_is_host", "1"},
       {"setup", "0"}, {"h2d", "0"}, {"d2h", "0"}, {"sync", "0"}, {"bias", "0"}, {"registered_wrong", "0"},
       {"unregister", "0"}, {"unregister_again", "713"}, {"unregister_inside", "713"}, {"unregister_after", "0"},
       {"can_map", "0"}, {"managed", "0"}, {"concurrent_managed", "0"}, {"pageable", "0"}, {"priorities", "0"},
       {"cooperative", "0"}, {"pools", "0"}, {"host_register", "1"}, {"prop_can_map", "0"}, {"prop_managed", "0"},
       {"priority_range", "0"}, {"priority_span", "0"},
       {"ptsz_get_device", "0"}, {"ptsz_device", "1"}, {"ptsz_wait", "0"}, {"ptsz_wait_bad", "400"},
       {"teardown", "0"}, {"done", "0"}});
}

// What a program asks of its kernels, on the emulated GPU (compute
// capability 8.0, 16 multiprocessors of 2048 threads, 64 Ki registers and
// 164 KiB shared memory, 1 KiB reserved per block, 48 KiB per block unless
// a kernel opts in to up to 163 KiB). Dynamic shared memory for two blocks
// is the 48 KiB a kernel has without opting in.
TEST(CudartEndToEnd, KernelAttributesAndOccupancyAsCudaComputesThem) {
  std::string error;
  auto road = StartRoad(&error);
  ASSERT_NE(road, nullptr) << error;
  ExpectAnswers(
      "kernels",
      {{"attributes", "0"}, {"scale_regs_known", "1"}, {"scale_shared", "0"}, {"scale_max_threads", "1024"},
       {"scale_dynamic", "49152"}, {"bounded_shared", "400"}, {"bounded_local", "1"},
       {"bounded_max_threads", "128"}, {"bounded_dynamic", "48752"}, {"attributes_unknown", "98"},
       {"occupancy", "0"}, {"blocks_256", "8"}, {"blocks_1024", "2"}, {"blocks_40k_shared", "4"},
       {"blocks_past_bounds", "0"}, {"occupancy_bad_flags", "1"},
       {"potential", "0"}, {"potential_block", "1024"}, {"potential_grid", "32"},
       {"potential_bounded", "0"}, {"potential_bounded_block", "128"},
       {"available", "0"}, {"available_bytes", "49152"},
       {"set_dynamic", "0"}, {"dynamic_after", std::to_string(100 << 10)}, {"set_dynamic_too_much", "1"},
       {"set_carveout", "0"}, {"set_carveout_bad", "1"}, {"set_cluster", "801"},
       {"cache_config", "0"}, {"device_cache", "2"}, {"cache_config_bad", "1"},
       {"name", "0"}, {"name_is_mangled", "1"},
       {"param", "0"}, {"param_offset", "12"}, {"param_size", "4"}, {"param_past", "1"},
       {"launch_after", "0"}, {"sync", "0"}, {"launch_dynamic", "0"}, {"done", "0"}});
}

TEST(CudartEndToEnd, HostFunctionsRunBetweenTheirStreamsWork) {
  std::string error;
  auto road = StartRoad(&error);
  ASSERT_NE(road, nullptr) << error;
  ExpectAnswers(
      "callbacks",
      {{"setup", "0"}, {"host_func", "0"}, {"add_callback", "0"}, {"add_callback_flags", "1"},
       {"host_func_null", "1"}, {"query_pending", "600"}, {"stream_sync", "0"}, {"query_after", "0"},
       {"stale", "0"}, {"after_wrong", "0"}, {"callback_stream_ok", "1"}, {"callback_status", "0"},
       {"order_ok", "1"}, {"device_sync", "0"}, {"slow_done", "1"}, {"teardown", "0"}, {"done", "0"}});
}

// Graphs built node by node and captured from streams that fork and join:
// each launch runs every node in dependency order (the host node sees the
// copy back), parameters change in the executable graph and by update, and
// capture refuses what CUDA refuses. Then pitched regions: 2D copies around
// a kernel, a 2D memset that keeps the padding, a 3D sub-box.
TEST(CudartEndToEnd, GraphsRunTheirNodesInOrderAndCaptureRefusesWhatItMust) {
  std::string error;
  auto road = StartRoad(&error);
  ASSERT_NE(road, nullptr) << error;
  ExpectAnswers(
      "graphs",
      {{"setup", "0"}, {"graph_built", "0"}, {"graph_shape", "615"}, {"instantiate", "0"}, {"launches", "0"},
       {"exec_set", "0"}, {"after_set", "0"}, {"clone_set", "0"}, {"update", "0"}, {"after_update", "0"},
       {"update_shape", "910"}, {"update_result", "2"}, {"wide_memset", "801"}, {"destroy", "0"},
       {"launch_gone", "1"}, {"destroy_twice", "1"}, {"node_gone", "1"}, {"explicit_runs", "5"},
       {"explicit_wrong", "0"}, {"begin", "0"}, {"capturing", "1"}, {"end", "0"}, {"s2_after", "0"},
       {"captured_nodes", "6"}, {"nothing_ran", "0"}, {"captured_runs", "2"}, {"captured_wrong", "0"},
       {"legacy_capture", "900"}, {"end_idle", "401"}, {"sync_in_capture", "900"}, {"end_invalidated", "901"},
       {"malloc_in_capture", "900"}, {"malloc_relaxed", "0"}, {"end_relaxed", "0"}, {"relaxed_nodes", "0"},
       {"end_unjoined", "904"}, {"teardown", "0"}, {"done", "0"}});
  ExpectAnswers(
      "pitched",
      {{"malloc_pitch", "0"}, {"pitch", "512"}, {"fill", "0"}, {"up", "0"}, {"down", "0"}, {"scaled_wrong", "0"},
       {"set2d", "0"}, {"raw", "0"}, {"sync", "0"}, {"rows_wrong", "0"}, {"padding_wrong", "0"}, {"malloc3d", "0"},
       {"cube_up", "0"}, {"box_down", "0"}, {"box_wrong", "0"}, {"set3d", "0"}, {"wide_row", "12"},
       {"array", "801"}, {"teardown", "0"}, {"done", "0"}});
}

// Copies between two GPUs of one node, and of two nodes.
TEST(CudartEndToEnd, CopiesBetweenGpusOfOneNodeAndOfTwo) {
  const testing_util::Expected expected = {
      {"setup0", "0"}, {"setup1", "0"}, {"peer", "0"}, {"peer_back", "0"}, {"peer_differ", "0"},
      {"peer_async", "0"}, {"peer_async_back", "0"}, {"peer_async_differ", "0"}, {"memset", "0"},
      {"default_kind", "0"}, {"default_back", "0"}, {"default_differ", "0"}, {"device_kind", "0"},
      {"device_back", "0"}, {"device_differ", "0"}, {"peer_bad_device", "101"}, {"peer_past_end", "1"},
      {"peer_access", "1"}, {"teardown", "0"}, {"done", "0"}};
  std::string error;
  {
    auto road = StartRoad(&error);
    ASSERT_NE(road, nullptr) << error;
    ExpectAnswers("peer", expected);
  }
  testing_util::NodeConfig config;
  config.extra_args = {"--backend", "emulated", "--gpus", "1", "--kernels", ZANTU_E2E_KERNELS};
  auto road = daemon_test::DaemonOnNodes::Start({config, config}, 1, &error);
  ASSERT_NE(road, nullptr) << error;
  ExpectAnswers("peer", expected);
}

TEST(CudartEndToEnd, AnIllegalAddressSticksUntilTheDeviceIsReset) {
  std::string error;
  auto road = StartRoad(&error);
  ASSERT_NE(road, nullptr) << error;
  ExpectAnswers("reset", e2e_expected::Reset());
}

}  // namespace
