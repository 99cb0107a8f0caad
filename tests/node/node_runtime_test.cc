// zantu_node's runtime module on emulated GPUs, driven over the Native
// transport with hand-built records: memory round trips, the error codes of
// bad pointers and kernels, the deferred-error rule, clients served side by
// side, and what a client's exit notice frees and drops.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/runtime_calls.h"
#include "common/test_module.h"
#include "harness/links.h"

namespace {

using namespace link_test;
using namespace testing_util;
using namespace wire_test;
using Clock = std::chrono::steady_clock;

const std::vector<std::string> kEmulated = {"--backend", "emulated", "--gpus", "2", "--memory", "64M", "--test-module"};

// A node (by default with two emulated GPUs of 64 MiB), both connections
// made; a thread sorts the answers by client.
class RuntimeNode {
 public:
  explicit RuntimeNode(const std::vector<std::string>& args = kEmulated, bool may_fail = false) {
    NodeConfig config;
    config.extra_args = args;
    emulated_ = args == kEmulated;
    node_ = NodeProcess::Start(config, &error_);
    EXPECT_TRUE(node_ != nullptr || may_fail) << error_;
    if (!node_) return;
    answers_ = ConnectTcp(node_->recv_port());
    stream_ = ConnectTcp(node_->send_port());
    EXPECT_TRUE(SendBytes(stream_, GuestInfo("runtime")));
    reader_ = std::thread([this] {
      Message m;
      Message grant;
      while (ReadMessage(answers_, &m, 60000, &grant)) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          grant_ = grant;
        }
        std::lock_guard<std::mutex> lock(mutex_);
        by_pid_[m.header.pid].push_back(m);
        cv_.notify_all();
      }
    });
  }
  ~RuntimeNode() {
    if (stream_ >= 0) close(stream_);
    if (node_) node_->Wait(std::chrono::seconds(10));
    if (answers_ >= 0) shutdown(answers_, SHUT_RDWR);
    if (reader_.joinable()) reader_.join();
    if (answers_ >= 0) close(answers_);
  }
  bool ok() const { return node_ != nullptr; }
  // The grant the node announced (flags 0 until it came).
  Message grant() {
    std::lock_guard<std::mutex> lock(mutex_);
    return grant_;
  }
  const std::string& error() const { return error_; }
  NodeProcess& node() { return *node_; }

  bool Send(uint32_t pid, const std::vector<Entry>& entries, uint32_t gpu = 0) {
    return SendBytes(stream_, BuildRecord(pid, entries, gpu));
  }
  bool SendExit(uint32_t pid) { return SendBytes(stream_, EncodeExitNotice(pid)); }
  void CloseStream() {
    close(stream_);
    stream_ = -1;
  }

  // The next answer for `pid`.
  bool Next(uint32_t pid, Message* m, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, timeout, [&] { return !by_pid_[pid].empty(); })) return false;
    *m = by_pid_[pid].front();
    by_pid_[pid].pop_front();
    return true;
  }

  // One call as a record of its own: its result, and its payload in `out`.
  uint32_t Call(uint32_t pid, uint32_t gpu, uint32_t api, std::vector<uint64_t> args, std::string data = "",
                std::string* out = nullptr) {
    const uint64_t id = ++request_;
    EXPECT_TRUE(Send(pid, {{.request = id, .module = kModuleRuntime, .api = api, .args = args, .data = data}}, gpu));
    Message m;
    if (!Next(pid, &m)) {
      ADD_FAILURE() << "no answer to api " << api;
      return UINT32_MAX;
    }
    EXPECT_EQ(m.entry().request, id);
    if (out != nullptr) *out = m.payload();
    return m.entry().result;
  }
  uint64_t Malloc(uint32_t pid, uint32_t gpu, uint64_t size) {
    std::string out;
    EXPECT_EQ(Call(pid, gpu, k_cudaMalloc, {size}, "", &out), kRtSuccess);
    uint64_t pointer = 0;
    if (out.size() == 8) std::memcpy(&pointer, out.data(), 8);
    return pointer;
  }
  uint64_t FreeMemory(uint32_t pid, uint32_t gpu) {
    std::string out;
    EXPECT_EQ(Call(pid, gpu, k_cudaMemGetInfo, {}, "", &out), kRtSuccess);
    uint64_t info[2] = {0, 0};
    if (out.size() == sizeof(info)) std::memcpy(info, out.data(), sizeof(info));
    if (emulated_) {
      EXPECT_EQ(info[1], uint64_t{64} << 20);
    }
    return info[0];
  }

 private:
  std::unique_ptr<NodeProcess> node_;
  std::string error_;
  bool emulated_ = true;
  int answers_ = -1;
  int stream_ = -1;
  std::thread reader_;
  uint64_t request_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<uint32_t, std::deque<Message>> by_pid_;  // guarded by mutex_
  Message grant_;                                  // guarded by mutex_
};

constexpr uint32_t kA = 100, kB = 200;

// One call of a conformance table: what it sends and what CUDA answers.
struct Step {
  const char* name;
  uint32_t api;
  std::vector<uint64_t> args;
  std::string data;
  uint32_t want;
};

Entry Deferred(uint32_t api, std::vector<uint64_t> args) {
  return {.request = 0, .flags = kRequestDeferrable | kRequestNoWait, .module = kModuleRuntime, .api = api,
          .args = args};
}

TEST(NodeRuntime, CallsAndTheirErrorsWhileAnotherClientIsServed) {
  RuntimeNode n;
  ASSERT_TRUE(n.ok());
  // Client B sits in a long test-module delay; A's calls must not wait for it.
  ASSERT_TRUE(n.Send(kB, {{.request = 1, .api = k_testDelay, .args = {3000000}}}));

  std::string out;
  ASSERT_EQ(n.Call(kA, 1, k_cudaGetDeviceProperties, {}, "", &out), kRtSuccess);
  ASSERT_EQ(out.size(), sizeof(DeviceInfo));
  const DeviceInfo info = LoadRecord<DeviceInfo>(out.data());
  EXPECT_STREQ(info.name, "Zantu Emulated GPU");
  EXPECT_EQ(n.node().backend_description().rfind("backend=emulated gpus=2", 0), 0u) << n.node().backend_description();
  EXPECT_EQ(info.attrs[1], 1024);  // threads per block
  EXPECT_EQ(info.attrs[10], 32);   // warp

  // Round trip on GPU 1: host to device, device to device, back.
  const uint64_t free_before = n.FreeMemory(kA, 1);
  const uint64_t size = 3 << 20;
  const uint64_t a = n.Malloc(kA, 1, size);
  const uint64_t b = n.Malloc(kA, 1, size);
  ASSERT_NE(a, 0u);
  EXPECT_EQ(n.FreeMemory(kA, 1), free_before - 2 * size);
  const std::string data = Pattern(size, 3);
  EXPECT_EQ(n.Call(kA, 1, k_cudaMemcpy, {a, 0, size, kCopyHostToDevice, 0}, data), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_cudaMemcpy, {b, a, size, kCopyDeviceToDevice, 0}), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_cudaMemset, {b, 0x5a, 16, 0}), kRtSuccess);
  ASSERT_EQ(n.Call(kA, 1, k_cudaMemcpy, {0, b, size, kCopyDeviceToHost, 0}, "", &out), kRtSuccess);
  EXPECT_TRUE(out == std::string(16, 0x5a) + data.substr(16));

  // Pointers outside the client's memory, or another GPU's, never crash it.
  EXPECT_EQ(n.Call(kA, 1, k_cudaMemcpy, {0, a + size - 10, 100, kCopyDeviceToHost, 0}), kRtInvalidValue);
  EXPECT_EQ(n.Call(kA, 1, k_cudaMemcpy, {a + size, 0, 1, kCopyHostToDevice, 0}, "x"), kRtInvalidValue);
  // Large copies may be received straight into device memory: only in bounds.
  EXPECT_EQ(n.Call(kA, 1, k_cudaMemcpy, {a + size / 2, 0, size, kCopyHostToDevice, 0}, data), kRtInvalidValue);
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemset, {a, 0, 1, 0}), kRtInvalidValue);
  EXPECT_EQ(n.Call(kB + 1, 1, k_cudaMemset, {a, 0, 1, 0}), kRtInvalidValue);
  EXPECT_EQ(n.Call(kA, 1, k_cudaMemcpy, {a, 0, 1, 9, 0}, "x"), kRtInvalidMemcpyDirection);
  EXPECT_EQ(n.Call(kA, 1, k_cudaMalloc, {uint64_t{65} << 20}), kRtMemoryAllocation);
  EXPECT_EQ(n.Call(kA, 2, k_cudaDeviceSynchronize, {}), kRtInvalidDevice);
  EXPECT_EQ(n.Call(kA, 1, 999, {}), kRtNotSupported);
  // Every declared call one argument word short is refused before it runs.
  for (uint32_t api = 0; api < kRuntimeApiCount; ++api) {
    const RuntimeCallDeclaration declared = DeclarationOf(api);
    if (!declared.served || declared.argc == 0) continue;
    EXPECT_EQ(n.Call(kA, 1, api, std::vector<uint64_t>(declared.argc - 1, 0)), kRtInvalidValue) << api;
  }

  // Double free.
  EXPECT_EQ(n.Call(kA, 1, k_cudaFree, {b}), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_cudaFree, {b}), kRtInvalidValue);

  // Kernels: unregistered, and registered but in no kernel library.
  const uint64_t launch_args_tail[] = {1, 1, 1, 32, 1, 1, 0, 0};
  std::vector<uint64_t> launch = {7};
  launch.insert(launch.end(), std::begin(launch_args_tail), std::end(launch_args_tail));
  EXPECT_EQ(n.Call(kA, 1, k_cudaLaunchKernel, launch), kRtInvalidDeviceFunction);
  EXPECT_EQ(n.Call(kA, 1, k_zantuModuleLoad, {1}, "image"), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_zantuFunctionRegister, {1, 7}, "_Z6absentPf"), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_cudaLaunchKernel, launch, std::string(8, '\0')), kRtInvalidDeviceFunction);

  // Deferred failures: the first one of a GPU is reported by its next
  // synchronizing entry, once; the other GPU knows nothing of it.
  const uint64_t bogus = 0x1000;
  ASSERT_TRUE(n.Send(kA, {Deferred(k_cudaFree, {bogus}), Deferred(k_cudaMemset, {bogus, 0, 8, 0}),
                          Deferred(k_cudaLaunchKernel, launch)}, 1));
  Message m;
  ASSERT_TRUE(n.Next(kA, &m));  // the record's own answer, which the library ignores
  EXPECT_EQ(n.Call(kA, 0, k_cudaDeviceSynchronize, {}), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_cudaStreamCreate, {77, 0}), kRtSuccess);  // not a sync entry
  EXPECT_EQ(n.Call(kA, 1, k_cudaStreamSynchronize, {77}), kRtInvalidValue);
  EXPECT_EQ(n.Call(kA, 1, k_cudaDeviceSynchronize, {}), kRtSuccess);

  // Events time host work; a stream that was never made is refused.
  EXPECT_EQ(n.Call(kA, 1, k_cudaEventCreate, {5, 0}), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_cudaEventCreate, {6, 0}), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_cudaEventRecord, {5, 77}), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 1, k_cudaEventRecord, {6, 0}), kRtSuccess);
  ASSERT_EQ(n.Call(kA, 1, k_cudaEventElapsedTime, {5, 6}, "", &out), kRtSuccess);
  ASSERT_EQ(out.size(), 4u);
  float ms = -1;
  std::memcpy(&ms, out.data(), 4);
  EXPECT_GE(ms, 0.0f);
  EXPECT_EQ(n.Call(kA, 1, k_cudaEventRecord, {5, 78}), kRtInvalidResourceHandle);

  // All of that came while B was still waiting.
  EXPECT_FALSE(n.Next(kB, &m, std::chrono::milliseconds(0)));
  ASSERT_TRUE(n.Next(kB, &m, std::chrono::seconds(10)));
  EXPECT_EQ(m.entry().request, 1u);

  n.CloseStream();
  EXPECT_TRUE(ExitedWith(n.node().Wait(std::chrono::seconds(10)), 0)) << n.node().process().Stderr();
}

TEST(NodeRuntime, ExitNoticeFreesTheClientAndDropsItsQueueAtOnce) {
  RuntimeNode n;
  ASSERT_TRUE(n.ok());
  const uint64_t free_at_start = n.FreeMemory(kB, 0);
  ASSERT_NE(n.Malloc(kA, 0, 40 << 20), 0u);
  n.Call(kA, 0, k_cudaStreamCreate, {9, 0});
  EXPECT_EQ(n.FreeMemory(kB, 0), free_at_start - (40 << 20));

  // Two seconds of queued work, then the client is gone.
  for (uint64_t i = 0; i < 10; ++i) {
    ASSERT_TRUE(n.Send(kA, {{.request = 100 + i, .api = k_testDelay, .args = {200000}}}));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the first delay is running
  const auto exited = Clock::now();
  ASSERT_TRUE(n.SendExit(kA));

  // Its memory comes back, and a new client with the same pid starts at once
  // with nothing of the old one.
  uint64_t free_now = 0;
  for (int i = 0; i < 100 && free_now != free_at_start; ++i) {
    free_now = n.FreeMemory(kB, 0);
    if (free_now != free_at_start) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(free_now, free_at_start);
  EXPECT_EQ(n.Call(kA, 0, k_cudaStreamSynchronize, {9}), kRtInvalidResourceHandle);
  EXPECT_LT(Clock::now() - exited, std::chrono::milliseconds(1000));  // the queue held 1.75 s more

  // No answer for the dropped records ever comes.
  Message m;
  EXPECT_FALSE(n.Next(kA, &m, std::chrono::milliseconds(300)));
  n.CloseStream();
  EXPECT_TRUE(ExitedWith(n.node().Wait(std::chrono::seconds(10)), 0));
  // Nine waited behind the running one (ten if it had not started yet).
  const std::string summary = n.node().process().Stderr();
  EXPECT_TRUE(summary.find("dropped_records=9 ") != std::string::npos ||
              summary.find("dropped_records=10 ") != std::string::npos)
      << summary;
}

// Malformed or hostile runtime entries: each is answered with an error and
// the node goes on serving.
TEST(NodeRuntime, BadEntriesAreAnsweredWithErrors) {
  RuntimeNode n;
  ASSERT_TRUE(n.ok());
  const uint64_t p = n.Malloc(kA, 0, 4096);
  const uint64_t top = ~uint64_t{0} - 8;
  const std::vector<Step> cases = {
      {"malloc without size", k_cudaMalloc, {}, "", kRtInvalidValue},
      {"copy with 4 arguments", k_cudaMemcpy, {p, 0, 1, kCopyHostToDevice}, "x", kRtInvalidValue},
      {"copy data shorter than count", k_cudaMemcpy, {p, 0, 16, kCopyHostToDevice, 0}, "x", kRtInvalidValue},
      {"copy over the chunk limit", k_cudaMemcpy, {0, p, kMaxCopyChunk + 1, kCopyDeviceToHost, 0}, "", kRtInvalidValue},
      {"copy from address 0", k_cudaMemcpy, {0, 0, 8, kCopyDeviceToHost, 0}, "", kRtInvalidValue},
      {"copy wrapping the address space", k_cudaMemcpy, {0, top, 64, kCopyDeviceToHost, 0}, "", kRtInvalidValue},
      {"copy on an unknown stream", k_cudaMemcpy, {0, p, 8, kCopyDeviceToHost, 1234}, "", kRtInvalidResourceHandle},
      {"memset past the end", k_cudaMemset, {p + 4000, 0, 100, 0}, "", kRtInvalidValue},
      {"free inside an allocation", k_cudaFree, {p + 8}, "", kRtInvalidValue},
      {"zero grid", k_cudaLaunchKernel, {1, 0, 1, 1, 1, 1, 1, 0, 0}, "", kRtInvalidConfiguration},
      {"parameters over the limit", k_cudaLaunchKernel, {1, 1, 1, 1, 1, 1, 1, 0, 0}, std::string(40000, 'p'),
       kRtInvalidValue},
      {"empty kernel name", k_zantuFunctionRegister, {1, 1}, "", kRtInvalidValue},
      {"function of an unloaded module", k_zantuFunctionRegister, {99, 1}, "_Z1fv", kRtInvalidResourceHandle},
      {"empty module image", k_zantuModuleLoad, {1}, "", kRtInvalidKernelImage},
      {"unload of an unknown module", k_zantuModuleUnload, {42}, "", kRtInvalidResourceHandle},
      {"stream handle 0", k_cudaStreamCreate, {0, 0}, "", kRtInvalidValue},
      {"destroy of an unknown stream", k_cudaStreamDestroy, {55}, "", kRtInvalidResourceHandle},
      {"event handle 0", k_cudaEventCreate, {0, 0}, "", kRtInvalidValue},
      {"times of unknown events", k_cudaEventElapsedTime, {1, 2}, "", kRtInvalidResourceHandle},
      {"symbol never registered", k_cudaGetSymbolAddress, {8}, "", kRtInvalidSymbol},
      {"unknown function number", kRuntimeApiCount + 5, {}, "", kRtNotSupported},
  };
  for (const Step& c : cases) {
    EXPECT_EQ(n.Call(kA, 0, c.api, c.args, c.data), c.want) << c.name;
  }
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemset, {p, 1, 4096, 0}), kRtSuccess);  // still serving
  n.CloseStream();
  EXPECT_TRUE(ExitedWith(n.node().Wait(std::chrono::seconds(10)), 0)) << n.node().process().Stderr();
}

// Handles live from create to destroy, once; an event that was never
// recorded has no time; every byte a copy reads or writes is the client's;
// a device reset frees the GPU's memory and handles. Each step in order,
// with what CUDA answers.
TEST(NodeRuntime, HandlesRangesAndResetAsCudaKeepsThem) {
  RuntimeNode n;
  ASSERT_TRUE(n.ok());
  const uint64_t free_at_start = n.FreeMemory(kA, 0);
  const uint64_t p = n.Malloc(kA, 0, 4096);
  const uint64_t q = n.Malloc(kA, 0, 4096);
  const std::vector<Step> steps = {
      {"stream", k_cudaStreamCreate, {60, 0}, "", kRtSuccess},
      {"same stream number again", k_cudaStreamCreate, {60, 0}, "", kRtInvalidResourceHandle},
      {"stream destroyed", k_cudaStreamDestroy, {60}, "", kRtSuccess},
      {"stream destroyed twice", k_cudaStreamDestroy, {60}, "", kRtInvalidResourceHandle},
      {"sync of a destroyed stream", k_cudaStreamSynchronize, {60}, "", kRtInvalidResourceHandle},
      {"events", k_cudaEventCreate, {70, 0}, "", kRtSuccess},
      {"second event", k_cudaEventCreate, {71, 0}, "", kRtSuccess},
      {"times of unrecorded events", k_cudaEventElapsedTime, {70, 71}, "", kRtInvalidResourceHandle},
      {"sync of an unrecorded event", k_cudaEventSynchronize, {70}, "", kRtSuccess},
      {"query of an unrecorded event", k_cudaEventQuery, {70}, "", kRtSuccess},
      {"record", k_cudaEventRecord, {70, 0}, "", kRtSuccess},
      {"times with one unrecorded", k_cudaEventElapsedTime, {70, 71}, "", kRtInvalidResourceHandle},
      {"event destroyed", k_cudaEventDestroy, {70}, "", kRtSuccess},
      {"event destroyed twice", k_cudaEventDestroy, {70}, "", kRtInvalidResourceHandle},
      {"record of a destroyed event", k_cudaEventRecord, {70, 0}, "", kRtInvalidResourceHandle},
      {"device copy, source past the end", k_cudaMemcpy, {q, p + 4000, 200, kCopyDeviceToDevice, 0}, "",
       kRtInvalidValue},
      {"device copy, target past the end", k_cudaMemcpy, {q + 4000, p, 200, kCopyDeviceToDevice, 0}, "",
       kRtInvalidValue},
      {"device copy, source freed", k_cudaFree, {p}, "", kRtSuccess},
      {"device copy from freed memory", k_cudaMemcpy, {q, p, 8, kCopyDeviceToDevice, 0}, "", kRtInvalidValue},
      {"async copy, source past the end", k_cudaMemcpyAsync, {0, q + 4095, 2, kCopyDeviceToHost, 0}, "",
       kRtInvalidValue},
      {"stream before the reset", k_cudaStreamCreate, {61, 0}, "", kRtSuccess},
      {"reset", k_cudaDeviceReset, {}, "", kRtSuccess},
      {"memory after the reset", k_cudaMemset, {q, 0, 8, 0}, "", kRtInvalidValue},
      {"stream after the reset", k_cudaStreamSynchronize, {61}, "", kRtInvalidResourceHandle},
      {"event after the reset", k_cudaEventRecord, {71, 0}, "", kRtInvalidResourceHandle},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(n.Call(kA, 0, step.api, step.args, step.data), step.want) << step.name;
  }
  EXPECT_EQ(n.FreeMemory(kA, 0), free_at_start);
  n.CloseStream();
  EXPECT_TRUE(ExitedWith(n.node().Wait(std::chrono::seconds(10)), 0)) << n.node().process().Stderr();
}

// Kernels from the samples' CPU kernel library, and a device variable's
// storage, which copies may reach but not overrun and which is never freed.
TEST(NodeRuntime, KernelsRunFromAKernelLibrary) {
  const std::string library = testing_util::BinDir() + "/libzantu_sample_kernels.so";
  if (access(library.c_str(), R_OK) != 0) GTEST_SKIP() << "no sample kernel library (built with the toolkit)";
  std::vector<std::string> args = kEmulated;
  args.insert(args.end(), {"--kernels", library});
  RuntimeNode n(args);
  ASSERT_TRUE(n.ok());
  constexpr int kN = 1000;
  std::vector<float> a(kN), b(kN);
  for (int i = 0; i < kN; ++i) {
    a[i] = static_cast<float>(i);
    b[i] = 0.5f * static_cast<float>(i);
  }
  const uint64_t bytes = kN * sizeof(float);
  const uint64_t da = n.Malloc(kA, 0, bytes), db = n.Malloc(kA, 0, bytes), dc = n.Malloc(kA, 0, bytes);
  auto raw = [](const void* p, size_t size) { return std::string(static_cast<const char*>(p), size); };
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemcpy, {da, 0, bytes, kCopyHostToDevice, 0}, raw(a.data(), bytes)), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemcpy, {db, 0, bytes, kCopyHostToDevice, 0}, raw(b.data(), bytes)), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_zantuModuleLoad, {1}, "image"), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_zantuFunctionRegister, {1, 5}, "_Z9vectorAddPKfS0_Pfi"), kRtSuccess);
  const int32_t count = kN;
  const std::string params = raw(&da, 8) + raw(&db, 8) + raw(&dc, 8) + raw(&count, 4);
  ASSERT_TRUE(n.Send(kA, {{.flags = kRequestDeferrable, .module = kModuleRuntime, .api = k_cudaLaunchKernel,
                           .args = {5, 4, 1, 1, 256, 1, 1, 0, 0}, .data = params}}));
  Message m;
  ASSERT_TRUE(n.Next(kA, &m));
  EXPECT_EQ(m.entry().result, kRtSuccess);
  std::string out;
  ASSERT_EQ(n.Call(kA, 0, k_cudaMemcpy, {0, dc, bytes, kCopyDeviceToHost, 0}, "", &out), kRtSuccess);
  ASSERT_EQ(out.size(), bytes);
  for (int i = 0; i < kN; ++i) {
    float c = 0;
    std::memcpy(&c, out.data() + i * sizeof(float), sizeof(float));
    ASSERT_EQ(c, 1.5f * static_cast<float>(i)) << i;
  }
  // A block too large is refused at once; too few parameter bytes are
  // found by the kernel library when the launch runs, and reported by the
  // next synchronizing call alone.
  EXPECT_EQ(n.Call(kA, 0, k_cudaLaunchKernel, {5, 1, 1, 1, 2048, 1, 1, 0, 0}, params), kRtInvalidConfiguration);
  EXPECT_EQ(n.Call(kA, 0, k_cudaLaunchKernel, {5, 4, 1, 1, 256, 1, 1, 0, 0}, params.substr(0, 20)), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_cudaDeviceSynchronize, {}), kRtInvalidValue);
  EXPECT_EQ(n.Call(kA, 0, k_cudaDeviceSynchronize, {}), kRtSuccess);

  EXPECT_EQ(n.Call(kA, 0, k_zantuVarRegister, {1, 3, 4}, "saxpy_a"), kRtSuccess);
  ASSERT_EQ(n.Call(kA, 0, k_cudaGetSymbolAddress, {3}, "", &out), kRtSuccess);
  uint64_t symbol = 0;
  std::memcpy(&symbol, out.data(), 8);
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemcpy, {symbol, 0, 4, kCopyHostToDevice, 0}, "abcd"), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemcpy, {symbol, 0, 8, kCopyHostToDevice, 0}, "abcdefgh"), kRtInvalidValue);
  EXPECT_EQ(n.Call(kA, 0, k_cudaFree, {symbol}), kRtInvalidValue);
  EXPECT_EQ(n.Call(kA, 0, k_zantuVarRegister, {1, 4, 4}, "absent_symbol"), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_cudaGetSymbolAddress, {4}), kRtInvalidSymbol);

  // A pointer parameter that reaches none of the client's memory: the
  // kernel never runs, the GPU's context is broken until it is reset, the
  // client's other GPU serves on.
  const uint64_t wild = 0x10;
  const std::string wild_params = raw(&wild, 8) + raw(&db, 8) + raw(&dc, 8) + raw(&count, 4);
  EXPECT_EQ(n.Call(kA, 0, k_cudaLaunchKernel, {5, 4, 1, 1, 256, 1, 1, 0, 0}, wild_params), kRtIllegalAddress);
  EXPECT_EQ(n.Call(kA, 0, k_cudaMalloc, {64}), kRtIllegalAddress);
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemGetInfo, {}), kRtIllegalAddress);
  EXPECT_NE(n.Malloc(kA, 1, 64), 0u);
  EXPECT_EQ(n.Call(kA, 0, k_cudaDeviceReset, {}), kRtSuccess);
  EXPECT_NE(n.Malloc(kA, 0, 64), 0u);
  n.CloseStream();
  EXPECT_TRUE(ExitedWith(n.node().Wait(std::chrono::seconds(10)), 0)) << n.node().process().Stderr();
}

// Each client runs in a worker of its own: a kernel that writes far past its
// allocation ends that worker alone, and its client's calls get CUDA's
// sticky error from then on, while another client's data and calls stay as
// they were. The node announces its grant, and without --test-module the
// test module is unknown.
// Kernels run after their launch is answered; freeing memory waits for
// them, as cudaFree synchronizes, so the kernel never writes into memory
// that went back to the host (unmapped, for a buffer this large).
TEST(NodeRuntime, FreeWaitsForTheKernelsStillQueued) {
  const std::string library = testing_util::BinDir() + "/libzantu_sample_kernels.so";
  if (access(library.c_str(), R_OK) != 0) GTEST_SKIP() << "no sample kernel library (built with the toolkit)";
  std::vector<std::string> args = kEmulated;
  args.insert(args.end(), {"--kernels", library});
  RuntimeNode n(args);
  ASSERT_TRUE(n.ok());
  constexpr int32_t kN = 1 << 20;
  const uint64_t data = n.Malloc(kA, 0, kN * sizeof(uint32_t));
  EXPECT_EQ(n.Call(kA, 0, k_zantuModuleLoad, {1}, "image"), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_zantuFunctionRegister, {1, 6}, "_Z9stepChainPjjii"), kRtSuccess);
  auto raw = [](const void* p, size_t size) { return std::string(static_cast<const char*>(p), size); };
  const uint32_t step = 3;
  const int32_t steps = 200, count = kN;
  const std::string params = raw(&data, 8) + raw(&step, 4) + raw(&steps, 4) + raw(&count, 4);
  EXPECT_EQ(n.Call(kA, 0, k_cudaLaunchKernel, {6, kN / 1024, 1, 1, 1024, 1, 1, 0, 0}, params), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_cudaStreamQuery, {0}), kRtNotReady);
  EXPECT_EQ(n.Call(kA, 0, k_cudaFree, {data}), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_cudaStreamQuery, {0}), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_cudaDeviceSynchronize, {}), kRtSuccess);
}

TEST(NodeRuntime, AFaultEndsOneClientsWorkerOnly) {
  const std::string library = testing_util::BinDir() + "/libzantu_sample_kernels.so";
  if (access(library.c_str(), R_OK) != 0) GTEST_SKIP() << "no sample kernel library (built with the toolkit)";
  RuntimeNode n({"--backend", "emulated", "--gpus", "2", "--memory", "64M", "--kernels", library});
  ASSERT_TRUE(n.ok());
  ASSERT_TRUE(n.Send(kB, {{.request = 1, .module = kModuleTest, .api = k_testEcho}}));
  Message m;
  ASSERT_TRUE(n.Next(kB, &m));
  EXPECT_EQ(m.entry().result, kTestUnknownFunction);
  const Message grant = n.grant();
  EXPECT_EQ(grant.header.flags, kLinkGrant | kLinkSkip);
  EXPECT_EQ(grant.header.size, uint64_t{512} << 20);
  EXPECT_EQ(grant.header.pid, 0u);

  const std::string data = Pattern(1 << 20, 9);
  const uint64_t kept = n.Malloc(kB, 0, data.size());
  EXPECT_EQ(n.Call(kB, 0, k_cudaMemcpy, {kept, 0, data.size(), kCopyHostToDevice, 0}, data), kRtSuccess);

  const uint64_t small = n.Malloc(kA, 0, 4096);
  EXPECT_EQ(n.Call(kA, 0, k_zantuModuleLoad, {1}, "image"), kRtSuccess);
  EXPECT_EQ(n.Call(kA, 0, k_zantuFunctionRegister, {1, 5}, "_Z9vectorAddPKfS0_Pfi"), kRtSuccess);
  // Pointers that reach the client's memory, a count that runs a gigabyte
  // past it: the worker meets unmapped memory (or, in a sanitizer build, the
  // sanitizer meets the overrun first).
  const int32_t count = 1 << 28;
  auto raw = [](const void* p, size_t size) { return std::string(static_cast<const char*>(p), size); };
  const std::string params = raw(&small, 8) + raw(&small, 8) + raw(&small, 8) + raw(&count, 4);
  ASSERT_TRUE(n.Send(kA, {{.request = 77, .module = kModuleRuntime, .api = k_cudaLaunchKernel,
                           .args = {5, 1 << 20, 1, 1, 256, 1, 1, 0, 0}, .data = params}}));
  // The launch is answered once queued (or with the fault, when the worker
  // ended first). The kernel runs beside the worker's own thread, and its
  // stray writes may reach the worker's own structures before unmapped
  // memory: until the worker has ended, its answers say anything, and it
  // may end with an abort (719) rather than the memory fault.
  ASSERT_TRUE(n.Next(kA, &m, std::chrono::seconds(60)));
  auto ended = [](uint32_t result) {
    return result == kRtIllegalAddress || result == kRtLaunchFailure || result == kRtUnknown;
  };
  uint32_t fault = kRtSuccess;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!ended(fault) && std::chrono::steady_clock::now() < give_up) {
    fault = n.Call(kA, 0, k_cudaDeviceSynchronize, {});
  }
  ASSERT_TRUE(ended(fault)) << fault;
  EXPECT_TRUE(m.entry().result == kRtSuccess || m.entry().result == fault) << m.entry().result;
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemGetInfo, {}), fault);  // sticky
  EXPECT_EQ(n.Call(kA, 0, k_cudaMalloc, {64}), fault);

  EXPECT_EQ(n.Call(kA, 1, k_cudaMalloc, {64}), fault);  // every GPU's memory went with the worker

  std::string out;
  ASSERT_EQ(n.Call(kB, 0, k_cudaMemcpy, {0, kept, data.size(), kCopyDeviceToHost, 0}, "", &out), kRtSuccess);
  EXPECT_TRUE(out == data);
  // A reset gives the client a new worker; its other GPU answers the fault
  // until it is reset too.
  EXPECT_EQ(n.Call(kA, 0, k_cudaDeviceReset, {}), kRtSuccess);
  EXPECT_NE(n.Malloc(kA, 0, 64), 0u);
  EXPECT_EQ(n.Call(kA, 1, k_cudaMalloc, {64}), fault);
  EXPECT_EQ(n.Call(kA, 1, k_cudaDeviceReset, {}), kRtSuccess);
  EXPECT_NE(n.Malloc(kA, 1, 64), 0u);
  // Once the client has gone, its pid is a new client with a new worker.
  ASSERT_TRUE(n.SendExit(kA));
  EXPECT_NE(n.Malloc(kA, 0, 64), 0u);
  n.CloseStream();
  EXPECT_TRUE(ExitedWith(n.node().Wait(std::chrono::seconds(10)), 0)) << n.node().process().Stderr();
  EXPECT_NE(n.node().process().Stderr().find("workers_failed=1 "), std::string::npos) << n.node().process().Stderr();
}

// The same calls on a real GPU, where one is present.
TEST(NodeRuntime, CudaBackendWhereAGpuIsPresent) {
  RuntimeNode n({"--backend", "cuda", "--gpus", "1"}, true);
  if (!n.ok()) GTEST_SKIP() << "no usable GPU: " << n.error();
  const uint64_t free_before = n.FreeMemory(kA, 0);
  const uint64_t size = 8 << 20;
  const uint64_t a = n.Malloc(kA, 0, size);
  const std::string data = Pattern(size, 4);
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemcpy, {a, 0, size, kCopyHostToDevice, 0}, data), kRtSuccess);
  std::string out;
  ASSERT_EQ(n.Call(kA, 0, k_cudaMemcpy, {0, a, size, kCopyDeviceToHost, 0}, "", &out), kRtSuccess);
  EXPECT_TRUE(out == data);
  EXPECT_EQ(n.Call(kA, 0, k_cudaMemcpy, {0, a + size - 10, 100, kCopyDeviceToHost, 0}), kRtInvalidValue);
  ASSERT_TRUE(n.Send(kA, {Deferred(k_cudaFree, {a + 1}), Deferred(k_cudaMemset, {a, 0, 8, 0})}));
  Message m;
  ASSERT_TRUE(n.Next(kA, &m));
  EXPECT_EQ(n.Call(kA, 0, k_cudaDeviceSynchronize, {}), kRtInvalidValue);
  EXPECT_LE(n.FreeMemory(kB, 0), free_before - size);
  ASSERT_TRUE(n.SendExit(kA));
  uint64_t free_now = 0;
  for (int i = 0; i < 100 && free_now < free_before; ++i) {
    free_now = n.FreeMemory(kB, 0);
    if (free_now < free_before) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_GE(free_now + (2 << 20), free_before);  // other processes may allocate meanwhile
}

}  // namespace
