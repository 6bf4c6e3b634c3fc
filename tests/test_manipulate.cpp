// ManipulateBitmap: what a backup level does to the bitmap file and to the
// driver's bitmaps, and how each failing step ends the call.
#include "KqTestSupport.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using kqsim::Op;
using kqtest::Bytes;
using kqtest::Line;

constexpr const char* kTag = "KQBitMapOps::ManipulateBitmap";
constexpr const char* kSave = "KQBitMapOps::SaveBMToFile";
constexpr const char* kDelete = "KQBitMapOps::DeleteBMFile";
constexpr const char* kMergeSave = "KQBitMapOps::MergeAndSaveBMToFile";
constexpr const char* kReadMerge = "KQBitMapOps::ReadBMFromFileAndMerge";
constexpr const char* kClear = "KQBitMapOps::ClearBMOnDriver";
constexpr const char* kOk = "Manipulations success for vol ";
constexpr const char* kUnsupported = "not supported on unix";
const Bytes kOldFile{0x7E, 0xEE, 0xEE};

// This operation's lines all end with the volume name.
std::string M(const std::string& text) { return Line(kTag, text + "/dev/sda1"); }
// Expected lines name the bitmap file as "{f}".
std::vector<std::string> Expand(std::vector<std::string> lines, const std::string& file) {
  for (std::string& l : lines) {
    if (auto at = l.find("{f}"); at != std::string::npos) l.replace(at, 3, file);
  }
  return lines;
}

enum class Before { Absent, File, Dir };  // what sits at the bitmap file name beforehand

class ManipulateTest : public kqtest::KqFixture {
 protected:
  // Distinct contents per type, so a saved file tells which bitmap was fetched.
  static Bytes DriverBits(KQVBitmapType t) {
    return Bytes(kBitmapBytes, static_cast<unsigned char>(0x11 << t));
  }
  static Bytes Saved(const Bytes& bitmap) {
    Bytes file{0};
    file.insert(file.end(), bitmap.begin(), bitmap.end());
    return file;
  }

  // A fresh driver volume, object, bitmap file and log.
  void Reset(Before setup, const std::string& subdir = "") {
    const kqsim::VolumeConfig cfg = driver->Config(kVolume);
    driver->AddVolume(kVolume, cfg);
    for (KQVBitmapType t : {KQV_BITMAP_INCR, KQV_BITMAP_FULL, KQV_BITMAP_AUX}) {
      driver->SetBitmap(kVolume, t, DriverBits(t));
    }
    ops = std::make_unique<kqtest::DirOps>(subdir.empty() ? dir.path() : dir.file(subdir), kVolume);
    ::unlink(defaultFile().c_str());
    ::rmdir(defaultFile().c_str());
    if (setup == Before::File) kqtest::WriteAll(defaultFile(), kOldFile);
    if (setup == Before::Dir) ::mkdir(defaultFile().c_str(), 0700);
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
};

enum class Fetch { None, Incr, Full, ByLevel };  // ByLevel: full for level 4, else incremental
enum class After { Same, Gone, Saved };

// The whole-call results; the first matching row applies. Empty level or
// offset lists match anything; `file` -1 matches either state.
struct Row {
  bool named;
  std::vector<int> levels;
  int file;
  std::vector<int> offsets;
  bool result;
  Fetch fetch;
  After after;
  std::vector<std::string> lines;
};

bool In(const std::vector<int>& set, int v) {
  return set.empty() || std::find(set.begin(), set.end(), v) != set.end();
}

TEST_F(ManipulateTest, WholeCallResults) {
  const std::string saving = Line(kSave, "Saving bitmap to {f}"), ok = M(kOk);
  const std::vector<int> other{0, 3, 8}, any{};
  // clang-format off
  const Row rows[] = {
      {false, {1}, 1, any, true, Fetch::None, After::Gone,
       {Line(kDelete, "Deleted Bitmap File {f}"), ok}},
      {false, {1}, 0, any, false, Fetch::None, After::Same,
       {Line(kDelete, "Bitmap File {f} does not exist. Cannot delete. Returning failure"),
        M("Failed to DeleteBMFile for vol ")}},
      {false, {2}, 0, any, true, Fetch::Incr, After::Saved, {saving, ok}},
      {false, {2}, 1, any, false, Fetch::Incr, After::Same,
       {Line(kMergeSave, kUnsupported), M("Failed to MergeAndSaveBMToFile vol ")}},
      {false, {4}, 0, any, true, Fetch::Full, After::Saved, {saving, ok}},
      {false, {4}, 1, any, false, Fetch::Full, After::Same,
       {Line(kMergeSave, kUnsupported), M("Failed to MergeAndSaveBMToFile vol ")}},
      {false, other, -1, any, true, Fetch::None, After::Same, {ok}},
      {true, any, 0, any, true, Fetch::ByLevel, After::Saved, {saving, ok}},
      {true, any, 1, {-1, 5}, false, Fetch::ByLevel, After::Same,
       {Line(kReadMerge, kUnsupported), M("Failed to ReadBMFromFileAndMerge for  vol ")}},
      {true, {2}, 1, {0}, false, Fetch::Incr, After::Same,
       {Line(kMergeSave, kUnsupported), M("Failed to MergeAndSaveBMToFile vol ")}},
      {true, {1}, 1, {0}, true, Fetch::Incr, After::Same,
       {M("No Action taken on the bitmap for vol "), ok}},
      {true, {4}, 1, {0}, true, Fetch::Full, After::Same, {ok}},
      {true, other, 1, {0}, true, Fetch::Incr, After::Same, {ok}},
      {true, any, 1, {-5}, false, Fetch::ByLevel, After::Same,
       {M("iOffset is neither 0 nor -1 nor > 0. Failing for vol ")}},
  };
  // clang-format on
  for (const char* name : {"", "a", "b"})
    for (int level : {1, 2, 4, 0, 3, 8})
      for (bool exists : {false, true})
        for (int offset : {-1, 0, 5, -5}) {
          SCOPED_TRACE(std::string("name '") + name + "' level " + std::to_string(level) +
                       (exists ? " file " : " no file ") + "offset " + std::to_string(offset));
          const Row* row = std::find_if(std::begin(rows), std::end(rows), [&](const Row& r) {
            return r.named == (*name != 0) && In(r.levels, level) &&
                   (r.file < 0 || r.file == exists) && In(r.offsets, offset);
          });
          ASSERT_NE(row, std::end(rows));
          Reset(exists ? Before::File : Before::Absent);

          EXPECT_EQ(ops->ManipulateBitmap(offset, static_cast<KQBkpLevel>(level), name),
                    row->result);

          EXPECT_EQ(log->lines(), Expand(row->lines, defaultFile()));
          for (const kqlog::Entry& e : log->entries()) {
            EXPECT_TRUE(e.kind == kqlog::Entry::Kind::Debug && e.fromEvent) << e.text;
          }
          Fetch fetch = row->fetch;
          if (fetch == Fetch::ByLevel) fetch = level == 4 ? Fetch::Full : Fetch::Incr;
          const std::vector<int> fetched =
              fetch == Fetch::None ? std::vector<int>{} : std::vector<int>{fetch == Fetch::Full};
          EXPECT_EQ(Types(Op::GetBitmap), fetched);
          // Every success clears type 2 unless the level is 4; no failure does.
          const bool cleared = row->result && level != 4;
          EXPECT_EQ(Types(Op::ClearBitmap), cleared ? std::vector<int>{2} : std::vector<int>{});
          EXPECT_EQ(AuxCleared(), cleared);
          switch (row->after) {
            case After::Same:
              EXPECT_EQ(kqtest::ReadAll(defaultFile()), exists ? kOldFile : Bytes{});
              EXPECT_EQ(kqtest::Exists(defaultFile()), exists);
              break;
            case After::Gone:
              EXPECT_FALSE(kqtest::Exists(defaultFile()));
              break;
            case After::Saved:
              EXPECT_EQ(kqtest::ReadAll(defaultFile()),
                        Saved(DriverBits(static_cast<KQVBitmapType>(fetched.at(0)))));
              break;
          }
          EXPECT_EQ(dir.list().size(), kqtest::Exists(defaultFile()) ? 1u : 0u);
          EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 0);
        }
}

TEST_F(ManipulateTest, AFailedStepEndsTheCall) {
  struct Case {
    const char* name;
    int level;
    Before setup;
    int offset;
    Op fail;             // injected into the driver, or Destroy for none
    const char* subdir;  // non-empty: the bitmap directory is missing
    std::vector<std::string> lines;
    After after;
  };
  const std::string saving = Line(kSave, "Saving bitmap to {f}");
  const std::string clearFail = Line(kClear, "Failed to clear bmaptype=2");
  const std::string openFail = Line(kSave, "Failed to open the Bitmap File {f}.  error 2");
  const std::string noFetch = M("Failed to GetBMFromDriver  vol ");
  const std::string noClear = M("Failed to ClearBMOnDriver for vol ");
  // clang-format off
  const Case cases[] = {
      {"", 2, Before::Absent, 0, Op::GetBitmap, "", {noFetch}, After::Same},
      {"a", 1, Before::File, 0, Op::GetBitmap, "", {noFetch}, After::Same},
      {"", 2, Before::Absent, 0, Op::Destroy, "missing",
       {saving, openFail, M("Failed to SaveBMToFile for  vol ")}, After::Same},
      {"a", 4, Before::Absent, -5, Op::Destroy, "missing",
       {saving, openFail, M("Failed to SaveBMToFile for vol ")}, After::Same},
      {"", 1, Before::Dir, 0, Op::Destroy, "",
       {Line(kDelete, "Failed to delete Bitmap File {f} error no=21"),
        M("Failed to DeleteBMFile for vol ")}, After::Same},
      // Steps that already succeeded stay done when the clear fails.
      {"", 2, Before::Absent, 0, Op::ClearBitmap, "", {saving, clearFail, noClear}, After::Saved},
      {"", 1, Before::File, 0, Op::ClearBitmap, "",
       {Line(kDelete, "Deleted Bitmap File {f}"), clearFail, noClear}, After::Gone},
      {"", 8, Before::File, 0, Op::ClearBitmap, "", {clearFail, noClear}, After::Same},
      {"b", 1, Before::File, 0, Op::ClearBitmap, "",
       {M("No Action taken on the bitmap for vol "), clearFail, noClear}, After::Same},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("name '") + c.name + "' level " + std::to_string(c.level) + " fail " +
                 kqsim::OpName(c.fail) + " " + c.subdir);
    Reset(c.setup, c.subdir);
    const std::string file =
        *c.subdir ? kqtest::BitmapPath(dir.file(c.subdir), kVolume) : defaultFile();
    if (c.fail != Op::Destroy) driver->FailAt(c.fail);

    EXPECT_FALSE(ops->ManipulateBitmap(c.offset, static_cast<KQBkpLevel>(c.level), c.name));

    EXPECT_EQ(log->lines(), Expand(c.lines, file));
    // A failed driver step is the last call the driver saw.
    const std::vector<Op> calls = driver->CallOps();
    if (c.fail != Op::Destroy) {
      EXPECT_EQ(calls.back(), c.fail);
    }
    EXPECT_EQ(std::count(calls.begin(), calls.end(), Op::ClearBitmap), c.fail == Op::ClearBitmap);
    EXPECT_FALSE(AuxCleared());
    const bool present =
        c.after == After::Saved || (c.after == After::Same && c.setup != Before::Absent);
    EXPECT_EQ(kqtest::Exists(file), present);
    if (c.setup != Before::Dir) {
      EXPECT_EQ(kqtest::ReadAll(file), c.after == After::Saved ? Saved(DriverBits(KQV_BITMAP_INCR))
                                       : present               ? kOldFile
                                                               : Bytes{});
    }
  }
}

// Replaces file and driver steps, recording what the workflow asked of them.
class Scripted : public kqtest::DirOps {
 public:
  using DirOps::DirOps;
  bool ReadBMFromFileAndMerge(unsigned char*, unsigned long, std::string fileName,
                              unsigned long offset) override {
    steps.push_back("read:" + fileName + "@" + std::to_string(offset));
    return true;
  }
  bool MergeAndSaveBMToFile(unsigned char*, unsigned long, std::string fileName) override {
    steps.push_back("mergesave:" + fileName);
    return true;
  }
  bool SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                    std::string fileName) override {
    steps.push_back("save:" + fileName);
    return mode != kFailSave && DirOps::SaveBMToFile(bitmap, size, header, fileName);
  }
  bool GetBMFromDriver(KQVBitmapType type, unsigned char** bitmap, unsigned long* size,
                       bool flag) override {
    if (mode != kOwnFetch && mode != kOwnFetchFails) {
      return DirOps::GetBMFromDriver(type, bitmap, size, flag);
    }
    steps.push_back("fetch:" + std::to_string(type) +
                    (*bitmap == nullptr && *size == 0 ? " empty" : " preset"));
    *bitmap = new unsigned char[3]{1, 2, 3};  // the workflow owns it now, whatever we return
    *size = 3;
    return mode == kOwnFetch;
  }
  enum Mode { kBase, kFailSave, kOwnFetch, kOwnFetchFails } mode = kBase;
  std::vector<std::string> steps;
};

TEST_F(ManipulateTest, ADerivedStepChangesTheWorkflow) {
  struct Case {
    const char* name;
    int level;
    bool exists;
    int offset;
    Scripted::Mode mode;
    bool result;
    std::vector<std::string> steps, lines;
  };
  using S = Scripted;
  const std::string saving = Line(kSave, "Saving bitmap to {f}"), ok = M(kOk);
  // clang-format off
  const Case cases[] = {
      {"a", 2, true, -1, S::kBase, true, {"read:@0", "save:"}, {saving, ok}},
      {"a", 1, true, 5, S::kBase, true, {"read:{f}@5", "save:"}, {saving, ok}},
      {"a", 1, true, -1, S::kFailSave, false, {"read:@0", "save:"},
       {M("Failed to SaveBMToFile for  vol ")}},
      {"a", 4, true, 7, S::kFailSave, false, {"read:{f}@7", "save:"},
       {M("Failed to SaveBMToFile for vol ")}},
      {"", 2, true, 0, S::kBase, true, {"mergesave:"}, {ok}},
      {"b", 2, true, 0, S::kBase, true, {"mergesave:"}, {ok}},
      {"", 2, false, 0, S::kFailSave, false, {"save:"}, {M("Failed to SaveBMToFile for  vol ")}},
      {"", 4, false, 0, S::kOwnFetch, true, {"fetch:1 empty", "save:"}, {saving, ok}},
      {"a", 3, false, 0, S::kOwnFetch, true, {"fetch:0 empty", "save:"}, {saving, ok}},
      {"", 2, false, 0, S::kOwnFetchFails, false, {"fetch:0 empty"},
       {M("Failed to GetBMFromDriver  vol ")}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("name '") + c.name + "' level " + std::to_string(c.level) +
                 " offset " + std::to_string(c.offset));
    Reset(c.exists ? Before::File : Before::Absent);
    Scripted s(dir.path(), kVolume);  // by value: the base destructor is not virtual
    log->clear();
    s.mode = c.mode;

    EXPECT_EQ(s.ManipulateBitmap(c.offset, static_cast<KQBkpLevel>(c.level), c.name), c.result);

    EXPECT_EQ(s.steps, Expand(c.steps, defaultFile()));
    EXPECT_EQ(log->lines(), Expand(c.lines, defaultFile()));
    const bool own = c.mode == S::kOwnFetch || c.mode == S::kOwnFetchFails;
    EXPECT_EQ(driver->CallCount(Op::GetBitmap), own ? 0 : 1);
    EXPECT_EQ(AuxCleared(), c.result && c.level != 4);
    if (own && c.result) {
      EXPECT_EQ(kqtest::ReadAll(defaultFile()), Saved({1, 2, 3}));
    }
  }
}

TEST_F(ManipulateTest, UsesTheDefaultFileNameItStartsWith) {
  Reset(Before::File);
  ASSERT_TRUE(ops->MutateDefaultBitMapFileName("other"));
  log->clear();

  EXPECT_TRUE(ops->ManipulateBitmap(0, BKP_LEVEL_SAVE_FULL_BM, ""));

  EXPECT_EQ(kqtest::ReadAll(suffixFile("other")), Saved(DriverBits(KQV_BITMAP_FULL)));
  EXPECT_EQ(kqtest::ReadAll(defaultFile()), kOldFile);
}

TEST_F(ManipulateTest, FourArgumentOverloadDoesNothing) {
  Reset(Before::File);
  EXPECT_TRUE(ops->ManipulateBitmap(-5, 1, 2, ""));
  EXPECT_TRUE(ops->ManipulateBitmap(0, 0, 0, "a"));

  EXPECT_EQ(log->lines(), std::vector<std::string>(2, Line(kTag, "not supported on UNIX")));
  EXPECT_TRUE(driver->Calls().empty());
  EXPECT_EQ(kqtest::ReadAll(defaultFile()), kOldFile);
  EXPECT_EQ(dir.list().size(), 1u);
}

}  // namespace
