// DoBitmapFormalities: taking a volume's changes over from the driver for a
// backup, and that no change is lost on any way out of it.
#include <gmock/gmock.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

#include "KqTestSupport.h"

namespace {

using kqlog::Entry;
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

constexpr const char* kTag = "KQBitMapOps::DoBitmapFormalities";
constexpr const char* kMutate = "KQBitMapOps::MutateDefaultBitMapFileName";
constexpr const char* kSave = "KQBitMapOps::SaveBMToFile";
constexpr const char* kWriteBack = "KQBitMapOps::MergeAndWriteBMOntoDriver";
constexpr const char* kGaveBack = "Gave the bitmap from driver back to the driver";
const std::vector<std::string> kBreaks = {
    "/tmp/DoBitMap.afterentering", "/tmp/DoBitMap.afterwritingmergedbm",
    "/tmp/DoBitMap.afterwritingresterbm", "/tmp/DoBitMap.beforereturn"};

// Steps a derived class can replace: the n-th save fails or throws, and the
// naming refuses one suffix.
class Faulty : public kqtest::DirOps {
 public:
  using DirOps::DirOps;
  int failSave = 0;
  int throwSave = 0;
  std::string refuse = "\x01";

  bool SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                    std::string fileName) override {
    ++saves_;
    if (saves_ == throwSave) throw std::runtime_error("save blew up");
    if (saves_ == failSave) return false;
    return DirOps::SaveBMToFile(bitmap, size, header, std::move(fileName));
  }
  std::string PrepareAbsoluteBitmapFileName(std::string suffix, char* reserved) override {
    if (suffix == refuse) return std::string();
    return DirOps::PrepareAbsoluteBitmapFileName(std::move(suffix), reserved);
  }

 private:
  int saves_ = 0;
};

class Formalities : public kqtest::KqFixture {
 protected:
  void SetUp() override {
    KqFixture::SetUp();
    Reset();
  }
  void TearDown() override {
    faulty.reset();
    KqFixture::TearDown();
  }
  // Fresh driver volume, object and directory; bitmap file "bm" seeded with bit 100.
  void Reset(kqsim::VolumeConfig cfg = {}) {
    driver->ClearFaults();
    cfg.bytes = kBitmapBytes * 8 * cfg.blockSize;
    driver->AddVolume(kVolume, cfg);
    faulty = std::make_unique<Faulty>(dir.path(), kVolume);
    for (const std::string& name : dir.list()) unlink(dir.file(name).c_str());
    WriteAll(bm(), File(0x11, Bits({100})));
    log->clear();
  }
  void Write(int block) { driver->RecordWrite(kVolume, uint64_t(block) * 4096, 1); }
  Bytes Driver(KQVBitmapType type = KQV_BITMAP_INCR) { return driver->Bitmap(kVolume, type); }
  std::string bm() const { return suffixFile("bm"); }
  std::vector<std::string> Tail(size_t n) const {
    std::vector<std::string> l = log->lines();
    return {l.end() - static_cast<long>(std::min(n, l.size())), l.end()};
  }

  std::unique_ptr<Faulty> faulty;
};

TEST_F(Formalities, IncrementalCycleKeepsTheUnionAndTheRestartCopy) {
  Write(1);
  Write(9);
  ASSERT_TRUE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));
  EXPECT_EQ(ReadAll(bm()), File(0x5A, Bits({1, 9, 100})));  // old header byte replaced
  EXPECT_EQ(ReadAll(suffixFile("restart")), File(0x5A, Bits({1, 9})));
  EXPECT_EQ(Driver(), Bits({}));
  EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 0);

  Write(2);
  Write(9);
  ASSERT_TRUE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));
  EXPECT_EQ(ReadAll(bm()), File(0x5A, Bits({1, 2, 9, 100})));
  EXPECT_EQ(ReadAll(suffixFile("restart")), File(0x5A, Bits({2, 9})));
  EXPECT_EQ(Driver(), Bits({}));
  EXPECT_EQ(driver->CallCount(Op::GetAndClearBitmap), 2);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{".sda1_bm", ".sda1_restart"}));
  std::vector<std::string> twice = kBreaks;
  twice.insert(twice.end(), kBreaks.begin(), kBreaks.end());
  EXPECT_EQ(log->breaks(), twice);
}

TEST_F(Formalities, NamesTheFilesAndLeavesTheDefaultName) {
  const std::string full = dir.file("full.bm");
  struct Case {
    const char* bitmapName;
    const char* restart;
    bool isPath;
    std::string bitmapFile, restartFile, defaultAfter;
  };
  const Case cases[] = {
      {"bm", "restart", false, bm(), suffixFile("restart"), suffixFile("restart")},
      {"bm", nullptr, false, bm(), "", bm()},
      {full.c_str(), nullptr, true, full, "", full},
      {full.c_str(), "r", true, full, suffixFile("r"), suffixFile("r")},
      {"", nullptr, false, defaultFile(), "", defaultFile()},
      {"bm", "", false, bm(), defaultFile(), defaultFile()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.bitmapName) + " / " + (c.restart ? c.restart : "(null)"));
    Reset();
    unlink(bm().c_str());
    Write(3);
    ASSERT_TRUE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, c.bitmapName, c.restart, c.isPath));
    EXPECT_EQ(ReadAll(c.bitmapFile), File(0x5A, Bits({3})));
    if (c.restart) {
      EXPECT_EQ(ReadAll(c.restartFile), File(0x5A, Bits({3})));
    }
    EXPECT_EQ(dir.list().size(), c.restart ? 2u : 1u);
    std::vector<std::string> breaks = kBreaks;
    if (!c.restart) breaks.erase(breaks.begin() + 2);
    EXPECT_EQ(log->breaks(), breaks);
    unsigned char header = 7, byte = 0;  // an empty-name save goes to the default name
    ASSERT_TRUE(ops->SaveBMToFile(&byte, 1, &header, ""));
    EXPECT_EQ(ReadAll(c.defaultAfter), (Bytes{7, 0}));
  }
}

TEST_F(Formalities, LogsEveryStepAndListsBytesOnlyAtLevelTwo) {
  const std::string restart = suffixFile("restart");
  for (int level : {2, 1}) {
    SCOPED_TRACE(level);
    WriteAll(bm(), File(0x11, Bits({3})));
    Write(1);
    kqlog::Capture cap(level);
    ASSERT_TRUE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));

    std::vector<std::string> want;
    auto say = [&](std::initializer_list<std::string> texts) {
      for (const std::string& t : texts) want.push_back(Line(kTag, t));
    };
    auto bytes = [&](const Bytes& b) {
      for (size_t i = 0; level == 2 && i < b.size(); ++i)
        want.push_back(Line(kTag, "Byte " + std::to_string(i) + " : " + std::to_string(b[i]), 2));
    };
    say({"Bitmap File Name:bm ", "Initialized KQVolume", "Obtained volume information"});
    want.push_back(Line(kMutate, "Modified DefaultBitmapFileName = " + bm()));
    say({"Initialized default bitmatp name", "BM on disk exist", "Got BM from driver",
         "Printing Driver BM"});
    bytes(Bits({1}));
    say({"Merge Disk BM with BM from Driver", "Merge done", "Saving Merged  bitmap to file"});
    want.push_back(Line(kSave, "Saving bitmap to " + bm()));
    say({"Printing Mergerd BM"});
    bytes(Bits({1, 3}));
    say({"Printing Restarted BM"});
    bytes(Bits({1}));
    want.push_back(Line(kMutate, "Modified DefaultBitmapFileName = " + restart));
    say({"Saving restart bitmap to file"});
    want.push_back(Line(kSave, "Saving bitmap to " + restart));
    EXPECT_EQ(cap.lines(), want);
    for (const Entry& e : cap.entries()) {
      if (e.tag == kTag) {
        EXPECT_EQ(e.kind, e.level == 2 ? Entry::Kind::DebugLvl : Entry::Kind::Debug);
      }
    }
  }
}

TEST_F(Formalities, EveryFailureLosesNoChange) {
  struct Args {
    KQVBitmapType type = KQV_BITMAP_INCR;
    const char* name = "bm";
    const char* restart = "restart";
    bool isPath = false;
  };
  enum Fate { Kept, Dirty, Cleared };  // the driver's bitmap: the changes, all ones, or none
  struct Case {
    const char* what;
    std::function<void(Args&)> arm;
    Matchers tail;
    Fate bits;
    bool merged = false;  // the bitmap file holds the merge; else it is untouched
  };
  const std::string noDir = suffixFile("nodir/bm");
  const std::string mergeFailed =
      "Failed to Merge Bitmaps, Marking bitmap as dirty.Err: injected failure of MergeBitmap ";
  const std::string gaveBack = Line(kTag, kGaveBack);
  // clang-format off
  const Case cases[] = {
      {"volume object not valid", [&](Args&) { driver->FailAt(Op::IsValid); },
       {Line("KQBitMapOps::InitAndValidateVolObject", "Failed to create KQVolume object"),
        Line(kTag, "Failed to initialize KQVolume")}, Kept},
      {"volume information", [&](Args&) { driver->FailAt(Op::GetVolInfo); },
       {Line(kTag, "Failed to get volume information")}, Kept},
      {"bitmap file naming", [&](Args&) { faulty->refuse = "bm"; },
       {Line(kMutate, "Unable to modify the DefaultBitmapFileName")}, Kept},
      {"short bitmap file", [&](Args&) { WriteAll(bm(), Bytes{0x11, 1, 2, 3}); },
       {StartsWith(Line("KQBitMapOps::ReadBMFromFile", "Failed to read from file=" + bm()))}, Kept},
      {"fetch-and-clear", [&](Args&) { driver->FailAt(Op::GetAndClearBitmap); },
       {Line(kTag, "Failed to get and clear BM from driver")}, Kept},
      {"unknown type", [](Args& a) { a.type = static_cast<KQVBitmapType>(3); },
       {Line("KQBitMapOps::GetBMFromDriver", "Unknown Bitmap Type. Returning failure."),
        Line(kTag, "Failed to get and clear BM from driver")}, Kept},
      {"merge refused",
       [&](Args& a) {
         kqsim::VolumeConfig cfg;
         cfg.fullSize = 32;
         Reset(cfg);
         a.type = KQV_BITMAP_FULL;
       },
       {Line("KQBitMapOps::MergeBM",
             " Src Bitmap Size 32 is not equal Destbitmap size 16, can't merge."),
        Line(kTag, "Failed to Merge BM"), gaveBack}, Kept},
      {"save refused", [&](Args&) { faulty->failSave = 1; }, {gaveBack}, Kept},
      {"save into a missing directory", [](Args& a) { a.name = "nodir/bm"; },
       {Line(kSave, "Failed to open the Bitmap File " + noDir + ".  error 2"), gaveBack}, Kept},
      {"empty path", [](Args& a) { a.name = ""; a.isPath = true; },
       {Line(kSave, "Failed to open the Bitmap File .  error 2"), gaveBack}, Kept},
      {"give-back marks dirty",
       [&](Args&) { faulty->failSave = 1; driver->FailAt(Op::MergeBitmap); },
       {Line(kWriteBack, mergeFailed), gaveBack}, Dirty},
      {"give-back fails",
       [&](Args&) {
         faulty->failSave = 1;
         driver->FailAt(Op::MergeBitmap);
         driver->FailAt(Op::MarkBitmapDirty);
       },
       {Line(kWriteBack, mergeFailed),
        Line(kWriteBack,
             "Failed to Mark Bitmaps as dirty .Err: injected failure of MarkBitmapDirty "),
        Line(kTag, "Failed to give the bitmap from driver back to the driver")}, Cleared},
      {"restart file naming", [&](Args&) { faulty->refuse = "restart"; },
       {Line(kMutate, "Unable to modify the DefaultBitmapFileName"),
        Line(kTag, "Failed to initialize restart bitmap file")}, Cleared, true},
      {"restart file save", [](Args& a) { a.restart = "nodir/r"; },
       {Line(kSave, "Failed to open the Bitmap File " + suffixFile("nodir/r") + ".  error 2"),
        Line(kTag, "Failed to save restart bitmap to file")}, Cleared, true},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    Args a;
    c.arm(a);
    Write(1);
    Write(9);
    const Bytes before = ReadAll(bm());
    const KQVBitmapType fetched = a.type == KQV_BITMAP_FULL ? KQV_BITMAP_FULL : KQV_BITMAP_INCR;
    const size_t size = Driver(fetched).size();
    log->clear();
    EXPECT_FALSE(faulty->DoBitmapFormalities(a.type, a.name, a.restart, a.isPath));
    EXPECT_THAT(Tail(c.tail.size()), ElementsAreArray(c.tail));
    const Bytes bits = Driver(fetched);
    EXPECT_EQ(bits, c.bits == Kept ? Bits({1, 9}, size) : Bytes(size, c.bits == Dirty ? 0xFF : 0));
    EXPECT_EQ(ReadAll(bm()), c.merged ? File(0x5A, Bits({1, 9, 100})) : before);
    EXPECT_EQ(dir.list(), std::vector<std::string>{".sda1_bm"});
    EXPECT_EQ(log->breaks(),
              std::vector<std::string>(kBreaks.begin(), kBreaks.begin() + (c.merged ? 2 : 1)));
  }
}

TEST_F(Formalities, WithoutDriverFailsAtLevelOne) {
  driver.reset();
  EXPECT_FALSE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));
  const Entry last = log->entries().back();
  EXPECT_EQ(Line(last.tag, last.text, last.level), Line(kTag, "Failed to initialize KQVolume"));
  EXPECT_EQ(last.kind, Entry::Kind::DebugLvl);
  EXPECT_EQ(ReadAll(bm()), File(0x11, Bits({100})));
}

TEST_F(Formalities, WriteDuringFetchAndClearIsNeverLost) {
  for (int failSave : {0, 1}) {
    SCOPED_TRACE(failSave);
    Reset();
    faulty->failSave = failSave;
    driver->SetHook(Op::GetAndClearBitmap, [this] { Write(5); });
    Write(1);
    EXPECT_EQ(faulty->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false), failSave == 0);
    driver->SetHook(Op::GetAndClearBitmap, nullptr);
    Bytes seen = ReadAll(bm());
    seen.erase(seen.begin());
    const Bytes onDriver = Driver();
    for (size_t i = 0; i < seen.size(); ++i) seen[i] |= onDriver[i];
    EXPECT_EQ(seen, Bits({1, 5, 100}));
    EXPECT_EQ(onDriver[0] & (1 << 5), 1 << 5);
  }
}

TEST_F(Formalities, ExceptionAfterTheFetchGivesTheBitsBack) {
  faulty->throwSave = 1;
  Write(1);
  EXPECT_THROW(faulty->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false),
               std::runtime_error);
  EXPECT_EQ(Driver(), Bits({1}));
  EXPECT_EQ(Tail(1), std::vector<std::string>{Line(kTag, kGaveBack)});
  EXPECT_EQ(ReadAll(bm()), File(0x11, Bits({100})));
}

}  // namespace
