// DoBitmapDump: driver bitmaps accumulated into the incremental or full dump
// file, optionally taken off the driver, without losing a change.
#include <gmock/gmock.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

#include "KqTestSupport.h"

namespace {

using kqsim::Op;
using kqtest::Bits;
using kqtest::Bytes;
using kqtest::File;
using kqtest::Line;
using kqtest::ReadAll;
using kqtest::WriteAll;
using ::testing::ElementsAreArray;
using ::testing::StartsWith;
using Matchers = std::vector<::testing::Matcher<const std::string&>>;

constexpr const char* kTag = "KQVIProxyScan::DoBitmapDump";
constexpr const char* kMutate = "KQBitMapOps::MutateDefaultBitMapFileName";

Bytes Or(Bytes a, const Bytes& b) {
  for (size_t i = 0; i < a.size() && i < b.size(); ++i) a[i] |= b[i];
  return a;
}

class Faulty : public kqtest::DirOps {
 public:
  using DirOps::DirOps;
  bool failSave = false, throwSave = false, failMerge = false, fetchInSave = false;

  bool SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                    std::string fileName) override {
    if (throwSave) throw std::runtime_error("save blew up");
    if (fetchInSave) {  // a replaced step that uses (and so releases) the volume object
      unsigned char* scratch = nullptr;
      unsigned long scratchSize = 0;
      GetBMFromDriver(KQV_BITMAP_FULL, &scratch, &scratchSize, false);
      delete[] scratch;
      return false;
    }
    return !failSave && DirOps::SaveBMToFile(bitmap, size, header, std::move(fileName));
  }
  bool MergeBM(unsigned char* t, unsigned long ts, unsigned char* o, unsigned long os) override {
    return !failMerge && DirOps::MergeBM(t, ts, o, os);
  }
};

class Dump : public kqtest::KqFixture {
 protected:
  void SetUp() override {
    KqFixture::SetUp();
    Reset();
  }
  void TearDown() override {
    faulty.reset();
    KqFixture::TearDown();
  }
  void Reset(kqsim::VolumeConfig cfg = {}) {
    driver->ClearFaults();
    cfg.bytes = kBitmapBytes * 8 * cfg.blockSize;
    driver->AddVolume(kVolume, cfg);
    driver->ClearCalls();
    faulty = std::make_unique<Faulty>(dir.path(), kVolume);
    for (const std::string& name : dir.list()) unlink(dir.file(name).c_str());
    log->clear();
  }
  void Write(int block) { driver->RecordWrite(kVolume, uint64_t(block) * 4096, 1); }
  Bytes Driver(KQVBitmapType type = KQV_BITMAP_INCR) { return driver->Bitmap(kVolume, type); }
  // The file an empty-name save goes to now.
  std::string DefaultName() {
    unsigned char header = 0;
    faulty->DirOps::SaveBMToFile(&header, 0, &header, "");
    std::vector<std::string> names = dir.list();
    for (const std::string& n : names) {
      if (ReadAll(dir.file(n)) == Bytes{0}) {
        unlink(dir.file(n).c_str());
        return dir.file(n);
      }
    }
    return "";
  }
  std::string incr() const { return suffixFile("incr-tmp"); }

  std::unique_ptr<Faulty> faulty;
};

TEST_F(Dump, AccumulatesIntoTheFileOfTheType) {
  const std::pair<int, std::string> cases[] = {{0, "incr-tmp"}, {1, "full-tmp"}, {2, "full-tmp"}};
  for (const auto& [t, suffix] : cases) {
    SCOPED_TRACE(t);
    Reset();
    const auto type = static_cast<KQVBitmapType>(t);
    const std::string file = suffixFile(suffix);
    Write(1);
    ASSERT_TRUE(faulty->DoBitmapDump(type, kVolume, false));
    EXPECT_EQ(ReadAll(file), File(0xA5, Bits({1})));
    EXPECT_EQ(Driver(type), Bits({1}));

    Write(4);
    WriteAll(file, File(0x11, Bits({1, 100})));  // a stored header byte is not kept
    ASSERT_TRUE(faulty->DoBitmapDump(type, kVolume, true));
    EXPECT_EQ(ReadAll(file), File(0xA5, Bits({1, 4, 100})));
    EXPECT_EQ(Driver(type), Bits({}));

    Write(6);
    ASSERT_TRUE(faulty->DoBitmapDump(type, kVolume, false));
    EXPECT_EQ(ReadAll(file), File(0xA5, Bits({1, 4, 6, 100})));
    EXPECT_EQ(Driver(type), Bits({6}));

    EXPECT_EQ(driver->CallCount(Op::GetBitmap), 2);
    EXPECT_EQ(driver->CallCount(Op::GetAndClearBitmap), 1);
    EXPECT_EQ(driver->CallCount(Op::ClearBitmap), 0);
    EXPECT_EQ(driver->CallCount(Op::Construct), 1);  // one volume object, kept
    EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 1);
    EXPECT_EQ(dir.list(), std::vector<std::string>{".sda1_" + suffix});
    EXPECT_EQ(DefaultName(), file);
  }
}

TEST_F(Dump, LogsEachStep) {
  const std::string save = Line("KQBitMapOps::SaveBMToFile", "Saving bitmap to " + incr());
  const std::vector<std::string> first = {
      Line(kMutate, "Modified DefaultBitmapFileName = " + incr()),
      Line(kTag, "Trying to get Bitmap  From Driver  for Vol /dev/sda1 "), save,
      Line(kTag, "Saved Bitmap for /dev/sda1")};
  std::vector<std::string> second = first;
  second.insert(second.begin() + 1,
                Line(kTag, "Read Existing Image EKT Bitmap of Volume /dev/sda1 "));
  ASSERT_TRUE(faulty->DoBitmapDump(KQV_BITMAP_INCR, kVolume, true));
  EXPECT_EQ(log->lines(), first);
  log->clear();
  ASSERT_TRUE(faulty->DoBitmapDump(KQV_BITMAP_INCR, kVolume, true));
  EXPECT_EQ(log->lines(), second);
}

TEST_F(Dump, FailuresChangeOnlyWhatTheyMust) {
  struct Args {
    KQVBitmapType type = KQV_BITMAP_INCR;
    std::string volume = kVolume;
    bool clear = true;
  };
  enum Stage { NoHandle, Early, Named };  // how far it got: volume object made, file named
  enum Fate { Kept, Dirty, Cleared };     // the driver's bitmap: bit 1, all ones, or nothing
  struct Case {
    const char* what;
    std::function<void(Args&)> arm;
    Matchers tail;
    Stage stage = Named;
    Fate bits = Kept;
  };
  const std::string fetchFailed = Line(kTag, "GetBMFromDriver failed for /dev/sda1");
  const std::string saveFailed = Line(kTag, "SaveBMToFile failed for /dev/sda1");
  const std::string gaveBack =
      Line(kTag, "Gave the fetched bitmap back to the driver for /dev/sda1");
  // clang-format off
  const Case cases[] = {
      {"getVolName fails", [&](Args&) { driver->FailAt(Op::GetVolName); },
       {Line(kTag, "Failed to get volnamepath for=/dev/sda1")}, NoHandle},
      {"unknown volume", [](Args& a) { a.volume = "/dev/nope"; },
       {Line(kTag, "Failed to get volnamepath for=/dev/nope")}, NoHandle},
      {"volume object not valid", [&](Args&) { driver->FailAt(Op::IsValid); },
       {Line("KQBitMapOps::InitAndValidateVolObject", "Failed to create KQVolume object"),
        Line(kTag, "Failed to initialize KQVolume")}, Early},
      {"volume information", [&](Args&) { driver->FailAt(Op::GetVolInfo); },
       {Line(kTag, "Failed to get volume information")}, Early},
      {"full and incremental sizes differ",
       [&](Args&) {
         kqsim::VolumeConfig cfg;
         cfg.fullSize = 32;
         Reset(cfg);
         WriteAll(incr(), File(0x11, Bits({100})));
       },
       {Line(kTag, "Full bitmap size 32 differs from incremental size 16. Cannot dump /dev/sda1")},
       Early},
      {"short dump file", [&](Args&) { WriteAll(incr(), Bytes{0x11, 1}); },
       {Line(kMutate, "Modified DefaultBitmapFileName = " + incr()),
        StartsWith(Line("KQBitMapOps::ReadBMFromFile", "Failed to read from file=" + incr())),
        Line(kTag, "Error Reading Existing Image EKT Bitmapof Volume /dev/sda1")}},
      {"fetch-and-clear fails", [&](Args&) { driver->FailAt(Op::GetAndClearBitmap); },
       {fetchFailed}},
      {"fetch fails", [&](Args& a) { driver->FailAt(Op::GetBitmap); a.clear = false; },
       {fetchFailed}},
      {"unknown type", [](Args& a) { a.type = static_cast<KQVBitmapType>(3); }, {fetchFailed}},
      {"merge refused", [&](Args&) { faulty->failMerge = true; },
       {Line(kTag, "MergeBM failed for /dev/sda1"), gaveBack}},
      {"save refused", [&](Args&) { faulty->failSave = true; }, {saveFailed, gaveBack}},
      {"save refused without clearing",
       [&](Args& a) { faulty->failSave = true; a.clear = false; }, {saveFailed}},
      {"give-back marks dirty",
       [&](Args&) { faulty->failSave = true; driver->FailAt(Op::MergeBitmap); },
       {saveFailed, Line(kTag, "Marked the driver bitmap dirty for /dev/sda1")}, Named, Dirty},
      {"give-back fails",
       [&](Args&) {
         faulty->failSave = true;
         driver->FailAt(Op::MergeBitmap);
         driver->FailAt(Op::MarkBitmapDirty);
       },
       {saveFailed, Line(kTag, "Failed to give the fetched bitmap back to the driver for "
                               "/dev/sda1: injected failure of MarkBitmapDirty")},
       Named, Cleared},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    WriteAll(incr(), File(0x11, Bits({100})));
    Args a;
    c.arm(a);
    Write(1);
    const Bytes before = ReadAll(incr());
    log->clear();
    EXPECT_FALSE(faulty->DoBitmapDump(a.type, a.volume, a.clear));
    const std::vector<std::string> lines = log->lines();
    ASSERT_GE(lines.size(), c.tail.size());
    EXPECT_THAT(
        std::vector<std::string>(lines.end() - static_cast<long>(c.tail.size()), lines.end()),
        ElementsAreArray(c.tail));
    EXPECT_EQ(driver->CallCount(Op::Construct), c.stage == NoHandle ? 0 : 1);
    const Bytes bits = Driver();
    if (c.bits == Kept) {  // bit 1 back on the driver; what the file held may come along
      EXPECT_EQ(Or(bits, Bits({1})), bits);
      EXPECT_EQ(Or(bits, Bits({1, 100})), Bits({1, 100}));
    } else {
      EXPECT_EQ(bits, Bytes(16, c.bits == Dirty ? 0xFF : 0));
    }
    EXPECT_EQ(ReadAll(incr()), before);
    EXPECT_EQ(dir.list(), std::vector<std::string>{".sda1_incr-tmp"});
    if (c.stage != Named) {
      EXPECT_EQ(driver->CallCount(Op::GetBitmap) + driver->CallCount(Op::GetAndClearBitmap), 0);
    }
    EXPECT_EQ(DefaultName(), c.stage != Named            ? defaultFile()
                             : a.type == KQV_BITMAP_INCR ? incr()
                                                         : suffixFile("full-tmp"));
  }
}

TEST_F(Dump, WriteBetweenFetchAndClearIsNeverLost) {
  for (bool clear : {true, false}) {
    SCOPED_TRACE(clear);
    Reset();
    const Op fetch = clear ? Op::GetAndClearBitmap : Op::GetBitmap;
    driver->SetHook(fetch, [this] { Write(5); });
    Write(1);
    ASSERT_TRUE(faulty->DoBitmapDump(KQV_BITMAP_INCR, kVolume, clear));
    driver->SetHook(fetch, nullptr);
    EXPECT_EQ(ReadAll(incr()), File(0xA5, Bits({1})));
    EXPECT_EQ(Driver(), clear ? Bits({5}) : Bits({1, 5}));
  }
}

TEST_F(Dump, ExceptionAfterAClearingFetchGivesTheBitsBack) {
  faulty->throwSave = true;
  Write(1);
  EXPECT_THROW(faulty->DoBitmapDump(KQV_BITMAP_INCR, kVolume, true), std::runtime_error);
  EXPECT_EQ(Driver(), Bits({1}));
}

TEST_F(Dump, GivesTheBitsBackEvenAfterAStepReleasedTheVolumeObject) {
  faulty->fetchInSave = true;
  Write(3);
  EXPECT_FALSE(faulty->DoBitmapDump(KQV_BITMAP_INCR, kVolume, true));
  EXPECT_EQ(Driver(), Bits({3}));
  EXPECT_EQ(log->lines().back(),
            Line(kTag, "Gave the fetched bitmap back to the driver for /dev/sda1"));
}

TEST_F(Dump, ClearingALargerBitmapKeepsWhatTheDumpCannotHold) {
  kqsim::VolumeConfig cfg;
  cfg.auxSize = 32;
  Reset(cfg);
  Write(1);
  Write(200);  // beyond the 16 bytes a dump holds
  // Refusing the dump or leaving those bits on the driver both keep them.
  if (faulty->DoBitmapDump(KQV_BITMAP_AUX, kVolume, true)) {
    EXPECT_EQ(ReadAll(suffixFile("full-tmp")), File(0xA5, Bits({1})));
  }
  EXPECT_EQ(Driver(KQV_BITMAP_AUX)[25], 1);
}

}  // namespace
