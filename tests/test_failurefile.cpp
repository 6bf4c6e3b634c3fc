// SaveFileForFailure: an all-ones file without a header byte, replacing the
// old file only once the new one is whole.
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "KqTestSupport.h"

namespace {

using kqtest::Bytes;
using kqtest::Line;
using kqtest::ReadAll;
using kqtest::WriteAll;

constexpr const char* kTag = "KQBitMapOps::SaveFileForFailure";

class FailureFile : public kqtest::KqFixture {
 protected:
  std::string file() const { return dir.file("f"); }
  std::string Last() const {
    std::vector<std::string> lines = log->lines();
    return lines.empty() ? "" : lines.back();
  }
};

TEST_F(FailureFile, WritesSizeBytesOfOnesWhateverTheType) {
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
    const std::string path = c.named ? file() : defaultFile();
    ASSERT_TRUE(
        ops->SaveFileForFailure(static_cast<KQVBitmapType>(c.type), c.size, c.named ? path : ""));
    EXPECT_EQ(ReadAll(path), Bytes(c.size, 0xFF));
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0, 0640u);
  }
  umask(saved);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{".sda1__YBVolBitmap", "f"}));
}

// A reader of bitmap files takes the first 0xFF for the header byte.
TEST_F(FailureFile, ReadsBackAsAHeaderByteAndOneByteLessOfOnes) {
  ASSERT_TRUE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, ""));
  Bytes bitmap(4);
  unsigned char header = 0;
  EXPECT_TRUE(ops->ReadBMFromFile(bitmap.data(), 3, &header, ""));
  EXPECT_EQ(header, 0xFF);
  EXPECT_EQ(bitmap, (Bytes{0xFF, 0xFF, 0xFF, 0}));
  EXPECT_FALSE(ops->ReadBMFromFile(bitmap.data(), 4, &header, ""));
}

TEST_F(FailureFile, MissingDirectoryCreatesNothing) {
  const std::string path = dir.file("nodir/f");
  EXPECT_FALSE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, path));
  EXPECT_EQ(Last(), Line(kTag, "Failed to open the Bitmap File " + path + ".  error 2"));
  EXPECT_TRUE(dir.list().empty());
}

TEST_F(FailureFile, FailedWriteLeavesTheOldFileWhole) {
  WriteAll(file(), Bytes(20, 'A'));
  // The file-size limit is the child's alone.
  const pid_t child = fork();
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit limit{8, 8};
    _exit(setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
                  !ops->SaveFileForFailure(KQV_BITMAP_INCR, 64, file()) &&
                  Last() == Line(kTag, "Failed to write to file=" + file() + " error no=27")
              ? 0
              : 1);
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(ReadAll(file()), Bytes(20, 'A'));
  EXPECT_EQ(dir.list(), std::vector<std::string>{"f"});
}

// No regular file: refused without blocking on the FIFO or replacing it.
TEST_F(FailureFile, RefusesAFileThatIsNoRegularFile) {
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, fifo));
  EXPECT_EQ(Last(), Line(kTag, "Failed to open the Bitmap File " + fifo + ".  error 22"));
  struct stat st {};
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(dir.list(), std::vector<std::string>{"fifo"});
}

}  // namespace
