// Ring-buffer figures: latency beside a raw futex ping-pong measured in the
// same run, one-way throughput, resident memory and idle CPU. Prints figures;
// checks nothing.
//
// Usage: ring_bench [--quick] [google-benchmark flags]
#include <linux/futex.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench/bench_util.h"
#include "common/trellan.h"

namespace {

using bench::NowNs;
using bench::Percentiles;

bool quick = false;

std::string Name(const char* what) {
  return std::string("trellan_bench_") + what + "_" + std::to_string(getpid()) + "_" + GenerateRandomString(6);
}

int64_t AllocatedBytes(const std::string& name) {
  struct stat st;
  if (stat(("/dev/shm/" + name).c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_blocks) * 512;
}

RingBufferStatus Write100(RingBuffer& ring, const char* bytes) {
  RingBufferStatus st;
  while ((st = ring.Write(100, [&](void* dst) {
            std::memcpy(dst, bytes, 100);
            return kRingSuccess;
          })) == kRingFull) {
  }
  return st;
}

void ReadOne(RingBuffer& ring, char* into) {
  while (ring.Read([&](void* data, size_t len) {
           std::memcpy(into, data, std::min<size_t>(len, 100));
           return kRingSuccess;
         }) != kRingSuccess) {
  }
}

// Parent writes a 100-byte record into `ping`; the child echoes it into
// `pong`. Round trips as seen by the parent.
Percentiles RingPingPong(int rounds, bool pinned) {
  std::string ping_name = Name("ping"), pong_name = Name("pong");
  RingBuffer ping(ping_name, size_t{1} << 31, true);
  RingBuffer pong(pong_name, size_t{1} << 31, true);
  pid_t child = fork();
  if (child == 0) {
    if (pinned) bench::Place(true);
    RingBuffer in(ping_name, size_t{1} << 31, false);
    RingBuffer out(pong_name, size_t{1} << 31, false);
    char buf[100];
    for (int i = 0; i < rounds; ++i) {
      ReadOne(in, buf);
      Write100(out, buf);
    }
    _exit(0);
  }
  if (pinned) bench::Place(true);
  char buf[100] = {};
  std::vector<int64_t> samples;
  samples.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    int64_t t0 = NowNs();
    Write100(ping, buf);
    ReadOne(pong, buf);
    samples.push_back(NowNs() - t0);
  }
  waitpid(child, nullptr, 0);
  if (pinned) bench::Place(false);
  return bench::Summarize(samples);
}

long Futex(std::atomic<uint32_t>* word, int op, uint32_t value) {
  return syscall(SYS_futex, reinterpret_cast<uint32_t*>(word), op, value, nullptr, nullptr, 0);
}

void WaitFor(std::atomic<uint32_t>* word, uint32_t want) {
  uint32_t v;
  while ((v = word->load(std::memory_order_acquire)) != want) Futex(word, FUTEX_WAIT, v);
}

// The floor: one shared word, each side sleeps in FUTEX_WAIT until the other
// stores its turn and calls FUTEX_WAKE.
Percentiles FutexPingPong(int rounds, bool pinned) {
  void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  auto* word = new (page) std::atomic<uint32_t>(0);
  pid_t child = fork();
  if (child == 0) {
    if (pinned) bench::Place(true);
    for (int i = 0; i < rounds; ++i) {
      WaitFor(word, 1);
      word->store(2, std::memory_order_release);
      Futex(word, FUTEX_WAKE, INT_MAX);
    }
    _exit(0);
  }
  if (pinned) bench::Place(true);
  std::vector<int64_t> samples;
  samples.reserve(rounds);
  for (int i = 0; i < rounds; ++i) {
    int64_t t0 = NowNs();
    word->store(1, std::memory_order_release);
    Futex(word, FUTEX_WAKE, INT_MAX);
    WaitFor(word, 2);
    word->store(0, std::memory_order_relaxed);
    samples.push_back(NowNs() - t0);
  }
  waitpid(child, nullptr, 0);
  munmap(page, 4096);
  if (pinned) bench::Place(false);
  return bench::Summarize(samples);
}

void LatencyFigures() {
  const int rounds = quick ? 20000 : 100000;
  std::printf("\n== 100-byte ping-pong between two processes (%d round trips) ==\n", rounds);
  std::printf("%-10s %-22s %10s %10s\n", "placement", "road", "p50 us", "p99 us");
  for (bool pinned : {false, true}) {
    Percentiles futex = FutexPingPong(rounds, pinned);
    Percentiles ring = RingPingPong(rounds, pinned);
    const char* where = pinned ? "one CPU" : "free";
    std::printf("%-10s %-22s %10.2f %10.2f\n", where, "raw futex word", futex.p50_us, futex.p99_us);
    std::printf("%-10s %-22s %10.2f %10.2f\n", where, "ring buffer", ring.p50_us, ring.p99_us);
    std::printf("%-10s %-22s %10.2f %10.2f\n", where, "ratio ring/futex", ring.p50_us / futex.p50_us,
                ring.p99_us / futex.p99_us);
  }
}

// A child streams `records` 100-byte records as fast as the ring takes
// them; the parent reads. Returns records per second; the ring's allocated
// bytes at the end go to `*resident`.
double OneWayThroughput(int64_t records, int64_t* resident) {
  std::string name = Name("stream");
  RingBuffer reader(name, size_t{1} << 31, true);
  pid_t child = fork();
  if (child == 0) {
    RingBuffer writer(name, size_t{1} << 31, false);
    char buf[100] = {};
    for (int64_t i = 0; i < records; ++i) {
      std::memcpy(buf, &i, sizeof(i));
      Write100(writer, buf);
    }
    _exit(0);
  }
  int64_t got = 0;
  int64_t t0 = NowNs();
  while (got < records) {
    reader.Read([&](void*, size_t len) {
      got += static_cast<int64_t>(len / 100);
      return kRingSuccess;
    });
  }
  int64_t elapsed = NowNs() - t0;
  waitpid(child, nullptr, 0);
  *resident = AllocatedBytes(name);
  return records * 1e9 / elapsed;
}

void ThroughputAndMemoryFigures() {
  const int64_t records = quick ? 2000000 : 10000000;
  int64_t resident = 0;
  double rate = OneWayThroughput(records, &resident);
  std::printf("\n== One-way stream of 100-byte records, two processes ==\n");
  std::printf("records              %lld\n", static_cast<long long>(records));
  std::printf("records per second   %.0f  (%.0f MB/s)\n", rate, rate * 100 / 1e6);
  std::printf("ring allocated after %.2f MiB of a 2 GiB ring\n", resident / 1048576.0);

  std::string name = Name("big");
  RingBuffer reader(name, size_t{1} << 31, true);
  RingBuffer writer(name, size_t{1} << 31, false);
  const size_t big = size_t{512} << 20;
  writer.Write(big, [&](void* dst) {
    std::memset(dst, 0x5a, big);
    return kRingSuccess;
  });
  int64_t while_unread = AllocatedBytes(name);
  reader.Read([](void*, size_t) { return kRingSuccess; });
  int64_t t0 = NowNs();
  while (NowNs() - t0 < 1000000000) reader.Read([](void*, size_t) { return kRingSuccess; });
  std::printf("\n== One 512 MiB record ==\n");
  std::printf("allocated while unread    %.2f MiB\n", while_unread / 1048576.0);
  std::printf("allocated 1 s after read  %.2f MiB\n", AllocatedBytes(name) / 1048576.0);
}

double ThreadCpuSeconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec / 1e9;
}

void IdleCpuFigures() {
  const int64_t seconds = quick ? 2 : 5;
  std::printf("\n== CPU of an idle reader (%lld s) ==\n", static_cast<long long>(seconds));
  {
    std::string name = Name("idle");
    RingBuffer ring(name, size_t{1} << 31, true);
    double c0 = ThreadCpuSeconds();
    int64_t t0 = NowNs();
    int64_t reads = 0;
    while (NowNs() - t0 < seconds * 1000000000) {
      ring.Read([](void*, size_t) { return kRingSuccess; });
      ++reads;
    }
    double cpu = ThreadCpuSeconds() - c0;
    std::printf("one empty ring        %.4f %% of a core  (%lld Read calls)\n", 100 * cpu / seconds,
                static_cast<long long>(reads));
  }
  {
    std::vector<std::unique_ptr<RingBuffer>> rings;
    for (int i = 0; i < 64; ++i) {
      std::string name = Name("idle64");
      rings.push_back(std::make_unique<RingBuffer>(name, size_t{1} << 31, true));
    }
    double c0 = ThreadCpuSeconds();
    int64_t t0 = NowNs();
    int64_t passes = 0;
    while (NowNs() - t0 < seconds * 1000000000) {
      for (auto& ring : rings) ring->Read([](void*, size_t) { return kRingSuccess; });
      ++passes;
    }
    double cpu = ThreadCpuSeconds() - c0;
    std::printf("64 empty rings polled %.4f %% of a core  (%lld passes)\n", 100 * cpu / seconds,
                static_cast<long long>(passes));
  }
}

// In-process cost of one Write plus one Read, no waiting involved.
void BM_WriteThenRead(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  std::string name = Name("bm");
  RingBuffer reader(name, size_t{1} << 31, true);
  RingBuffer writer(name, size_t{1} << 31, false);
  std::vector<char> payload(size, 'b');
  for (auto _ : state) {
    writer.Write(size, [&](void* dst) {
      std::memcpy(dst, payload.data(), size);
      return kRingSuccess;
    });
    reader.Read([](void* data, size_t len) {
      benchmark::DoNotOptimize(data);
      return kRingSuccess;
    });
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * size));
}
BENCHMARK(BM_WriteThenRead)->Arg(100)->Arg(4096)->Arg(65536);

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") == 0) quick = true;
  }
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quick") != 0) args.push_back(argv[i]);
  }
  int bench_argc = static_cast<int>(args.size());
  benchmark::Initialize(&bench_argc, args.data());
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  LatencyFigures();
  ThroughputAndMemoryFigures();
  IdleCpuFigures();
  return 0;
}
