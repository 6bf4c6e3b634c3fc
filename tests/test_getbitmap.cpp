// GetBitMap: the OR of a bitmap file and the driver's bitmap, handed to the
// job in a buffer of its own, with nothing changed on disk or on the driver.
#include <gtest/gtest.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <tuple>

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
using Strings = std::vector<std::string>;

constexpr const char* kTag = "KQBitMapOps::GetBitMap";
constexpr const char* kMutate = "KQBitMapOps::MutateDefaultBitMapFileName";

class GetBitMapTest : public kqtest::KqFixture {
 protected:
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
  unsigned char sentinel = 0;
  bool handedBack = false;
  Bytes merged;
};

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
                    Line(kTag, "Initialized default bitmatp name")};
    auto listing = [&](const char* title, const Bytes& b) {
      want.push_back(Line(kTag, title));
      for (size_t i = 0; listed && i < b.size(); ++i)
        want.push_back(Line(kTag, "Byte " + std::to_string(i) + " : " + std::to_string(b[i]), 2));
    };
    listing("Printing Disk BM", Bits({2, 100}));
    want.push_back(Line(kTag, "Got BM from driver"));
    listing("Printing Driver BM", Bits({1, 2}));
    listing("Printing Merged BM", Bits({1, 2, 100}));
    EXPECT_EQ(cap.lines(), want);
    for (const Entry& e : cap.entries()) {  // GetBitMap logs through a log object of its own
      EXPECT_EQ(e.fromEvent, e.tag != kTag) << e.text;
      EXPECT_TRUE(e.tag != kTag || e.kind == Entry::Kind::DebugLvl) << e.text;
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
  const std::string init = Line(kTag, "Initialized default bitmatp name");
  const std::string diskBM = Line(kTag, "Printing Disk BM");
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
        Line(kTag, "Failed to Read BM From file")}},
      {"driver fetch", [&](FaultyOps&) { driver->FailAt(Op::GetBitmap); }, true,
       {named, init, diskBM, Line(kTag, "Failed to get BM from driver")}},
      {"merge", [](FaultyOps& o) { o.failMerge = true; }, true,
       {named, init, diskBM, Line(kTag, "Got BM from driver"), Line(kTag, "Printing Driver BM"),
        Line(kTag, "Failed to Merge BM")}},
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

}  // namespace
