// Bitmap files and the failure file: their format, every failure message,
// and that a save that fails part-way never costs the previous file.
#include <gmock/gmock.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <tuple>

#include "KqIoTesting.h"
#include "KqTestSupport.h"

namespace {

using kqtest::Bytes;
using kqtest::File;
using kqtest::Line;
using kqtest::Random;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using Strings = std::vector<std::string>;

const std::string kSave = "KQBitMapOps::SaveBMToFile";
const std::string kRead = "KQBitMapOps::ReadBMFromFile";
const std::string kDelete = "KQBitMapOps::DeleteBMFile";
const std::string kFailure = "KQBitMapOps::SaveFileForFailure";

mode_t Mode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

// Caps every read and write call at `n` bytes; 0 leaves them uncapped.
struct SmallTransfers {
  explicit SmallTransfers(std::size_t n) { kqbitmapops_detail::SetMaxTransferForTesting(n); }
  ~SmallTransfers() { kqbitmapops_detail::SetMaxTransferForTesting(0); }
};

class FileStore : public kqtest::KqFixture {
 protected:
  bool Save(Bytes bitmap, unsigned char header, const std::string& name) {
    return ops->SaveBMToFile(bitmap.data(), bitmap.size(), &header, name);
  }
  static std::string Saving(const std::string& name) {
    return Line(kSave, "Saving bitmap to " + name);
  }
  static std::string OpenFailed(const std::string& tag, const std::string& name, int err) {
    return Line(tag, "Failed to open the Bitmap File " + name + ".  error " + std::to_string(err));
  }
};

TEST_F(FileStore, SaveStoresHeaderThenBitmapAndReadGivesThemBack) {
  struct Case {
    std::string name;  // empty: the default bitmap file
    std::size_t size;
    std::size_t older;        // size of a file already there (mode 0640, kept), 0 for none
    mode_t umask;             // for new files
    std::size_t maxTransfer;  // bytes per read or write call, 0 for no cap
    // Which pages of the file hold set bits ("r": random, "0": none, "1":
    // all ones); a file page of zeros is left a hole, with or without a
    // file system that reports holes to the reader.
    std::string pages = "r";
    bool holesReported = true;
  };
  const std::string longest(255, 'b');                    // the temporary's name must still fit
  const std::size_t kPage = 4096, odd = 9 * kPage + 123;  // ends inside a page
  const Case cases[] = {{"", 16, 0, 022, 0},
                        {"zero", 0, 0, 077, 0},
                        {"one", 1, 0, 0, 0},
                        {"longer", 5, 4096, 0, 0},
                        {"shorter", 1000, 3, 027, 3},
                        {"", 33, 100, 077, 0},
                        {longest, 1, 0, 0, 0},
                        {"holes", odd, 3 * odd, 0, 0, "0r00r0000r"},
                        {"gaps", odd, 0, 0, 5000, "00r000r0r0", false},
                        {"ends", odd, 0, 0, 0, "r00000000r"},
                        {"none", odd, 0, 0, 0, "0000000000"},
                        {"zeros", odd, 0, 0, 3000, "0000000000", false},
                        {"full", odd, 0, 0, 0, "1111111111"},
                        {"page", kPage - 1, 0, 0, 0, "0"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " size " + std::to_string(c.size) + " " + c.pages);
    const std::string path = c.name.empty() ? defaultFile() : dir.file(c.name);
    if (c.older) {
      kqtest::WriteAll(path, Random(c.older, 1));
      chmod(path.c_str(), 0640);
    }
    // The bytes of file page p are bitmap bytes [p * 4096 - 1, (p + 1) * 4096 - 1).
    Bytes bitmap = Random(c.size, static_cast<unsigned>(c.size));
    std::size_t dataPages = 0;
    for (std::size_t i = 0; i < c.size && c.pages != "r"; ++i) {
      const char page = c.pages[std::min((i + 1) / kPage, c.pages.size() - 1)];
      bitmap[i] = page == '0' ? 0 : page == '1' ? 0xFF : bitmap[i] | 1;
    }
    for (char page : c.pages) dataPages += page != '0';
    dataPages += c.pages[0] == '0';  // the header byte
    kqbitmapops_detail::ReportHolesForTesting(c.holesReported);
    SmallTransfers cap(c.maxTransfer);
    log->clear();
    const mode_t saved = umask(c.umask);
    ASSERT_TRUE(Save(bitmap, 0xA7, c.name.empty() ? "" : path));
    umask(saved);
    EXPECT_EQ(kqtest::ReadAll(path), File(0xA7, bitmap));
    EXPECT_EQ(Mode(path) & 07777, c.older ? 0640u : 0666u & ~c.umask);
    if (c.pages != "r") {  // the header byte holds the first page; holes take no block
      struct stat st {};
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      EXPECT_LE(std::size_t(st.st_blocks) * 512, dataPages * kPage);
    }

    Bytes got(c.size + 1, 0xEE);
    unsigned char header = 0;
    EXPECT_TRUE(ops->ReadBMFromFile(got.data(), c.size, &header, c.name.empty() ? "" : path));
    EXPECT_EQ(header, 0xA7);
    EXPECT_EQ(Bytes(got.begin(), got.end() - 1), bitmap);
    std::fill(got.begin(), got.end(), 0xEE);  // a shorter read leaves the file's tail unread
    EXPECT_TRUE(ops->ReadBMFromFile(got.data(), c.size / 2, &header, path));
    EXPECT_EQ(got[c.size / 2], 0xEE);
    EXPECT_THAT(log->lines(), ElementsAre(Saving(path)));
    kqbitmapops_detail::ReportHolesForTesting(true);
  }
  EXPECT_EQ(dir.list(), (Strings{".sda1__YBVolBitmap", longest, "ends", "full", "gaps", "holes",
                                 "longer", "none", "one", "page", "shorter", "zero", "zeros"}));
}

// Shows only under the undefined-behaviour sanitizer.
TEST_F(FileStore, EmptyBitmapNeedsNoBuffer) {
  unsigned char header = 0;
  kqtest::WriteAll(defaultFile(), {});
  EXPECT_FALSE(ops->ReadBMFromFile(nullptr, 0, &header, ""));
  EXPECT_TRUE(ops->SaveBMToFile(nullptr, 0, &header, ""));
  EXPECT_TRUE(ops->ReadBMFromFile(nullptr, 0, &header, ""));
}

TEST_F(FileStore, FailedReadReportsAndZeroesWhatDidNotArrive) {
  struct Case {
    const char* what;
    Bytes file;            // empty: a directory
    Bytes want;            // buffer afterwards
    unsigned char header;  // header afterwards (0x11 before)
    ::testing::Matcher<std::string> line;
  };
  const std::string p = defaultFile();
  const Case cases[] = {
      {"directory", Bytes{}, Bytes(8, 0xEE), 0x11,
       Line(kRead, "Bitmap File " + p + " is not a regular file. Returning failure")},
      // Three bytes a call, then two, then the end of file, where errno says nothing.
      {"three short", Bytes{7, 1, 2, 3, 4, 5}, Bytes{1, 2, 3, 4, 5, 0, 0, 0}, 7,
       StartsWith(Line(kRead, "Failed to read from file=" + p))},
  };
  SmallTransfers cap(3);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(p);
    if (c.file.empty()) mkdir(p.c_str(), 0700);
    if (!c.file.empty()) kqtest::WriteAll(p, c.file);
    Bytes got(8, 0xEE);
    unsigned char header = 0x11;
    log->clear();
    EXPECT_FALSE(ops->ReadBMFromFile(got.data(), got.size(), &header, ""));
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(header, c.header);
    EXPECT_THAT(log->lines(), ElementsAre(c.line));
  }
}

TEST_F(FileStore, EmptyNameMissingDirectoryOrNoRegularFileCreatesNothing) {
  KQBitMapOps blank;  // default-constructed: its default bitmap file name is empty
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  const std::string inMissingDir = dir.file("gone/bitmap");
  Bytes bitmap{1, 2, 3, 4};
  unsigned char header = 9;
  EXPECT_FALSE(blank.SaveBMToFile(bitmap.data(), bitmap.size(), &header, ""));
  EXPECT_FALSE(ops->SaveBMToFile(bitmap.data(), bitmap.size(), &header, inMissingDir));
  EXPECT_FALSE(blank.ReadBMFromFile(bitmap.data(), bitmap.size(), &header, ""));
  EXPECT_FALSE(blank.DeleteBMFile(""));
  EXPECT_FALSE(ops->DeleteBMFile(inMissingDir));
  EXPECT_FALSE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, inMissingDir));
  // No regular file: refused without blocking on the FIFO or replacing it.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, fifo));
  std::filesystem::current_path(cwd);
  EXPECT_THAT(
      log->lines(),
      ElementsAre(
          Saving(""), OpenFailed(kSave, "", 2), Saving(inMissingDir),
          OpenFailed(kSave, inMissingDir, 2), OpenFailed(kRead, "", 2),
          Line(kDelete, "Bitmap File  does not exist. Cannot delete. Returning failure"),
          Line(kDelete,
               "Bitmap File " + inMissingDir + " does not exist. Cannot delete. Returning failure"),
          OpenFailed(kFailure, inMissingDir, 2),
          Line(kFailure, "Bitmap File " + fifo + " is not a regular file. Returning failure"),
          OpenFailed(kFailure, fifo, 22)));
  EXPECT_EQ(bitmap, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(header, 9);
  EXPECT_TRUE(S_ISFIFO(Mode(fifo)));
  EXPECT_EQ(dir.list(), Strings{"fifo"});
}

TEST_F(FileStore, ParameterVariantsAreUnsupportedAndTouchNothing) {
  kqtest::WriteAll(defaultFile(), {5, 6, 7});
  Bytes bitmap{1, 2, 3};
  unsigned char* ptr = bitmap.data();
  unsigned long size = 3, param1 = 4;
  int param2 = 5;
  EXPECT_FALSE(ops->SaveBMWithParams(bitmap.data(), 3, 1, 2, ""));
  EXPECT_FALSE(ops->ReadBMWithParams(&ptr, &size, &param1, &param2, ""));
  EXPECT_EQ(std::make_tuple(ptr, size, param1, param2),
            std::make_tuple(bitmap.data(), 3UL, 4UL, 5));
  EXPECT_EQ(kqtest::ReadAll(defaultFile()), (Bytes{5, 6, 7}));
  EXPECT_THAT(log->lines(),
              ElementsAre(Line("KQBitMapOps::SaveBMWithParams", "not supported on unix"),
                          Line("KQBitMapOps::ReadBMWithParams", "not supported on unix")));
}

// A fault at each system call of a save in turn, the bitmap written in
// several calls: the target is the previous file or the whole new one, no
// temporary stays, and the step that failed is named once per stretch.
TEST_F(FileStore, AFaultAtAnyCallOfASaveLeavesNoTornFile) {
  const std::string target = defaultFile();
  const Bytes previous = Random(64, 7), bitmap = Random(1000, 8);
  SmallTransfers cap(400);
  for (bool failureFile : {false, true}) {
    SCOPED_TRACE(failureFile ? "failure file" : "bitmap file");
    const std::string tag = failureFile ? kFailure : kSave;
    auto failed = [&](const std::string& what) {
      return Line(tag, what + " to file=" + target + " error no=21");
    };
    const std::string open = OpenFailed(tag, target, 21), flush = failed("Failed to flush");
    std::vector<Strings> want = {
        {open},
        {Line(tag, "Cannot create a new file in directory " + dir.path() + " error no=21"), open},
        {failed("Failed to write")},
        {flush},
        {Line(tag, "Failed to replace file=" + target + " error no=21")},
        {flush}};  // of the directory, with the new file in place
    // The failure file takes its lock first; a save writes its header first.
    if (failureFile) {
      want.insert(want.begin(),
                  {Line(tag, "Failed to lock the Bitmap File " + target + " error no=21")});
    } else {
      want.insert(want.begin() + 2, {failed("1a:Failed to write")});
    }
    std::vector<Strings> seen;
    for (int nth = 1;; ++nth) {
      kqtest::WriteAll(target, previous);
      log->clear();
      kqbitmapops_detail::FailFileCallForTesting(nth, EISDIR);
      const bool ok =
          failureFile ? ops->SaveFileForFailure(KQV_BITMAP_INCR, 1000, "") : Save(bitmap, 0x5A, "");
      Strings lines = log->lines();
      if (!failureFile) {
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), Saving(target));
        lines.erase(lines.begin());
      }
      if (kqbitmapops_detail::FailFileCallForTesting(0, 0) < nth) {
        EXPECT_TRUE(ok && lines.empty());
        break;
      }
      const Bytes onFile = kqtest::ReadAll(target);
      const Bytes whole = failureFile ? Bytes(1000, 0xFF) : File(0x5A, bitmap);
      EXPECT_EQ(dir.list(), Strings{".sda1__YBVolBitmap"});
      if (ok) {  // the lock's look at the name failed: it locks by the name itself
        EXPECT_TRUE(failureFile && lines.empty() && onFile == whole) << nth;
        continue;
      }
      EXPECT_TRUE(onFile == previous || onFile == whole);
      if (seen.empty() || seen.back() != lines) seen.push_back(lines);
    }
    EXPECT_EQ(seen, want);
  }
}

TEST_F(FileStore, TheFailureFileIsAllOnesWithoutAHeader) {
  struct Case {
    int type;
    bool named;
    unsigned long size;
  };
  // Each case replaces what the one before left at the same path.
  const Case cases[] = {{0, true, 4}, {1, true, 4}, {7, false, 4}, {2, false, 0}};
  const mode_t saved = umask(027);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + (c.named ? " named " : " default ") +
                 std::to_string(c.size));
    const std::string path = c.named ? dir.file("f") : defaultFile();
    ASSERT_TRUE(
        ops->SaveFileForFailure(static_cast<KQVBitmapType>(c.type), c.size, c.named ? path : ""));
    EXPECT_EQ(kqtest::ReadAll(path), Bytes(c.size, 0xFF));
    EXPECT_EQ(Mode(path) & 0777, 0640u);
  }
  umask(saved);
  EXPECT_EQ(dir.list(), (Strings{".sda1__YBVolBitmap", "f"}));
  EXPECT_THAT(log->lines(), IsEmpty());
  // A reader of bitmap files takes the first 0xFF for the header byte.
  ASSERT_TRUE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, ""));
  Bytes bitmap(4);
  unsigned char header = 0;
  EXPECT_TRUE(ops->ReadBMFromFile(bitmap.data(), 3, &header, ""));
  EXPECT_EQ(header, 0xFF);
  EXPECT_EQ(bitmap, (Bytes{0xFF, 0xFF, 0xFF, 0}));
  EXPECT_FALSE(ops->ReadBMFromFile(bitmap.data(), 4, &header, ""));
}

}  // namespace
