// GetBitMap: the OR of a bitmap file and the driver's bitmap, handed to the
// job in a buffer of its own, with nothing changed on disk or on the driver.
#include <gmock/gmock.h>
#include <unistd.h>

#include <functional>
#include <memory>

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
using ::testing::ElementsAre;
using ::testing::StartsWith;

constexpr const char* kTag = "KQBitMapOps::GetBitMap";

class NoMerge : public kqtest::DirOps {
 public:
  using DirOps::DirOps;
  bool MergeBM(unsigned char*, unsigned long, unsigned char*, unsigned long) override {
    return false;
  }
};

class GetBitMapTest : public kqtest::KqFixture {
 protected:
  void Write(int block) { driver->RecordWrite(kVolume, uint64_t(block) * 4096, 1); }
  // Calls GetBitMap with `*out` preset to a sentinel; the buffer it hands back is released.
  bool Get(KQBitMapOps& o, const char* name, Bytes* result = nullptr) {
    unsigned char* out = &sentinel;
    bool ok = o.GetBitMap(KQV_BITMAP_INCR, name, kBitmapBytes, &out);
    handedBack = out != &sentinel;
    std::unique_ptr<unsigned char[]> owned(handedBack ? out : nullptr);
    if (result && handedBack) result->assign(out, out + kBitmapBytes);
    return ok;
  }
  unsigned char sentinel = 0;
  bool handedBack = false;
};

TEST_F(GetBitMapTest, MergesFileAndDriverAndChangesNothing) {
  struct Case {
    const char* name;
    std::string file;
    unsigned char header;
  };
  const Case cases[] = {
      {"bm", suffixFile("bm"), 0x00}, {"bm", suffixFile("bm"), 0xFF}, {"", defaultFile(), 0x5A}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file + " header " + std::to_string(c.header));
    driver->AddVolume(kVolume, driver->Config(kVolume));
    WriteAll(c.file, File(c.header, Bits({2, 100})));
    Write(1);
    Write(2);
    Bytes merged;
    ASSERT_TRUE(Get(*ops, c.name, &merged));
    EXPECT_EQ(merged, Bits({1, 2, 100}));
    EXPECT_EQ(driver->Bitmap(kVolume, KQV_BITMAP_INCR), Bits({1, 2}));
    EXPECT_EQ(driver->CallCount(Op::GetAndClearBitmap) + driver->CallCount(Op::ClearBitmap), 0);
    EXPECT_EQ(ReadAll(c.file), File(c.header, Bits({2, 100})));
    EXPECT_EQ(dir.list().size(), 1u);
    EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 0);
    unsigned char header = 7, byte = 0;  // the default name now names the file read
    ASSERT_TRUE(ops->SaveBMToFile(&byte, 1, &header, ""));
    EXPECT_EQ(ReadAll(c.file), (Bytes{7, 0}));
    unlink(c.file.c_str());
  }
}

TEST_F(GetBitMapTest, LogsThroughItsOwnLogObject) {
  WriteAll(suffixFile("bm"), File(0, Bits({3})));
  Write(1);
  for (int level : {2, 1}) {
    SCOPED_TRACE(level);
    kqlog::Capture cap(level);
    ASSERT_TRUE(Get(*ops, "bm"));
    std::vector<std::string> want = {Line("KQBitMapOps::MutateDefaultBitMapFileName",
                                          "Modified DefaultBitmapFileName = " + suffixFile("bm")),
                                     Line(kTag, "Initialized default bitmatp name")};
    auto listing = [&](const char* title, const Bytes& b) {
      want.push_back(Line(kTag, title));
      for (size_t i = 0; level == 2 && i < b.size(); ++i)
        want.push_back(Line(kTag, "Byte " + std::to_string(i) + " : " + std::to_string(b[i]), 2));
    };
    listing("Printing Disk BM", Bits({3}));
    want.push_back(Line(kTag, "Got BM from driver"));
    listing("Printing Driver BM", Bits({1}));
    listing("Printing Merged BM", Bits({1, 3}));
    EXPECT_EQ(cap.lines(), want);
    for (const Entry& e : cap.entries()) {
      EXPECT_EQ(e.fromEvent, e.tag != kTag) << e.text;
      if (e.tag == kTag) {
        EXPECT_EQ(e.kind, Entry::Kind::DebugLvl);
      }
    }
  }
}

TEST_F(GetBitMapTest, UnreadableFileFailsBeforeTheDriver) {
  const std::string file = suffixFile("bm");
  struct Case {
    Bytes contents;  // empty: no file
    std::string cause;
  };
  const Case cases[] = {{{}, "Failed to open the Bitmap File " + file + ".  error 2"},
                        {{0x11, 1, 2}, "Failed to read from file=" + file + " error no="}};
  Write(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cause);
    if (!c.contents.empty()) WriteAll(file, c.contents);
    log->clear();
    driver->ClearCalls();
    EXPECT_FALSE(Get(*ops, "bm"));
    EXPECT_FALSE(handedBack);
    EXPECT_THAT(log->lines(), ElementsAre(Line("KQBitMapOps::MutateDefaultBitMapFileName",
                                               "Modified DefaultBitmapFileName = " + file),
                                          Line(kTag, "Initialized default bitmatp name"),
                                          StartsWith(Line("KQBitMapOps::ReadBMFromFile", c.cause)),
                                          Line(kTag, "Failed to Read BM From file")));
    EXPECT_EQ(driver->CallCount(Op::GetBitmap), 0);
    EXPECT_EQ(ReadAll(file), c.contents);
  }
}

TEST_F(GetBitMapTest, FailureAfterTheReadLeavesTheBufferWithTheCaller) {
  NoMerge noMerge(dir.path(), kVolume);
  struct Case {
    KQBitMapOps* o;
    std::function<void()> arm;
    const char* line;
  };
  const Case cases[] = {
      {ops.get(), [&] { driver->FailAt(Op::GetBitmap); }, "Failed to get BM from driver"},
      {&noMerge, [] {}, "Failed to Merge BM"},
  };
  WriteAll(suffixFile("bm"), File(0, Bits({3})));
  Write(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    c.arm();
    EXPECT_FALSE(Get(*c.o, "bm"));
    EXPECT_TRUE(handedBack);  // Get released it: the sanitizer build would see a leak otherwise
    EXPECT_EQ(log->lines().back(), Line(kTag, c.line));
    EXPECT_EQ(driver->Bitmap(kVolume, KQV_BITMAP_INCR), Bits({1}));
  }
}

TEST_F(GetBitMapTest, InvalidVolumeObjectFailsFirst) {
  WriteAll(suffixFile("bm"), File(0, Bits({3})));
  driver->FailAt(Op::IsValid);
  EXPECT_FALSE(Get(*ops, "bm"));
  EXPECT_FALSE(handedBack);
  EXPECT_THAT(log->lines(), ElementsAre(Line("KQBitMapOps::InitAndValidateVolObject",
                                             "Failed to create KQVolume object")));
}

}  // namespace
