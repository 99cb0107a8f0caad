// The interface of our libcublas.so.13 as the loader sees it: exactly the
// generated list of names, all under the version node libcublas.so.13. And
// what a process without a daemon gets from it, at once and without a hang:
// handles that cannot be made, handles that were never made, stubs that
// say "not supported" in their own return type and log their name once,
// argument checks that come before any copy, and the library's own
// descriptions.
#include <cublas_api.h>
#include <cuda_runtime_api.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/harness/exports.h"

namespace {

TEST(CublasExports, ExactlyTheGeneratedNamesUnderOneVersionNode) {
  const std::set<std::string> expected = exports_test::ReadNames(ZANTU_EXPORTED_NAMES);
  ASSERT_GT(expected.size(), 700u);
  const exports_test::Exported exported = exports_test::ExportedUnder(ZANTU_CUBLAS_LIB, "libcublas.so.13");
  ASSERT_TRUE(exported.ok);
  EXPECT_TRUE(exported.node_defined);
  EXPECT_TRUE(exported.outside.empty()) << *exported.outside.begin() << " is not under the version node";
  EXPECT_EQ(exported.names, expected);
}

// The library, loaded once for the process; its functions by name, typed
// by the toolkit's declarations.
class Library {
 public:
  static Library& Get() {
    static Library* const library = new Library();
    return *library;
  }
  void* handle() const { return handle_; }
  template <typename Fn>
  Fn* Find(const char* name) {
    return reinterpret_cast<Fn*>(dlsym(handle_, name));
  }

 private:
  Library() : handle_(dlopen(ZANTU_CUBLAS_LIB, RTLD_NOW | RTLD_LOCAL)) {}
  void* handle_;
};

#define ZANTU_FIND(name) Library::Get().Find<decltype(name)>(#name)

// What the process writes to its standard error while `body` runs.
std::string StderrOf(const std::function<void()>& body) {
  char path[] = "/tmp/cublas_exports_stderrXXXXXX";
  const int file = mkstemp(path);
  fflush(stderr);
  const int saved = dup(STDERR_FILENO);
  dup2(file, STDERR_FILENO);
  body();
  fflush(stderr);
  dup2(saved, STDERR_FILENO);
  close(saved);
  close(file);
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  unlink(path);
  return text.str();
}

size_t CountOf(const std::string& text, const std::string& word) {
  size_t count = 0;
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) ++count;
  return count;
}

TEST(CublasExports, WithoutDaemonHandlesCannotBeMadeAndCallsFailAtOnce) {
  const auto start = std::chrono::steady_clock::now();
  ASSERT_NE(Library::Get().handle(), nullptr) << dlerror();
  auto create = ZANTU_FIND(cublasCreate_v2);
  auto destroy = ZANTU_FIND(cublasDestroy_v2);
  auto set_stream = ZANTU_FIND(cublasSetStream_v2);
  auto get_mode = ZANTU_FIND(cublasGetPointerMode_v2);
  auto set_math = ZANTU_FIND(cublasSetMathMode);
  ASSERT_TRUE(create && destroy && set_stream && get_mode && set_math);

  cublasHandle_t handle = nullptr;
  EXPECT_EQ(create(&handle), CUBLAS_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(handle, nullptr);
  EXPECT_EQ(create(nullptr), CUBLAS_STATUS_INVALID_VALUE);
  // Null, and a handle this library never made: refused, never dereferenced.
  std::array<uint64_t, 16> made_up{};
  made_up.fill(~0ull);
  for (cublasHandle_t bad : {static_cast<cublasHandle_t>(nullptr), reinterpret_cast<cublasHandle_t>(&made_up)}) {
    cublasPointerMode_t mode;
    EXPECT_EQ(destroy(bad), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(set_stream(bad, nullptr), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(get_mode(bad, &mode), CUBLAS_STATUS_NOT_INITIALIZED);
    EXPECT_EQ(set_math(bad, CUBLAS_DEFAULT_MATH), CUBLAS_STATUS_NOT_INITIALIZED);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
}

TEST(CublasExports, StubsSayNotSupportedInTheirOwnTypeAndLogOnce) {
  ASSERT_NE(Library::Get().handle(), nullptr) << dlerror();
  const char* quiet = getenv("ZANTU_DISABLE_LOG");
  if (quiet != nullptr && std::string(quiet) == "1") GTEST_SKIP() << "logging is off in this environment";
  auto gemm = ZANTU_FIND(cublasSgemm_v2);
  auto axpy = ZANTU_FIND(cublasDaxpy_v2);
  using LegacyDot = float(int, const float*, int, const float*, int);
  using LegacyScale = void(int, float, float*, int);
  using LegacyError = cublasStatus_t();
  auto legacy_dot = Library::Get().Find<LegacyDot>("cublasSdot");
  auto legacy_scale = Library::Get().Find<LegacyScale>("cublasSscal");
  auto legacy_error = Library::Get().Find<LegacyError>("cublasGetError");
  ASSERT_TRUE(gemm && axpy && legacy_dot && legacy_scale && legacy_error);
  const std::string said = StderrOf([&] {
    for (int i = 0; i < 3; ++i) {
      EXPECT_EQ(gemm(nullptr, CUBLAS_OP_N, CUBLAS_OP_N, 1, 1, 1, nullptr, nullptr, 1, nullptr, 1, nullptr, nullptr,
                     1),
                CUBLAS_STATUS_NOT_SUPPORTED);
      EXPECT_EQ(axpy(nullptr, 1, nullptr, nullptr, 1, nullptr, 1), CUBLAS_STATUS_NOT_SUPPORTED);
      EXPECT_EQ(legacy_dot(1, nullptr, 1, nullptr, 1), 0.0f);
      legacy_scale(1, 2.0f, nullptr, 1);
      EXPECT_EQ(legacy_error(), CUBLAS_STATUS_NOT_SUPPORTED);
    }
  });
  for (const char* name : {"cublasSgemm_v2 ", "cublasDaxpy_v2 ", "cublasSdot ", "cublasSscal ", "cublasGetError "}) {
    EXPECT_EQ(CountOf(said, name), 1u) << name << " in:\n" << said;
  }
}

// Checked before anything is copied, so no GPU is needed to see them; a
// copy the runtime cannot make (it has no GPU) is a mapping error.
TEST(CublasExports, DataMovementChecksItsArgumentsFirst) {
  ASSERT_NE(Library::Get().handle(), nullptr) << dlerror();
  auto set_vector = ZANTU_FIND(cublasSetVector);
  auto get_vector_64 = ZANTU_FIND(cublasGetVector_64);
  auto set_matrix = ZANTU_FIND(cublasSetMatrix);
  auto get_matrix_async = ZANTU_FIND(cublasGetMatrixAsync);
  ASSERT_TRUE(set_vector && get_vector_64 && set_matrix && get_matrix_async);
  std::vector<char> host(4096);
  char* h = host.data();
  void* d = host.data() + 2048;  // never reached: every case fails first or copies nothing
  struct Case {
    const char* what;
    std::function<cublasStatus_t()> call;
    cublasStatus_t expected;
  };
  const std::vector<Case> cases = {
      {"n < 0", [&] { return set_vector(-1, 4, h, 1, d, 1); }, CUBLAS_STATUS_INVALID_VALUE},
      {"elemSize 0", [&] { return set_vector(4, 0, h, 1, d, 1); }, CUBLAS_STATUS_INVALID_VALUE},
      {"incx 0", [&] { return set_vector(4, 4, h, 0, d, 1); }, CUBLAS_STATUS_INVALID_VALUE},
      {"incy 0", [&] { return set_vector(4, 4, h, 1, d, 0); }, CUBLAS_STATUS_INVALID_VALUE},
      {"incx < 0", [&] { return set_vector(4, 4, h, -1, d, 1); }, CUBLAS_STATUS_INVALID_VALUE},
      {"n 0", [&] { return set_vector(0, 4, h, 1, d, 1); }, CUBLAS_STATUS_SUCCESS},
      {"64-bit overflow", [&] { return get_vector_64(2, INT64_MAX / 2, d, 4, h, 1); }, CUBLAS_STATUS_INVALID_VALUE},
      {"rows < 0", [&] { return set_matrix(-1, 2, 4, h, 1, d, 1); }, CUBLAS_STATUS_INVALID_VALUE},
      {"cols < 0", [&] { return set_matrix(2, -1, 4, h, 2, d, 2); }, CUBLAS_STATUS_INVALID_VALUE},
      {"elemSize < 0", [&] { return set_matrix(2, 2, -4, h, 2, d, 2); }, CUBLAS_STATUS_INVALID_VALUE},
      {"lda < rows", [&] { return set_matrix(3, 2, 4, h, 2, d, 3); }, CUBLAS_STATUS_INVALID_VALUE},
      {"ldb < rows", [&] { return set_matrix(3, 2, 4, h, 3, d, 2); }, CUBLAS_STATUS_INVALID_VALUE},
      {"lda 0, rows 0", [&] { return set_matrix(0, 2, 4, h, 0, d, 1); }, CUBLAS_STATUS_INVALID_VALUE},
      {"rows 0", [&] { return set_matrix(0, 2, 4, h, 1, d, 1); }, CUBLAS_STATUS_SUCCESS},
      {"async lda < rows", [&] { return get_matrix_async(3, 2, 4, d, 1, h, 3, nullptr); },
       CUBLAS_STATUS_INVALID_VALUE},
      {"no GPU", [&] { return set_vector(4, 4, h, 1, d, 1); }, CUBLAS_STATUS_MAPPING_ERROR},
  };
  for (const Case& c : cases) EXPECT_EQ(c.call(), c.expected) << c.what;
}

TEST(CublasExports, TheLibraryDescribesItself) {
  ASSERT_NE(Library::Get().handle(), nullptr) << dlerror();
  auto version = ZANTU_FIND(cublasGetVersion_v2);
  auto property = ZANTU_FIND(cublasGetProperty);
  auto cudart_version = ZANTU_FIND(cublasGetCudartVersion);
  auto name = ZANTU_FIND(cublasGetStatusName);
  auto text = ZANTU_FIND(cublasGetStatusString);
  ASSERT_TRUE(version && property && cudart_version && name && text);
  int value = 0;
  EXPECT_EQ(version(nullptr, &value), CUBLAS_STATUS_SUCCESS);
  EXPECT_EQ(value, CUBLAS_VERSION);
  EXPECT_EQ(version(nullptr, nullptr), CUBLAS_STATUS_INVALID_VALUE);
  for (auto [type, expected] : {std::pair{MAJOR_VERSION, CUBLAS_VER_MAJOR}, std::pair{MINOR_VERSION, CUBLAS_VER_MINOR},
                                std::pair{PATCH_LEVEL, CUBLAS_VER_PATCH}}) {
    EXPECT_EQ(property(type, &value), CUBLAS_STATUS_SUCCESS);
    EXPECT_EQ(value, expected);
  }
  EXPECT_EQ(property(static_cast<libraryPropertyType>(7), &value), CUBLAS_STATUS_INVALID_VALUE);
  EXPECT_EQ(property(MAJOR_VERSION, nullptr), CUBLAS_STATUS_INVALID_VALUE);
  EXPECT_EQ(cudart_version(), static_cast<size_t>(CUDART_VERSION));
  EXPECT_STREQ(name(CUBLAS_STATUS_MAPPING_ERROR), "CUBLAS_STATUS_MAPPING_ERROR");
  EXPECT_STREQ(name(CUBLAS_STATUS_NOT_SUPPORTED), "CUBLAS_STATUS_NOT_SUPPORTED");
  EXPECT_STREQ(name(static_cast<cublasStatus_t>(99)), "CUBLAS_STATUS_UNKNOWN");
  EXPECT_STRNE(text(CUBLAS_STATUS_SUCCESS), text(CUBLAS_STATUS_INVALID_VALUE));
  EXPECT_NE(text(static_cast<cublasStatus_t>(99)), nullptr);
}

}  // namespace
