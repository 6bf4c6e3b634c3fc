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
#include <functional>
#include <future>
#include <regex>
#include <thread>

#include "KqTestSupport.h"

namespace {

using namespace std::chrono_literals;
using kqlog::Entry;

std::vector<std::string> FileLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
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
  {
    kqlog::Capture cap(1);
    log.DebugLvl("T", 2, "%s", poison);
    kqlog::SetLevel(0);
    log.Debug("T", "%s", poison);
    log.debug("%s", poison);
    kqlog::SetLevel(1);
    log.DebugLvl("T", 1, "kept");
    EXPECT_EQ(cap.lines(), std::vector<std::string>{"T|1|kept"});
  }
  kqlog::SetDestination(dir.file("log"));
  log.DebugLvl("T", 2, "%s", poison);
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
    EXPECT_EQ(cap.lines(), (std::vector<std::string>{"A|1|one 1", "B|2|two x", "|1|three"}));
    EXPECT_EQ(cap.breaks(), std::vector<std::string>{dir.file("absent")});
    cap.clear();
    EXPECT_TRUE(cap.entries().empty());
  }
  EXPECT_EQ(kqlog::Level(), 3);
}

TEST_F(LogFacility, ConcurrentWritersProduceWholeLines) {
  const std::string path = dir.file("log");
  kqlog::SetDestination(path);
  constexpr int kThreads = 6, kLines = 300;
  const std::string pad(5000, 'p');  // longer than the stack buffer and than PIPE_BUF
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      EvDebug own;
      for (int i = 0; i < kLines; ++i) own.DebugLvl("W", 1, "t%d i%d %s end", t, i, pad.c_str());
    });
  for (auto& th : threads) th.join();
  log.debug("untagged");

  const std::regex prefix(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{6}Z pid=\d+ tid=\d+ L1 \[W?\] )");
  const std::vector<std::string> lines = FileLines(path);
  ASSERT_EQ(lines.size(), size_t{kThreads * kLines + 1});
  std::vector<int> next(kThreads, 0);
  for (const std::string& line : lines) {
    const size_t text = line.find("] ") + 2;
    ASSERT_TRUE(std::regex_match(line.substr(0, text), prefix)) << line.substr(0, 120);
    if (&line == &lines.back()) {
      EXPECT_EQ(line.substr(text - 3), "[] untagged");
      break;
    }
    int t = -1, i = -1;
    ASSERT_EQ(std::sscanf(line.c_str() + text, "t%d i%d", &t, &i), 2);
    ASSERT_TRUE(t >= 0 && t < kThreads);
    EXPECT_EQ(i, next[t]++);  // each thread's lines in its own order
    EXPECT_EQ(line.substr(text),
              "t" + std::to_string(t) + " i" + std::to_string(i) + " " + pad + " end");
  }
}

TEST_F(LogFacility, FileInstanceHasItsOwnDestination) {
  kqlog::SetDestination(dir.file("shared"));
  EvDebugFileInstance instance(dir.file("own"));
  {
    EvDebug own(&instance);
    own.Debug("T", "to own");
  }
  log.Debug("T", "to shared");
  const auto own = FileLines(dir.file("own")), shared = FileLines(dir.file("shared"));
  ASSERT_EQ(own.size(), 1u);
  ASSERT_EQ(shared.size(), 1u);
  EXPECT_NE(own[0].find("[T] to own"), std::string::npos);
  EXPECT_NE(shared[0].find("[T] to shared"), std::string::npos);
}

TEST_F(LogFacility, ErrnoSurvivesFailingLogCalls) {
  const std::string missingDir = dir.file("no/such/file");
  const std::vector<std::function<void()>> calls = {
      [&] { kqlog::SetDestination(missingDir); },
      [&] {
        kqlog::SetDestination("/dev/full");
        log.Debug("T", "lost");
      },
      [&] {
        EvDebugFileInstance bad(missingDir);
        EvDebug d(&bad);
        d.Debug("T", "x");
      },
      [&] { log.debugBreak(missingDir.c_str(), nullptr, 0, 0, true); },
  };
  for (size_t n = 0; n < calls.size(); ++n) {
    errno = EDOM;
    calls[n]();
    EXPECT_EQ(errno, EDOM) << "call " << n;
  }
}

// Runs debugBreak on another thread; false if it is still paused after `wait`.
class BreakRun {
 public:
  BreakRun(EvDebug& log, std::string marker)
      : marker_(std::move(marker)), done_(std::async(std::launch::async, [&log, m = marker_] {
          log.debugBreak(m.c_str(), nullptr, 0, 0, true);
        })) {}
  ~BreakRun() {
    if (finished(0s)) return;
    // Never leave a test hanging: release an open blocked on a FIFO, end a pause.
    const int fd = open(marker_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) close(fd);
    unlink(marker_.c_str());
  }
  bool finished(std::chrono::milliseconds wait) {
    return done_.wait_for(wait) == std::future_status::ready;
  }

 private:
  std::string marker_;
  std::future<void> done_;
};

TEST_F(LogFacility, UntrustedMarkersAreLoggedOnceAndIgnored) {
  const std::string target = dir.file("target");
  kqtest::WriteAll(target, {});
  chmod(target.c_str(), 0644);
  struct Case {
    const char* name;
    std::function<void(const std::string&)> make;
    std::string why;  // empty: absent, nothing logged
  };
  const std::vector<Case> cases = {
      {"absent", [](const std::string&) {}, ""},
      {"symlink", [&](const std::string& m) { ASSERT_EQ(symlink(target.c_str(), m.c_str()), 0); },
       "symbolic link"},
      {"group-writable",
       [](const std::string& m) {
         kqtest::WriteAll(m, {});
         chmod(m.c_str(), 0664);
       },
       "writable by group or others (mode 664)"},
      {"other-writable",
       [](const std::string& m) {
         kqtest::WriteAll(m, {});
         chmod(m.c_str(), 0602);
       },
       "writable by group or others (mode 602)"},
      {"directory", [](const std::string& m) { ASSERT_EQ(mkdir(m.c_str(), 0755), 0); },
       "not a regular file"},
      {"fifo",
       [](const std::string& m) { ASSERT_EQ(mkfifo(m.c_str(), 0600), 0); },  // must not block
       "not a regular file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string marker = dir.file(c.name);
    c.make(marker);
    kqlog::Capture cap;
    {
      BreakRun run(log, marker);
      EXPECT_TRUE(run.finished(10s));
    }
    std::vector<std::string> want;
    if (!c.why.empty())
      want.push_back("EvDebug::debugBreak|1|ignoring marker " + marker + ": " + c.why);
    EXPECT_EQ(cap.lines(), want);
    EXPECT_EQ(cap.breaks(), std::vector<std::string>{marker});
  }
}

TEST_F(LogFacility, TrustedMarkerPausesUntilRemoved) {
  const std::string marker = dir.file("marker");
  kqtest::WriteAll(marker, {});
  chmod(marker.c_str(), 0644);
  kqlog::Capture cap;
  const std::string pausing = "EvDebug::debugBreak|1|pausing: marker " + marker + " present";
  BreakRun run(log, marker);
  for (int i = 0; i < 10000 && cap.lines().empty(); ++i) std::this_thread::sleep_for(1ms);
  ASSERT_EQ(cap.lines(), std::vector<std::string>{pausing});
  EXPECT_FALSE(run.finished(50ms));
  ASSERT_EQ(unlink(marker.c_str()), 0);
  ASSERT_TRUE(run.finished(10s));
  EXPECT_EQ(cap.lines(),
            (std::vector<std::string>{
                pausing, "EvDebug::debugBreak|1|resuming: marker " + marker + " gone"}));
}

}  // namespace
