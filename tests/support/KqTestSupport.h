// Test support: temporary directories, an object whose bitmap files live in
// one, a simulated driver with one volume, and the log capture.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <KqLogControl.h>
#include <KQVolumeSim.h>
#include <kqbitmapops/KQBitMapOps.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace kqtest {

using Bytes = std::vector<unsigned char>;

// A fresh directory, removed with everything in it at destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the directory, sorted.
  std::vector<std::string> list() const;

 private:
  std::string path_;
};

// Keeps every bitmap file name the library composes, but in `dir` instead of
// /etc/tessel/: the naming slot is the extension point for this.
class DirOps : public KQBitMapOps {
 public:
  DirOps(std::string dir, const std::string& volumeName);
  std::string PrepareAbsoluteBitmapFileName(std::string nameSuffix, char* reserved) override;
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

// Steps a derived class replaces: saves, reads and merges fail or throw on
// request, and the naming refuses one suffix.
class FaultyOps : public DirOps {
 public:
  using DirOps::DirOps;
  bool SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                    std::string fileName) override;
  bool ReadBMFromFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                      std::string fileName) override;
  bool MergeBM(unsigned char* t, unsigned long ts, unsigned char* o, unsigned long os) override;
  bool GetAndClearBMFromDriver(KQVBitmapType type, unsigned char** bitmap, unsigned long* size,
                               bool flag, const std::string& displayName) override;
  std::string PrepareAbsoluteBitmapFileName(std::string suffix, char* reserved) override;

  bool failSave = false, throwSave = false, failRead = false, throwRead = false;
  bool failMerge = false, throwMerge = false;
  bool failAfterFetch = false;  // the fetch-and-clear does its work, then says it failed
  bool releaseInSave = false;   // the save uses (and so releases) the volume object, then fails
  std::string refuse = "\x01";
};

// A bitmap of `size` bytes with the given bits set (bit n: byte n / 8, mask 1 << n % 8).
Bytes Bits(std::initializer_list<int> bits, size_t size = 16);
// The bytes of a bitmap file: the header byte, then the bitmap.
Bytes File(unsigned char header, Bytes bitmap);
// `n` bytes drawn from `seed`.
Bytes Random(std::size_t n, unsigned seed);

bool Exists(const std::string& path);
// The take-over record a lock file holds, after its owner line ("" for none).
std::string LockRecord(const std::string& lockFile);
Bytes ReadAll(const std::string& path);
void WriteAll(const std::string& path, const Bytes& bytes);
// The default-suffix, "incr-tmp" ... file of `volume` in `dir`: dir + "/." + last component + "_" +
// suffix.
std::string BitmapPath(const std::string& dir, const std::string& volume,
                       const std::string& suffix = "_YBVolBitmap");
// "tag|level|text" for a Debug line at level 1 (the form of kqlog::Capture::lines()).
std::string Line(const std::string& tag, const std::string& text, int level = 1);
// The last lines of `lines` match `tail`, in order.
void ExpectTail(const std::vector<std::string>& lines,
                const std::vector<::testing::Matcher<const std::string&>>& tail);

// Fixture: a temp dir, a simulated driver at /dev/zrbf/ctrl with the volume
// "/dev/sda1" (bitmaps of kBitmapBytes bytes each), and a log capture at level 2
// started after the object was made.
class KqFixture : public ::testing::Test {
 protected:
  static constexpr unsigned long kBitmapBytes = 16;
  static constexpr const char* kVolume = "/dev/sda1";

  void SetUp() override;
  void TearDown() override;

  std::string defaultFile() const { return BitmapPath(dir.path(), kVolume); }
  std::string suffixFile(const std::string& suffix) const {
    return BitmapPath(dir.path(), kVolume, suffix);
  }
  // A write of one byte to `block` (4 KiB blocks).
  void Write(int block) { driver->RecordWrite(kVolume, uint64_t(block) * 4096, 1); }
  Bytes Driver(KQVBitmapType type = KQV_BITMAP_INCR) const { return driver->Bitmap(kVolume, type); }
  // The volume afresh, without faults: 16-byte bitmaps, but for the full and aux sizes given.
  void ResetVolume(uint64_t fullSize = 0, uint64_t auxSize = 0);
  // An empty-name save by `o` afterwards lands in `file`.
  static void ExpectDefaultName(DirOps& o, const std::string& file);

  TempDir dir;
  std::shared_ptr<kqsim::SimDriver> driver;
  std::unique_ptr<DirOps> ops;
  std::unique_ptr<kqlog::Capture> log;
};

}  // namespace kqtest
