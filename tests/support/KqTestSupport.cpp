#include "KqTestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>

namespace kqtest {

namespace {
void RemoveTree(const std::string& path) {
  struct stat st {};
  if (lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    chmod(path.c_str(), 0700);  // a test may have made it read-only
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(d);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}
}  // namespace

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string tmpl = std::string(base && *base ? base : "/tmp") + "/kqtest.XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TempDir::~TempDir() { RemoveTree(path_); }

std::vector<std::string> TempDir::list() const {
  std::vector<std::string> names;
  if (DIR* d = opendir(path_.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      // Idle lock files (empty, or naming their owner) are the library's
      // bookkeeping; one that still holds a take-over record is listed.
      const bool idleLock = name.size() > 7 && name.compare(name.size() - 7, 7, ".kqlock") == 0 &&
                            LockRecord(path_ + "/" + name).empty();
      if (name != "." && name != ".." && !idleLock) names.push_back(name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string LockRecord(const std::string& lockFile) {
  struct stat st {};
  if (lstat(lockFile.c_str(), &st) != 0) return {};
  if (!S_ISREG(st.st_mode)) return "?";  // read, a FIFO would block
  const Bytes bytes = ReadAll(lockFile);
  std::string text(bytes.begin(), bytes.end());
  if (text.rfind("owner=", 0) == 0 && text.find('\n') != std::string::npos) {
    text.erase(0, text.find('\n') + 1);
  }
  return text;
}

DirOps::DirOps(std::string dir, const std::string& volumeName)
    : KQBitMapOps(volumeName, nullptr), dir_(std::move(dir)) {
  // The base constructor named the file with its own naming; rename it here.
  SetVolName(volumeName);
}

std::string DirOps::PrepareAbsoluteBitmapFileName(std::string nameSuffix, char* reserved) {
  static const std::string kPrefix = "/etc/tessel/";
  std::string name = KQBitMapOps::PrepareAbsoluteBitmapFileName(std::move(nameSuffix), reserved);
  if (name.compare(0, kPrefix.size(), kPrefix) != 0) return name;
  return dir_ + "/" + name.substr(kPrefix.size());
}

bool FaultyOps::SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                             std::string fileName) {
  if (throwSave) throw std::runtime_error("save blew up");
  if (releaseInSave) {
    ClearBMOnDriver(KQV_BITMAP_AUX);
    return false;
  }
  return !failSave && DirOps::SaveBMToFile(bitmap, size, header, std::move(fileName));
}

bool FaultyOps::ReadBMFromFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                               std::string fileName) {
  if (throwRead) throw std::runtime_error("read blew up");
  return !failRead && DirOps::ReadBMFromFile(bitmap, size, header, std::move(fileName));
}

bool FaultyOps::MergeBM(unsigned char* t, unsigned long ts, unsigned char* o, unsigned long os) {
  if (throwMerge) throw std::runtime_error("merge blew up");
  return !failMerge && DirOps::MergeBM(t, ts, o, os);
}

bool FaultyOps::GetAndClearBMFromDriver(KQVBitmapType type, unsigned char** bitmap,
                                        unsigned long* size, bool flag,
                                        const std::string& displayName) {
  const bool got = DirOps::GetAndClearBMFromDriver(type, bitmap, size, flag, displayName);
  return got && !failAfterFetch;
}

std::string FaultyOps::PrepareAbsoluteBitmapFileName(std::string suffix, char* reserved) {
  if (suffix == refuse) return std::string();
  return DirOps::PrepareAbsoluteBitmapFileName(std::move(suffix), reserved);
}

Bytes Bits(std::initializer_list<int> bits, size_t size) {
  Bytes b(size);
  for (int n : bits) b[n / 8] |= static_cast<unsigned char>(1u << (n % 8));
  return b;
}

Bytes File(unsigned char header, Bytes bitmap) {
  bitmap.insert(bitmap.begin(), header);
  return bitmap;
}

Bytes Random(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(gen());
  return b;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::string BitmapPath(const std::string& dir, const std::string& volume,
                       const std::string& suffix) {
  return dir + "/." + volume.substr(volume.rfind('/') + 1) + "_" + suffix;
}

std::string Line(const std::string& tag, const std::string& text, int level) {
  return tag + "|" + std::to_string(level) + "|" + text;
}

void ExpectTail(const std::vector<std::string>& lines,
                const std::vector<::testing::Matcher<const std::string&>>& tail) {
  ASSERT_GE(lines.size(), tail.size());
  EXPECT_THAT(std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()),
              ::testing::ElementsAreArray(tail));
}

void KqFixture::ResetVolume(uint64_t fullSize, uint64_t auxSize) {
  driver->ClearFaults();
  kqsim::VolumeConfig cfg;
  cfg.bytes = kBitmapBytes * 8 * cfg.blockSize;
  cfg.fullSize = fullSize;
  cfg.auxSize = auxSize;
  driver->AddVolume(kVolume, cfg);
}

void KqFixture::ExpectDefaultName(DirOps& o, const std::string& file) {
  unsigned char header = 7, byte = 0;
  ASSERT_TRUE(o.DirOps::SaveBMToFile(&byte, 1, &header, ""));
  EXPECT_EQ(ReadAll(file), (Bytes{7, 0}));
}

void KqFixture::SetUp() {
  driver = kqsim::SimDriver::Install();
  ResetVolume();
  // Constructing logs one untagged line; keep it off the test's output.
  const int level = kqlog::Level();
  kqlog::SetLevel(0);
  ops = std::make_unique<DirOps>(dir.path(), kVolume);
  kqlog::SetLevel(level);
  log = std::make_unique<kqlog::Capture>(2);
}

void KqFixture::TearDown() {
  log.reset();
  ops.reset();
  driver.reset();
}

}  // namespace kqtest
