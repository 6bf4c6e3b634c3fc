// Backup bitmap preparation: DoBitmapFormalities, GetBitMap and DoBitmapDump,
// each timed against the I/O a dense bitmap needs done with plain system
// calls, alternately in the same run, with the memory, writes and disk blocks
// it took; and the cost of logging: DoBitmapFormalities at level 1 (no byte
// listings) against level 0 (no lines at all), and at level 2 (every byte
// listed) at 4 KiB only.
//
// Two kinds of bitmap, in the file and in the driver alike: every page
// changed (BM_Formalities, BM_GetBitMap, BM_Dump) and 2% of the 4 KiB pages
// changed, in runs of 16 to 64 pages, the same pages in both
// (BM_FormalitiesSparse, BM_GetBitMapSparse, BM_DumpSparse, from 1 MiB up).
// The floor reads and writes dense files either way: what the work would
// cost if every page held changes.
//
// Bitmaps of 4 KiB, 1 MiB and 64 MiB; KQ_BENCH_LARGE=1 adds 256 MiB and 1 GiB,
// KQ_BENCH_SIZES replaces the list (BenchSizes.h). About seven bitmaps of
// memory at once, and six of disk.
// Counters, medians of the alternating runs of one repetition:
//   op_ms, base_ms   the operation and its baseline (I/O floor, or no logging)
//   op/base          their ratio
//   peak/bitmap      the operation's peak heap use / bitmap size (largest)
//   rss/bitmap       the rise of the resident high-water mark during the
//                    operation / bitmap size (largest; absent where the
//                    kernel cannot reset the mark)
//   fresh_ms         allocating and touching one fresh bitmap, which no
//                    operation can avoid and the floor does not do
//   op/cold          the ratio against floor + fresh_ms, the cold floor
//   written/bitmap   bytes passed to write calls / bitmap size
//   dirtied/bitmap   bytes of page cache dirtied for storage / bitmap size
//   blocks/dense     the disk blocks of the saved bitmap file over those of
//                    the floor's dense file of the same length
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
#include <array>
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
// With `holes` (setting up a sparse file only) all-zero 4 KiB pages are
// skipped, as the library leaves them.
void WriteFile(const std::string& path, const unsigned char* data, std::size_t n,
               bool holes = false) {
  const std::string fresh = path + ".new";
  int fd = ::open(fresh.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0666);
  Check(fd >= 0, "floor open for write");
  std::size_t done = 0;
  const std::size_t step = holes ? 4 * kKiB : n;
  for (ssize_t w = 1; done < n && w > 0; done += static_cast<std::size_t>(w)) {
    const std::size_t len = std::min(step, n - done);
    const bool zero = holes && std::all_of(data + done, data + done + len,
                                           [](unsigned char c) { return c == 0; });
    w = zero ? static_cast<ssize_t>(len) : ::pwrite(fd, data + done, len, done);
  }
  // A trailing hole is written by no call: only then the length is set apart.
  Check(done == n && (!holes || ::ftruncate(fd, n) == 0) && ::fsync(fd) == 0, "floor write");
  ::close(fd);
  Check(::rename(fresh.c_str(), path.c_str()) == 0, "floor rename");
}

// The 4 KiB pages of a bitmap that hold changes, as runs [first, last): all
// of them, or about 2% in runs of 16 to 64 pages, one run at a random place
// in every 2000 pages (fixed seed: every run and build sees the same).
std::vector<std::pair<std::size_t, std::size_t>> ChangedPages(std::size_t n, bool sparse) {
  const std::size_t pages = (n + 4 * kKiB - 1) / (4 * kKiB);
  if (!sparse) return {{0, pages}};
  constexpr std::size_t kPeriod = 2000, kLongest = 64;
  std::vector<std::pair<std::size_t, std::size_t>> runs;
  uint32_t x = 12345;
  auto next = [&x] { return (x = x * 1664525u + 1013904223u) >> 8; };
  for (std::size_t at = 0; at < pages; at += kPeriod) {
    const std::size_t first = at + next() % (kPeriod - kLongest);
    const std::size_t length = 16 + next() % (kLongest - 16 + 1);
    if (first < pages) runs.emplace_back(first, std::min(first + length, pages));
  }
  return runs;
}

// A figure of /proc/self/status (kB) or /proc/self/io (bytes); -1 if absent.
long long ProcField(const char* path, const char* key) {
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  long long value = -1;
  char line[256];
  const std::size_t len = std::strlen(key);
  while (value < 0 && std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, key, len) == 0) value = std::atoll(line + len);
  }
  std::fclose(f);
  return value;
}
long long ResidentBytes(const char* key) {
  const long long kb = ProcField("/proc/self/status", key);
  return kb < 0 ? -1 : kb * 1024;
}
// Lowers the resident high-water mark to what is resident now.
bool ResetPeakResident() {
  const int fd = ::open("/proc/self/clear_refs", O_WRONLY);
  const bool ok = fd >= 0 && ::write(fd, "5", 1) == 1;
  if (fd >= 0) ::close(fd);
  return ok;
}
long long DiskBytes(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_blocks) * 512 : -1;
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
    for (const char* name : {"/.sda1_bm", "/.sda1_restart", "/.sda1_incr-tmp", "/.sda1_bm.kqlock",
                             "/.sda1_restart.kqlock", "/.sda1_incr-tmp.kqlock", "/floor0",
                             "/floor1", "/floor2", "/log"})
      ::unlink((dir + name).c_str());
    ::rmdir(dir.c_str());
  }

  // A volume with an incremental bitmap of `n` bytes, and a full one as large
  // only for the dump, which requires the two equal: the driver holds every
  // bitmap of the volume, and a 1 GiB one nobody reads is a waste.
  // `sparse`: 2% of the pages hold changes, in the driver's bitmap and in
  // the files, otherwise every page.
  void Prepare(std::size_t n, bool fullUsed, bool sparse) {
    if (n != size_) {
      pattern = {};
      scratch = {};
      AddVolume(n, fullUsed);
      scratch.assign(n + 1, 0x5A);
      WriteFile(dir + "/floor0", scratch.data(), scratch.size());
    } else if (fullUsed != fullUsed_) {
      AddVolume(n, fullUsed);
    }
    if (pattern.size() != n || sparse != sparse_) {
      // Changed pages hold varied bytes in the driver's bitmap, 0x5A in the files.
      pattern.assign(n, 0);
      std::vector<unsigned char> file(n + 1, 0);
      file[0] = 0x5A;  // the header byte
      for (const auto& [first, last] : ChangedPages(n, sparse)) {
        for (std::size_t i = first * 4 * kKiB; i < std::min(n, last * 4 * kKiB); ++i) {
          pattern[i] = static_cast<unsigned char>(i * 2654435761u >> 13 | 1);
          file[i + 1] = 0x5A;
        }
      }
      // The bitmap file and the dump file exist, as they do from the second backup on.
      WriteFile(ops->File("bm"), file.data(), file.size(), true);
      WriteFile(ops->File("incr-tmp"), file.data(), file.size(), true);
      sparse_ = sparse;
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
  bool sparse_ = false;
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

// What holding one bitmap costs before any I/O: a fresh heap buffer of the
// bitmap's size, written once and released. Each operation here needs one
// (the driver's bitmap, or the job's output buffer) the floor does without.
void OneFreshBitmap(std::size_t n) {
  std::unique_ptr<unsigned char[]> a(new unsigned char[n]);
  std::memset(a.get(), 1, n);
  benchmark::DoNotOptimize(a.get());
}

enum class Base { IoFloor, NoLogging };

// What one call of an operation does beside its time.
struct Setup {
  bool fullUsed = false;  // the volume's full bitmap as large as its incremental one
  bool sparse = false;    // 2% of pages changed
  Base kind = Base::IoFloor;
  const char* saved = nullptr;  // the bitmap file it saves, by suffix
};

// Runs `op` and `base` alternately (each goes first every other run), the
// driver refilled before each; only `op` is timed for the framework. The
// medians, their ratio, the op's peak heap and resident memory, its writes
// and the blocks of its file go to the counters.
template <typename Op, typename Baseline>
void Compare(benchmark::State& state, Setup setup, Op op, Baseline base) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const Base kind = setup.kind;
  Env& env = TheEnv();
  env.Prepare(n, setup.fullUsed, setup.sparse);
  std::vector<double> ops, bases, allocs, written, dirtied;
  std::size_t peak = 0;
  long long resident = 0;
  bool residentKnown = true;
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
    residentKnown = residentKnown && ResetPeakResident();
    const long long rss0 = ResidentBytes("VmRSS:");
    const std::array<long long, 2> io0 = {ProcField("/proc/self/io", "wchar:"),
                                          ProcField("/proc/self/io", "write_bytes:")};
    const std::size_t heapBase = kqbench::heap::Start();
    const auto t0 = Clock::now();
    op(env);
    const auto t1 = Clock::now();
    peak = std::max(peak, kqbench::heap::PeakSince(heapBase));
    resident = std::max(resident, ResidentBytes("VmHWM:") - rss0);
    written.push_back(static_cast<double>(ProcField("/proc/self/io", "wchar:") - io0[0]));
    dirtied.push_back(static_cast<double>(ProcField("/proc/self/io", "write_bytes:") - io0[1]));
    ops.push_back(Ms(t1 - t0));
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
    if (!baseFirst) {
      refill();
      bases.push_back(TimeMs([&] { base(env); }));
    }
    if (kind == Base::IoFloor) allocs.push_back(TimeMs([&] { OneFreshBitmap(n); }));
    baseFirst = !baseFirst;
  }
  const double opMs = Median(ops), baseMs = Median(bases);
  const auto perBitmap = [n](double bytes) { return bytes / static_cast<double>(n); };
  state.counters["op_ms"] = opMs;
  state.counters["base_ms"] = baseMs;
  state.counters["op/base"] = opMs / baseMs;
  state.counters["peak/bitmap"] = perBitmap(static_cast<double>(peak));
  if (residentKnown) state.counters["rss/bitmap"] = perBitmap(static_cast<double>(resident));
  state.counters["written/bitmap"] = perBitmap(Median(written));
  state.counters["dirtied/bitmap"] = perBitmap(Median(dirtied));
  if (kind == Base::IoFloor) {
    const double allocMs = Median(allocs);
    state.counters["fresh_ms"] = allocMs;
    state.counters["op/cold"] = opMs / (baseMs + allocMs);
  }
  if (setup.saved != nullptr) {
    const long long dense = DiskBytes(env.dir + "/floor0");
    state.counters["blocks/dense"] =
        static_cast<double>(DiskBytes(env.ops->File(setup.saved))) / static_cast<double>(dense);
  }
}

void Formalities(Env& env) {
  Check(env.ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false),
        "DoBitmapFormalities");
}

// Reading the old file plus writing, flushing and renaming two files of the
// same size over older ones, all dense.
void FormalitiesFloor(Env& env) {
  ReadFile(env.dir + "/floor0", env.scratch.data(), env.scratch.size());
  WriteFile(env.dir + "/floor1", env.scratch.data(), env.scratch.size());
  WriteFile(env.dir + "/floor2", env.scratch.data(), env.scratch.size());
}

template <bool sparse>
void BM_Formalities(benchmark::State& state) {
  Compare(state, {false, sparse, Base::IoFloor, "bm"}, Formalities, FormalitiesFloor);
}

template <bool sparse>
void BM_GetBitMap(benchmark::State& state) {
  Compare(
      state, {false, sparse, Base::IoFloor, nullptr},
      [](Env& env) {
        unsigned char* merged = nullptr;
        Check(env.ops->GetBitMap(KQV_BITMAP_INCR, "bm", env.pattern.size(), &merged), "GetBitMap");
        delete[] merged;
      },
      [](Env& env) { ReadFile(env.dir + "/floor0", env.scratch.data(), env.scratch.size()); });
}

template <bool sparse>
void BM_Dump(benchmark::State& state) {
  Compare(
      state, {true, sparse, Base::IoFloor, "incr-tmp"},
      [](Env& env) {
        Check(env.ops->DoBitmapDump(KQV_BITMAP_INCR, kVolume, true), "DoBitmapDump");
      },
      [](Env& env) {
        ReadFile(env.dir + "/floor0", env.scratch.data(), env.scratch.size());
        WriteFile(env.dir + "/floor1", env.scratch.data(), env.scratch.size());
      });
}

// DoBitmapFormalities at log level `level` against the same at level 0.
template <int level>
void BM_FormalitiesLogging(benchmark::State& state) {
  Compare(
      state, {false, false, Base::NoLogging, nullptr},
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
    add("BM_Formalities", BM_Formalities<false>);
    add("BM_GetBitMap", BM_GetBitMap<false>);
    add("BM_Dump", BM_Dump<false>);
    // 2% of a few pages says nothing: one run of pages takes 2% of 1 MiB.
    if (n >= kMiB) {
      add("BM_FormalitiesSparse", BM_Formalities<true>);
      add("BM_GetBitMapSparse", BM_GetBitMap<true>);
      add("BM_DumpSparse", BM_Dump<true>);
    }
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
