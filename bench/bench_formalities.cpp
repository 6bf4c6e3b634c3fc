// Backup bitmap preparation: DoBitmapFormalities, GetBitMap and DoBitmapDump,
// each timed against the I/O it cannot avoid done with plain system calls,
// alternately in the same run, with its peak heap use as a multiple of the
// bitmap size; and the cost of logging: DoBitmapFormalities at level 1 (no
// byte listings) against level 0 (no lines at all), and at level 2 (every
// byte listed) at 4 KiB only.
//
// Bitmaps of 4 KiB, 1 MiB and 64 MiB; KQ_BENCH_LARGE=1 adds 256 MiB and 1 GiB,
// KQ_BENCH_SIZES replaces the list (BenchSizes.h). About seven bitmaps of
// memory at once, and five of disk.
// Counters, medians of the alternating runs of one repetition:
//   op_ms, base_ms   the operation and its baseline (I/O floor, or no logging)
//   op/base          their ratio
//   peak/bitmap      the operation's peak heap use / bitmap size
//   alloc2_ms        allocating and filling two fresh bitmaps, which the
//                    operations must do and the floor does not
//   op/(base+alloc2) the ratio with that cost added to the floor
//
//   bench_formalities [--benchmark_...]   (temp files under $TMPDIR or /tmp)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <KQVolumeSim.h>
#include <KqLogControl.h>
#include <kqbitmapops/KQBitMapOps.h>

#include "BenchHeap.h"
#include "BenchSizes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kKiB = 1024, kMiB = 1024 * kKiB;
const char kVolume[] = "/dev/sda1";
using Clock = std::chrono::steady_clock;

// Small bitmaps take a few fsyncs per run, whose noise more runs even out;
// large ones take seconds.
int RunsFor(std::size_t n) {
  if (n <= 4 * kKiB) return 41;
  if (n <= kMiB) return 21;
  if (n <= 64 * kMiB) return 9;
  return n <= 256 * kMiB ? 5 : 3;
}

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

// The I/O floor, plain system calls: one whole read, or a new file written,
// flushed and renamed over the old one.
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
  const std::string fresh = path + ".new";
  int fd = ::open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  Check(fd >= 0, "floor open for write");
  std::size_t done = 0;
  for (ssize_t w; done < n && (w = ::write(fd, data + done, n - done)) > 0;)
    done += static_cast<std::size_t>(w);
  Check(done == n && ::fsync(fd) == 0, "floor write");
  ::close(fd);
  Check(::rename(fresh.c_str(), path.c_str()) == 0, "floor rename");
}

class Env {
 public:
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
    kqlog::SetLevel(1);
    kqlog::SetDestination(dir + "/log");
    driver = kqsim::SimDriver::Install();
  }
  ~Env() {
    ops.reset();
    driver.reset();
    kqlog::SetDestination("");
    for (const char* name :
         {"/.sda1_bm", "/.sda1_restart", "/.sda1_incr-tmp", "/.sda1_bm.kqlock",
          "/.sda1_restart.kqlock", "/.sda1_incr-tmp.kqlock", "/floor1", "/floor2", "/log"})
      ::unlink((dir + name).c_str());
    ::rmdir(dir.c_str());
  }

  // A volume with an incremental bitmap of `n` bytes, and a full one as large
  // only for the dump, which requires the two equal: the driver holds every
  // bitmap of the volume, and a 1 GiB one nobody reads is a waste.
  void Prepare(std::size_t n, bool fullUsed) {
    if (n != size_) {
      pattern = {};
      scratch = {};
      AddVolume(n, fullUsed);
      pattern.resize(n);
      for (std::size_t i = 0; i < n; ++i)
        pattern[i] = static_cast<unsigned char>(i * 2654435761u >> 13);
      scratch.assign(n + 1, 0x5A);
      // The bitmap file and the dump file exist, as they do from the second backup on.
      WriteFile(ops->File("bm"), scratch.data(), scratch.size());
      WriteFile(ops->File("incr-tmp"), scratch.data(), scratch.size());
    } else if (fullUsed != fullUsed_) {
      AddVolume(n, fullUsed);
    }
  }

 private:
  void AddVolume(std::size_t n, bool fullUsed) {
    ops.reset();
    kqsim::VolumeConfig cfg;
    cfg.incrSize = n;
    cfg.fullSize = fullUsed ? n : 1;
    cfg.auxSize = 1;
    cfg.bytes = static_cast<uint64_t>(n) * 8 * cfg.blockSize;
    driver->AddVolume(kVolume, cfg);
    ops = std::make_unique<Ops>(dir, kVolume);
    size_ = n;
    fullUsed_ = fullUsed;
  }
  std::size_t size_ = 0;
  bool fullUsed_ = false;
};

Env& TheEnv() {
  static Env env;
  return env;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}
double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }
template <typename F>
double TimeMs(F&& f) {
  const auto t0 = Clock::now();
  f();
  return Ms(Clock::now() - t0);
}

// What holding two bitmaps costs before any I/O: two fresh heap buffers of
// the bitmap's size, written once and released. Each operation here needs at
// least two (the file's bitmap and the driver's, or the job's output buffer).
void TwoFreshBitmaps(std::size_t n) {
  std::unique_ptr<unsigned char[]> a(new unsigned char[n]);
  std::unique_ptr<unsigned char[]> b(new unsigned char[n]);
  std::memset(a.get(), 1, n);
  std::memset(b.get(), 1, n);
  benchmark::DoNotOptimize(a.get());
  benchmark::DoNotOptimize(b.get());
}

enum class Base { IoFloor, NoLogging };

// Runs `op` and `base` alternately (each goes first every other run), the
// driver refilled before each; only `op` is timed for the framework. The
// medians, their ratio and the op's peak heap use go to the counters.
template <typename Op, typename Baseline>
void Compare(benchmark::State& state, bool fullUsed, Base kind, Op op, Baseline base) {
  const auto n = static_cast<std::size_t>(state.range(0));
  Env& env = TheEnv();
  env.Prepare(n, fullUsed);
  std::vector<double> ops, bases, allocs;
  std::size_t peak = 0;
  bool baseFirst = false;
  auto refill = [&] {
    env.driver->SetBitmap(kVolume, KQV_BITMAP_INCR, env.pattern);
    env.driver->ClearCalls();  // its record would grow inside the op's heap figure
  };
  for (auto _ : state) {
    if (baseFirst) {
      refill();
      bases.push_back(TimeMs([&] { base(env); }));
    }
    refill();
    const std::size_t heapBase = kqbench::heap::Start();
    const auto t0 = Clock::now();
    op(env);
    const auto t1 = Clock::now();
    peak = std::max(peak, kqbench::heap::PeakSince(heapBase));
    ops.push_back(Ms(t1 - t0));
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    if (!baseFirst) {
      refill();
      bases.push_back(TimeMs([&] { base(env); }));
    }
    if (kind == Base::IoFloor) allocs.push_back(TimeMs([&] { TwoFreshBitmaps(n); }));
    baseFirst = !baseFirst;
  }
  const double opMs = Median(ops), baseMs = Median(bases);
  state.counters["op_ms"] = opMs;
  state.counters["base_ms"] = baseMs;
  state.counters["op/base"] = opMs / baseMs;
  state.counters["peak/bitmap"] = static_cast<double>(peak) / static_cast<double>(n);
  if (kind == Base::IoFloor) {
    const double allocMs = Median(allocs);
    state.counters["alloc2_ms"] = allocMs;
    state.counters["op/(base+alloc2)"] = opMs / (baseMs + allocMs);
  }
}

void Formalities(Env& env) {
  Check(env.ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false),
        "DoBitmapFormalities");
}

// Reading the old file plus writing, flushing and renaming two files of the
// same size over older ones.
void FormalitiesFloor(Env& env) {
  ReadFile(env.ops->File("bm"), env.scratch.data(), env.scratch.size());
  WriteFile(env.dir + "/floor1", env.scratch.data(), env.scratch.size());
  WriteFile(env.dir + "/floor2", env.scratch.data(), env.scratch.size());
}

void BM_Formalities(benchmark::State& state) {
  Compare(state, false, Base::IoFloor, Formalities, FormalitiesFloor);
}

void BM_GetBitMap(benchmark::State& state) {
  Compare(
      state, false, Base::IoFloor,
      [](Env& env) {
        unsigned char* merged = nullptr;
        Check(env.ops->GetBitMap(KQV_BITMAP_INCR, "bm", env.pattern.size(), &merged), "GetBitMap");
        delete[] merged;
      },
      [](Env& env) { ReadFile(env.ops->File("bm"), env.scratch.data(), env.scratch.size()); });
}

void BM_Dump(benchmark::State& state) {
  Compare(
      state, true, Base::IoFloor,
      [](Env& env) {
        Check(env.ops->DoBitmapDump(KQV_BITMAP_INCR, kVolume, true), "DoBitmapDump");
      },
      [](Env& env) {
        ReadFile(env.ops->File("incr-tmp"), env.scratch.data(), env.scratch.size());
        WriteFile(env.dir + "/floor1", env.scratch.data(), env.scratch.size());
      });
}

// DoBitmapFormalities at log level `level` against the same at level 0.
template <int level>
void BM_FormalitiesLogging(benchmark::State& state) {
  Compare(
      state, false, Base::NoLogging,
      [](Env& env) {
        kqlog::SetLevel(level);
        Formalities(env);
      },
      [](Env& env) {
        kqlog::SetLevel(0);
        Formalities(env);
      });
  kqlog::SetLevel(1);
}

void Register() {
  for (const int64_t arg : kqbench::Sizes({4 * kKiB, kMiB, 64 * kMiB})) {
    const auto n = static_cast<std::size_t>(arg);
    const int runs = RunsFor(n);
    auto add = [&](const char* name, void (*fn)(benchmark::State&)) {
      auto* b = benchmark::RegisterBenchmark(name, fn)->Arg(arg)->Iterations(runs);
      b->UseManualTime()->Unit(benchmark::kMillisecond);
    };
    add("BM_Formalities", BM_Formalities);
    add("BM_GetBitMap", BM_GetBitMap);
    add("BM_Dump", BM_Dump);
    add("BM_FormalitiesLogLevel1", BM_FormalitiesLogging<1>);
    if (n == 4 * kKiB) add("BM_FormalitiesLogLevel2", BM_FormalitiesLogging<2>);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Register();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
