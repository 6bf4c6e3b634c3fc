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
using ::testing::StartsWith;
using Strings = std::vector<std::string>;

constexpr const char* kTag = "KQBitMapOps::DoBitmapFormalities";
constexpr const char* kMutate = "KQBitMapOps::MutateDefaultBitMapFileName";
constexpr const char* kSave = "KQBitMapOps::SaveBMToFile";
const std::string kGaveBack =
    Line(kTag, "Gave the fetched bitmap back to the driver for /dev/sda1");
const Strings kBreaks = {"/tmp/DoBitMap.afterentering", "/tmp/DoBitMap.afterwritingmergedbm",
                         "/tmp/DoBitMap.afterwritingresterbm", "/tmp/DoBitMap.beforereturn"};

class Formalities : public kqtest::KqFixture {
 protected:
  void SetUp() override {
    KqFixture::SetUp();
    Reset();
  }
  // Fresh driver volume, object and directory; bitmap file "bm" seeded with
  // bit 100. Every fetch-and-clear races a write to block 5, which must never
  // be lost.
  void Reset(uint64_t fullBitmapBytes = 0) {
    ResetVolume(fullBitmapBytes);
    driver->SetHook(Op::GetAndClearBitmap, [this] { Write(5); });
    faulty = std::make_unique<kqtest::FaultyOps>(dir.path(), kVolume);
    for (const std::string& name : dir.list()) unlink(dir.file(name).c_str());
    WriteAll(bm(), File(0x11, Bits({100})));
    log->clear();
  }
  std::string bm() const { return suffixFile("bm"); }

  std::unique_ptr<kqtest::FaultyOps> faulty;
};

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
    ASSERT_TRUE(faulty->DoBitmapFormalities(KQV_BITMAP_INCR, c.bitmapName, c.restart, c.isPath));
    EXPECT_EQ(ReadAll(c.bitmapFile), File(0x5A, Bits({3})));
    EXPECT_EQ(ReadAll(c.restartFile), c.restart ? File(0x5A, Bits({3})) : Bytes());
    EXPECT_EQ(dir.list().size(), c.restart ? 2u : 1u);
    EXPECT_EQ(log->breaks(), (c.restart ? kBreaks : Strings{kBreaks[0], kBreaks[1], kBreaks[3]}));
    EXPECT_EQ(Driver(), Bits({5}));  // taken over; the racing write stays
    EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 0);
    ExpectDefaultName(*faulty, c.defaultAfter);
  }
}

TEST_F(Formalities, LogsEveryStepAndTheBytesAtLevelTwo) {
  const std::string restart = suffixFile("restart");
  WriteAll(bm(), File(0x11, Bits({3})));
  WriteAll(restart, File(0x11, Bits({7})));  // replaced, not merged into
  Write(1);
  ASSERT_TRUE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));
  EXPECT_EQ(ReadAll(bm()), File(0x5A, Bits({1, 3})));
  EXPECT_EQ(ReadAll(restart), File(0x5A, Bits({1})));
  Strings want;
  auto say = [&](std::initializer_list<std::string> texts) {
    for (const std::string& t : texts) want.push_back(Line(kTag, t));
  };
  auto bytes = [&](const Bytes& b) {
    for (size_t i = 0; i < b.size(); ++i)
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
  EXPECT_EQ(log->lines(), want);
  for (const Entry& e : log->entries()) {
    if (e.tag == kTag) {
      EXPECT_EQ(e.kind, e.level == 2 ? Entry::Kind::DebugLvl : Entry::Kind::Debug);
    }
  }
  // The one level-1 line that goes through DebugLvl.
  driver->FailAt(Op::IsValid);
  EXPECT_FALSE(faulty->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));
  EXPECT_EQ(log->entries().back().text, "Failed to initialize KQVolume");
  EXPECT_EQ(log->entries().back().kind, Entry::Kind::DebugLvl);
}

TEST_F(Formalities, EveryFailureLosesNoChange) {
  struct Args {
    KQVBitmapType type = KQV_BITMAP_INCR;
    const char* name = "bm";
    const char* restart = "restart";
    bool isPath = false;
  };
  // The driver's bitmap afterwards: the changes (blocks 1, 9), those and the
  // write racing the fetch (5), all ones, or only the racing write.
  enum Fate { Kept, Raced, Dirty, Emptied };
  struct Case {
    const char* what;
    std::function<void(Args&)> arm;
    std::vector<::testing::Matcher<const std::string&>> tail;
    Fate bits;
    bool merged = false;  // the bitmap file holds the merge; else it is untouched
  };
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
       {Line(kTag, "Failed to get and clear BM from driver")}, Raced},
      {"unknown type", [](Args& a) { a.type = static_cast<KQVBitmapType>(3); },
       {Line("KQBitMapOps::GetBMFromDriver", "Unknown Bitmap Type. Returning failure."),
        Line(kTag, "Failed to get and clear BM from driver")}, Kept},
      {"merge refused",
       [&](Args& a) { Reset(32); a.type = KQV_BITMAP_FULL; },
       {Line("KQBitMapOps::MergeBM",
             " Src Bitmap Size 32 is not equal Destbitmap size 16, can't merge."),
        Line(kTag, "Failed to Merge BM")}, Kept},
      {"empty path", [](Args& a) { a.name = ""; a.isPath = true; },
       {Line(kTag, "Failed to lock the Bitmap File  error no=2")}, Kept},
      {"save throws", [&](Args&) { faulty->throwSave = true; }, {kGaveBack}, Raced},
      {"give-back marks dirty",
       [&](Args&) { faulty->failSave = true; driver->FailAt(Op::MergeBitmap); },
       {Line(kTag, "Marked the driver bitmap dirty for /dev/sda1")}, Dirty},
      {"give-back fails",
       [&](Args&) {
         faulty->failSave = true;
         driver->FailAt(Op::MergeBitmap);
         driver->FailAt(Op::MarkBitmapDirty);
       },
       {Line(kTag, "Failed to give the fetched bitmap back to the driver for /dev/sda1 or to mark "
                   "it dirty: changes may be lost, the next backup must be a full backup: injected "
                   "failure of MarkBitmapDirty")}, Emptied},
      {"restart file naming", [&](Args&) { faulty->refuse = "restart"; },
       {Line(kMutate, "Unable to modify the DefaultBitmapFileName"),
        Line(kTag, "Failed to initialize restart bitmap file")}, Emptied, true},
      {"restart file save", [](Args& a) { a.restart = "nodir/r"; },
       {Line(kTag, "Failed to lock the Bitmap File " + suffixFile("nodir/r") + " error no=2"),
        Line(kTag, "Failed to save restart bitmap to file")}, Emptied, true},
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
    log->clear();
    if (faulty->throwSave) {
      EXPECT_THROW(faulty->DoBitmapFormalities(a.type, a.name, a.restart, a.isPath),
                   std::runtime_error);
    } else {
      EXPECT_FALSE(faulty->DoBitmapFormalities(a.type, a.name, a.restart, a.isPath));
    }
    kqtest::ExpectTail(log->lines(), c.tail);
    const Bytes bits = Driver(a.type == KQV_BITMAP_FULL ? KQV_BITMAP_FULL : KQV_BITMAP_INCR);
    const size_t n = bits.size();
    const Bytes fates[] = {Bits({1, 9}, n), Bits({1, 5, 9}, n), Bytes(n, 0xFF), Bits({5}, n)};
    EXPECT_EQ(bits, fates[c.bits]);
    EXPECT_EQ(ReadAll(bm()), c.merged ? File(0x5A, Bits({1, 9, 100})) : before);
    // Bits neither given back nor marked leave their record for the next call.
    const Strings kept = {".sda1_bm", ".sda1_bm.kqlock"};
    EXPECT_EQ(dir.list(), c.bits == Emptied && !c.merged ? kept : Strings{".sda1_bm"});
    EXPECT_EQ(log->breaks(), Strings(kBreaks.begin(), kBreaks.begin() + (c.merged ? 2 : 1)));
  }
}

}  // namespace
