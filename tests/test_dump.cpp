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
using ::testing::StartsWith;
using Strings = std::vector<std::string>;

constexpr const char* kTag = "KQVIProxyScan::DoBitmapDump";
constexpr const char* kMutate = "KQBitMapOps::MutateDefaultBitMapFileName";

class Dump : public kqtest::KqFixture {
 protected:
  void SetUp() override {
    KqFixture::SetUp();
    Reset();
  }
  void Reset() {
    ResetVolume();
    driver->ClearCalls();
    faulty = std::make_unique<kqtest::FaultyOps>(dir.path(), kVolume);
    for (const std::string& name : dir.list()) unlink(dir.file(name).c_str());
    log->clear();
  }
  std::string incr() const { return suffixFile("incr-tmp"); }

  std::unique_ptr<kqtest::FaultyOps> faulty;
};

// A write racing each fetch (block 5) must stay on the driver.
TEST_F(Dump, AccumulatesIntoTheFileOfTheType) {
  const std::pair<int, std::string> cases[] = {{0, "incr-tmp"}, {1, "full-tmp"}, {2, "full-tmp"}};
  for (const auto& [t, suffix] : cases) {
    SCOPED_TRACE(t);
    Reset();
    for (Op fetch : {Op::GetBitmap, Op::GetAndClearBitmap}) {
      driver->SetHook(fetch, [this] { Write(5); });
    }
    const auto type = static_cast<KQVBitmapType>(t);
    const std::string file = suffixFile(suffix);
    Write(1);
    ASSERT_TRUE(faulty->DoBitmapDump(type, kVolume, false));
    EXPECT_EQ(ReadAll(file), File(0xA5, Bits({1})));
    EXPECT_EQ(Driver(type), Bits({1, 5}));
    Strings want = {Line(kMutate, "Modified DefaultBitmapFileName = " + file),
                    Line(kTag, "Trying to get Bitmap  From Driver  for Vol /dev/sda1 "),
                    Line("KQBitMapOps::SaveBMToFile", "Saving bitmap to " + file),
                    Line(kTag, "Saved Bitmap for /dev/sda1")};
    EXPECT_EQ(log->lines(), want);

    Write(4);
    WriteAll(file, File(0x11, Bits({1, 100})));  // a stored header byte is not kept
    log->clear();
    ASSERT_TRUE(faulty->DoBitmapDump(type, kVolume, true));
    want.insert(want.begin() + 1,
                Line(kTag, "Read Existing Image EKT Bitmap of Volume /dev/sda1 "));
    EXPECT_EQ(log->lines(), want);
    EXPECT_EQ(ReadAll(file), File(0xA5, Bits({1, 4, 5, 100})));
    EXPECT_EQ(Driver(type), Bits({5}));
    EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 1);  // one volume object, kept
    EXPECT_EQ(dir.list(), Strings{".sda1_" + suffix});
    ExpectDefaultName(*faulty, file);
  }
}

// Each case starts with bit 1 on the driver and bit 100 in the dump file.
TEST_F(Dump, FailuresChangeOnlyWhatTheyMust) {
  struct Args {
    KQVBitmapType type = KQV_BITMAP_INCR;
    bool clear = true;
  };
  enum Stage { NoHandle, Early, Named };  // how far it got: volume object made, file named
  // The driver's bitmap afterwards: its bit, that and the file's merged in, all ones, or nothing.
  enum Fate { Kept, Merged, Dirty, Cleared };
  struct Case {
    const char* what;
    std::function<void(Args&)> arm;
    std::vector<::testing::Matcher<const std::string&>> tail;
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
      {"volume object not valid", [&](Args&) { driver->FailAt(Op::IsValid); },
       {Line("KQBitMapOps::InitAndValidateVolObject", "Failed to create KQVolume object"),
        Line(kTag, "Failed to initialize KQVolume")}, Early},
      {"volume information", [&](Args&) { driver->FailAt(Op::GetVolInfo); },
       {Line(kTag, "Failed to get volume information")}, Early},
      {"full and incremental sizes differ", [&](Args&) { ResetVolume(32); },
       {Line(kTag, "Full bitmap size 32 differs from incremental size 16. Cannot dump /dev/sda1")},
       Early},
      {"aux bitmap larger than a dump", [&](Args& a) { ResetVolume(0, 32); a.type = KQV_BITMAP_AUX; },
       {Line(kTag, "Bitmap size 32 of type 2 exceeds the dump size 16. Cannot dump /dev/sda1")},
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
      {"save refused", [&](Args&) { faulty->failSave = true; }, {saveFailed, gaveBack}, Named,
       Merged},
      {"save refused without clearing",
       [&](Args& a) { faulty->failSave = true; a.clear = false; }, {saveFailed}},
      {"save throws", [&](Args&) { faulty->throwSave = true; }, {gaveBack}, Named, Merged},
      {"save releases the volume object", [&](Args&) { faulty->releaseInSave = true; },
       {saveFailed, gaveBack}, Named, Merged},
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
                               "/dev/sda1 or to mark it dirty: changes may be lost, the next "
                               "backup must be a full backup: injected failure of "
                               "MarkBitmapDirty")},
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
    if (faulty->throwSave) {
      EXPECT_THROW(faulty->DoBitmapDump(a.type, kVolume, a.clear), std::runtime_error);
    } else {
      EXPECT_FALSE(faulty->DoBitmapDump(a.type, kVolume, a.clear));
    }
    kqtest::ExpectTail(log->lines(), c.tail);
    const Bytes fates[] = {Bits({1}), Bits({1, 100}), Bytes(16, 0xFF), Bytes(16)};
    EXPECT_EQ(Driver(), fates[c.bits]);
    EXPECT_EQ(ReadAll(incr()), before);
    // Bits neither given back nor marked leave their record for the next call.
    const Strings kept = {".sda1_incr-tmp", ".sda1_incr-tmp.kqlock"};
    EXPECT_EQ(dir.list(), c.bits == Cleared ? kept : Strings{".sda1_incr-tmp"});
    EXPECT_EQ(driver->CallCount(Op::Construct) > 0, c.stage != NoHandle);
    if (c.stage != Named) {
      EXPECT_EQ(driver->CallCount(Op::GetBitmap) + driver->CallCount(Op::GetAndClearBitmap), 0);
    }
    ExpectDefaultName(*faulty, c.stage != Named            ? defaultFile()
                               : a.type == KQV_BITMAP_INCR ? incr()
                                                           : suffixFile("full-tmp"));
  }
}

}  // namespace
