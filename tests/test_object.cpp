// The object: its slot order, its volume and bitmap file names, its lifecycle.
#include "KqTestSupport.h"

#include <gmock/gmock.h>

#include <cstddef>
#include <cstring>
#include <iterator>

namespace {

using kqtest::Line;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

// The vtable slot a pointer to a virtual member function designates. Itanium
// C++ ABI: the first word holds 1 + the slot's byte offset in the vtable (on
// ARM the offset itself, with the virtual flag in the adjustment word).
template <typename Class, typename Sig>
std::ptrdiff_t Slot(Sig Class::*pmf) {
  static_assert(sizeof pmf == 2 * sizeof(std::ptrdiff_t), "Itanium member function pointer");
  std::ptrdiff_t word[2];
  std::memcpy(word, &pmf, sizeof word);
#if defined(__arm__) || defined(__aarch64__)
  if ((word[1] & 1) == 0) return -1;
  return word[0] / static_cast<std::ptrdiff_t>(sizeof(void*));
#else
  if ((word[0] & 1) == 0 || (word[0] - 1) % static_cast<std::ptrdiff_t>(sizeof(void*)) != 0)
    return -1;  // not a virtual function
  return (word[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
#endif
}

using Ops = KQBitMapOps;
using Str = std::string;
using UC = unsigned char;
using UL = unsigned long;

// A derived class's first new virtual follows the 28: nothing else (no
// virtual destructor, no extra operation) sits in the base's table.
struct Extended : KQBitMapOps {
  virtual int FirstNewOperation() { return 0; }
};

TEST(Object, TheTwentyEightOperationsHoldTheirSlotsWithTheirSignatures) {
  // The explicit signatures pick the ManipulateBitmap overloads and pin every parameter list.
  const std::ptrdiff_t slots[] = {
      Slot<Ops, bool(const Str&)>(&Ops::InitAndValidateVolObject),
      Slot<Ops, Str()>(&Ops::GetVolName),
      Slot<Ops, void(Str)>(&Ops::SetVolName),
      Slot<Ops, void(char)>(&Ops::AddSetBitsInBM),
      Slot<Ops, Str(Str, char*)>(&Ops::PrepareAbsoluteBitmapFileName),
      Slot<Ops, bool(Str)>(&Ops::MutateDefaultBitMapFileName),
      Slot<Ops, bool()>(&Ops::ConvertVolToUniqueName),
      Slot<Ops, bool(UC*, UL, UC*, Str)>(&Ops::ReadBMFromFile),
      Slot<Ops, bool(UC*, UL, UC*, Str)>(&Ops::SaveBMToFile),
      Slot<Ops, bool(UC*, UL, UC*, UL)>(&Ops::MergeBM),
      Slot<Ops, bool(UC*, UL, UC*, UL, UL)>(&Ops::MergeBMFromOffset),
      Slot<Ops, bool(UC*, UL, Str, UL)>(&Ops::ReadBMFromFileAndMerge),
      Slot<Ops, bool(UC*, UL, Str)>(&Ops::MergeAndSaveBMToFile),
      Slot<Ops, bool(Str)>(&Ops::DeleteBMFile),
      Slot<Ops, bool(UC*, UL, UL, int, Str)>(&Ops::SaveBMWithParams),
      Slot<Ops, bool(UC**, UL*, UL*, int*, Str)>(&Ops::ReadBMWithParams),
      Slot<Ops, bool(KQVBitmapType, UC**, UL*, bool)>(&Ops::GetBMFromDriver),
      Slot<Ops, bool(KQVBitmapType, UC**, UL*, bool, const Str&)>(&Ops::GetAndClearBMFromDriver),
      Slot<Ops, bool(KQVBitmapType)>(&Ops::ClearBMOnDriver),
      Slot<Ops, bool(KQVBitmapType, UC*, UL)>(&Ops::MergeAndWriteBMOntoDriver),
      Slot<Ops, bool(int, int, int, Str)>(&Ops::ManipulateBitmap),
      Slot<Ops, bool(int, KQBkpLevel, Str)>(&Ops::ManipulateBitmap),
      Slot<Ops, bool(int)>(&Ops::IsAsyncMirror),
      Slot<Ops, bool(Str, int*)>(&Ops::FigureOutSNRIdFromVolName),
      Slot<Ops, bool(KQVBitmapType, UL, Str)>(&Ops::SaveFileForFailure),
      Slot<Ops, bool(KQVBitmapType, Str, bool)>(&Ops::DoBitmapDump),
      Slot<Ops, bool(KQVBitmapType, const char*, UL, UC**)>(&Ops::GetBitMap),
      Slot<Ops, bool(KQVBitmapType, const char*, const char*, bool)>(&Ops::DoBitmapFormalities),
      Slot<Extended, int()>(&Extended::FirstNewOperation),
  };
  for (std::ptrdiff_t i = 0; i < std::ptrdiff_t{std::size(slots)}; ++i)
    EXPECT_EQ(slots[i], i) << "operation " << i;
}

TEST(Naming, ComposesPrefixLastComponentSeparatorAndSuffix) {
  const std::string c1023(1023, 'c');
  const std::string c1024(1024, 'c');
  struct Case {
    std::string volume, suffix, name;
  };
  // /dev/sda1's default and "incr-tmp" names are in the Mutate test's lines.
  const Case cases[] = {
      {"/dev/sda1", "a/b", "/etc/tessel/.sda1_a/b"},
      {"/", "r", "/etc/tessel/._r"},
      {"sdb", "", "/etc/tessel/.sdb__YBVolBitmap"},  // no "/": the whole name
      {"", "", "/etc/tessel/.__YBVolBitmap"},
      {"/x/" + c1023, "", "/etc/tessel/." + c1023 + "__YBVolBitmap"},
      {"/x/" + c1024, "", ""},  // refused, not cut short
      {c1024, "s", ""},
      {c1024 + "/sda1", "", "/etc/tessel/.sda1__YBVolBitmap"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.volume.substr(0, 20) + " / " + c.suffix);
    KQBitMapOps ops(c.volume, nullptr);  // naming touches no file
    char reserved[] = "ignored";
    EXPECT_EQ(ops.PrepareAbsoluteBitmapFileName(c.suffix, reserved), c.name);
  }
}

TEST(Naming, MutateLogsTheNewNameOrRefusesAndTheNameStaysEmpty) {
  KQBitMapOps ops("/dev/sda1", nullptr);
  KQBitMapOps longName("/dev/" + std::string(1024, 'c'), nullptr);
  KQBitMapOps blank;
  EXPECT_EQ(blank.GetVolName(), "");
  kqlog::Capture log(2);
  const char* tag = "KQBitMapOps::MutateDefaultBitMapFileName";
  EXPECT_TRUE(ops.ConvertVolToUniqueName());  // a no-op that only logs, untagged
  EXPECT_TRUE(ops.MutateDefaultBitMapFileName("incr-tmp"));
  EXPECT_TRUE(ops.MutateDefaultBitMapFileName(""));
  EXPECT_FALSE(longName.MutateDefaultBitMapFileName("incr-tmp"));
  // The empty name stays: a later save fails at the open and creates nothing.
  unsigned char bitmap[2] = {1, 2}, header = 0;
  EXPECT_FALSE(longName.SaveBMToFile(bitmap, sizeof bitmap, &header, ""));
  EXPECT_EQ(ops.GetVolName(), "/dev/sda1");
  EXPECT_THAT(
      log.lines(),
      ElementsAre(Line("", "This functionality is yet to be ported on this platform"),
                  Line(tag, "Modified DefaultBitmapFileName = /etc/tessel/.sda1_incr-tmp"),
                  Line(tag, "Modified DefaultBitmapFileName = /etc/tessel/.sda1__YBVolBitmap"),
                  Line(tag, "Unable to modify the DefaultBitmapFileName"),
                  Line("KQBitMapOps::SaveBMToFile", "Saving bitmap to "),
                  Line("KQBitMapOps::SaveBMToFile", "Failed to open the Bitmap File .  error 2")));
}

// Records the slot calls of the naming steps and names files in a temp dir.
class Recorder : public KQBitMapOps {
 public:
  Recorder(std::string dir, std::string volume, char* reserved)
      : KQBitMapOps(std::move(volume), reserved), dir_(std::move(dir)) {}
  std::string PrepareAbsoluteBitmapFileName(std::string suffix, char* reserved) override {
    calls.push_back("prepare " + GetVolName() + " [" + suffix + "]" + (reserved ? " r" : ""));
    return dir_ + "/derived_" + suffix;
  }
  bool ConvertVolToUniqueName() override {
    calls.push_back("convert " + GetVolName());
    return false;  // ignored by SetVolName
  }
  std::vector<std::string> calls;

 private:
  std::string dir_;
};

TEST(Naming, ADerivedNamingIsUsedThroughTheSlotsButNotByTheConstructor) {
  if (kqtest::Exists("/etc/tessel")) GTEST_SKIP() << "/etc/tessel exists; the base name is read";
  kqtest::TempDir dir;
  kqlog::Capture log(2);
  char reserved[] = "r";
  Recorder ops(dir.path(), "/dev/sda1", reserved);
  EXPECT_THAT(ops.calls, IsEmpty());
  EXPECT_THAT(log.lines(), IsEmpty());  // the constructor logs nothing

  // The constructor named the file itself: a read (which creates nothing) shows it.
  unsigned char bitmap[1] = {0}, header = 0;
  EXPECT_FALSE(ops.ReadBMFromFile(bitmap, 1, &header, ""));
  EXPECT_THAT(log.lines(), ElementsAre(Line("KQBitMapOps::ReadBMFromFile",
                                            "Failed to open the Bitmap File "
                                            "/etc/tessel/.sda1__YBVolBitmap.  error 2")));
  log.clear();

  // SetVolName drops a mutated name for the new volume's default one.
  EXPECT_TRUE(ops.MutateDefaultBitMapFileName("incr-tmp"));
  ops.SetVolName("/dev/sdb2");
  EXPECT_THAT(ops.calls, ElementsAre("prepare /dev/sda1 [incr-tmp]", "convert /dev/sdb2",
                                     "prepare /dev/sdb2 []"));
  ASSERT_TRUE(ops.SaveBMToFile(bitmap, 1, &header, ""));
  EXPECT_THAT(dir.list(), ElementsAre("derived_"));
}

}  // namespace
