// SaveFileForFailure: an all-ones file without a header byte, replacing the
// old file only once the new one is whole.
#include <gmock/gmock.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include "KqTestSupport.h"

namespace {

using kqtest::Bytes;
using kqtest::Line;
using kqtest::ReadAll;
using kqtest::WriteAll;
using ::testing::StartsWith;

constexpr const char* kTag = "KQBitMapOps::SaveFileForFailure";

class FailureFile : public kqtest::KqFixture {
 protected:
  std::string file() const { return dir.file("f"); }
  std::string Last() const {
    std::vector<std::string> lines = log->lines();
    return lines.empty() ? "" : lines.back();
  }
  // Runs `body` in a forked child; true when it returned true there.
  static bool InChild(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body() ? 0 : 1);
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
  }
};

TEST_F(FailureFile, WritesSizeBytesOfOnesWhateverTheType) {
  struct Case {
    int type;
    bool named;
    unsigned long size;
  };
  // Each case replaces what the one before left at the same path.
  const Case cases[] = {{0, true, 4},  {1, true, 4}, {2, false, 4},
                        {7, false, 4}, {0, true, 0}, {0, false, 0}};
  const mode_t saved = umask(027);
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.type) + (c.named ? " named " : " default ") +
                 std::to_string(c.size));
    const std::string path = c.named ? file() : defaultFile();
    ASSERT_TRUE(
        ops->SaveFileForFailure(static_cast<KQVBitmapType>(c.type), c.size, c.named ? path : ""));
    EXPECT_EQ(ReadAll(path), Bytes(c.size, 0xFF));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
  }
  umask(saved);
  EXPECT_EQ(dir.list(), (std::vector<std::string>{".sda1__YBVolBitmap", "f"}));
}

TEST_F(FailureFile, ReadsBackAsHeaderByteAndOneByteLess) {
  ASSERT_TRUE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, file()));
  Bytes bitmap(4, 0x11);
  unsigned char header = 0;
  ASSERT_TRUE(ops->ReadBMFromFile(bitmap.data(), 3, &header, file()));
  EXPECT_EQ(header, 0xFF);
  EXPECT_EQ(bitmap, (Bytes{0xFF, 0xFF, 0xFF, 0x11}));
  EXPECT_FALSE(ops->ReadBMFromFile(bitmap.data(), 4, &header, file()));
  EXPECT_THAT(Last(), StartsWith(Line("KQBitMapOps::ReadBMFromFile",
                                      "Failed to read from file=" + file() + " error no=")));
  EXPECT_FALSE(kqtest::Exists(defaultFile()));  // a named file leaves the default name alone
}

TEST_F(FailureFile, MissingDirectoryCreatesNothing) {
  const std::string path = dir.file("nodir/f");
  EXPECT_FALSE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, path));
  EXPECT_EQ(Last(), Line(kTag, "Failed to open the Bitmap File " + path + ".  error 2"));
  EXPECT_TRUE(dir.list().empty());
}

TEST_F(FailureFile, FailedWriteLeavesTheOldFileWhole) {
  WriteAll(file(), Bytes(20, 'A'));
  EXPECT_TRUE(InChild([&] {  // the file-size limit is the child's alone
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit {
      8, 8
    };
    return setrlimit(RLIMIT_FSIZE, &limit) == 0 &&
           !ops->SaveFileForFailure(KQV_BITMAP_INCR, 64, file()) &&
           Last() == Line(kTag, "Failed to write to file=" + file() + " error no=27");
  }));
  EXPECT_EQ(ReadAll(file()), Bytes(20, 'A'));
  EXPECT_EQ(dir.list(), std::vector<std::string>{"f"});
}

TEST_F(FailureFile, WritesAFileThatIsNoRegularFileInPlace) {
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_FALSE(ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, fifo));  // a pipe cannot be flushed
  EXPECT_EQ(Last(), Line(kTag, "Failed to flush to file=" + fifo + " error no=22"));
  struct stat st {};
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(dir.list(), std::vector<std::string>{"fifo"});

  // Unprivileged, so that a lost in-place path could never replace the device.
  EXPECT_TRUE(InChild([&] {
    return (geteuid() != 0 || setuid(65534) == 0) &&
           !ops->SaveFileForFailure(KQV_BITMAP_INCR, 4, "/dev/full") &&
           Last() == Line(kTag, "Failed to write to file=/dev/full error no=28");
  }));
  ASSERT_EQ(lstat("/dev/full", &st), 0);
  EXPECT_TRUE(S_ISCHR(st.st_mode));
}

}  // namespace
