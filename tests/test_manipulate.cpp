// ManipulateBitmap: what a backup level does to the bitmap file and to the
// driver's bitmaps, and how each failing or replaced step ends the call.
#include "KqTestSupport.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using kqsim::Op;
using kqtest::Bytes;
using kqtest::Line;
using Lines = std::vector<std::string>;

constexpr const char* kTag = "KQBitMapOps::ManipulateBitmap";
constexpr const char* kSave = "KQBitMapOps::SaveBMToFile";
constexpr const char* kDelete = "KQBitMapOps::DeleteBMFile";
constexpr const char* kUnsupported = "not supported on unix";
const Bytes kOldFile{0x7E, 0xEE, 0xEE};

// This operation's lines all end with the volume name.
std::string M(const std::string& text) { return Line(kTag, text + "/dev/sda1"); }

// What sits at the bitmap file name beforehand; kNoDir: not even its directory.
enum Before { kAbsent, kFile, kDir, kNoDir };
enum After { kSame, kGone, kSaved };

class ManipulateTest : public kqtest::KqFixture {
 protected:
  // Distinct contents per type, so a saved file tells which bitmap was fetched.
  static Bytes DriverBits(int type) {
    return Bytes(kBitmapBytes, static_cast<unsigned char>(0x11 << type));
  }

  // A fresh driver volume, object, bitmap file and log.
  void Reset(Before setup) {
    driver->AddVolume(kVolume, driver->Config(kVolume));
    for (KQVBitmapType t : {KQV_BITMAP_INCR, KQV_BITMAP_FULL, KQV_BITMAP_AUX}) {
      driver->SetBitmap(kVolume, t, DriverBits(t));
    }
    const std::string bitmapDir = setup == kNoDir ? dir.file("missing") : dir.path();
    ops = std::make_unique<kqtest::DirOps>(bitmapDir, kVolume);
    file = kqtest::BitmapPath(bitmapDir, kVolume);
    std::filesystem::remove(defaultFile());
    if (setup == kFile) kqtest::WriteAll(file, kOldFile);
    if (setup == kDir) std::filesystem::create_directory(file);
    driver->ClearCalls();
    log->clear();
  }
  std::vector<int> Types(Op op) const {
    std::vector<int> types;
    for (const kqsim::Call& c : driver->Calls()) {
      if (c.op == op) types.push_back(c.type);
    }
    return types;
  }
  bool AuxCleared() const {
    return driver->Bitmap(kVolume, KQV_BITMAP_AUX) == Bytes(kBitmapBytes, 0);
  }
  // The bitmap file afterwards (a saved one holds `saved`); nothing else in the directory.
  void ExpectFile(Before before, After after, const Bytes& saved) {
    const bool kept = after == kSame && (before == kFile || before == kDir);
    EXPECT_EQ(dir.list(), kept || after == kSaved ? Lines{".sda1__YBVolBitmap"} : Lines{});
    if (before == kDir && kept) return;  // still the directory: nothing to read
    EXPECT_EQ(kqtest::ReadAll(file), after == kSaved ? kqtest::File(0, saved)
                                     : kept          ? kOldFile
                                                     : Bytes{});
  }

  std::string file;  // the object's bitmap file
  // Names and lines the tables share.
  const std::string f = defaultFile(), ok = M("Manipulations success for vol ");
  const std::string saving = Line(kSave, "Saving bitmap to " + f);
};

// The whole-call results; the first matching row applies. Empty level or
// offset lists match anything; `file` -1 matches either state. A fetch takes
// the full bitmap at level 4 and the incremental one at every other level.
struct Row {
  bool named;
  std::vector<int> levels;
  int file;
  std::vector<int> offsets;
  bool result, fetch;
  After after;
  Lines lines;
};

bool In(const std::vector<int>& set, int v) {
  return set.empty() || std::find(set.begin(), set.end(), v) != set.end();
}

TEST_F(ManipulateTest, WholeCallResults) {
  const std::string noFile =
      Line(kDelete, "Bitmap File " + f + " does not exist. Cannot delete. Returning failure");
  const Lines noMergeSave{Line("KQBitMapOps::MergeAndSaveBMToFile", kUnsupported),
                          M("Failed to MergeAndSaveBMToFile vol ")};
  const Lines noRead{Line("KQBitMapOps::ReadBMFromFileAndMerge", kUnsupported),
                     M("Failed to ReadBMFromFileAndMerge for  vol ")};
  const std::vector<int> other{0, 3, 8}, any{};
  // clang-format off
  const Row rows[] = {
      {false, {1}, 1, any, true, false, kGone, {Line(kDelete, "Deleted Bitmap File " + f), ok}},
      {false, {1}, 0, any, false, false, kSame, {noFile, M("Failed to DeleteBMFile for vol ")}},
      {false, {2}, 0, any, true, true, kSaved, {saving, ok}},
      {false, {2}, 1, any, false, true, kSame, noMergeSave},
      {false, {4}, 0, any, true, true, kSaved, {saving, ok}},
      {false, {4}, 1, any, false, true, kSame, noMergeSave},
      {false, other, -1, any, true, false, kSame, {ok}},
      {true, any, 0, any, true, true, kSaved, {saving, ok}},
      {true, any, 1, {-1, 5}, false, true, kSame, noRead},
      {true, {2}, 1, {0}, false, true, kSame, noMergeSave},
      {true, {1}, 1, {0}, true, true, kSame, {M("No Action taken on the bitmap for vol "), ok}},
      {true, {4}, 1, {0}, true, true, kSame, {ok}},
      {true, other, 1, {0}, true, true, kSame, {ok}},
      {true, any, 1, {-5}, false, true, kSame,
       {M("iOffset is neither 0 nor -1 nor > 0. Failing for vol ")}},
  };
  // clang-format on
  for (const char* name : {"", "a", "b"})
    for (int level : {1, 2, 4, 0, 3, 8})
      for (bool exists : {false, true})
        for (int offset : {-1, 0, 5, -5}) {
          SCOPED_TRACE(testing::Message() << "name '" << name << "' level " << level << " exists "
                                          << exists << " offset " << offset);
          const Row* row = std::find_if(std::begin(rows), std::end(rows), [&](const Row& r) {
            return r.named == (*name != 0) && In(r.levels, level) &&
                   (r.file < 0 || r.file == exists) && In(r.offsets, offset);
          });
          ASSERT_NE(row, std::end(rows));
          Reset(exists ? kFile : kAbsent);

          EXPECT_EQ(ops->ManipulateBitmap(offset, static_cast<KQBkpLevel>(level), name),
                    row->result);

          EXPECT_EQ(log->lines(), row->lines);
          for (const kqlog::Entry& e : log->entries()) {
            EXPECT_TRUE(e.kind == kqlog::Entry::Kind::Debug && e.fromEvent) << e.text;
          }
          const int type = level == 4 ? KQV_BITMAP_FULL : KQV_BITMAP_INCR;
          EXPECT_EQ(Types(Op::GetBitmap), row->fetch ? std::vector<int>{type} : std::vector<int>{});
          // Every success clears type 2 unless the level is 4; no failure does.
          const bool cleared = row->result && level != 4;
          EXPECT_EQ(Types(Op::ClearBitmap), cleared ? std::vector<int>{2} : std::vector<int>{});
          EXPECT_EQ(AuxCleared(), cleared);
          ExpectFile(exists ? kFile : kAbsent, row->after, DriverBits(type));
          EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 0);
        }
}

// How a step fails or is replaced: the driver fails the fetch or the clear,
// or a derived step fails the save, or fetches a bitmap of its own.
enum Twist { kNone, kFetchFails, kClearFails, kSaveFails, kOwnFetch, kOwnFetchFails };

// Records the steps the workflow asks for, as "step:file name@offset".
// Reading and merge-saving succeed without touching anything; saving and
// fetching run the real step unless the twist replaces them.
class Scripted : public kqtest::DirOps {
 public:
  using DirOps::DirOps;
  bool ReadBMFromFileAndMerge(unsigned char*, unsigned long, std::string fileName,
                              unsigned long offset) override {
    Step("read:" + fileName + "@" + std::to_string(offset));
    return true;
  }
  bool MergeAndSaveBMToFile(unsigned char*, unsigned long, std::string fileName) override {
    Step("mergesave:" + fileName);
    return true;
  }
  bool SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                    std::string fileName) override {
    Step("save:" + fileName);
    return twist != kSaveFails && DirOps::SaveBMToFile(bitmap, size, header, fileName);
  }
  bool GetBMFromDriver(KQVBitmapType type, unsigned char** bitmap, unsigned long* size,
                       bool flag) override {
    Step("fetch:" + std::to_string(type) + (*bitmap != nullptr || *size != 0 ? " preset" : ""));
    if (twist != kOwnFetch && twist != kOwnFetchFails) {
      return DirOps::GetBMFromDriver(type, bitmap, size, flag);
    }
    *bitmap = new unsigned char[3]{1, 2, 3};  // the workflow owns it now, whatever we return
    *size = 3;
    return twist == kOwnFetch;
  }
  void Step(const std::string& s) { steps += (steps.empty() ? "" : " ") + s; }

  Twist twist = kNone;
  std::string steps;
};

TEST_F(ManipulateTest, AFailedOrReplacedStepEndsTheCall) {
  struct Case {
    const char* name;
    int level;
    Before setup;
    int offset;
    Twist twist;
    bool result;
    std::string steps;
    Lines lines;
    After after;
  };
  const std::string missing = kqtest::BitmapPath(dir.file("missing"), kVolume);
  // A missing directory has no file to lock: its steps say what fails.
  const Lines noDir{Line("KQBitMapOps::SaveBMToFile", "Saving bitmap to " + missing),
                    Line("KQBitMapOps::SaveBMToFile",
                         "Failed to open the Bitmap File " + missing + ".  error 2")};
  const std::string noFile =
      Line(kDelete, "Bitmap File " + missing + " does not exist. Cannot delete. Returning failure");
  const Lines noDelete{Line(kDelete, "Failed to delete Bitmap File " + f + " error no=21"),
                       M("Failed to DeleteBMFile for vol ")};
  const std::string deleted = Line(kDelete, "Deleted Bitmap File " + f);
  const std::string noAction = M("No Action taken on the bitmap for vol ");
  const std::string clearFail = Line("KQBitMapOps::ClearBMOnDriver", "Failed to clear bmaptype=2");
  const std::string noFetch = M("Failed to GetBMFromDriver  vol ");
  const std::string noClear = M("Failed to ClearBMOnDriver for vol ");
  const std::string noSave = M("Failed to SaveBMToFile for  vol ");  // two blanks on some paths
  const std::string noSave1 = M("Failed to SaveBMToFile for vol ");
  // clang-format off
  const Case cases[] = {
      {"", 2, kAbsent, 0, kFetchFails, false, "fetch:0", {noFetch}, kSame},
      {"a", 1, kFile, 0, kFetchFails, false, "fetch:0", {noFetch}, kSame},
      {"", 2, kNoDir, 0, kNone, false, "fetch:0 save:", {noDir[0], noDir[1], noSave}, kSame},
      {"a", 4, kNoDir, -5, kNone, false, "fetch:1 save:", {noDir[0], noDir[1], noSave1}, kSame},
      {"", 1, kNoDir, 0, kNone, false, "", {noFile, noDelete[1]}, kSame},
      {"", 1, kDir, 0, kNone, false, "", noDelete, kSame},
      // Steps that already succeeded stay done when the clear fails.
      {"", 2, kAbsent, 0, kClearFails, false, "fetch:0 save:", {saving, clearFail, noClear},
       kSaved},
      {"", 1, kFile, 0, kClearFails, false, "", {deleted, clearFail, noClear}, kGone},
      {"", 8, kFile, 0, kClearFails, false, "", {clearFail, noClear}, kSame},
      {"b", 1, kFile, 0, kClearFails, false, "fetch:0", {noAction, clearFail, noClear}, kSame},
      // What the workflow hands a derived step, and what the step's result does.
      {"a", 2, kFile, -1, kNone, true, "fetch:0 read:@0 save:", {saving, ok}, kSaved},
      {"a", 1, kFile, 5, kNone, true, "fetch:0 read:" + f + "@5 save:", {saving, ok}, kSaved},
      {"a", 1, kFile, -1, kSaveFails, false, "fetch:0 read:@0 save:", {noSave}, kSame},
      {"a", 4, kFile, 7, kSaveFails, false, "fetch:1 read:" + f + "@7 save:", {noSave1}, kSame},
      {"", 2, kFile, 0, kNone, true, "fetch:0 mergesave:", {ok}, kSame},
      {"b", 2, kFile, 0, kNone, true, "fetch:0 mergesave:", {ok}, kSame},
      {"", 4, kAbsent, 0, kOwnFetch, true, "fetch:1 save:", {saving, ok}, kSaved},
      {"a", 3, kAbsent, 0, kOwnFetch, true, "fetch:0 save:", {saving, ok}, kSaved},
      {"", 2, kAbsent, 0, kOwnFetchFails, false, "fetch:0", {noFetch}, kSame},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "name '" << c.name << "' level " << c.level << " offset "
                                    << c.offset << " twist " << c.twist);
    Reset(c.setup);
    Scripted s(ops->dir(), kVolume);  // by value: the base destructor is not virtual
    s.twist = c.twist;
    const bool driverFault = c.twist == kFetchFails || c.twist == kClearFails;
    const Op fail = c.twist == kFetchFails ? Op::GetBitmap : Op::ClearBitmap;
    if (driverFault) driver->FailAt(fail);
    log->clear();

    EXPECT_EQ(s.ManipulateBitmap(c.offset, static_cast<KQBkpLevel>(c.level), c.name), c.result);

    EXPECT_EQ(s.steps, c.steps);
    EXPECT_EQ(log->lines(), c.lines);
    // A failed driver step is the last call the driver saw.
    if (driverFault) {
      EXPECT_EQ(driver->CallOps().back(), fail);
    }
    const bool cleared = c.result && c.level != 4;
    EXPECT_EQ(driver->CallCount(Op::ClearBitmap), cleared || c.twist == kClearFails);
    EXPECT_EQ(AuxCleared(), cleared);
    const bool own = c.twist == kOwnFetch || c.twist == kOwnFetchFails;
    ExpectFile(c.setup, c.after,
               own ? Bytes{1, 2, 3} : DriverBits(c.level == 4 ? KQV_BITMAP_FULL : KQV_BITMAP_INCR));
  }
}

TEST_F(ManipulateTest, UsesTheDefaultFileNameItStartsWith) {
  Reset(kFile);
  ASSERT_TRUE(ops->MutateDefaultBitMapFileName("other"));

  EXPECT_TRUE(ops->ManipulateBitmap(0, BKP_LEVEL_SAVE_FULL_BM, ""));

  EXPECT_EQ(kqtest::ReadAll(suffixFile("other")), kqtest::File(0, DriverBits(KQV_BITMAP_FULL)));
  EXPECT_EQ(kqtest::ReadAll(defaultFile()), kOldFile);
}

TEST_F(ManipulateTest, FourArgumentOverloadDoesNothing) {
  Reset(kFile);
  EXPECT_TRUE(ops->ManipulateBitmap(-5, 1, 2, ""));
  EXPECT_TRUE(ops->ManipulateBitmap(0, 0, 0, "a"));

  EXPECT_EQ(log->lines(), Lines(2, Line(kTag, "not supported on UNIX")));
  EXPECT_TRUE(driver->Calls().empty());
  ExpectFile(kFile, kSame, {});
}

}  // namespace
