// The bitmap merges and the bitmap file store, each beside a plain baseline
// measured in the same run:
//   MergeBM, MergeBMFromOffset   memcpy of the same size
//   SaveBMToFile                 open/write/fsync/close of the same bytes, same directory
//   ReadBMFromFile               open/read/close of the same file
// The operations also report their peak heap use as a multiple of the bitmap
// ("peak/bitmap": they make no copy of it, so next to 0).
// The 64 MiB cases alone: --benchmark_filter='/67108864/'
// Merges of 256 MiB and 1 GiB (3 GiB of memory) run only with KQ_BENCH_LARGE=1;
// KQ_BENCH_SIZES replaces every list of sizes (BenchSizes.h).
#include <KqLogControl.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <kqbitmapops/KQBitMapOps.h>
#include <unistd.h>

#include "BenchHeap.h"
#include "BenchSizes.h"

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int64_t kKiB = 1024, kMiB = 1024 * kKiB;

void MergeSizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : kqbench::Sizes({4 * kKiB, kMiB, 64 * kMiB})) b->Arg(n);
}

void FileSizes(benchmark::internal::Benchmark* b) {
  for (int64_t n : kqbench::Sizes({4 * kKiB, kMiB, 64 * kMiB}, false)) b->Arg(n);
}

// Every page written, so no benchmark pays for first-touch faults.
std::vector<unsigned char> Pattern(std::size_t n, unsigned seed) {
  std::vector<unsigned char> b(n);
  uint32_t x = seed * 2654435761u + 1;
  for (auto& c : b) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<unsigned char>(x >> 24);
  }
  return b;
}

// Where the files go: a fresh directory under $TMPDIR (or /tmp), removed at exit.
const std::string& ScratchDir() {
  struct Dir {
    std::string path;
    Dir() {
      const char* base = std::getenv("TMPDIR");
      path = std::string(base != nullptr && *base != '\0' ? base : "/tmp") +
             "/kqbench-filestore.XXXXXX";
      if (mkdtemp(path.data()) == nullptr) std::abort();
    }
    ~Dir() { std::filesystem::remove_all(path); }
  };
  static Dir dir;
  return dir.path;
}

bool WriteAll(int fd, const unsigned char* p, std::size_t n) {
  while (n > 0) {
    ssize_t done = write(fd, p, n);
    if (done <= 0) return false;
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

bool ReadAll(int fd, unsigned char* p, std::size_t n) {
  while (n > 0) {
    ssize_t done = read(fd, p, n);
    if (done <= 0) return false;
    p += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

void Processed(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

// What the operation held at once beyond the benchmark's own buffers.
void PeakHeap(benchmark::State& state, std::size_t base) {
  state.counters["peak/bitmap"] =
      static_cast<double>(kqbench::heap::PeakSince(base)) / static_cast<double>(state.range(0));
}

void BM_Memcpy(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  auto src = Pattern(n, 1), dst = Pattern(n, 2);
  for (auto _ : state) {
    std::memcpy(dst.data(), src.data(), n);
    benchmark::ClobberMemory();
  }
  Processed(state);
}

void BM_MergeBM(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  KQBitMapOps ops("/dev/benchvol", nullptr);
  auto target = Pattern(n, 1), other = Pattern(n, 2);
  const std::size_t base = kqbench::heap::Start();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ops.MergeBM(target.data(), n, other.data(), n));
    benchmark::ClobberMemory();
  }
  PeakHeap(state, base);
  Processed(state);
}

void BM_MergeBMFromOffset(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  KQBitMapOps ops("/dev/benchvol", nullptr);
  auto target = Pattern(n, 1), other = Pattern(n, 2);
  const std::size_t base = kqbench::heap::Start();
  for (auto _ : state) {
    benchmark::DoNotOptimize(ops.MergeBMFromOffset(target.data(), n, other.data(), n, 0));
    benchmark::ClobberMemory();
  }
  PeakHeap(state, base);
  Processed(state);
}

void BM_SaveBMToFile(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  KQBitMapOps ops("/dev/benchvol", nullptr);
  auto bitmap = Pattern(n, 3);
  unsigned char header = 0x5A;
  const std::string path = ScratchDir() + "/saved";
  const std::size_t base = kqbench::heap::Start();
  for (auto _ : state) {
    if (!ops.SaveBMToFile(bitmap.data(), n, &header, path)) state.SkipWithError("save failed");
  }
  PeakHeap(state, base);
  Processed(state);
}

void BM_PlainWriteFsync(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  auto bitmap = Pattern(n, 3);
  unsigned char header = 0x5A;
  const std::string path = ScratchDir() + "/plain";
  for (auto _ : state) {
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok =
        fd >= 0 && WriteAll(fd, &header, 1) && WriteAll(fd, bitmap.data(), n) && fsync(fd) == 0;
    if (fd >= 0) close(fd);
    if (!ok) state.SkipWithError("plain write failed");
  }
  Processed(state);
}

// Both reads use one file written by SaveBMToFile, so both find it cached.
std::string ReadTarget(std::size_t n) {
  const std::string path = ScratchDir() + "/read." + std::to_string(n);
  if (!std::filesystem::exists(path)) {
    KQBitMapOps ops("/dev/benchvol", nullptr);
    auto bitmap = Pattern(n, 4);
    unsigned char header = 0x5A;
    ops.SaveBMToFile(bitmap.data(), n, &header, path);
  }
  return path;
}

void BM_ReadBMFromFile(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string path = ReadTarget(n);
  KQBitMapOps ops("/dev/benchvol", nullptr);
  std::vector<unsigned char> bitmap(n, 0);
  unsigned char header = 0;
  const std::size_t base = kqbench::heap::Start();
  for (auto _ : state) {
    if (!ops.ReadBMFromFile(bitmap.data(), n, &header, path)) state.SkipWithError("read failed");
  }
  PeakHeap(state, base);
  Processed(state);
}

void BM_PlainRead(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string path = ReadTarget(n);
  std::vector<unsigned char> bitmap(n, 0);
  unsigned char header = 0;
  for (auto _ : state) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    bool ok = fd >= 0 && ReadAll(fd, &header, 1) && ReadAll(fd, bitmap.data(), n);
    if (fd >= 0) close(fd);
    if (!ok) state.SkipWithError("plain read failed");
  }
  Processed(state);
}

// File benchmarks wait in fsync, which CPU time does not see: use wall time throughout.
BENCHMARK(BM_Memcpy)->Apply(MergeSizes)->UseRealTime();
BENCHMARK(BM_MergeBM)->Apply(MergeSizes)->UseRealTime();
BENCHMARK(BM_MergeBMFromOffset)->Apply(MergeSizes)->UseRealTime();
BENCHMARK(BM_PlainWriteFsync)->Apply(FileSizes)->UseRealTime();
BENCHMARK(BM_SaveBMToFile)->Apply(FileSizes)->UseRealTime();
BENCHMARK(BM_PlainRead)->Apply(FileSizes)->UseRealTime();
BENCHMARK(BM_ReadBMFromFile)->Apply(FileSizes)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
  kqlog::SetLevel(0);  // a "Saving bitmap" line per save would only measure the terminal
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
