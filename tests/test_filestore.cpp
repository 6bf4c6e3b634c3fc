// Bitmap files: their format, every failure message, and that a save that
// fails part-way never costs the previous file.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <random>
#include <thread>
#include <tuple>

#include "KqIoTesting.h"
#include "KqTestSupport.h"

namespace {

using kqtest::Bits;
using kqtest::Bytes;
using kqtest::File;
using kqtest::Line;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;
using namespace std::chrono_literals;

const std::string kSave = "KQBitMapOps::SaveBMToFile";
const std::string kRead = "KQBitMapOps::ReadBMFromFile";
const std::string kDelete = "KQBitMapOps::DeleteBMFile";

Bytes Random(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(gen());
  return b;
}

std::vector<std::string> Temporaries(const std::string& dir) {
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    std::string name = e.path().filename().string();
    if (name.find(".kqtmp") != std::string::npos) found.push_back(name);
  }
  return found;
}

mode_t Mode(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

struct SmallTransfers {
  explicit SmallTransfers(std::size_t n) { kqbitmapops_detail::SetMaxTransferForTesting(n); }
  ~SmallTransfers() { kqbitmapops_detail::SetMaxTransferForTesting(0); }
};

// Makes `dir` read-only for this process; root ignores modes, so it also
// drops the effective user id for as long as this lives.
class ReadOnlyDir {
 public:
  explicit ReadOnlyDir(std::string dir) : dir_(std::move(dir)) {
    chmod(dir_.c_str(), 0555);
    if (root_ && seteuid(65534) != 0) ADD_FAILURE() << "seteuid";
  }
  ~ReadOnlyDir() {
    if (root_ && seteuid(0) != 0) std::abort();
    chmod(dir_.c_str(), 0700);
  }

 private:
  std::string dir_;
  bool root_ = geteuid() == 0;
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
    std::size_t older;  // size of a file already there, 0 for none
    mode_t umask;       // for new files
  };
  const Case cases[] = {{"", 16, 0, 022},       {"zero", 0, 0, 077},       {"one", 1, 0, 0},
                        {"longer", 5, 4096, 0}, {"shorter", 1000, 3, 027}, {"", 33, 100, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name + " size " + std::to_string(c.size));
    const std::string path = c.name.empty() ? defaultFile() : dir.file(c.name);
    if (c.older) kqtest::WriteAll(path, Random(c.older, 1));
    const Bytes bitmap = Random(c.size, static_cast<unsigned>(c.size));
    log->clear();
    const mode_t saved = umask(c.umask);
    ASSERT_TRUE(Save(bitmap, 0xA7, c.name.empty() ? "" : path));
    umask(saved);
    EXPECT_EQ(kqtest::ReadAll(path), File(0xA7, bitmap));
    EXPECT_THAT(log->lines(), ElementsAre(Saving(path)));
    if (!c.older) {
      EXPECT_EQ(Mode(path) & 07777, static_cast<mode_t>(0666 & ~c.umask));
    }

    Bytes got(c.size + 1, 0xEE);  // one byte more: the read must stop at `size`
    unsigned char header = 0;
    log->clear();
    EXPECT_TRUE(ops->ReadBMFromFile(got.data(), c.size, &header, c.name.empty() ? "" : path));
    EXPECT_EQ(header, 0xA7);
    EXPECT_EQ(Bytes(got.begin(), got.end() - 1), bitmap);
    EXPECT_EQ(got.back(), 0xEE);
    std::fill(got.begin(), got.end(), 0xEE);  // a shorter read leaves the file's tail unread
    EXPECT_TRUE(ops->ReadBMFromFile(got.data(), c.size / 2, &header, path));
    EXPECT_TRUE(std::equal(bitmap.begin(), bitmap.begin() + c.size / 2, got.begin()));
    EXPECT_EQ(got[c.size / 2], 0xEE);
    EXPECT_THAT(log->lines(), IsEmpty());
  }
  EXPECT_EQ(dir.list(),
            (std::vector<std::string>{".sda1__YBVolBitmap", "longer", "one", "shorter", "zero"}));
}

TEST_F(FileStore, SaveSucceedsWhereWritingInPlaceWould) {
  kqtest::WriteAll(defaultFile(), {1, 2});
  chmod(defaultFile().c_str(), 0640);
  const mode_t saved = umask(077);
  EXPECT_TRUE(Save({3}, 0, ""));
  umask(saved);
  EXPECT_EQ(Mode(defaultFile()) & 07777, 0640u);
  const std::string longest = dir.file(std::string(255, 'b'));
  EXPECT_TRUE(Save({3}, 0, longest));
  EXPECT_EQ(kqtest::ReadAll(longest), (Bytes{0, 3}));
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
    std::optional<Bytes> file;  // nullopt: no file; empty Bytes: mkdir
    Bytes want;                 // buffer afterwards
    unsigned char header;       // header afterwards (0x11 before)
    ::testing::Matcher<std::string> line;
  };
  const std::string p = defaultFile();
  const Case cases[] = {
      {"missing", std::nullopt, {0xEE, 0xEE, 0xEE, 0xEE}, 0x11, OpenFailed(kRead, p, 2)},
      {"directory",
       Bytes{},
       {0, 0, 0, 0},
       0x11,
       Line(kRead, "1a:Failed to read from file=" + p + " error no=21")},
      // At end of file errno says nothing.
      {"header only",
       Bytes{7},
       {0, 0, 0, 0},
       7,
       StartsWith(Line(kRead, "Failed to read from file=" + p))},
      {"two bytes short",
       Bytes{7, 1, 2},
       {1, 2, 0, 0},
       7,
       StartsWith(Line(kRead, "Failed to read from file=" + p))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(p);
    if (c.file && c.file->empty()) mkdir(p.c_str(), 0700);
    if (c.file && !c.file->empty()) kqtest::WriteAll(p, *c.file);
    Bytes got(4, 0xEE);
    unsigned char header = 0x11;
    log->clear();
    EXPECT_FALSE(ops->ReadBMFromFile(got.data(), got.size(), &header, ""));
    EXPECT_EQ(got, c.want);
    EXPECT_EQ(header, c.header);
    EXPECT_THAT(log->lines(), ElementsAre(c.line));
  }
}

TEST_F(FileStore, EmptyNameOrMissingDirectoryCreatesNothing) {
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
  std::filesystem::current_path(cwd);
  EXPECT_THAT(
      log->lines(),
      ElementsAre(Saving(""), OpenFailed(kSave, "", 2), Saving(inMissingDir),
                  OpenFailed(kSave, inMissingDir, 2), OpenFailed(kRead, "", 2),
                  Line(kDelete, "Bitmap File  does not exist. Cannot delete. Returning failure")));
  EXPECT_EQ(bitmap, (Bytes{1, 2, 3, 4}));
  EXPECT_EQ(header, 9);
  EXPECT_THAT(dir.list(), IsEmpty());
}

TEST_F(FileStore, DeleteReportsWhetherTheFileWentAway) {
  const std::string named = dir.file("named");
  kqtest::WriteAll(defaultFile(), {1});
  kqtest::WriteAll(named, {1});
  EXPECT_TRUE(ops->DeleteBMFile(""));
  EXPECT_FALSE(ops->DeleteBMFile(""));
  {
    ReadOnlyDir ro(dir.path());
    EXPECT_FALSE(ops->DeleteBMFile(named));
  }
  EXPECT_TRUE(kqtest::Exists(named));
  EXPECT_TRUE(ops->DeleteBMFile(named));
  const std::string p = defaultFile();
  EXPECT_THAT(log->lines(),
              ElementsAre(Line(kDelete, "Deleted Bitmap File " + p),
                          Line(kDelete, "Bitmap File " + p +
                                            " does not exist. Cannot delete. Returning failure"),
                          Line(kDelete, "Failed to delete Bitmap File " + named + " error no=13"),
                          Line(kDelete, "Deleted Bitmap File " + named)));
  EXPECT_THAT(dir.list(), IsEmpty());
}

TEST_F(FileStore, ParameterVariantsAreUnsupportedAndTouchNothing) {
  kqtest::WriteAll(defaultFile(), {5, 6, 7});
  Bytes bitmap{1, 2, 3};
  unsigned char* ptr = bitmap.data();
  unsigned long size = 3, param1 = 4;
  int param2 = 5;
  EXPECT_FALSE(ops->SaveBMWithParams(bitmap.data(), 3, 1, 2, ""));
  EXPECT_FALSE(ops->SaveBMWithParams(bitmap.data(), 3, 1, 2, dir.file("new")));
  EXPECT_FALSE(ops->ReadBMWithParams(&ptr, &size, &param1, &param2, ""));
  EXPECT_EQ(std::make_tuple(ptr, size, param1, param2),
            std::make_tuple(bitmap.data(), 3UL, 4UL, 5));
  EXPECT_EQ(bitmap, (Bytes{1, 2, 3}));
  EXPECT_EQ(kqtest::ReadAll(defaultFile()), (Bytes{5, 6, 7}));
  EXPECT_EQ(dir.list(), std::vector<std::string>{".sda1__YBVolBitmap"});
  const std::string no = "not supported on unix";
  EXPECT_THAT(log->lines(), ElementsAre(Line("KQBitMapOps::SaveBMWithParams", no),
                                        Line("KQBitMapOps::SaveBMWithParams", no),
                                        Line("KQBitMapOps::ReadBMWithParams", no)));
}

TEST_F(FileStore, FailedSaveLeavesThePreviousFileAndNoTemporary) {
  const std::string target = defaultFile();
  const Bytes previous = Random(64, 7);
  const Bytes bitmap = Random(600000, 8);
  rlimit savedLimit{};
  struct sigaction savedXfsz {};
  std::optional<ReadOnlyDir> readOnly;
  std::optional<SmallTransfers> slow;
  std::thread swapper;
  int watch = -1;

  struct Fault {
    const char* what;
    std::function<void()> arrange, restore;
    std::string message;
  };
  const Fault faults[] = {
      {"file size limit",
       [&] {
         struct sigaction ign {};
         ign.sa_handler = SIG_IGN;
         sigaction(SIGXFSZ, &ign, &savedXfsz);
         getrlimit(RLIMIT_FSIZE, &savedLimit);
         rlimit small = savedLimit;
         small.rlim_cur = 100;
         setrlimit(RLIMIT_FSIZE, &small);
       },
       [&] { setrlimit(RLIMIT_FSIZE, &savedLimit), sigaction(SIGXFSZ, &savedXfsz, nullptr); },
       "Failed to write to file=" + target + " error no=27"},
      {"read-only directory", [&] { readOnly.emplace(dir.path()); }, [&] { readOnly.reset(); },
       "Failed to open the Bitmap File " + target + ".  error 13"},
      // While the new file is being written (many tiny writes), the target
      // is moved aside and a directory takes its name: the rename must fail.
      {"rename",
       [&] {
         slow.emplace(3);
         watch = inotify_init1(IN_CLOEXEC);
         inotify_add_watch(watch, dir.path().c_str(), IN_CREATE);
         swapper = std::thread([&] {
           pollfd ready{watch, POLLIN, 0};
           if (poll(&ready, 1, 10000) != 1) return;
           rename(target.c_str(), (target + ".aside").c_str());
           mkdir(target.c_str(), 0700);
         });
       },
       [&] {
         swapper.join();
         close(watch);
         slow.reset();
         rmdir(target.c_str());
         rename((target + ".aside").c_str(), target.c_str());
       },
       "Failed to replace file=" + target + " error no=21"},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.what);
    kqtest::WriteAll(target, previous);
    f.arrange();
    log->clear();
    const bool saved = Save(bitmap, 0x5A, "");
    f.restore();
    EXPECT_FALSE(saved);
    EXPECT_EQ(kqtest::ReadAll(target), previous);
    EXPECT_THAT(Temporaries(dir.path()), IsEmpty());
    EXPECT_THAT(log->lines(), ElementsAre(Saving(target), Line(kSave, f.message)));
  }
}

TEST_F(FileStore, DeviceTargetIsWrittenInPlace) {
  EXPECT_FALSE(Save({1, 2, 3}, 4, "/dev/full"));
  // The header byte is the first write, so it meets ENOSPC.
  EXPECT_THAT(log->lines(),
              ElementsAre(Saving("/dev/full"),
                          Line(kSave, "1a:Failed to write to file=/dev/full error no=28")));
  EXPECT_TRUE(S_ISCHR(Mode("/dev/full")));
  EXPECT_THAT(Temporaries("/dev"), IsEmpty());
}

TEST_F(FileStore, TransfersLoopOverManyShortCalls) {
  SmallTransfers cap(3);
  const Bytes bitmap = Random(1000, 5);
  ASSERT_TRUE(Save(bitmap, 0x33, ""));
  EXPECT_EQ(kqtest::ReadAll(defaultFile()), File(0x33, bitmap));
  Bytes got(1000, 0xEE);
  unsigned char header = 0;
  EXPECT_TRUE(ops->ReadBMFromFile(got.data(), got.size(), &header, ""));
  EXPECT_EQ(header, 0x33);
  EXPECT_EQ(got, bitmap);

  // A file that ends early still fails, after many calls that moved bytes.
  Bytes half(bitmap.begin(), bitmap.begin() + 500);
  kqtest::WriteAll(defaultFile(), File(0x33, half));
  std::fill(got.begin(), got.end(), 0xEE);
  log->clear();
  EXPECT_FALSE(ops->ReadBMFromFile(got.data(), got.size(), &header, ""));
  half.resize(1000, 0);
  EXPECT_EQ(got, half);
  EXPECT_THAT(log->lines(),
              ElementsAre(StartsWith(Line(kRead, "Failed to read from file=" + defaultFile()))));
}

std::atomic<int> g_alarms{0};

// A save into a full FIFO blocks in write(); signals without SA_RESTART cut
// that write short, then make it fail with EINTR. Every byte must still arrive.
TEST_F(FileStore, InterruptedWritesAreResumed) {
  g_alarms = 0;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(reader, 0);
  struct sigaction onAlarm {
  }, saved{};
  onAlarm.sa_handler = [](int) { ++g_alarms; };
  sigaction(SIGALRM, &onAlarm, &saved);
  const Bytes bitmap = Random(256 * 1024, 3);  // four times a pipe's capacity
  const pthread_t saver = pthread_self();
  std::atomic<bool> done{false};
  Bytes arrived;
  std::thread drain([&] {
    for (int i = 0; i < 3; ++i) {
      std::this_thread::sleep_for(30ms);
      pthread_kill(saver, SIGALRM);
    }
    unsigned char buf[65536];
    for (;;) {
      const bool last = done;
      const ssize_t n = read(reader, buf, sizeof buf);
      if (n > 0) arrived.insert(arrived.end(), buf, buf + n);
      if (n <= 0 && last) break;
      if (n <= 0) std::this_thread::sleep_for(1ms);
    }
  });
  const bool ok = Save(bitmap, 0x42, fifo);
  done = true;
  drain.join();
  sigaction(SIGALRM, &saved, nullptr);
  close(reader);
  EXPECT_GE(g_alarms.load(), 1);  // pending signals may merge on a busy machine
  EXPECT_EQ(arrived, File(0x42, bitmap));
  EXPECT_FALSE(ok);  // a FIFO cannot be flushed to storage
  EXPECT_THAT(
      log->lines(),
      ElementsAre(Saving(fifo), Line(kSave, "Failed to flush to file=" + fifo + " error no=22")));
}

}  // namespace
