// The workflows: DoBitmapFormalities taking a volume's changes over from the
// driver for a backup, DoBitmapDump accumulating them into a dump file, and
// GetBitMap handing a job their OR with a bitmap file; on every way out of
// them no change is lost, nothing is left half done, and the log says why.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <tuple>

#include "KqIoTesting.h"
#include "KqTestSupport.h"

namespace {

using kqlog::Entry;
using kqsim::Op;
using kqtest::Bits;
using kqtest::Bytes;
using kqtest::FaultyOps;
using kqtest::File;
using kqtest::Line;
using kqtest::ReadAll;
using kqtest::WriteAll;
using ::testing::StartsWith;
using Strings = std::vector<std::string>;

constexpr const char* kTag = "KQBitMapOps::DoBitmapFormalities";
constexpr const char* kDump = "KQVIProxyScan::DoBitmapDump";
constexpr const char* kQuery = "KQBitMapOps::GetBitMap";
constexpr const char* kMutate = "KQBitMapOps::MutateDefaultBitMapFileName";
constexpr const char* kSave = "KQBitMapOps::SaveBMToFile";
const std::string kGaveBack =
    Line(kTag, "Gave the fetched bitmap back to the driver for /dev/sda1");
// What a give-back that could neither merge nor mark dirty logs under `tag`.
std::string Lost(const char* tag) {
  return Line(tag,
              "Failed to give the fetched bitmap back to the driver for /dev/sda1 or to mark it "
              "dirty: changes may be lost, the next backup must be a full backup: injected failure "
              "of MarkBitmapDirty");
}
const Strings kBreaks = {"/tmp/DoBitMap.afterentering", "/tmp/DoBitMap.afterwritingmergedbm",
                         "/tmp/DoBitMap.afterwritingresterbm", "/tmp/DoBitMap.beforereturn"};

class Workflow : public kqtest::KqFixture {
 protected:
  void SetUp() override {
    KqFixture::SetUp();
    Seed();
  }
  // Fresh driver volume (full bitmaps of `fullBytes`, aux ones of `auxBytes`),
  // object, directory and log.
  void Reset(uint64_t fullBytes = 0, uint64_t auxBytes = 0) {
    ResetVolume(fullBytes, auxBytes);
    driver->SetHook(Op::GetAndClearBitmap, nullptr);
    driver->ClearCalls();
    faulty = std::make_unique<FaultyOps>(dir.path(), kVolume);
    for (const std::string& name : dir.list()) unlink(dir.file(name).c_str());
    log->clear();
  }
  // As Reset, with bitmap file "bm" seeded with bit 100 and every
  // fetch-and-clear racing a write to block 5, which must never be lost.
  void Seed(uint64_t fullBytes = 0) {
    Reset(fullBytes);
    driver->SetHook(Op::GetAndClearBitmap, [this] { Write(5); });
    WriteAll(bm(), File(0x11, Bits({100})));
  }
  // Saves fail, then the give-back's merge, and with `markFails` its marking dirty.
  void FailGiveBack(bool markFails) {
    faulty->failSave = true;
    driver->FailAt(Op::MergeBitmap);
    if (markFails) driver->FailAt(Op::MarkBitmapDirty);
  }
  // A failed call says false, or passes on what a throwing save threw.
  void ExpectFailure(const std::function<bool()>& call) {
    if (faulty->throwSave) {
      EXPECT_THROW(call(), std::runtime_error);
    } else {
      EXPECT_FALSE(call());
    }
  }
  std::string bm() const { return suffixFile("bm"); }
  std::string incr() const { return suffixFile("incr-tmp"); }
  // Calls GetBitMap with `*out` preset to a sentinel; the buffer it hands back
  // is copied to `merged` and released.
  bool Get(KQBitMapOps& o, const char* name) {
    unsigned char* out = &sentinel;
    bool ok = o.GetBitMap(KQV_BITMAP_INCR, name, kBitmapBytes, &out);
    handedBack = out != &sentinel;
    std::unique_ptr<unsigned char[]> owned(handedBack ? out : nullptr);
    if (handedBack) merged.assign(out, out + kBitmapBytes);
    return ok;
  }

  std::unique_ptr<FaultyOps> faulty;
  unsigned char sentinel = 0;
  bool handedBack = false;
  Bytes merged;
};
using Formalities = Workflow;
using Dump = Workflow;
using GetBitMapTest = Workflow;

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
    Seed();
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
  // The files it leaves are TheRestartFileHoldsWhatItsSaveIsHanded's to check.
  const std::string restart = suffixFile("restart");
  WriteAll(bm(), File(0x11, Bits({3})));
  Write(1);
  ASSERT_TRUE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));
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

// The restart file is written while the merge is made, and its save only
// puts it in place: whatever the save is handed must still be what lands.
TEST_F(Formalities, TheRestartFileHoldsWhatItsSaveIsHanded) {
  struct Scribbler : kqtest::DirOps {
    using DirOps::DirOps;
    int saves = 0, bit = -1;  // set in the buffer of the second (restart) save
    bool SaveBMToFile(unsigned char* b, unsigned long n, unsigned char* h, std::string f) override {
      if (++saves == 2 && bit >= 0) b[bit / 8] |= static_cast<unsigned char>(1u << (bit % 8));
      return DirOps::SaveBMToFile(b, n, h, std::move(f));
    }
  };
  const std::string restart = suffixFile("restart");
  kqtest::TempDir shm;  // elsewhere, maybe on another file system
  struct Case {
    const char* what;
    int bit;
    std::string linkTo;  // the restart path is a link to this file
  };
  const Case cases[] = {
      {"as fetched", -1, ""},
      {"a step wrote to it", 60, ""},
      {"a link to another directory", -1, shm.file("r")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reset();
    WriteAll(bm(), File(0x11, Bits({100})));
    Scribbler o(dir.path(), kVolume);
    o.SetVolName(kVolume);
    o.bit = c.bit;
    const std::string target = c.linkTo.empty() ? restart : c.linkTo;
    WriteAll(target, File(0x11, Bits({7})));
    chmod(target.c_str(), 0640);
    if (!c.linkTo.empty()) {
      ASSERT_EQ(symlink(c.linkTo.c_str(), restart.c_str()), 0);
    }
    Write(1);
    ASSERT_TRUE(o.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));
    EXPECT_EQ(ReadAll(bm()), File(0x5A, Bits({1, 100})));
    EXPECT_EQ(ReadAll(target), File(0x5A, c.bit < 0 ? Bits({1}) : Bits({1, c.bit})));
    struct stat st {};
    EXPECT_EQ(stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    unlink(c.linkTo.c_str());
  }
}

// A job's pass-through replacement of the read and merge steps: the
// workflows then call them through their slots, where they would otherwise
// stream the bitmap file into the bitmap they merge into.
class SteppedOps : public kqtest::DirOps {
 public:
  using DirOps::DirOps;
  bool ReadBMFromFile(unsigned char* b, unsigned long n, unsigned char* h,
                      std::string name) override {
    return DirOps::ReadBMFromFile(b, n, h, std::move(name));
  }
  bool MergeBM(unsigned char* t, unsigned long ts, unsigned char* o, unsigned long os) override {
    return DirOps::MergeBM(t, ts, o, os);
  }
};

// The streamed merge (files with holes, one bitmap in memory) and the steps
// called through their slots give the same files and bits, to the last
// byte: sizes that end inside a page and large enough for the second thread
// and the two-thread merge, holes at the start, the end, everywhere and
// nowhere, all ones; holes reported by the file system or not.
TEST_F(Formalities, StreamedAndSteppedMergesGiveTheSameFilesAndBits) {
  // Which file pages of a bitmap hold set bits: '0' none, '1' all, 'r' some.
  auto pattern = [](size_t n, const std::string& pages, unsigned seed) {
    Bytes b = kqtest::Random(n, seed);
    for (size_t i = 0; i < n; ++i) {
      const char page = pages[std::min((i + 1) / 4096, pages.size() - 1)];
      b[i] = page == '0' ? 0 : page == '1' ? 0xFF : b[i];
    }
    return b;
  };
  const size_t large = (size_t{32} << 20) + 100;
  std::string clustered(large / 4096 + 1, '0');  // 2% of the pages, in runs of 16
  for (size_t p = 3; p + 16 < clustered.size(); p += 800) clustered.replace(p, 16, 16, 'r');
  struct Case {
    size_t n;
    std::string file, driver;  // pages of the bitmap file and of the driver's bitmap
    bool holesReported = true;
  };
  const Case cases[] = {{16, "r", "r"},
                        {4095, "0", "r"},
                        {3 * 4096 + 5, "0r0r", "r00r"},
                        {3 * 4096 + 5, "r00r", "0000", false},
                        {9 * 4096 + 123, "1", "0"},
                        {large, clustered, clustered.substr(5) + "00000"}};
  kqlog::Capture quiet(1);  // no byte listings
  driver->SetHook(Op::GetAndClearBitmap, nullptr);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) +
                 " bytes, holes reported: " + (c.holesReported ? "yes" : "no"));
    kqbitmapops_detail::ReportHolesForTesting(c.holesReported);
    kqsim::VolumeConfig cfg;
    cfg.bytes = uint64_t{c.n} * 8 * cfg.blockSize;
    cfg.fullSize = c.n;  // the dump takes both of one size
    const Bytes onFile = pattern(c.n, c.file, 1), onDriver = pattern(c.n, c.driver, 2);
    std::vector<Bytes> seen[2];
    for (int stepped : {0, 1}) {
      driver->AddVolume(kVolume, cfg);
      for (const std::string& name : dir.list()) unlink(dir.file(name).c_str());
      WriteAll(bm(), File(0x11, onFile));
      WriteAll(incr(), File(0x22, onFile));
      std::unique_ptr<kqtest::DirOps> o =
          stepped ? std::make_unique<SteppedOps>(dir.path(), kVolume)
                  : std::make_unique<kqtest::DirOps>(dir.path(), kVolume);
      driver->SetBitmap(kVolume, KQV_BITMAP_INCR, onDriver);
      ASSERT_TRUE(o->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false));
      driver->SetBitmap(kVolume, KQV_BITMAP_INCR, pattern(c.n, c.driver, 3));
      unsigned char* out = nullptr;
      ASSERT_TRUE(o->GetBitMap(KQV_BITMAP_INCR, "bm", c.n, &out));
      const std::unique_ptr<unsigned char[]> owned(out);
      ASSERT_TRUE(o->DoBitmapDump(KQV_BITMAP_INCR, kVolume, true));
      seen[stepped] = {ReadAll(bm()), ReadAll(suffixFile("restart")), Bytes(out, out + c.n),
                       ReadAll(incr()), Driver()};
    }
    EXPECT_TRUE(seen[0] == seen[1]);
    Bytes merged = onFile;
    for (size_t i = 0; i < c.n; ++i) merged[i] |= onDriver[i];
    EXPECT_TRUE(seen[0][0] == File(0x5A, merged));
    EXPECT_TRUE(seen[0][1] == File(0x5A, onDriver));
    EXPECT_TRUE(seen[0][4] == Bytes(c.n, 0));
  }
  kqbitmapops_detail::ReportHolesForTesting(true);
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
      {"fetch-and-clear cleared, then failed", [&](Args&) { faulty->failAfterFetch = true; },
       {Line(kTag, "Failed to get and clear BM from driver"), kGaveBack}, Raced},
      {"unknown type", [](Args& a) { a.type = static_cast<KQVBitmapType>(3); },
       {Line("KQBitMapOps::GetBMFromDriver", "Unknown Bitmap Type. Returning failure."),
        Line(kTag, "Failed to get and clear BM from driver")}, Kept},
      {"merge refused",
       [&](Args& a) { Seed(32); a.type = KQV_BITMAP_FULL; },
       {Line("KQBitMapOps::MergeBM",
             " Src Bitmap Size 32 is not equal Destbitmap size 16, can't merge."),
        Line(kTag, "Failed to Merge BM")}, Kept},
      {"empty path", [](Args& a) { a.name = ""; a.isPath = true; },
       {Line(kTag, "Failed to lock the Bitmap File  error no=2")}, Kept},
      {"save throws", [&](Args&) { faulty->throwSave = true; }, {kGaveBack}, Raced},
      {"give-back marks dirty", [&](Args&) { FailGiveBack(false); },
       {Line(kTag, "Marked the driver bitmap dirty for /dev/sda1")}, Dirty},
      {"give-back fails", [&](Args&) { FailGiveBack(true); }, {Lost(kTag)}, Emptied},
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
    Seed();
    Args a;
    c.arm(a);
    Write(1);
    Write(9);
    const Bytes before = ReadAll(bm());
    log->clear();
    ExpectFailure([&] { return faulty->DoBitmapFormalities(a.type, a.name, a.restart, a.isPath); });
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
                    Line(kDump, "Trying to get Bitmap  From Driver  for Vol /dev/sda1 "),
                    Line("KQBitMapOps::SaveBMToFile", "Saving bitmap to " + file),
                    Line(kDump, "Saved Bitmap for /dev/sda1")};
    EXPECT_EQ(log->lines(), want);

    Write(4);
    WriteAll(file, File(0x11, Bits({1, 100})));  // a stored header byte is not kept
    log->clear();
    ASSERT_TRUE(faulty->DoBitmapDump(type, kVolume, true));
    want.insert(want.begin() + 1,
                Line(kDump, "Read Existing Image EKT Bitmap of Volume /dev/sda1 "));
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
  const std::string fetchFailed = Line(kDump, "GetBMFromDriver failed for /dev/sda1");
  const std::string saveFailed = Line(kDump, "SaveBMToFile failed for /dev/sda1");
  const std::string gaveBack =
      Line(kDump, "Gave the fetched bitmap back to the driver for /dev/sda1");
  // clang-format off
  const Case cases[] = {
      {"getVolName fails", [&](Args&) { driver->FailAt(Op::GetVolName); },
       {Line(kDump, "Failed to get volnamepath for=/dev/sda1")}, NoHandle},
      {"volume object not valid", [&](Args&) { driver->FailAt(Op::IsValid); },
       {Line("KQBitMapOps::InitAndValidateVolObject", "Failed to create KQVolume object"),
        Line(kDump, "Failed to initialize KQVolume")}, Early},
      {"volume information", [&](Args&) { driver->FailAt(Op::GetVolInfo); },
       {Line(kDump, "Failed to get volume information")}, Early},
      {"full and incremental sizes differ", [&](Args&) { ResetVolume(32); },
       {Line(kDump, "Full bitmap size 32 differs from incremental size 16. Cannot dump /dev/sda1")},
       Early},
      {"aux bitmap larger than a dump", [&](Args& a) { ResetVolume(0, 32); a.type = KQV_BITMAP_AUX; },
       {Line(kDump, "Bitmap size 32 of type 2 exceeds the dump size 16. Cannot dump /dev/sda1")},
       Early},
      {"short dump file", [&](Args&) { WriteAll(incr(), Bytes{0x11, 1}); },
       {Line(kMutate, "Modified DefaultBitmapFileName = " + incr()),
        StartsWith(Line("KQBitMapOps::ReadBMFromFile", "Failed to read from file=" + incr())),
        Line(kDump, "Error Reading Existing Image EKT Bitmapof Volume /dev/sda1")}},
      {"fetch-and-clear fails", [&](Args&) { driver->FailAt(Op::GetAndClearBitmap); },
       {fetchFailed}},
      {"fetch fails", [&](Args& a) { driver->FailAt(Op::GetBitmap); a.clear = false; },
       {fetchFailed}},
      {"unknown type", [](Args& a) { a.type = static_cast<KQVBitmapType>(3); }, {fetchFailed}},
      {"merge refused", [&](Args&) { faulty->failMerge = true; },
       {Line(kDump, "MergeBM failed for /dev/sda1"), gaveBack}},
      {"save refused", [&](Args&) { faulty->failSave = true; }, {saveFailed, gaveBack}, Named,
       Merged},
      {"save refused without clearing",
       [&](Args& a) { faulty->failSave = true; a.clear = false; }, {saveFailed}},
      {"save throws", [&](Args&) { faulty->throwSave = true; }, {gaveBack}, Named, Merged},
      {"save releases the volume object", [&](Args&) { faulty->releaseInSave = true; },
       {saveFailed, gaveBack}, Named, Merged},
      {"give-back marks dirty", [&](Args&) { FailGiveBack(false); },
       {saveFailed, Line(kDump, "Marked the driver bitmap dirty for /dev/sda1")}, Named, Dirty},
      {"give-back fails", [&](Args&) { FailGiveBack(true); }, {saveFailed, Lost(kDump)}, Named,
       Cleared},
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
    ExpectFailure([&] { return faulty->DoBitmapDump(a.type, kVolume, a.clear); });
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

// The driver refuses a type it does not know before clearing anything: no
// record is written, which a job killed mid-call would leave unanswerable.
TEST_F(Dump, AnUnknownTypeWritesNoRecord) {
  bool recorded = true;
  driver->SetHook(Op::GetAndClearBitmap, [&] {
    recorded = !kqtest::LockRecord(suffixFile("full-tmp") + ".kqlock").empty();
  });
  EXPECT_FALSE(ops->DoBitmapDump(static_cast<KQVBitmapType>(7), kVolume, true));
  EXPECT_EQ(driver->CallCount(Op::GetAndClearBitmap), 1);
  EXPECT_FALSE(recorded);
}

// The header byte (0xFF shows it) stays out of the bitmap; byte listings only at level 2.
TEST_F(GetBitMapTest, MergesFileAndDriverAndChangesNothing) {
  // The name given, the file it names, the log level.
  const std::tuple<const char*, std::string, int> cases[] = {{"bm", suffixFile("bm"), 2},
                                                             {"", defaultFile(), 1}};
  Write(1);
  Write(2);
  for (const auto& [name, file, level] : cases) {
    SCOPED_TRACE(file);
    const bool listed = level == 2;
    WriteAll(file, File(0xFF, Bits({2, 100})));
    kqlog::Capture cap(level);
    ASSERT_TRUE(Get(*ops, name));
    EXPECT_EQ(merged, Bits({1, 2, 100}));
    EXPECT_EQ(Driver(), Bits({1, 2}));
    EXPECT_EQ(ReadAll(file), File(0xFF, Bits({2, 100})));
    EXPECT_EQ(dir.list().size(), 1u);
    EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 0);

    Strings want = {Line(kMutate, "Modified DefaultBitmapFileName = " + file),
                    Line(kQuery, "Initialized default bitmatp name")};
    auto listing = [&](const char* title, const Bytes& b) {
      want.push_back(Line(kQuery, title));
      for (size_t i = 0; listed && i < b.size(); ++i)
        want.push_back(Line(kQuery, "Byte " + std::to_string(i) + " : " + std::to_string(b[i]), 2));
    };
    listing("Printing Disk BM", Bits({2, 100}));
    want.push_back(Line(kQuery, "Got BM from driver"));
    listing("Printing Driver BM", Bits({1, 2}));
    listing("Printing Merged BM", Bits({1, 2, 100}));
    EXPECT_EQ(cap.lines(), want);
    for (const Entry& e : cap.entries()) {  // GetBitMap logs through a log object of its own
      EXPECT_EQ(e.fromEvent, e.tag != kQuery) << e.text;
      EXPECT_TRUE(e.tag != kQuery || e.kind == Entry::Kind::DebugLvl) << e.text;
    }
    ExpectDefaultName(*ops, file);  // the default name now names the file read
    unlink(file.c_str());
  }
}

// A buffer is handed back (and released by Get, which the sanitizer build
// checks) only once the file was read.
TEST_F(GetBitMapTest, FailuresChangeNothing) {
  const std::string file = suffixFile("bm");
  const std::string named = Line(kMutate, "Modified DefaultBitmapFileName = " + file);
  const std::string init = Line(kQuery, "Initialized default bitmatp name");
  const std::string diskBM = Line(kQuery, "Printing Disk BM");
  struct Case {
    const char* what;
    std::function<void(FaultyOps&)> arm;
    bool handedBack;
    Strings log;  // at level 1
  };
  // clang-format off
  const Case cases[] = {
      {"invalid volume object", [&](FaultyOps&) { driver->FailAt(Op::IsValid); }, false,
       {Line("KQBitMapOps::InitAndValidateVolObject", "Failed to create KQVolume object")}},
      {"no file", [&](FaultyOps&) { unlink(file.c_str()); }, false,
       {named, init, Line("KQBitMapOps::ReadBMFromFile",
                          "Failed to open the Bitmap File " + file + ".  error 2"),
        Line(kQuery, "Failed to Read BM From file")}},
      {"driver fetch", [&](FaultyOps&) { driver->FailAt(Op::GetBitmap); }, true,
       {named, init, diskBM, Line(kQuery, "Failed to get BM from driver")}},
      {"merge", [](FaultyOps& o) { o.failMerge = true; }, true,
       {named, init, diskBM, Line(kQuery, "Got BM from driver"), Line(kQuery, "Printing Driver BM"),
        Line(kQuery, "Failed to Merge BM")}},
  };
  // clang-format on
  Write(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteAll(file, File(0, Bits({3})));
    FaultyOps o(dir.path(), kVolume);
    driver->ClearCalls();
    c.arm(o);
    const Bytes before = ReadAll(file);
    kqlog::Capture cap(1);
    EXPECT_FALSE(Get(o, "bm"));
    EXPECT_EQ(cap.lines(), c.log);
    EXPECT_EQ(handedBack, c.handedBack);
    EXPECT_EQ(driver->CallCount(Op::GetBitmap) > 0, c.handedBack);
    EXPECT_EQ(Driver(), Bits({1}));
    EXPECT_EQ(ReadAll(file), before);
  }
}

// On a read-only file system a query can make no lock file, and no writer
// can race it: it reads unlocked. A take-over there still fails at the lock.
TEST_F(GetBitMapTest, OnAReadOnlyFileSystemOnlyAQueryGoesOnUnlocked) {
  const std::string file = suffixFile("bm");
  WriteAll(file, File(0, Bits({3})));
  Write(1);
  for (const bool query : {true, false}) {
    SCOPED_TRACE(query ? "query" : "take-over");
    // The second file call is the lock file's creation (the first: the name's lstat).
    kqbitmapops_detail::FailFileCallForTesting(2, EROFS);
    EXPECT_EQ(
        query ? Get(*ops, "bm") : ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false),
        query);
    kqbitmapops_detail::FailFileCallForTesting(0, 0);
    EXPECT_FALSE(kqtest::Exists(file + ".kqlock"));
  }
  EXPECT_EQ(merged, Bits({1, 3}));
  EXPECT_EQ(Driver(), Bits({1}));
  EXPECT_EQ(ReadAll(file), File(0, Bits({3})));
}

// No room for the buffer's alignment must not shrink it: array new refuses
// the size, as for any buffer it cannot give, and nothing changes.
TEST_F(GetBitMapTest, ASizeNoBufferCanHoldIsRefusedAsArrayNewRefusesIt) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's allocator aborts instead of throwing";
#endif
  const std::string file = suffixFile("bm");
  WriteAll(file, File(0, Bits({3})));
  Write(1);
  for (const unsigned long size : {~0ul, ~0ul - 40}) {
    unsigned char* out = nullptr;
    EXPECT_THROW(ops->GetBitMap(KQV_BITMAP_INCR, "bm", size, &out), std::bad_alloc);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_EQ(ReadAll(file), File(0, Bits({3})));
  EXPECT_EQ(Driver(), Bits({1}));
}

}  // namespace
