// The log facility stand-in: the level threshold, the test capture, written
// lines, errno, and when debugBreak trusts its marker.
#include <EvDebugFileInstance.h>
#include <EvEvent.h>
#include <KqLogControl.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <future>
#include <regex>
#include <thread>

#include "KqTestSupport.h"

namespace {

using namespace std::chrono_literals;
using kqlog::Entry;
using Lines = std::vector<std::string>;

Lines FileLines(const std::string& path) {
  std::ifstream in(path);
  Lines lines;
  for (std::string l; std::getline(in, l);) lines.push_back(l);
  return lines;
}

class LogFacility : public ::testing::Test {
 protected:
  void SetUp() override { kqlog::SetBreakPollInterval(1ms); }
  void TearDown() override {
    kqlog::SetDestination("");
    kqlog::SetLevel(1);
    kqlog::SetBreakPollInterval(100ms);
  }
  kqtest::TempDir dir;
  EvDebug log;
};

TEST_F(LogFacility, LineAboveThresholdIsNotFormatted) {
  // Formatting "%s" from this page would fault.
  void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(page, MAP_FAILED);
  const char* poison = static_cast<const char*>(page);
  kqlog::SetDestination(dir.file("log"));
  log.DebugLvl("T", 2, "%s", poison);
  {
    kqlog::Capture cap(1);
    log.DebugLvl("T", 2, "%s", poison);
    kqlog::SetLevel(0);
    log.Debug("T", "%s", poison);
    log.debug("%s", poison);
    EXPECT_TRUE(cap.lines().empty());
  }
  EXPECT_TRUE(FileLines(dir.file("log")).empty());
  munmap(page, 4096);
}

TEST_F(LogFacility, CaptureRecordsEveryKindInOrder) {
  kqlog::SetLevel(3);
  EvEvent event;
  {
    kqlog::Capture cap;
    EXPECT_EQ(kqlog::Level(), 2);
    event.Debug("A", "one %d", 1);
    log.DebugLvl("B", 2, "two %s", "x");
    event.debug("three");
    kqlog::SetLevel(0);  // a break is recorded whatever the level
    event.debugBreak(dir.file("absent").c_str(), nullptr, 0, 0, true);
    const std::vector<Entry> e = cap.entries();
    ASSERT_EQ(e.size(), 4u);
    EXPECT_TRUE(e[0].kind == Entry::Kind::Debug && e[0].source == &event && e[0].fromEvent);
    EXPECT_TRUE(e[1].kind == Entry::Kind::DebugLvl && e[1].source == &log && !e[1].fromEvent);
    EXPECT_TRUE(e[2].kind == Entry::Kind::Untagged && e[2].tag.empty() && e[2].level == 1);
    EXPECT_TRUE(e[3].kind == Entry::Kind::Break && e[3].level == 0 && e[3].tag.empty());
    EXPECT_EQ(cap.lines(), (Lines{"A|1|one 1", "B|2|two x", "|1|three"}));
    EXPECT_EQ(cap.breaks(), Lines{dir.file("absent")});
  }
  EXPECT_EQ(kqlog::Level(), 3);
}

// Concurrent writers to the shared destination, then an object with a file of its own.
TEST_F(LogFacility, WrittenLinesAreWholeAndGoWhereTheyBelong) {
  const std::string shared = dir.file("shared"), own = dir.file("own");
  kqlog::SetDestination(shared);
  constexpr int kThreads = 6, kLines = 300;
  const std::string pad(5000, 'p');  // longer than the stack buffer and than PIPE_BUF
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      EvDebug writer;
      for (int i = 0; i < kLines; ++i) writer.DebugLvl("W", 1, "t%d i%d %s end", t, i, pad.c_str());
    });
  for (auto& th : threads) th.join();
  log.debug("untagged");
  EvDebugFileInstance instance(own);
  EvDebug(&instance).Debug("T", "to own");

  const std::string stamp = R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z pid=\d+ tid=\d+ L1 )";
  const Lines ownLines = FileLines(own), lines = FileLines(shared);
  ASSERT_EQ(ownLines.size(), 1u);
  EXPECT_TRUE(std::regex_match(ownLines[0], std::regex(stamp + R"(\[T\] to own)"))) << ownLines[0];
  ASSERT_EQ(lines.size(), size_t{kThreads * kLines + 1});
  EXPECT_TRUE(std::regex_match(lines.back(), std::regex(stamp + R"(\[\] untagged)")));
  const std::regex tagged(stamp + R"(\[W\] t(\d+) i(\d+) )");
  std::vector<int> next(kThreads, 0);
  for (size_t n = 0; n + 1 < lines.size(); ++n) {
    std::smatch m;
    ASSERT_TRUE(std::regex_search(lines[n], m, tagged, std::regex_constants::match_continuous))
        << lines[n].substr(0, 120);
    EXPECT_EQ(std::stoi(m[2]), next.at(std::stoi(m[1]))++);  // each thread's lines in its order
    EXPECT_EQ(m.suffix(), pad + " end");
  }
}

TEST_F(LogFacility, ErrnoSurvivesFailingLogCalls) {
  const std::string missing = dir.file("no/such/file");
  EvDebugFileInstance bad(missing);
  errno = EDOM;
  kqlog::SetDestination(missing);
  EXPECT_EQ(errno, EDOM) << "a destination that cannot be opened";
  kqlog::SetDestination("/dev/full");
  log.Debug("T", "lost");
  EXPECT_EQ(errno, EDOM) << "a write that fails";
  EvDebug(&bad).Debug("T", "x");
  EXPECT_EQ(errno, EDOM) << "an instance file that cannot be opened";
  log.debugBreak(missing.c_str(), nullptr, 0, 0, true);
  EXPECT_EQ(errno, EDOM) << "an absent marker";
}

// Runs debugBreak on another thread. Never leaves a test hanging: at the end it
// releases an open blocked on a FIFO marker and ends a pause.
struct BreakRun {
  BreakRun(EvDebug& log, const std::string& m)
      : marker(m), done(std::async(std::launch::async, [&log, m] {
          log.debugBreak(m.c_str(), nullptr, 0, 0, true);
        })) {}
  ~BreakRun() {
    if (finished(0s)) return;
    const int fd = open(marker.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
    unlink(marker.c_str());
  }
  bool finished(std::chrono::milliseconds wait) {
    return done.wait_for(wait) == std::future_status::ready;
  }
  const std::string marker;
  std::future<void> done;
};

// Only a trusted marker pauses; an untrusted one is logged once and ignored.
TEST_F(LogFacility, DebugBreakPausesOnATrustedMarkerOnly) {
  const std::string trusted = dir.file("trusted");
  kqtest::WriteAll(trusted, {});
  chmod(trusted.c_str(), 0644);
  struct Case {
    const char* name;
    mode_t mode;      // file type and permissions; 0: no marker
    std::string why;  // empty: nothing logged
  };
  const Case cases[] = {
      {"absent", 0, ""},
      {"symlink", S_IFLNK, "symbolic link"},
      {"group-writable", S_IFREG | 0664, "writable by group or others (mode 664)"},
      {"other-writable", S_IFREG | 0602, "writable by group or others (mode 602)"},
      {"directory", S_IFDIR | 0755, "not a regular file"},
      {"fifo", S_IFIFO | 0600, "not a regular file"},  // checking it must not block
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string marker = dir.file(c.name);
    if (S_ISLNK(c.mode)) {
      ASSERT_EQ(symlink(trusted.c_str(), marker.c_str()), 0);
    } else if (S_ISDIR(c.mode)) {
      ASSERT_EQ(mkdir(marker.c_str(), 0755), 0);
    } else if (c.mode != 0) {
      ASSERT_EQ(mknod(marker.c_str(), c.mode, 0), 0);
      ASSERT_EQ(chmod(marker.c_str(), c.mode & 0777), 0);  // whatever the umask
    }
    kqlog::Capture cap;
    {
      BreakRun run(log, marker);
      EXPECT_TRUE(run.finished(10s));
    }
    Lines want;
    if (!c.why.empty())
      want.push_back("EvDebug::debugBreak|1|ignoring marker " + marker + ": " + c.why);
    EXPECT_EQ(cap.lines(), want);
    EXPECT_EQ(cap.breaks(), Lines{marker});
  }

  kqlog::Capture cap;
  const std::string pausing = "EvDebug::debugBreak|1|pausing: marker " + trusted + " present";
  BreakRun run(log, trusted);
  for (int i = 0; i < 10000 && cap.lines().empty(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(cap.lines(), Lines{pausing});
  EXPECT_FALSE(run.finished(50ms));
  ASSERT_EQ(unlink(trusted.c_str()), 0);
  ASSERT_TRUE(run.finished(10s));
  EXPECT_EQ(cap.lines(),
            (Lines{pausing, "EvDebug::debugBreak|1|resuming: marker " + trusted + " gone"}));
}

}  // namespace
