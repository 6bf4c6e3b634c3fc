// kqdemo: a small incremental backup job against the simulated driver. After
// each step it shows what the library did to the driver's bitmaps and to the
// bitmap files, and the library's log lines.
#include <kqbitmapops/KQBitMapOps.h>

#include <KQVolumeSim.h>
#include <KqLogControl.h>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "BitmapText.h"

namespace {

constexpr char kVolume[] = "/dev/demo1";
constexpr uint64_t kBlockSize = 4096;
constexpr int kStepFailed = 1;
constexpr int kUsageError = 2;

const char kUsage[] = R"(Usage: kqdemo [options]

Runs a small incremental backup job against the simulated block-filter driver
and shows, step by step, what the kqbitmapops library did: which blocks are
marked changed in the driver's three bitmaps (incremental, full, aux), what
each bitmap file holds, and the library's log lines.

The job records random writes, takes the changes over twice with
DoBitmapFormalities (a backup file and a restart file), queries the merged
bitmap with GetBitMap, dumps with DoBitmapDump, runs ManipulateBitmap for
backup levels 2, 1 and 4, and writes a failure file with SaveFileForFailure.
Each step checks its result; the first one that goes wrong stops the demo.

The bitmap files go to a scratch directory instead of /etc/tessel/. A class
derived from KQBitMapOps overrides one virtual slot,
PrepareAbsoluteBitmapFileName: it calls the base version and swaps the
"/etc/tessel/" directory for the scratch directory, keeping the file names.
Every workflow names its files through that slot, so all of them follow.
This is the extension point the virtual slots exist for.

Options:
  --volume-size SIZE  size of the simulated volume, a multiple of 4K up to 1T
                      (default 1M; suffixes K, M, G, T); one bit per 4096-byte block
  --writes N          random writes before the first backup (default 8); half
                      as many, rounded up, before the second backup and the query
  --seed S            seed of the random writes (default 1): same seed, same run
  --log-level L       library log lines shown under each step: 0 none,
                      1 progress and failures (default), 2 also every bitmap byte
  --dir PATH          scratch directory; created with any missing parents,
                      must be empty (default: a new $TMPDIR/kqdemo.XXXXXX).
                      Kept at the end.
  -h, --help          this text

DoBitmapFormalities passes four debug break points; the log shows them as
"debug break /tmp/DoBitMap.<point>". While such a marker file exists (owned by
you or root, not writable by others) the job pauses there until it is removed.

Exit status: 0 when every step did what it should, 1 when one did not (the
reason on standard error), 2 for a bad option or a scratch directory that
cannot be made or is not empty.
)";

struct Options {
  uint64_t volumeBytes = 1 << 20;
  uint64_t writes = 8;
  uint64_t seed = 1;
  int logLevel = 1;
  std::string dir;
};

using Bytes = std::vector<unsigned char>;

// Keeps the file names the library composes but puts the files in `dir`.
class ScratchDirOps : public KQBitMapOps {
 public:
  ScratchDirOps(std::string dir, const std::string& volume)
      : KQBitMapOps(volume, nullptr), dir_(std::move(dir)) {
    SetVolName(volume);  // the base constructor named the default file without our slot
  }

  std::string PrepareAbsoluteBitmapFileName(std::string nameSuffix, char* reserved) override {
    static const std::string kPrefix = "/etc/tessel/";
    std::string name = KQBitMapOps::PrepareAbsoluteBitmapFileName(std::move(nameSuffix), reserved);
    if (name.compare(0, kPrefix.size(), kPrefix) != 0) return name;
    return dir_ + "/" + name.substr(kPrefix.size());
  }

 private:
  std::string dir_;
};

std::string HumanSize(uint64_t bytes) {
  const char* units[] = {"T", "G", "M", "K"};
  for (int i = 0; i < 4; ++i) {
    const unsigned shift = 40 - 10 * static_cast<unsigned>(i);
    if (bytes >= (uint64_t{1} << shift) && bytes % (uint64_t{1} << shift) == 0) {
      return std::to_string(bytes >> shift) + " " + units[i] + "iB";
    }
  }
  return std::to_string(bytes) + " bytes";
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

Bytes ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The bitmap part of a bitmap file (all but the header byte); empty if absent.
Bytes FileBitmap(const std::string& path) {
  Bytes bytes = ReadFile(path);
  return bytes.empty() ? bytes : Bytes(bytes.begin() + 1, bytes.end());
}

Bytes Or(Bytes a, const Bytes& b) {
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) a[i] |= b[i];
  return a;
}

bool AllZero(const Bytes& b) {
  return std::all_of(b.begin(), b.end(), [](unsigned char c) { return c == 0; });
}

std::string Blocks(const unsigned char* data, std::size_t n) {
  return kqtools::CompactExtents(data, n, 16);
}
std::string Blocks(const Bytes& b) { return Blocks(b.data(), b.size()); }

uint64_t SetBits(const Bytes& b, std::size_t from = 0) {
  kqtools::ExtentScanner scanner(kqtools::BitOrder::LsbFirst, nullptr);
  if (b.size() > from) scanner.Scan(b.data() + from, b.size() - from);
  return scanner.setBits();
}

// A directory that exists and is empty, made if missing; "" on success, else why not.
std::string PrepareDir(std::string* dir) {
  if (dir->empty()) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kqdemo.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
      return "cannot create a directory like " + pattern + ": " + std::strerror(errno);
    }
    *dir = pattern;
    return "";
  }
  // Each missing level in turn, as mkdir -p makes them.
  for (std::size_t at = dir->find('/', 1);; at = dir->find('/', at + 1)) {
    const std::string level = dir->substr(0, at);
    if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) {
      return "cannot create --dir " + *dir + ": " + level + ": " + std::strerror(errno);
    }
    if (at == std::string::npos) break;
  }
  DIR* d = ::opendir(dir->c_str());
  if (d == nullptr) return "cannot open --dir " + *dir + ": " + std::strerror(errno);
  bool empty = true;
  while (dirent* e = ::readdir(d)) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
  }
  ::closedir(d);
  return empty ? "" : "--dir " + *dir + " is not empty; give an empty or a new directory";
}

class Demo {
 public:
  explicit Demo(const Options& opt) : opt_(opt), rng_(opt.seed) {}

  // False after the first step that went wrong; error() says why.
  bool Run();
  const std::string& error() const { return error_; }

 private:
  using Body = bool (Demo::*)();
  bool Step(const std::string& title, Body body);

  bool Construct();
  bool FirstWrites() { return Writes(opt_.writes); }
  bool MoreWrites() { return Writes((opt_.writes + 1) / 2); }
  bool Writes(uint64_t count);
  bool Backup();
  bool Query();
  bool Dump();
  bool Level2();
  bool Level1();
  bool Level4();
  bool Failure();

  bool Check(bool ok, const std::string& what) {
    if (!ok) error_ = what;
    return ok;
  }
  bool Called(const std::string& call, bool result) {
    std::printf("  %s -> %s\n", call.c_str(), result ? "true" : "false");
    return Check(result, call + " returned false");
  }
  bool CheckFile(const std::string& suffix, unsigned header, const Bytes& bitmap);

  std::string Path(const std::string& suffix) {
    return ops_->PrepareAbsoluteBitmapFileName(suffix, nullptr);
  }
  Bytes Driver(KQVBitmapType type) const { return driver_->Bitmap(kVolume, type); }
  void ShowDriver() const;
  void ShowFiles();
  void ShowLog();

  Options opt_;
  std::mt19937_64 rng_;  // its sequence is fixed by the standard: a seed gives one run everywhere
  std::shared_ptr<kqsim::SimDriver> driver_;
  std::unique_ptr<kqlog::Capture> log_;
  std::unique_ptr<ScratchDirOps> ops_;
  kqsim::VolumeConfig config_;
  unsigned long bitmapBytes_ = 0;
  std::set<std::string> headerless_;    // failure files: no header byte
  std::map<std::string, Bytes> files_;  // the scratch directory after the last step
  int step_ = 0;
  std::string error_;
};

bool Demo::Run() {
  config_.bytes = opt_.volumeBytes;
  config_.blockSize = kBlockSize;
  driver_ = kqsim::SimDriver::Install();
  driver_->AddVolume(kVolume, config_);
  bitmapBytes_ = static_cast<unsigned long>(Driver(KQV_BITMAP_INCR).size());

  std::printf("kqdemo: an incremental backup job against the simulated driver\n");
  std::printf("  volume %s: %s, %llu blocks of %llu bytes, bitmaps of %lu bytes\n", kVolume,
              HumanSize(opt_.volumeBytes).c_str(),
              static_cast<unsigned long long>(opt_.volumeBytes / kBlockSize),
              static_cast<unsigned long long>(kBlockSize), bitmapBytes_);
  std::printf("  header bytes from the driver: 0x%02x (bitmap files), 0x%02x (dump files)\n",
              config_.bitmapHeader, config_.dumpHeader);
  std::printf("  scratch directory %s (in place of /etc/tessel/)\n", opt_.dir.c_str());
  std::printf("  seed %llu, log level %d\n", static_cast<unsigned long long>(opt_.seed),
              opt_.logLevel);
  std::printf(
      "Changed blocks are shown as extents of bit numbers, one bit per block: 12-15 is\n"
      "blocks 12 to 15. In the file lists + marks a new file, * a changed one.\n");

  if (opt_.logLevel > 0) {
    log_ = std::make_unique<kqlog::Capture>(opt_.logLevel);
  } else {
    kqlog::SetLevel(0);
  }
  const std::string more = "Record " + std::to_string((opt_.writes + 1) / 2) + " more writes";
  return Step("Construct a KQBitMapOps for " + std::string(kVolume), &Demo::Construct) &&
         Step("Record " + std::to_string(opt_.writes) + " writes", &Demo::FirstWrites) &&
         Step("Backup 1: take the changes over", &Demo::Backup) && Step(more, &Demo::MoreWrites) &&
         Step("Backup 2: take the changes over again", &Demo::Backup) &&
         Step(more, &Demo::MoreWrites) &&
         Step("Query the merged bitmap: backup file OR driver", &Demo::Query) &&
         Step("Dump the incremental bitmap", &Demo::Dump) &&
         Step("Backup level 2: save the incremental bitmap", &Demo::Level2) &&
         Step("Backup level 1: delete the bitmap file", &Demo::Level1) &&
         Step("Backup level 4: save the full bitmap", &Demo::Level4) &&
         Step("Write a failure file", &Demo::Failure);
}

bool Demo::Step(const std::string& title, Body body) {
  std::printf("\n[%d] %s\n", ++step_, title.c_str());
  bool ok = false;
  try {
    ok = (this->*body)();
  } catch (const std::exception& e) {
    error_ = std::string("exception: ") + e.what();
  }
  ShowDriver();
  ShowFiles();
  ShowLog();
  if (!ok) error_ = "step " + std::to_string(step_) + " (" + title + "): " + error_;
  std::fflush(stdout);
  return ok;
}

bool Demo::Construct() {
  ops_ = std::make_unique<ScratchDirOps>(opt_.dir, kVolume);
  std::printf("  default bitmap file: %s\n", BaseName(Path("")).c_str());
  return Check(Path("").compare(0, opt_.dir.size(), opt_.dir) == 0,
               "the default bitmap file is not in the scratch directory");
}

bool Demo::Writes(uint64_t count) {
  constexpr uint64_t kShown = 10;
  std::printf("  the driver marks the blocks of each write in all three of its bitmaps\n");
  for (uint64_t i = 0; i < count; ++i) {
    // Plain modulo of the generator's output: distributions differ between libraries.
    const uint64_t offset = rng_() % opt_.volumeBytes;
    const uint64_t length = std::min(1 + rng_() % (4 * kBlockSize), opt_.volumeBytes - offset);
    driver_->RecordWrite(kVolume, offset, length);
    if (i < kShown) {
      std::printf(
          "  write %5llu bytes at %llu: blocks %s\n", static_cast<unsigned long long>(length),
          static_cast<unsigned long long>(offset),
          kqtools::ExtentText(offset / kBlockSize, (offset + length - 1) / kBlockSize).c_str());
    } else if (i == kShown) {
      std::printf("  ... and %llu more writes\n", static_cast<unsigned long long>(count - kShown));
    }
  }
  return true;
}

bool Demo::CheckFile(const std::string& suffix, unsigned header, const Bytes& bitmap) {
  const Bytes bytes = ReadFile(Path(suffix));
  return Check(
      !bytes.empty() && bytes[0] == header && Bytes(bytes.begin() + 1, bytes.end()) == bitmap,
      BaseName(Path(suffix)) + " does not hold what it should");
}

bool Demo::Backup() {
  std::printf(
      "  fetches and clears the driver's incremental bitmap in one step, ORs the backup\n"
      "  file into it and saves the result there; the bits as fetched go to the restart file\n");
  const Bytes fetched = Driver(KQV_BITMAP_INCR);
  const Bytes before = FileBitmap(Path("backup"));
  if (!Called(R"(DoBitmapFormalities(KQV_BITMAP_INCR, "backup", "restart", false))",
              ops_->DoBitmapFormalities(KQV_BITMAP_INCR, "backup", "restart", false))) {
    return false;
  }
  std::printf("  taken over from the driver: %s\n", Blocks(fetched).c_str());
  return CheckFile("backup", config_.bitmapHeader, Or(fetched, before)) &&
         CheckFile("restart", config_.bitmapHeader, fetched) &&
         Check(AllZero(Driver(KQV_BITMAP_INCR)), "the driver's incremental bitmap was not cleared");
}

bool Demo::Query() {
  std::printf(
      "  GetBitMap ORs the backup file with the driver's bitmap into a buffer for the job;\n"
      "  it clears nothing and writes no file\n");
  const Bytes file = FileBitmap(Path("backup"));
  const Bytes driver = Driver(KQV_BITMAP_INCR);
  unsigned char* merged = nullptr;
  const bool ok = ops_->GetBitMap(KQV_BITMAP_INCR, "backup", bitmapBytes_, &merged);
  std::unique_ptr<unsigned char[]> owned(merged);
  if (!Called(
          "GetBitMap(KQV_BITMAP_INCR, \"backup\", " + std::to_string(bitmapBytes_) + ", &merged)",
          ok)) {
    return false;
  }
  std::printf("  merged: %s\n", Blocks(merged, bitmapBytes_).c_str());
  return Check(Bytes(merged, merged + bitmapBytes_) == Or(driver, file),
               "the merged bitmap is not the file's bits OR the driver's") &&
         Check(Driver(KQV_BITMAP_INCR) == driver, "the driver's bitmap changed");
}

bool Demo::Dump() {
  std::printf(
      "  DoBitmapDump ORs the driver's bitmap into the incr-tmp dump file, clearing nothing\n");
  const Bytes driver = Driver(KQV_BITMAP_INCR);
  return Called("DoBitmapDump(KQV_BITMAP_INCR, \"" + std::string(kVolume) + "\", false)",
                ops_->DoBitmapDump(KQV_BITMAP_INCR, kVolume, false)) &&
         CheckFile("incr-tmp", config_.dumpHeader, driver) &&
         Check(Driver(KQV_BITMAP_INCR) == driver, "the driver's bitmap changed");
}

bool Demo::Level2() {
  std::printf(
      "  the dump left the object's default file name on the dump file: name the\n"
      "  default file again, which does not exist, so level 2 saves (header byte 0)\n"
      "  the incremental bitmap there and clears the aux bitmap\n");
  const Bytes incr = Driver(KQV_BITMAP_INCR);
  return Called("MutateDefaultBitMapFileName(\"\")", ops_->MutateDefaultBitMapFileName("")) &&
         Called("ManipulateBitmap(0, BKP_LEVEL_SAVE_INCR_BM, \"\")",
                ops_->ManipulateBitmap(0, BKP_LEVEL_SAVE_INCR_BM, "")) &&
         CheckFile("", 0, incr) &&
         Check(AllZero(Driver(KQV_BITMAP_AUX)), "the aux bitmap was not cleared");
}

bool Demo::Level1() {
  std::printf("  level 1 deletes the default bitmap file and clears the aux bitmap\n");
  return Called("ManipulateBitmap(0, BKP_LEVEL_DELETE_BM, \"\")",
                ops_->ManipulateBitmap(0, BKP_LEVEL_DELETE_BM, "")) &&
         Check(!Exists(Path("")), BaseName(Path("")) + " was not deleted");
}

bool Demo::Level4() {
  std::printf(
      "  level 4 saves the full bitmap (every write so far) to the default file and\n"
      "  clears nothing\n");
  const Bytes aux = Driver(KQV_BITMAP_AUX);
  return Called("ManipulateBitmap(0, BKP_LEVEL_SAVE_FULL_BM, \"\")",
                ops_->ManipulateBitmap(0, BKP_LEVEL_SAVE_FULL_BM, "")) &&
         CheckFile("", 0, Driver(KQV_BITMAP_FULL)) &&
         Check(Driver(KQV_BITMAP_AUX) == aux, "the aux bitmap changed");
}

bool Demo::Failure() {
  std::printf(
      "  a failure file has every bit set and no header byte: the next backup copies\n"
      "  every block\n");
  const std::string path = Path("failure");
  headerless_.insert(BaseName(path));
  return Called("SaveFileForFailure(KQV_BITMAP_INCR, " + std::to_string(bitmapBytes_) + ", \"" +
                    BaseName(path) + "\")",
                ops_->SaveFileForFailure(KQV_BITMAP_INCR, bitmapBytes_, path)) &&
         Check(ReadFile(path) == Bytes(bitmapBytes_, 0xFF), BaseName(path) + " is not all ones");
}

void Demo::ShowDriver() const {
  const char* names[] = {"incremental", "full", "aux"};
  const Bytes bitmaps[] = {Driver(KQV_BITMAP_INCR), Driver(KQV_BITMAP_FULL),
                           Driver(KQV_BITMAP_AUX)};
  std::printf("  driver bitmaps, changed blocks:\n");
  for (int i = 0; i < 3; ++i) {
    std::string text = Blocks(bitmaps[i]);
    for (int j = 0; j < i; ++j) {
      if (bitmaps[j] == bitmaps[i] && !AllZero(bitmaps[i]))
        text = std::string("same as ") + names[j];
    }
    std::printf("    %-12s %s\n", names[i], text.c_str());
  }
}

void Demo::ShowFiles() {
  std::map<std::string, Bytes> now;
  if (DIR* d = ::opendir(opt_.dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      Bytes bytes = ReadFile(opt_.dir + "/" + name);
      // Idle lock files (".kqlock": empty, or naming the volume that owns
      // the file) are bookkeeping, not bitmaps.
      const std::string text(bytes.begin(), bytes.end());
      const bool ownerOnly = text.rfind("owner=", 0) == 0 && text.find('\n') == text.size() - 1;
      const bool idleLock = name.size() > 7 && name.rfind(".kqlock") == name.size() - 7;
      if (!idleLock || !(bytes.empty() || ownerOnly)) now[name] = std::move(bytes);
    }
    ::closedir(d);
  }
  std::printf("  files:%s\n", now.empty() && files_.empty() ? " none" : "");
  // Columns as wide as their widest entry.
  std::size_t nameWidth = 0;
  std::size_t sizeWidth = 0;
  std::size_t bitsWidth = 0;
  std::map<std::string, uint64_t> bits;
  for (const auto& file : now) {
    const bool headerless = headerless_.count(file.first) != 0 || file.second.empty();
    bits[file.first] = SetBits(file.second, headerless ? 0 : 1);
    nameWidth = std::max(nameWidth, file.first.size());
    sizeWidth = std::max(sizeWidth, std::to_string(file.second.size()).size());
    bitsWidth = std::max(bitsWidth, std::to_string(bits[file.first]).size());
  }
  for (const auto& file : files_) {
    if (now.count(file.first) == 0) std::printf("  - %s deleted\n", file.first.c_str());
  }
  for (const auto& file : now) {
    const std::string& name = file.first;
    const Bytes& bytes = file.second;
    auto old = files_.find(name);
    const char mark = old == files_.end() ? '+' : old->second != bytes ? '*' : ' ';
    const bool headerless = headerless_.count(name) != 0;
    char header[16];
    if (headerless || bytes.empty()) {
      std::snprintf(header, sizeof header, "%s", headerless ? "no header" : "empty");
    } else {
      std::snprintf(header, sizeof header, "header 0x%02x", bytes[0]);
    }
    const std::size_t from = headerless || bytes.empty() ? 0 : 1;
    std::printf("  %c %-*s  %*zu bytes  %-11s  %*llu bits: %s\n", mark, static_cast<int>(nameWidth),
                name.c_str(), static_cast<int>(sizeWidth), bytes.size(), header,
                static_cast<int>(bitsWidth), static_cast<unsigned long long>(bits[name]),
                Blocks(bytes.data() + from, bytes.size() - from).c_str());
  }
  files_ = std::move(now);
}

void Demo::ShowLog() {
  if (!log_) return;
  const std::vector<kqlog::Entry> entries = log_->entries();
  log_->clear();
  if (!entries.empty()) std::printf("  log:\n");
  for (const kqlog::Entry& e : entries) {
    if (e.kind == kqlog::Entry::Kind::Break) {
      std::printf("    debug break %s\n", e.text.c_str());
    } else if (opt_.logLevel > 1) {
      std::printf("    L%d [%s] %s\n", e.level, e.tag.c_str(), e.text.c_str());
    } else {
      std::printf("    [%s] %s\n", e.tag.c_str(), e.text.c_str());
    }
  }
}

std::string SelfDir() {
  char path[4096];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return "";
  std::string self(path, static_cast<std::size_t>(n));
  return self.substr(0, self.rfind('/'));
}

int UsageError(const std::string& message) {
  std::fprintf(stderr, "kqdemo: %s (kqdemo --help shows the options)\n", message.c_str());
  return kUsageError;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::string volumeSize = "1M";
  std::string writes = "8";
  std::string seed = "1";
  std::string level = "1";
  kqtools::ArgReader args(argc, argv);
  while (!args.done()) {
    if (args.Flag("-h") || args.Flag("--help")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!args.Option("--volume-size", &volumeSize) && !args.Option("--writes", &writes) &&
        !args.Option("--seed", &seed) && !args.Option("--log-level", &level) &&
        !args.Option("--dir", &opt.dir)) {
      return UsageError(std::string("unknown argument '") + args.peek() + "'");
    }
    if (!args.error().empty()) return UsageError(args.error());
  }
  if (!kqtools::ParseSize(volumeSize, &opt.volumeBytes) || opt.volumeBytes < kBlockSize ||
      opt.volumeBytes > (uint64_t{1} << 40) || opt.volumeBytes % kBlockSize != 0) {
    return UsageError("bad --volume-size '" + volumeSize + "' (4K to 1T, a multiple of 4K)");
  }
  if (!kqtools::ParseSize(writes, &opt.writes) || opt.writes > 10000000) {
    return UsageError("bad --writes '" + writes + "' (0 to 10000000)");
  }
  if (!kqtools::ParseSize(seed, &opt.seed)) return UsageError("bad --seed '" + seed + "'");
  if (level != "0" && level != "1" && level != "2") {
    return UsageError("bad --log-level '" + level + "' (0, 1 or 2)");
  }
  opt.logLevel = level[0] - '0';

  std::string problem = PrepareDir(&opt.dir);
  if (!problem.empty()) {
    std::fprintf(stderr, "kqdemo: %s\n", problem.c_str());
    return kUsageError;
  }

  Demo demo(opt);
  bool ok = false;
  std::string reason;
  try {
    ok = demo.Run();
    reason = demo.error();
  } catch (const std::exception& e) {
    reason = std::string("unexpected exception: ") + e.what();
  }
  if (!ok) {
    std::fflush(stdout);
    std::fprintf(stderr, "kqdemo: %s\n", reason.c_str());
    return kStepFailed;
  }

  std::string kqbitmap = SelfDir() + "/kqbitmap";
  if (::access(kqbitmap.c_str(), X_OK) != 0) kqbitmap = "kqbitmap";
  std::printf("\nDone: every step did what it should.\n");
  std::printf("The files are kept in %s. Look at one with\n", opt.dir.c_str());
  std::printf("  %s show %s/.%s_backup --block-size %llu\n", kqbitmap.c_str(), opt.dir.c_str(),
              BaseName(kVolume).c_str(), static_cast<unsigned long long>(kBlockSize));
  return 0;
}
