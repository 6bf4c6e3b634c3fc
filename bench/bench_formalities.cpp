// Backup bitmap preparation on a 64 MiB bitmap: DoBitmapFormalities,
// GetBitMap and DoBitmapDump, each timed against the I/O it cannot avoid done
// with plain system calls in the same run, and each with its peak heap use as
// a multiple of the bitmap size.
//
//   bench_formalities [--benchmark_...]   (temp files under $TMPDIR or /tmp)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <KQVolumeSim.h>
#include <KqLogControl.h>
#include <kqbitmapops/KQBitMapOps.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <vector>

// ---------------------------------------------------------------------------
// Heap accounting: every operator new of the process goes through here, so the
// peak during an operation is the most it held at once. The driver stand-in
// allocates nothing while it serves a fetch or a merge.
namespace heap {
constexpr std::size_t kHeader = 16;  // keeps the caller's block 16-byte aligned
std::atomic<std::size_t> live{0};
std::atomic<std::size_t> peak{0};

void* Alloc(std::size_t n) noexcept {
  void* block = std::malloc(n + kHeader);
  if (!block) return nullptr;
  *static_cast<std::size_t*>(block) = n;
  std::size_t now = live.fetch_add(n) + n;
  std::size_t seen = peak.load();
  while (now > seen && !peak.compare_exchange_weak(seen, now)) {
  }
  return static_cast<char*>(block) + kHeader;
}
void Free(void* p) noexcept {
  if (!p) return;
  char* block = static_cast<char*>(p) - kHeader;
  live.fetch_sub(*reinterpret_cast<std::size_t*>(block));
  std::free(block);
}
// Starts a measurement; returns the baseline.
std::size_t Start() noexcept {
  std::size_t now = live.load();
  peak.store(now);
  return now;
}
}  // namespace heap

void* operator new(std::size_t n) {
  if (void* p = heap::Alloc(n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = heap::Alloc(n)) return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept { return heap::Alloc(n); }
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept { return heap::Alloc(n); }
void operator delete(void* p) noexcept { heap::Free(p); }
void operator delete[](void* p) noexcept { heap::Free(p); }
void operator delete(void* p, std::size_t) noexcept { heap::Free(p); }
void operator delete[](void* p, std::size_t) noexcept { heap::Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { heap::Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { heap::Free(p); }

namespace {

constexpr std::size_t kBitmap = std::size_t{64} << 20;
constexpr std::size_t kMiB = std::size_t{1} << 20;
const char kVolume[] = "/dev/sda1";
using Clock = std::chrono::steady_clock;

// Bitmap files in the bench's directory instead of /etc/tessel/.
class Ops : public KQBitMapOps {
 public:
  Ops(std::string dir, const std::string& volume)
      : KQBitMapOps(volume, nullptr), dir_(std::move(dir)) {
    SetVolName(volume);
  }
  std::string PrepareAbsoluteBitmapFileName(std::string suffix, char* reserved) override {
    std::string name = KQBitMapOps::PrepareAbsoluteBitmapFileName(std::move(suffix), reserved);
    return dir_ + "/" + name.substr(std::strlen("/etc/tessel/"));
  }
  std::string File(const std::string& suffix) { return dir_ + "/.sda1_" + suffix; }

 private:
  std::string dir_;
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "bench_formalities: %s failed\n", what);
    std::exit(1);
  }
}

// The I/O floor, plain system calls: one whole read, or a write and an fsync.
void ReadFile(const std::string& path, unsigned char* buffer, std::size_t n) {
  int fd = ::open(path.c_str(), O_RDONLY);
  Check(fd >= 0, "floor open for read");
  std::size_t got = 0;
  for (ssize_t r; got < n && (r = ::read(fd, buffer + got, n - got)) > 0;)
    got += static_cast<std::size_t>(r);
  ::close(fd);
  Check(got == n, "floor read");
}
void WriteFile(const std::string& path, const unsigned char* data, std::size_t n) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  Check(fd >= 0, "floor open for write");
  std::size_t done = 0;
  for (ssize_t w; done < n && (w = ::write(fd, data + done, n - done)) > 0;)
    done += static_cast<std::size_t>(w);
  Check(done == n && ::fsync(fd) == 0, "floor write");
  ::close(fd);
}

struct Env {
  std::string dir;
  std::shared_ptr<kqsim::SimDriver> driver;
  std::unique_ptr<Ops> ops;
  std::vector<unsigned char> pattern;  // what the driver holds before each call
  std::vector<unsigned char> scratch;  // the floor's buffer: header byte + bitmap

  Env() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kqbench.XXXXXX";
    Check(::mkdtemp(tmpl.data()) != nullptr, "mkdtemp");
    dir = tmpl;
    kqlog::SetLevel(1);  // no byte listings
    kqlog::SetDestination(dir + "/log");
    driver = kqsim::SimDriver::Install();
    kqsim::VolumeConfig cfg;
    cfg.bytes = static_cast<uint64_t>(kBitmap) * 8 * cfg.blockSize;
    cfg.auxSize = 1;  // not used here; spares 64 MiB
    driver->AddVolume(kVolume, cfg);
    ops = std::make_unique<Ops>(dir, kVolume);
    pattern.resize(kBitmap);
    for (std::size_t i = 0; i < kBitmap; ++i)
      pattern[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
    scratch.assign(kBitmap + 1, 0x5A);
    // The bitmap file and the dump file exist, as they do from the second backup on.
    WriteFile(ops->File("bm"), scratch.data(), scratch.size());
    WriteFile(ops->File("incr-tmp"), scratch.data(), scratch.size());
  }
  ~Env() {
    ops.reset();
    driver.reset();
    kqlog::SetDestination("");
    for (const char* name :
         {"/.sda1_bm", "/.sda1_restart", "/.sda1_incr-tmp", "/floor1", "/floor2", "/log"})
      ::unlink((dir + name).c_str());
    ::rmdir(dir.c_str());
  }
};

Env& TheEnv() {
  static Env env;
  return env;
}

struct Result {
  double opMs = 0, floorMs = 0, memMs = 0, peakBitmaps = 0;
  std::size_t peakBytes = 0;
};
Result g_formalities, g_getBitMap, g_dump;

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// What holding two bitmaps costs before any I/O: two fresh heap buffers of
// the bitmap's size, written once and released. Each operation here needs at
// least two (the file's bitmap and the driver's, or the job's output buffer).
void TwoFreshBitmaps() {
  std::unique_ptr<unsigned char[]> a(new unsigned char[kBitmap]);
  std::unique_ptr<unsigned char[]> b(new unsigned char[kBitmap]);
  std::memset(a.get(), 1, kBitmap);
  std::memset(b.get(), 1, kBitmap);
  benchmark::DoNotOptimize(a.get());
  benchmark::DoNotOptimize(b.get());
}

// Runs `op` against `floor` alternately, timing only `op` for the framework;
// the medians, their ratios and the op's peak heap use go to `out` and the counters.
template <typename Op, typename Floor>
void Compare(benchmark::State& state, Result& out, Op op, Floor floor) {
  Env& env = TheEnv();
  std::vector<double> ops, floors, mems;
  std::size_t peak = 0;
  bool floorFirst = false;
  for (auto _ : state) {
    env.driver->SetBitmap(kVolume, KQV_BITMAP_INCR, env.pattern);
    if (floorFirst) {
      auto f0 = Clock::now();
      floor(env);
      floors.push_back(Ms(Clock::now() - f0));
    }
    std::size_t base = heap::Start();
    auto t0 = Clock::now();
    op(env);
    auto t1 = Clock::now();
    peak = std::max(peak, heap::peak.load() - base);
    ops.push_back(Ms(t1 - t0));
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    if (!floorFirst) {
      auto f0 = Clock::now();
      floor(env);
      floors.push_back(Ms(Clock::now() - f0));
    }
    auto m0 = Clock::now();
    TwoFreshBitmaps();
    mems.push_back(Ms(Clock::now() - m0));
    floorFirst = !floorFirst;
  }
  out.opMs = Median(ops);
  out.floorMs = Median(floors);
  out.memMs = Median(mems);
  out.peakBytes = peak;
  out.peakBitmaps = static_cast<double>(peak) / kBitmap;
  state.counters["op_ms"] = out.opMs;
  state.counters["floor_ms"] = out.floorMs;
  state.counters["op/floor"] = out.opMs / out.floorMs;
  state.counters["op/(floor+2bm)"] = out.opMs / (out.floorMs + out.memMs);
  state.counters["peak/bitmap"] = out.peakBitmaps;
}

void BM_Formalities(benchmark::State& state) {
  Compare(
      state, g_formalities,
      [](Env& env) {
        Check(env.ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false),
              "DoBitmapFormalities");
      },
      [](Env& env) {
        ReadFile(env.ops->File("bm"), env.scratch.data(), env.scratch.size());
        WriteFile(env.dir + "/floor1", env.scratch.data(), env.scratch.size());
        WriteFile(env.dir + "/floor2", env.scratch.data(), env.scratch.size());
      });
}

void BM_GetBitMap(benchmark::State& state) {
  Compare(
      state, g_getBitMap,
      [](Env& env) {
        unsigned char* merged = nullptr;
        Check(env.ops->GetBitMap(KQV_BITMAP_INCR, "bm", kBitmap, &merged), "GetBitMap");
        delete[] merged;
      },
      [](Env& env) { ReadFile(env.ops->File("bm"), env.scratch.data(), env.scratch.size()); });
}

void BM_Dump(benchmark::State& state) {
  Compare(
      state, g_dump,
      [](Env& env) {
        Check(env.ops->DoBitmapDump(KQV_BITMAP_INCR, kVolume, true), "DoBitmapDump");
      },
      [](Env& env) {
        ReadFile(env.ops->File("incr-tmp"), env.scratch.data(), env.scratch.size());
        WriteFile(env.dir + "/floor1", env.scratch.data(), env.scratch.size());
      });
}

BENCHMARK(BM_Formalities)->Iterations(9)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GetBitMap)->Iterations(9)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Dump)->Iterations(9)->UseManualTime()->Unit(benchmark::kMillisecond);

void Report(const char* name, const Result& r, double timeTarget, double bitmapsTarget) {
  if (r.opMs == 0) return;  // filtered out
  const double ratio = r.opMs / r.floorMs;
  const bool memOk = r.peakBytes <= static_cast<std::size_t>(bitmapsTarget) * kBitmap + kMiB;
  std::printf("%-20s %7.1f ms, I/O floor %6.1f ms: op/floor %5.2f", name, r.opMs, r.floorMs, ratio);
  if (timeTarget > 0)
    std::printf(" (target <= %.2f: %s)", timeTarget, ratio <= timeTarget ? "met" : "MISSED");
  std::printf("\n%-20s two fresh bitmaps %6.1f ms: op/(floor + them) %5.2f\n", "", r.memMs,
              r.opMs / (r.floorMs + r.memMs));
  std::printf("%-20s peak heap %.3f bitmaps (target <= %.0f + 1 MiB: %s)\n", "", r.peakBitmaps,
              bitmapsTarget, memOk ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  std::printf("\n64 MiB bitmap, medians of alternating runs:\n");
  Report("DoBitmapFormalities", g_formalities, 1.25, 3);
  Report("GetBitMap", g_getBitMap, 0, 2);
  Report("DoBitmapDump", g_dump, 0, 2);
  return 0;
}
