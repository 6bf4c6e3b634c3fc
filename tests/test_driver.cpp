// The volume object's lifecycle and the driver retrieval, clear and write-back.
#include "KqTestSupport.h"

#include <gmock/gmock.h>

namespace {

using kqsim::Op;
using kqtest::Bytes;
using kqtest::Line;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const char kClear[] = "KQBitMapOps::ClearBMOnDriver";
const char kWrite[] = "KQBitMapOps::MergeAndWriteBMOntoDriver";

// A retrieval's out-parameters; releases what the library allocated, whatever the result.
struct Buf {
  unsigned char* p = nullptr;
  unsigned long size = 0;
  Buf() = default;
  Buf(const Buf&) = delete;
  Buf& operator=(const Buf&) = delete;
  ~Buf() { delete[] p; }
  Bytes bytes() const { return Bytes(p, p + size); }
};

// The calls that create a volume object, then `rest`.
std::vector<Op> Created(std::vector<Op> rest) {
  std::vector<Op> all = {Op::Construct, Op::IsValid, Op::SetClntDisplayName, Op::SetVolumeName,
                         Op::IsValid};
  all.insert(all.end(), rest.begin(), rest.end());
  return all;
}

class Driver : public kqtest::KqFixture {
 protected:
  // A new object for `volume`, with the calls and lines so far forgotten.
  void Fresh(const std::string& volume = kVolume) {
    ops = std::make_unique<kqtest::DirOps>(dir.path(), volume);
    driver->ClearCalls();
    log->clear();
  }
  // The calls (log lines) since the last look.
  std::vector<Op> Ops() {
    std::vector<Op> ops = driver->CallOps();
    driver->ClearCalls();
    return ops;
  }
  std::vector<std::string> Lines() {
    std::vector<std::string> lines = log->lines();
    log->clear();
    return lines;
  }
  bool Fetch(bool clear, int type, Buf& b, const std::string& name = "") {
    auto t = static_cast<KQVBitmapType>(type);
    return clear ? ops->GetAndClearBMFromDriver(t, &b.p, &b.size, false, name)
                 : ops->GetBMFromDriver(t, &b.p, &b.size, false);
  }
};

TEST_F(Driver, ARetrievalSizesANullBufferByItsTypeAndDeletesItsOwnVolumeObject) {
  // Each type's size differs from the others' when it is fetched (the sizes sit at
  // bytes 48, 32 and 64 of the volume information).
  const std::pair<KQVBitmapType, Bytes> maps[] = {{KQV_BITMAP_INCR, {1, 2, 3, 4, 5}},
                                                  {KQV_BITMAP_FULL, {6, 7, 8}},
                                                  {KQV_BITMAP_AUX, {9, 10, 11, 12, 13, 14, 15}},
                                                  {KQV_BITMAP_AUX, {}}};
  for (bool clear : {false, true}) {
    const Op get = clear ? Op::GetAndClearBitmap : Op::GetBitmap;
    for (const auto& m : maps) {
      SCOPED_TRACE(std::to_string(m.first) + (clear ? " and clear" : ""));
      driver->SetBitmap(kVolume, m.first, m.second);
      Buf b;
      b.size = 99;
      ASSERT_TRUE(Fetch(clear, m.first, b));
      EXPECT_NE(b.p, nullptr);  // even for 0 bytes
      EXPECT_EQ(b.bytes(), m.second);
      const std::vector<kqsim::Call> calls = driver->Calls();
      ASSERT_THAT(Ops(), ElementsAreArray(Created({Op::GetVolInfo, get, Op::Destroy})));
      EXPECT_TRUE(calls[6].type == m.first && calls[6].size == m.second.size() && !calls[6].flag);
      EXPECT_EQ(driver->Bitmap(kVolume, m.first), clear ? Bytes(m.second.size()) : m.second);
    }
  }
  EXPECT_THAT(Lines(), IsEmpty());
}

TEST_F(Driver, AFailedFetchKeepsTheVolumeObjectAndLeavesTheBufferWithTheCaller) {
  for (bool clear : {false, true}) {
    Fresh();
    const Op get = clear ? Op::GetAndClearBitmap : Op::GetBitmap;
    driver->FailAt(get);
    Buf a, b;
    EXPECT_FALSE(Fetch(clear, KQV_BITMAP_FULL, a, "first"));
    ASSERT_NE(a.p, nullptr);  // zero-filled, the caller's to delete[]
    EXPECT_EQ(a.bytes(), Bytes(kBitmapBytes));
    // Reused, only checked again: the display name it was made with stays.
    ASSERT_TRUE(Fetch(true, KQV_BITMAP_INCR, b, "second"));
    EXPECT_EQ(driver->Calls()[2].text, clear ? "first" : "");  // setClntDisplayName
    EXPECT_THAT(Ops(), ElementsAreArray(Created({Op::GetVolInfo, get, Op::IsValid, Op::GetVolInfo,
                                                 Op::GetAndClearBitmap, Op::Destroy})));
    EXPECT_THAT(Lines(), IsEmpty());
  }
}

// Each operation's refusal of a failed init step is shown with the Gated object below.
TEST_F(Driver, AnInvalidVolumeObjectIsNeverReplaced) {
  for (Op broken : {Op::Construct, Op::IsValid}) {
    SCOPED_TRACE(kqsim::OpName(broken));
    Fresh();
    driver->FailAt(broken);
    Buf b;
    EXPECT_FALSE(ops->InitAndValidateVolObject("job"));
    EXPECT_FALSE(Fetch(true, KQV_BITMAP_INCR, b, "job"));
    EXPECT_FALSE(ops->ClearBMOnDriver(KQV_BITMAP_AUX));
    EXPECT_EQ(b.p, nullptr);
    EXPECT_THAT(Ops(),
                ElementsAre(Op::Construct, Op::IsValid, Op::IsValid, Op::IsValid, Op::IsValid));
    const std::string noVolume =
        Line("KQBitMapOps::InitAndValidateVolObject", "Failed to create KQVolume object");
    EXPECT_THAT(Lines(), ElementsAre(noVolume, noVolume, noVolume));
  }
}

TEST_F(Driver, AnUnknownTypeOrAFailedVolumeInformationAllocatesNothing) {
  struct Case {
    int type;
    bool failInfo;
    const char* volume;
    const char* line;  // both retrievals log under one tag
  };
  const Case cases[] = {
      {3, false, kVolume, "Unknown Bitmap Type. Returning failure."},
      {-1, false, kVolume, "Unknown Bitmap Type. Returning failure."},
      {0, true, kVolume, "ZRBFGetVolInfo Failed: injected failure of GetVolInfo"},
      {1, false, "/dev/sdz9",
       "ZRBFGetVolInfo Failed: volume /dev/sdz9 is not tracked by the driver"},
  };
  for (const Case& c : cases) {
    for (bool clear : {false, true}) {
      SCOPED_TRACE(c.line + std::string(clear ? " (and clear)" : ""));
      Fresh(c.volume);
      if (c.failInfo) driver->FailAt(Op::GetVolInfo);
      Buf b;
      b.size = 12345;
      EXPECT_FALSE(Fetch(clear, c.type, b, "job"));
      EXPECT_TRUE(b.p == nullptr && b.size == 12345u);
      EXPECT_THAT(Ops(), ElementsAreArray(Created({Op::GetVolInfo})));
      EXPECT_THAT(Lines(), ElementsAre(Line("KQBitMapOps::GetBMFromDriver", c.line)));
    }
  }
}

TEST_F(Driver, ACallersBufferGoesToTheLibraryAsItIs) {
  for (bool clear : {false, true}) {
    for (int type : {0, 2, 3, 77}) {
      SCOPED_TRACE(std::to_string(type) + (clear ? " and clear" : ""));
      const Op op = clear ? Op::GetAndClearBitmap : Op::GetBitmap;
      Bytes storage(8, 0xEE);
      unsigned char* p = storage.data();
      unsigned long size = 6;
      auto t = static_cast<KQVBitmapType>(type);
      driver->FailAt(op);  // so that nothing but this call could write the buffer
      EXPECT_FALSE(clear ? ops->GetAndClearBMFromDriver(t, &p, &size, true, "")
                         : ops->GetBMFromDriver(t, &p, &size, true));
      EXPECT_TRUE(p == storage.data() && size == 6u);
      EXPECT_EQ(storage, Bytes(8, 0xEE));  // not zero-filled first
      const kqsim::Call call = driver->Calls().back();
      EXPECT_TRUE(call.op == op && call.type == type && call.size == 6 && call.flag);
    }
  }
  EXPECT_EQ(driver->CallCount(Op::GetVolInfo), 0);
  EXPECT_THAT(Lines(), IsEmpty());
}

TEST_F(Driver, ClearBMOnDriverDeletesTheVolumeObjectOnlyOnSuccess) {
  driver->RecordWrite(kVolume, 0, 3 * 4096);
  driver->FailAt(Op::ClearBitmap);
  EXPECT_FALSE(ops->ClearBMOnDriver(KQV_BITMAP_AUX));
  EXPECT_TRUE(ops->ClearBMOnDriver(KQV_BITMAP_AUX));
  EXPECT_THAT(Ops(), ElementsAreArray(
                         Created({Op::ClearBitmap, Op::IsValid, Op::ClearBitmap, Op::Destroy})));
  EXPECT_EQ(driver->Bitmap(kVolume, KQV_BITMAP_AUX), Bytes(kBitmapBytes));
  EXPECT_EQ(driver->Bitmap(kVolume, KQV_BITMAP_INCR)[0], 0x07);
  // Types outside 0..2 reach the library, whose answer decides.
  EXPECT_FALSE(ops->ClearBMOnDriver(static_cast<KQVBitmapType>(5)));
  EXPECT_FALSE(ops->ClearBMOnDriver(static_cast<KQVBitmapType>(-1)));
  std::vector<kqsim::Call> calls = driver->Calls();
  ASSERT_EQ(calls.size(), 8u);
  EXPECT_TRUE(calls[5].type == 5 && calls[7].type == -1);
  EXPECT_THAT(Lines(), ElementsAre(Line(kClear, "Failed to clear bmaptype=2"),
                                   Line(kClear, "Failed to clear bmaptype=5"),
                                   Line(kClear, "Failed to clear bmaptype=-1")));
}

// A volume object kept from a failed call belongs to its volume: after a new
// name, the next driver operation works on the new volume, not the old.
TEST_F(Driver, ANewVolumeNameDropsTheVolumeObjectOfTheOld) {
  const std::string other = "/dev/sdb1";
  kqsim::VolumeConfig cfg;
  cfg.bytes = uint64_t{kBitmapBytes} * 8 * cfg.blockSize;
  driver->AddVolume(other, cfg);
  driver->FailAt(Op::ClearBitmap);
  EXPECT_FALSE(ops->ClearBMOnDriver(KQV_BITMAP_INCR));  // keeps its object
  ops->SetVolName(kVolume);                             // the same name keeps it
  ops->SetVolName(other);
  Bytes bits = kqtest::Bits({3}, kBitmapBytes);
  EXPECT_TRUE(ops->MergeAndWriteBMOntoDriver(KQV_BITMAP_INCR, bits.data(), bits.size()));
  EXPECT_EQ(driver->Bitmap(other, KQV_BITMAP_INCR), bits);
  EXPECT_EQ(driver->Bitmap(kVolume, KQV_BITMAP_INCR), Bytes(kBitmapBytes));
  EXPECT_THAT(Ops(),
              ElementsAreArray(Created({Op::ClearBitmap, Op::Destroy, Op::Construct, Op::IsValid,
                                        Op::SetClntDisplayName, Op::SetVolumeName, Op::IsValid,
                                        Op::MergeBitmap, Op::Destroy})));
}

TEST_F(Driver, WriteBackRefusesBadInputBeforeTouchingTheLibrary) {
  unsigned char bits[4] = {1, 2, 3, 4};
  const auto write = [&](int type, unsigned char* bitmap, unsigned long size) {
    return ops->MergeAndWriteBMOntoDriver(static_cast<KQVBitmapType>(type), bitmap, size);
  };
  EXPECT_FALSE(write(0, nullptr, 4));
  EXPECT_FALSE(write(1, bits, 0));
  EXPECT_FALSE(write(3, nullptr, 0));  // the input is checked first
  EXPECT_FALSE(write(3, bits, 4));
  EXPECT_FALSE(write(-1, bits, 4));
  const std::string noInput = Line(kWrite, "Input BM is NULL or Size is zero. Returning false.");
  const std::string badType = Line(kWrite, "Unknown Bitmap Type. Returning false.");
  EXPECT_THAT(Lines(), ElementsAre(noInput, noInput, noInput, badType, badType));
  EXPECT_THAT(driver->Calls(), IsEmpty());
}

TEST_F(Driver, WriteBackMergesOrMarksDirtyAndAlwaysDeletesTheVolumeObject) {
  const std::string mergeLine = Line(
      kWrite,
      "Failed to Merge Bitmaps, Marking bitmap as dirty.Err: injected failure of MergeBitmap ");
  const std::string markLine =
      Line(kWrite, "Failed to Mark Bitmaps as dirty .Err: injected failure of MarkBitmapDirty ");
  struct Case {
    bool failMerge, failMark, result;
    std::vector<std::string> lines;
    Bytes driverMap;  // the driver had bit 0; the object's bitmap is `mine`
  };
  const Case cases[] = {
      {false, false, true, {}, kqtest::Bits({0, 7, 14, 120, 121, 122, 123})},
      {true, false, true, {mergeLine}, Bytes(kBitmapBytes, 0xFF)},
      {true, true, false, {mergeLine, markLine}, kqtest::Bits({0})},
  };
  for (KQVBitmapType type : {KQV_BITMAP_INCR, KQV_BITMAP_FULL, KQV_BITMAP_AUX}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(type) + " " + std::to_string(c.failMerge + c.failMark));
      driver->SetBitmap(kVolume, type, kqtest::Bits({0}));
      Bytes mine = kqtest::Bits({7, 14, 120, 121, 122, 123});
      const Bytes before = mine;
      if (c.failMerge) driver->FailAt(Op::MergeBitmap);
      if (c.failMark) driver->FailAt(Op::MarkBitmapDirty);
      EXPECT_EQ(ops->MergeAndWriteBMOntoDriver(type, mine.data(), mine.size()), c.result);
      EXPECT_EQ(mine, before);
      const std::vector<kqsim::Call> calls = driver->Calls();
      std::vector<Op> rest = {Op::MergeBitmap, Op::Destroy};
      if (c.failMerge) rest.insert(rest.begin() + 1, Op::MarkBitmapDirty);
      EXPECT_THAT(Ops(), ElementsAreArray(Created(rest)));
      EXPECT_TRUE(!c.failMerge || calls[6].size == 0u);  // MarkBitmapDirty's second argument
      EXPECT_EQ(driver->Bitmap(kVolume, type), c.driverMap);
      EXPECT_THAT(Lines(), ElementsAreArray(c.lines));
    }
  }
}

// Gates every driver operation; passes a display name of its own.
class Gated : public kqtest::DirOps {
 public:
  using DirOps::DirOps;
  bool InitAndValidateVolObject(const std::string& displayName) override {
    seen.push_back(displayName);
    return open && KQBitMapOps::InitAndValidateVolObject("gate");
  }
  bool open = false;
  std::vector<std::string> seen;
};

TEST_F(Driver, EveryDriverOperationGoesThroughTheInitSlot) {
  Gated g(dir.path(), kVolume);  // not through a base pointer: the destructor is not virtual
  unsigned char bits[2] = {1, 0};
  auto runAll = [&] {
    Buf a, b;
    return std::vector<bool>{
        g.GetBMFromDriver(KQV_BITMAP_INCR, &a.p, &a.size, false),
        g.GetAndClearBMFromDriver(KQV_BITMAP_INCR, &b.p, &b.size, false, "job"),
        g.ClearBMOnDriver(KQV_BITMAP_AUX),
        g.MergeAndWriteBMOntoDriver(KQV_BITMAP_FULL, bits, sizeof bits)};
  };
  EXPECT_EQ(runAll(), std::vector<bool>(4, false));
  EXPECT_THAT(g.seen, ElementsAre("", "job", "", ""));
  EXPECT_THAT(driver->Calls(), IsEmpty());
  g.open = true;
  EXPECT_EQ(runAll(), std::vector<bool>(4, true));
  EXPECT_EQ(driver->Calls()[2].text, "gate");  // setClntDisplayName
}

TEST_F(Driver, LibraryExceptionsPassThroughAndLeaveTheObjectUsable) {
  struct Case {
    Op op;
    bool writeBack;
    int kept;  // volume objects kept for the next call
  };
  // A volume object whose setup threw is not kept: it would have no volume name.
  const Case cases[] = {{Op::Construct, false, 0},          {Op::IsValid, false, 0},
                        {Op::SetClntDisplayName, false, 0}, {Op::SetVolumeName, false, 0},
                        {Op::GetVolInfo, false, 1},         {Op::GetBitmap, false, 1},
                        {Op::GetAndClearBitmap, false, 1},  {Op::MergeBitmap, true, 0},
                        {Op::MarkBitmapDirty, true, 0}};
  unsigned char bits[2] = {1, 0};
  for (const Case& c : cases) {
    SCOPED_TRACE(kqsim::OpName(c.op));
    driver->ThrowAt(c.op);
    if (c.op == Op::MarkBitmapDirty) driver->FailAt(Op::MergeBitmap);
    Buf b;
    if (c.writeBack)
      EXPECT_THROW(ops->MergeAndWriteBMOntoDriver(KQV_BITMAP_INCR, bits, sizeof bits),
                   kqsim::InjectedFault);
    else
      EXPECT_THROW(Fetch(c.op == Op::GetAndClearBitmap, KQV_BITMAP_INCR, b), kqsim::InjectedFault);
    // A buffer allocated before the throw is the caller's (Buf releases it).
    EXPECT_EQ(b.p != nullptr, c.op == Op::GetBitmap || c.op == Op::GetAndClearBitmap);
    EXPECT_EQ(kqsim::SimDriver::LiveHandles(), c.kept);
    Buf after;
    EXPECT_TRUE(Fetch(true, KQV_BITMAP_INCR, after, "job"));
    EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 0);
  }
}

}  // namespace
