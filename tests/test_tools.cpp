// The demo job and kqbitmap, run as the built programs on files the library wrote.
#include <KqTestSupport.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using kqtest::Bytes;
using ::testing::HasSubstr;
using ::testing::Not;

struct Result {
  int status = -1;
  std::string out;
  std::string err;
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
    for (const char* tool : {"kqdemo", "kqbitmap"}) {
      ASSERT_EQ(access((BinaryDir() + "/tools/" + tool).c_str(), X_OK), 0)
          << "build " << tool << " first";
    }
  }

  // Runs a tool with `args` (no shell quoting needed: temp paths are plain).
  Result Run(const std::string& tool, const std::string& args) {
    const std::string errFile = dir.file("stderr.txt");
    const std::string cmd = BinaryDir() + "/tools/" + tool + " " + args + " 2>" + errFile;
    Result r;
    FILE* pipe = popen(cmd.c_str(), "r");
    char buf[4096];
    for (std::size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
    int raw = pclose(pipe);
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    Bytes err = kqtest::ReadAll(errFile);
    r.err.assign(err.begin(), err.end());
    unlink(errFile.c_str());
    return r;
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

// The value after "key": in one-line JSON, up to the next , or }.
std::string JsonValue(const std::string& json, const std::string& key) {
  std::size_t at = json.find("\"" + key + "\":");
  if (at == std::string::npos) return "<missing>";
  at += key.size() + 3;
  return json.substr(at, json.find_first_of(",}", at) - at);
}

TEST_F(ToolsTest, DemoRunsTheWholeJobAndShowsTheExtentsOfItsSeed) {
  Result r = Run("kqdemo", "--dir " + dir.file("demo") + " --seed 42 --writes 8");
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  for (const char* expected : {
           "write   681 bytes at 385750: blocks 94",
           "taken over from the driver: 66-69, 94, 97-98, 137-140, 159-163, 181-184, 211-215, "
           "231-232\n",
           "taken over from the driver: 14-16, 27-29, 63-66, 144\n",
           ".demo1_restart  33 bytes  header 0x5a  11 bits: 14-16, 27-29, 63-66, 144\n",
           "+ .demo1_incr-tmp  33 bytes  header 0xa5  13 bits: 49-53, 82-85, 87, 94-96\n",
           "- .demo1__YBVolBitmap deleted",
           "+ .demo1_failure       32 bytes  no header    256 bits: 0-255\n",
           "    [KQBitMapOps::DoBitmapFormalities] BM on disk exist\n",
           "    debug break /tmp/DoBitMap.beforereturn\n",
           "Done: every step did what it should.",
       }) {
    EXPECT_THAT(r.out, HasSubstr(expected));
  }
  // The backup file left behind holds both take-overs, as kqbitmap reads it.
  Result show = Bitmap("show " + dir.file("demo/.demo1_backup"));
  EXPECT_THAT(show.out, HasSubstr("  14-16\n  27-29\n  63-69\n  94\n  97-98\n"));
  EXPECT_THAT(show.out, HasSubstr("set bits:    37 in 11 extents"));
}

TEST_F(ToolsTest, DemoOptionsAndRefusals) {
  struct Case {
    std::string args;
    int status;
    std::string inOut, notInOut, inErr;
  };
  const std::string demoDir = dir.file("d");
  const Case cases[] = {
      {"--log-level 0", 0, "Done", "log:", ""},
      {"--log-level 2", 0, "L2 [KQBitMapOps::DoBitmapFormalities] Byte 8 : ", "", ""},
      {"--volume-size 64M --writes 100", 0, "more)", "", ""},
      {"--writes 0", 0, "taken over from the driver: none", "", ""},
      {"--log-level 3", 2, "", "Done", "bad --log-level '3'"},
      {"--volume-size 12Q", 2, "", "Done", "bad --volume-size"},
      {"--frobnicate", 2, "", "Done", "unknown argument '--frobnicate'"},
      {"--writes", 2, "", "Done", "--writes needs a value"},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args);
    Result r = Run("kqdemo", "--dir " + demoDir + std::to_string(n++) + " " + c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_THAT(r.out, HasSubstr(c.inOut));
    if (!c.notInOut.empty()) {
      EXPECT_THAT(r.out, Not(HasSubstr(c.notInOut)));
    }
    EXPECT_THAT(r.err, HasSubstr(c.inErr));
  }
  ASSERT_EQ(Run("kqdemo", "--dir " + demoDir + " --log-level 0").status, 0);
  Result again = Run("kqdemo", "--dir " + demoDir);
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err,
            "kqdemo: --dir " + demoDir + " is not empty; give an empty or a new directory\n");
}

TEST_F(ToolsTest, ShowReportsHeaderSizeBitsAndExtentsInEitherBitOrder) {
  const Bytes small = {0x0F, 0x00, 0x80, 0x01};
  // A run from bit 23 over ten whole bytes of ones, across word boundaries.
  Bytes wide(24);
  wide[2] = 0x80;
  std::fill(wide.begin() + 3, wide.begin() + 13, 0xFF);
  wide[13] = 0x01;
  struct Case {
    Bytes bits;
    std::string options;
    std::string expected;
  };
  const Case cases[] = {
      {small, "",
       "header byte: 0x5a\nbitmap size: 4 bytes (32 bits)\nextents (bits):\n  0-3\n"
       "  23-24\nset bits:    6 in 2 extents\n"},
      {small, "--msb-first", "  4-7\n  16\n  31\nset bits:    6 in 3 extents\n"},
      {small, "--block-size 4096",
       "  0-3             bytes 0-16383\n  23-24           bytes 94208-102399\n"},
      {small, "--size 4", "set bits:    6 in 2 extents\n"},
      {wide, "", "extents (bits):\n  23-104\nset bits:    82 in 1 extent\n"},
      {wide, "--msb-first",
       "extents (bits):\n  16\n  24-103\n  111\nset bits:    82 in 3 extents\n"},
  };
  for (const Case& c : cases) {
    Result r = Bitmap("show " + Save("f", 0x5A, c.bits) + " " + c.options);
    EXPECT_EQ(r.status, 0) << c.options << r.err;
    EXPECT_THAT(r.out, HasSubstr(c.expected)) << c.options;
  }
}

TEST_F(ToolsTest, ShowReadsAFailureFileWholeOnlyWithNoHeader) {
  ASSERT_TRUE(ops.SaveFileForFailure(KQV_BITMAP_INCR, 3, dir.file("fail")));
  Result whole = Bitmap("show --no-header " + dir.file("fail"));
  EXPECT_THAT(whole.out,
              HasSubstr("header byte: none (--no-header)\nbitmap size: 3 bytes (24 bits)"));
  EXPECT_THAT(whole.out, HasSubstr("  0-23\nset bits:    24 in 1 extent\n"));
  Result asHeader = Bitmap("show " + dir.file("fail"));
  EXPECT_THAT(asHeader.out, HasSubstr("header byte: 0xff\nbitmap size: 2 bytes (16 bits)"));
}

TEST_F(ToolsTest, JsonOutputParsesBack) {
  const std::string file = Save("a", 0x5A, {0x0F, 0x00, 0x80, 0x01});
  Result r = Bitmap("show --json --block-size 512 " + file);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(JsonValue(r.out, "file"), "\"" + file + "\"");
  EXPECT_EQ(JsonValue(r.out, "header"), "90");
  EXPECT_EQ(JsonValue(r.out, "size"), "4");
  EXPECT_EQ(JsonValue(r.out, "set_bits"), "6");
  EXPECT_EQ(JsonValue(r.out, "extent_count"), "2");
  EXPECT_THAT(r.out, HasSubstr("\"extents\":[{\"first\":0,\"last\":3,\"offset\":0,\"length\":2048},"
                               "{\"first\":23,\"last\":24,\"offset\":11776,\"length\":1024}]"));

  const std::string other = Save("b", 0x00, {0x03, 0x00, 0x00, 0x80});
  Result diff = Bitmap("diff --json " + file + " " + other);
  EXPECT_EQ(diff.status, 1);
  EXPECT_EQ(JsonValue(diff.out, "header_b"), "0");
  EXPECT_EQ(JsonValue(diff.out, "differ"), "true");
  EXPECT_THAT(diff.out, HasSubstr("\"only_in_b\":{\"extents\":[{\"first\":31,\"last\":31}]"));
}

TEST_F(ToolsTest, DiffListsBothDirectionsAndExitsOneOnlyWhenBitsDiffer) {
  const std::string a = Save("a", 0x5A, {0x0F, 0x00, 0x80, 0x01});
  const std::string b = Save("b", 0x00, {0x03, 0x00, 0x80, 0x81});
  Result r = Bitmap("diff " + a + " " + b);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.out, HasSubstr("header bytes: 0x5a and 0x00\n"));
  EXPECT_THAT(r.out,
              HasSubstr("set only in " + a + ", extents (bits):\n  2-3\nset bits:    2 in 1"));
  EXPECT_THAT(r.out,
              HasSubstr("set only in " + b + ", extents (bits):\n  31\nset bits:    1 in 1"));
  Result same = Bitmap("diff " + a + " " + a);
  EXPECT_EQ(same.status, 0);
  EXPECT_THAT(same.out, HasSubstr("no bit differs"));
}

TEST_F(ToolsTest, OrWritesTheUnionInTheSameFormat) {
  const std::string a = Save("a", 0x5A, {0x0F, 0x00, 0x80});
  const std::string b = Save("b", 0x00, {0x30, 0x01, 0x80});
  Result r = Bitmap("or " + a + " " + b + " -o " + dir.file("out"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(kqtest::ReadAll(dir.file("out")), (Bytes{0x5A, 0x3F, 0x01, 0x80}));

  kqtest::WriteAll(dir.file("fa"), {0x01, 0x00});
  kqtest::WriteAll(dir.file("fb"), {0x00, 0x02});
  r = Bitmap("or --no-header " + dir.file("fa") + " " + dir.file("fb") + " -o " + dir.file("fo"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(kqtest::ReadAll(dir.file("fo")), (Bytes{0x01, 0x02}));
}

TEST_F(ToolsTest, BadInputGetsOneClearLineAndStatusTwo) {
  const std::string a = Save("a", 0x5A, {0x0F, 0x00, 0x80, 0x01});
  const std::string shorter = Save("s", 0x5A, {0x0F});
  kqtest::WriteAll(dir.file("empty"), {});
  struct Case {
    std::string args;
    std::string err;
  };
  const Case cases[] = {
      {"show " + dir.file("missing"), dir.file("missing") + ": No such file or directory"},
      {"show " + dir.file("empty"), dir.file("empty") + ": empty file"},
      {"show --size 8 " + a, a + ": bitmap is 4 bytes, --size says 8"},
      {"diff " + a + " " + shorter, "the bitmaps differ in size"},
      {"or " + a + " " + shorter + " -o " + dir.file("out"), "the bitmaps differ in size"},
      {"show --verbose " + a, "unknown option '--verbose'"},
      {"or " + a + " " + a, "or needs -o OUT"},
      {"show " + dir.path(), dir.path() + ": not a regular file"},
      {"", "no command given"},
  };
  for (const Case& c : cases) {
    Result r = Bitmap(c.args);
    EXPECT_EQ(r.status, 2) << c.args;
    EXPECT_EQ(r.out, "") << c.args;
    EXPECT_THAT(r.err, HasSubstr("kqbitmap: " + c.err)) << c.args;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << c.args;
  }
  EXPECT_FALSE(kqtest::Exists(dir.file("out")));
}

}  // namespace
