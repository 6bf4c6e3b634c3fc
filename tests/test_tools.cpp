// The demo job and kqbitmap, run as the built programs on files the library wrote.
#include <KqTestSupport.h>
#include <gmock/gmock.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

namespace {

using kqtest::Bytes;
using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int status = -1;
  std::string out, err;
};

// The build tree: the test CMake says where, a hand-run test finds it beside itself.
std::string BinaryDir() {
  if (const char* dir = std::getenv("KQ_BINARY_DIR")) return dir;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  std::string path(self, n > 0 ? static_cast<std::size_t>(n) : 0);
  path = path.substr(0, path.rfind('/'));  // .../tests
  return path.substr(0, path.rfind('/'));
}

class ToolsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!kqtest::Exists(BinaryDir() + "/tools")) GTEST_SKIP() << "tools not configured";
  }

  // Runs a tool with `args` (no shell quoting needed: temp paths are plain).
  Result Run(const std::string& tool, const std::string& args) {
    const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
    const int raw = std::system(
        (BinaryDir() + "/tools/" + tool + " " + args + " >" + out + " 2>" + err).c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, Text(out), Text(err)};
  }
  static std::string Text(const std::string& path) {
    const Bytes bytes = kqtest::ReadAll(path);
    return {bytes.begin(), bytes.end()};
  }
  Result Bitmap(const std::string& args) { return Run("kqbitmap", args); }

  std::string Save(const std::string& name, unsigned char header, Bytes bits) {
    EXPECT_TRUE(ops.SaveBMToFile(bits.data(), bits.size(), &header, dir.file(name)));
    return dir.file(name);
  }

  kqtest::TempDir dir;
  kqlog::Capture log{1};  // the library's lines stay out of the test output
  KQBitMapOps ops;
};

// Each case's lines are in the output; one starting with '!' is not.
TEST_F(ToolsTest, DemoRunsTheWholeJobAsItsOptionsSay) {
  const std::vector<std::string> cases[] = {
      {"--seed 42 --writes 8 --dir " + dir.file("0"), "write   681 bytes at 385750: blocks 94",
       "taken over from the driver: 66-69, 94, 97-98, 137-140, 159-163, 181-184, 211-215, "
       "231-232\n",
       "taken over from the driver: 14-16, 27-29, 63-66, 144\n",
       ".demo1_restart  33 bytes  header 0x5a  11 bits: 14-16, 27-29, 63-66, 144\n",
       "+ .demo1_incr-tmp  33 bytes  header 0xa5  13 bits: 49-53, 82-85, 87, 94-96\n",
       "- .demo1__YBVolBitmap deleted",
       "+ .demo1_failure       32 bytes  no header    256 bits: 0-255\n",
       "    [KQBitMapOps::DoBitmapFormalities] BM on disk exist\n",
       "    debug break /tmp/DoBitMap.beforereturn\n", "Done: every step did what it should."},
      {"--log-level 0 --dir " + dir.file("1"), "Done", "!log:"},
      {"--log-level 2 --dir " + dir.file("2"), "L2 [KQBitMapOps::DoBitmapFormalities] Byte 8 : "},
      {"--volume-size 64M --writes 100 --dir " + dir.file("3"), "more)"},
      // --dir makes every missing level.
      {"--writes 0 --dir " + dir.file("new/sub"), "taken over from the driver: none"},
  };
  for (std::size_t n = 0; n < std::size(cases); ++n) {
    SCOPED_TRACE(cases[n][0]);
    Result r = Run("kqdemo", cases[n][0]);
    EXPECT_EQ(r.status, 0) << r.err;
    for (std::size_t i = 1; i < cases[n].size(); ++i) {
      if (cases[n][i][0] == '!') {
        EXPECT_THAT(r.out, Not(HasSubstr(cases[n][i].substr(1))));
      } else {
        EXPECT_THAT(r.out, HasSubstr(cases[n][i]));
      }
    }
  }
  // The backup file left behind holds both take-overs, as kqbitmap reads it.
  Result show = Bitmap("show " + dir.file("0/.demo1_backup"));
  EXPECT_THAT(show.out, HasSubstr("  14-16\n  27-29\n  63-69\n  94\n  97-98\n"));
  EXPECT_THAT(show.out, HasSubstr("set bits:    37 in 11 extents"));
}

TEST_F(ToolsTest, ShowAndMapReportHeaderSizeExtentsAndShades) {
  const std::string small = Save("small", 0x5A, {0x0F, 0x00, 0x80, 0x01});
  // A run from bit 23 over ten whole bytes of ones, across word boundaries.
  Bytes wideBits = {0, 0, 0x80, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  wideBits.resize(24);
  const std::string wide = Save("wide", 0x5A, wideBits), failure = dir.file("failure");
  ASSERT_TRUE(ops.SaveFileForFailure(KQV_BITMAP_INCR, 3, failure));
  auto map = [&](const char* name, const Bytes& bits) {
    return "map --ascii " + Save(name, 0x5A, bits) + " ";
  };
  // fives: set blocks 9, 10, 14-17, 21-29 and 35-39, in cells of 5: 0, 1, 2, 3, 4, 5, 0, 5.
  const std::string ends = map("ends", kqtest::Bits({0, 31}, 4)),
                    fives = map("fives", {0x00, 0xC6, 0xE3, 0x3F, 0xF8}),
                    aa = map("aa", Bytes(40, 0xAA));
  const std::pair<std::string, std::string> cases[] = {
      {"show " + small,
       "header byte: 0x5a\nbitmap size: 4 bytes (32 bits)\nextents (bits):\n  0-3\n"
       "  23-24\nset bits:    6 in 2 extents\n"},
      {"show --msb-first " + small, "  4-7\n  16\n  31\nset bits:    6 in 3 extents\n"},
      {"show --block-size 4096 " + small,
       "  0-3             bytes 0-16383\n  23-24           bytes 94208-102399\n"},
      {"show --size 4 " + small, "set bits:    6 in 2 extents\n"},
      {"show --json --block-size 512 " + small,
       "{\"file\":\"" + small +
           "\",\"header\":90,\"size\":4,\"bit_order\":\"lsb\",\"block_size\":512,\"extents\":["
           "{\"first\":0,\"last\":3,\"offset\":0,\"length\":2048},"
           "{\"first\":23,\"last\":24,\"offset\":11776,\"length\":1024}],"
           "\"set_bits\":6,\"extent_count\":2}\n"},
      {"show " + wide, "extents (bits):\n  23-104\nset bits:    82 in 1 extent\n"},
      {"show --msb-first " + wide,
       "extents (bits):\n  16\n  24-103\n  111\nset bits:    82 in 3 extents\n"},
      // A failure file has no header byte: whole only with --no-header.
      {"show --no-header " + failure,
       "header byte: none (--no-header)\nbitmap size: 3 bytes (24 bits)\nextents (bits):\n"
       "  0-23\nset bits:    24 in 1 extent\n"},
      {"show " + failure, "header byte: 0xff\nbitmap size: 2 bytes (16 bits)"},
      // map: each cell shaded by the share of its blocks set.
      {map("none", {}), "map:         no blocks\nset bits:    0\n"},
      {map("zeros", Bytes(4)) + "--width 16",
       "each cell:   1 block\n           0 ................\n          16 ................\n"
       "shades:      . none  - up to 1/3  + up to 2/3  # more  @ all (share"},
      {map("ones", Bytes(5, 0xFF)) + "--width 8 --rows 2 --block-size 4K",
       "each cell:   3 blocks, 12288 bytes (12 KiB); the last cell 1\n"
       "           0 @@@@@@@@\n          24 @@@@@@\n"},
      // One bit at each end, in either bit order: lsb bits 0 and 31, msb 7 and 24.
      {ends, "0 @..............................@\n"},
      {ends + "--msb-first", "0 .......@................@.......\n"},
      // Cells of 5 blocks holding 0 to 5 set blocks, boundaries inside bytes.
      {fives + "--width 8 --rows 1", "each cell:   5 blocks\n           0 .-++#@.@\n"},
      {fives + "--width 4 --json",
       R"("blocks":40,"blocks_per_cell":1,"width":4,"rows":10,"cells":[0,0,0,0,0,0,0,0,0,1,1,0)"},
      {fives + "--width 8 --rows 1 --json", R"("cells":[0,1,2,3,4,5,0,5],"set_bits":20})"},
      // 320 blocks in cells of 107, 107 and 106, across whole words: every odd bit
      // (lsb) or every even one (msb) of 0xaa bytes.
      {aa + "--width 3 --rows 1 --json", R"("cells":[53,54,53],"set_bits":160})"},
      {aa + "--width 3 --rows 1 --json --msb-first", R"("cells":[54,53,53])"},
  };
  for (const auto& [args, expected] : cases) {
    SCOPED_TRACE(args);
    Result r = Bitmap(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_THAT(r.out, HasSubstr(expected));
  }
}

// The man page is kept in step with --help: every command and option of one is in the other.
TEST_F(ToolsTest, ManPageNamesEveryOptionOfHelpAndVersionIsOneLine) {
  const std::string help = Bitmap("--help").out;
  const char* sourceDir = std::getenv("KQ_SOURCE_DIR");
  const std::string self = __FILE__;  // .../tests/test_tools.cpp, for a hand-run test
  const std::string source = sourceDir ? sourceDir : self.substr(0, self.rfind("/tests/"));
  const std::string page = Text(source + "/tools/kqbitmap.1.scd");
  ASSERT_THAT(page, HasSubstr("# EXIT STATUS"));
  const std::regex name(R"((^|[\s\[,])(--?[a-z][a-z-]*))");
  int names = 0;
  for (std::sregex_iterator it(help.begin(), help.end(), name), end; it != end; ++it, ++names) {
    EXPECT_THAT(page, HasSubstr("*" + (*it)[2].str() + "*"));
  }
  EXPECT_GE(names, 12);
  for (const char* command : {"show", "map", "diff", "or"}) {
    EXPECT_THAT(page, HasSubstr("*" + std::string(command) + "* _"));
  }
  Result version = Bitmap("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_TRUE(
      std::regex_match(version.out, std::regex(R"(kqbitmap \(kqbitmapops\) \d+\.\d+\.\d+\n)")))
      << version.out;
}

TEST_F(ToolsTest, DiffListsBothDirectionsAndOrWritesTheUnion) {
  const std::string a = Save("a", 0x5A, {0x0F, 0x00, 0x80, 0x01});
  const std::string b = Save("b", 0x00, {0x03, 0x30, 0x80, 0x81});
  Result r = Bitmap("diff " + a + " " + b);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("header bytes: 0x5a and 0x00\n"));
  EXPECT_THAT(r.out,
              HasSubstr("set only in " + a + ", extents (bits):\n  2-3\nset bits:    2 in 1"));
  EXPECT_THAT(r.out, HasSubstr("set only in " + b +
                               ", extents (bits):\n  12-13\n  31\nset bits:    3 in 2"));
  Result json = Bitmap("diff --json " + a + " " + b);
  EXPECT_EQ(json.status, 1);
  EXPECT_EQ(json.out, "{\"a\":\"" + a + "\",\"b\":\"" + b +
                          "\",\"size\":4,\"header_a\":90,\"header_b\":0,"
                          "\"only_in_a\":{\"extents\":[{\"first\":2,\"last\":3}],\"set_bits\":2,"
                          "\"extent_count\":1},\"only_in_b\":{\"extents\":[{\"first\":12,\"last\":"
                          "13},{\"first\":31,\"last\":31}],\"set_bits\":3,\"extent_count\":2},"
                          "\"differ\":true}\n");
  Result same = Bitmap("diff " + a + " " + a);
  EXPECT_EQ(same.status, 0);
  EXPECT_THAT(same.out, HasSubstr("no bit differs"));

  ASSERT_EQ(Bitmap("or " + a + " " + b + " -o " + dir.file("or")).status, 0);
  EXPECT_EQ(kqtest::ReadAll(dir.file("or")), (Bytes{0x5A, 0x0F, 0x30, 0x80, 0x81}));
  const std::string fa = dir.file("fa"), fb = dir.file("fb"), fo = dir.file("fo");
  kqtest::WriteAll(fa, {0x01, 0x00});  // failure-file style, no header byte
  kqtest::WriteAll(fb, {0x00, 0x02});
  ASSERT_EQ(Bitmap("or --no-header " + fa + " " + fb + " -o " + fo).status, 0);
  EXPECT_EQ(kqtest::ReadAll(fo), (Bytes{0x01, 0x02}));
}

TEST_F(ToolsTest, BadInputGetsOneClearLineAndStatusTwo) {
  const std::string a = Save("a", 0x5A, {0x0F, 0x00, 0x80, 0x01});
  const std::string shorter = Save("s", 0x5A, {0x0F});
  const std::string missing = dir.file("missing"), empty = dir.file("empty"), out = dir.file("out");
  kqtest::WriteAll(empty, {});
  struct Case {
    const char* tool;
    std::string args, err;
  };
  const Case cases[] = {
      {"kqbitmap", "show " + missing, missing + ": No such file or directory"},
      {"kqbitmap", "show " + empty, empty + ": empty file"},
      {"kqbitmap", "show --size 8 " + a, a + ": bitmap is 4 bytes, --size says 8"},
      {"kqbitmap", "diff " + a + " " + shorter, "the bitmaps differ in size"},
      {"kqbitmap", "or " + a + " " + shorter + " -o " + out, "the bitmaps differ in size"},
      {"kqbitmap", "show --verbose " + a, "unknown option '--verbose'"},
      {"kqbitmap", "or " + a + " " + a, "or needs -o OUT"},
      {"kqbitmap", "show " + dir.path(), dir.path() + ": not a regular file"},
      {"kqbitmap", "", "no command given"},
      {"kqbitmap", "map --width 1001 " + a, "bad --width '1001' (1 to 1000)"},
      {"kqbitmap", "show --ascii " + a, "--width, --rows and --ascii apply to map only"},
      {"kqbitmap", "map --size 8 " + a, a + ": bitmap is 4 bytes, --size says 8"},
      {"kqdemo", "--log-level 3", "bad --log-level '3'"},
      {"kqdemo", "--volume-size 12Q", "bad --volume-size '12Q'"},
      {"kqdemo", "--frobnicate", "unknown argument '--frobnicate'"},
      {"kqdemo", "--writes", "option --writes needs a value"},
      {"kqdemo", "--dir " + a, "cannot open --dir " + a + ": Not a directory"},
      {"kqdemo", "--dir " + a + "/sub", "cannot create --dir " + a + "/sub: " + a + "/sub: Not a"},
      {"kqdemo", "--dir " + dir.path(), "--dir " + dir.path() + " is not empty; give an empty"},
      // The library's reason, from its log line, for a save it refused.
      {"kqbitmap", "or " + a + " " + a + " -o " + dir.file("no/out"),
       dir.file("no/out") + ": Failed to open the Bitmap File " + dir.file("no/out")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.tool) + " " + c.args);
    Result r = Run(c.tool, c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_THAT(r.err, HasSubstr(c.tool + (": " + c.err)));
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1);
  }
  EXPECT_FALSE(kqtest::Exists(out));
}

}  // namespace
