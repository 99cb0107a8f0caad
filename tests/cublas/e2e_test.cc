// The BLAS library end to end: a program linked against our libcublas.so.13
// and libcudart.so.13, through the real daemon and an emulated node with
// one GPU. Its handle keeps what it is told; every form of the data
// movement calls carries a column-major matrix with padded leading
// dimensions and a strided vector there and back without touching the
// bytes between columns or elements, on either side; arguments are refused
// and failed copies reported with the library's codes; a destroyed handle
// is refused.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "harness/daemon.h"

namespace {

TEST(CublasEndToEnd, HandleSettingsAndStridedCopiesThereAndBack) {
  testing_util::NodeConfig config;
  config.backend = "emulated";
  config.gpus = 1;
  std::string error;
  auto road = daemon_test::DaemonOnNodes::Start({config}, 1, &error);
  ASSERT_NE(road, nullptr) << error;

  const std::string dirs = std::string(ZANTU_CUDART_DIR) + ":" + ZANTU_CUBLAS_DIR;
  auto app = testing_util::ChildProcess::Spawn({ZANTU_CUBLAS_E2E_APP},
                                               daemon_test::CudartEnv(dirs, ZANTU_SANITIZER_RUNTIME, {}));
  ASSERT_NE(app, nullptr);
  ASSERT_EQ(app->Wait(std::chrono::milliseconds(30000)), 0) << app->Stdout() << app->Stderr();
  const std::string out = app->Stdout();

  testing_util::Expected expected = {
      {"create", "0"}, {"stream_create", "0"}, {"version", "0"}, {"version_ok", "1"},
      {"set_stream", "0"}, {"get_stream", "0"}, {"stream_same", "1"},
      {"pointer_mode_set", "0"}, {"pointer_mode_get", "0"}, {"pointer_mode", "1"}, {"pointer_mode_bad", "7"},
      {"math_set", "0"}, {"math_get", "0"}, {"math_mode", "19"}, {"math_bad", "7"},
      {"workspace", "0"}, {"workspace_misaligned", "7"}, {"workspace_default", "0"},
      // CUBLAS_STATUS_INVALID_VALUE before any copy; CUBLAS_STATUS_MAPPING_ERROR from the runtime.
      {"lda_short", "7"}, {"ldb_short", "7"}, {"incx_zero", "7"}, {"incy_negative", "7"}, {"elem_zero", "7"},
      {"past_end", "11"}, {"past_end_async", "11"}, {"empty", "0"},
      {"destroy", "0"}, {"destroy_again", "1"}, {"set_stream_destroyed", "1"}, {"get_math_destroyed", "1"},
      {"get_stream_null", "1"}, {"stream_destroy", "0"}, {"done", "0"}};
  const std::string clean = "setup 0 set 0 get 0 sync 0 peek 0 wrong 0 host_gaps 0 device_gaps 0";
  for (const char* kind : {"matrix", "vector"}) {
    for (const char* form : {"", "_async", "_64", "_async_64"}) expected.push_back({kind + std::string(form), clean});
  }
  daemon_test::ExpectValues(out, expected);
  if (HasFailure()) ADD_FAILURE() << "the program said:\n" << out << app->Stderr();
}

}  // namespace
