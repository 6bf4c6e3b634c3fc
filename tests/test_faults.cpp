// Nothing lost under any single fault: every workflow, with a fault injected
// at each volume-library call, each file-layer system call, each replaceable
// step and each allocation, in turn. Afterwards every change is on the
// driver, in the bitmap file, or the driver's bitmap is marked dirty (a full
// backup next time); the call said false or passed the exception on; no file
// is torn, no temporary, volume handle or take-over record is left.
#include <dlfcn.h>
#include <execinfo.h>
#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <thread>

#include "KqIoTesting.h"
#include "KqTestSupport.h"

// Allocation faults. The replaced allocation functions count the
// allocations the library makes (with the steps it calls, the job's naming
// among them) and fail the armed one, or it and every later one. The driver
// and log stand-ins allocate on their own account, as a job's would: theirs
// are neither counted nor failed. Each counted allocation still live is kept
// in `live` until freed.
namespace alloc {
std::atomic<bool> armed{false};
int made = 0, failAt = 0;
bool onward = false;
void* live[4096];
size_t nLive = 0;

// Whose allocation it is, the library's or a stand-in's, its innermost frame
// in any of them tells.
bool ByLibrary() {
  void* frames[64];
  for (int i = 0, n = backtrace(frames, 64); i < n; ++i) {
    Dl_info in{};
    if (dladdr(frames[i], &in) == 0 || in.dli_fname == nullptr) continue;
    if (std::strstr(in.dli_fname, "/libkqbitmapops.so") != nullptr) return true;
    if (std::strstr(in.dli_fname, "/libKqLib.so") != nullptr ||
        std::strstr(in.dli_fname, "/libkqvolume.so") != nullptr) {
      return false;
    }
  }
  return false;
}

void* Allocate(size_t n, size_t align, bool nothrow) {
  const bool ours = armed && ByLibrary();
  if (ours && (++made == failAt || (onward && made > failAt))) {
    if (nothrow) return nullptr;
    throw std::bad_alloc();
  }
  void* p = nullptr;
  if (align <= alignof(std::max_align_t)) {
    p = std::malloc(n != 0 ? n : 1);
  } else if (posix_memalign(&p, align, n) != 0) {
    p = nullptr;
  }
  if (p == nullptr && !nothrow) throw std::bad_alloc();
  if (ours && p != nullptr && nLive < std::size(live)) live[nLive++] = p;
  return p;
}

void Free(void* p) noexcept {
  for (size_t i = 0; i < nLive; ++i) {
    if (live[i] == p) live[i] = live[--nLive];
  }
  std::free(p);
}

void Arm(int nth, bool from) {
  made = nLive = 0;
  failAt = nth;
  onward = from;
  armed = true;
}

// Returns how many allocations the library made since Arm.
int Disarm() {
  armed = false;
  return made;
}
}  // namespace alloc

// Every form: under a sanitizer, one left out would pair its allocator with ours.
// clang-format off
void* operator new(size_t n) { return alloc::Allocate(n, 0, false); }
void* operator new[](size_t n) { return alloc::Allocate(n, 0, false); }
void* operator new(size_t n, const std::nothrow_t&) noexcept { return alloc::Allocate(n, 0, true); }
void* operator new[](size_t n, const std::nothrow_t&) noexcept { return alloc::Allocate(n, 0, true); }
void* operator new(size_t n, std::align_val_t a) { return alloc::Allocate(n, size_t(a), false); }
void* operator new[](size_t n, std::align_val_t a) { return alloc::Allocate(n, size_t(a), false); }
void* operator new(size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return alloc::Allocate(n, size_t(a), true); }
void* operator new[](size_t n, std::align_val_t a, const std::nothrow_t&) noexcept { return alloc::Allocate(n, size_t(a), true); }
void operator delete(void* p) noexcept { alloc::Free(p); }
void operator delete[](void* p) noexcept { alloc::Free(p); }
void operator delete(void* p, size_t) noexcept { alloc::Free(p); }
void operator delete[](void* p, size_t) noexcept { alloc::Free(p); }
void operator delete(void* p, std::align_val_t) noexcept { alloc::Free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { alloc::Free(p); }
void operator delete(void* p, size_t, std::align_val_t) noexcept { alloc::Free(p); }
void operator delete[](void* p, size_t, std::align_val_t) noexcept { alloc::Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { alloc::Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { alloc::Free(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { alloc::Free(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { alloc::Free(p); }
// clang-format on

namespace {

using kqsim::Op;
using kqtest::Bits;
using kqtest::Bytes;
using kqtest::FaultyOps;
using kqtest::File;
using kqtest::Line;
using kqtest::ReadAll;
using kqtest::WriteAll;
using ::testing::Contains;
using ::testing::EndsWith;
using ::testing::HasSubstr;

constexpr unsigned long kSize = 16;
const int kChanges[] = {1, 9};  // on the driver before the call
constexpr int kRacing = 5;      // lands inside every fetch-and-clear
constexpr int kEarlier = 100;   // in the bitmap file before the call

struct Workflow {
  const char* name;
  std::string suffix;  // of the bitmap file it works on
  std::function<bool(FaultyOps&)> run;
  bool failSave = false;  // the give-back: every save fails
};

class Faults : public kqtest::KqFixture {
 protected:
  // A fresh volume with the changes, a bitmap file holding an earlier one.
  std::unique_ptr<FaultyOps> Fresh(const Workflow& w) {
    ResetVolume();
    driver->ClearCalls();
    driver->SetHook(Op::GetAndClearBitmap, [this] { Write(kRacing); });
    for (const std::string& name : dir.list()) unlink(dir.file(name).c_str());
    unlink((suffixFile(w.suffix) + ".kqlock").c_str());
    for (int b : kChanges) Write(b);
    WriteAll(suffixFile(w.suffix), File(0x11, Bits({kEarlier})));
    auto ops = std::make_unique<FaultyOps>(dir.path(), kVolume);
    ops->failSave = w.failSave;
    log->clear();
    return ops;
  }

  // Runs the workflow; a thrown exception is a report of its own and counts as true.
  static bool Run(const Workflow& w, FaultyOps& ops) {
    try {
      return w.run(ops);
    } catch (const std::exception&) {
      return true;
    }
  }

  // The invariant after one faulted call.
  void Check(const Workflow& w, const std::string& what, bool ok) {
    SCOPED_TRACE(std::string(w.name) + ": " + what);
    const std::string file = suffixFile(w.suffix);
    const Bytes onFile = ReadAll(file);
    const Bytes onDriver = driver->Bitmap(kVolume, KQV_BITMAP_INCR);
    const bool dirty = driver->DirtyMarks(kVolume, KQV_BITMAP_INCR) > 0;
    auto has = [](const Bytes& b, int bit) {
      return b.size() > size_t(bit / 8) && (b[size_t(bit / 8)] & (1u << (bit % 8))) != 0;
    };
    auto onFileBit = [&](int bit) { return onFile.size() == kSize + 1 && has(onFile, bit + 8); };
    for (int b : {kChanges[0], kChanges[1], kRacing, kEarlier}) {
      if (b == kRacing && driver->CallCount(Op::GetAndClearBitmap) == 0) continue;
      if (b == kEarlier && onFile.empty()) continue;  // a level-1 delete may take it
      EXPECT_TRUE(has(onDriver, b) || onFileBit(b) || dirty) << "change " << b << " lost";
    }
    EXPECT_TRUE(onFile.empty() || onFile.size() == kSize + 1) << "torn file";
    // A record stays only where the bits could not be given back, and the
    // call said so: anywhere else it forces a full backup for nothing.
    const auto lines = log->lines();
    const bool mayBeLost = std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.find("changes may be lost") != std::string::npos;
    });
    for (const std::string& name : dir.list()) {
      EXPECT_THAT(name, Not(HasSubstr(".kqtmp.")));
      if (!mayBeLost) {
        EXPECT_THAT(name, Not(EndsWith(".kqlock"))) << "a take-over record left";
      }
    }
    if (!ok) {
      EXPECT_FALSE(lines.empty()) << "a failure without a log line";
    }
  }
};

const Workflow kWorkflows[] = {
    {"formalities", "bm",
     [](auto& o) { return o.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false); }},
    {"give-back", "bm",
     [](auto& o) { return o.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false); }, true},
    {"dump", "incr-tmp",
     [](auto& o) { return o.DoBitmapDump(KQV_BITMAP_INCR, "/dev/sda1", true); }},
    {"query", "bm",
     [](auto& o) {
       unsigned char* merged = nullptr;
       // The buffer is the caller's once handed out, also when the call throws.
       struct Release {
         unsigned char*& p;
         ~Release() { delete[] p; }
       } release{merged};
       return o.GetBitMap(KQV_BITMAP_INCR, "bm", kSize, &merged);
     }},
    {"level", "_YBVolBitmap",
     [](auto& o) { return o.ManipulateBitmap(-1, BKP_LEVEL_SAVE_INCR_BM, "named"); }},
    {"failure file", "_YBVolBitmap",
     [](auto& o) { return o.SaveFileForFailure(KQV_BITMAP_INCR, kSize + 1, std::string()); }},
    // An object whose read and merge steps are the class's own streams the
    // file into the bitmap it merges into instead.
    {"formalities, streamed", "bm",
     [](auto& o) {
       return kqtest::DirOps(o.dir(), "/dev/sda1")
           .DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false);
     }},
    {"dump, streamed", "incr-tmp",
     [](auto& o) {
       return kqtest::DirOps(o.dir(), "/dev/sda1").DoBitmapDump(KQV_BITMAP_INCR, "/dev/sda1", true);
     }},
    {"query, streamed", "bm",
     [](auto& o) {
       unsigned char* merged = nullptr;
       struct Restore {  // without byte listings, which would read the file first
         unsigned char*& p;
         int level = kqlog::Level();
         ~Restore() {
           delete[] p;
           kqlog::SetLevel(level);
         }
       } restore{merged};
       kqlog::SetLevel(1);
       return kqtest::DirOps(o.dir(), "/dev/sda1").GetBitMap(KQV_BITMAP_INCR, "bm", kSize, &merged);
     }},
};

TEST_F(Faults, NoChangeLostUnderAnySingleFault) {
  const Op driverOps[] = {Op::Construct,         Op::IsValid,         Op::SetClntDisplayName,
                          Op::SetVolumeName,     Op::GetVolInfo,      Op::GetBitmap,
                          Op::GetAndClearBitmap, Op::MarkBitmapDirty, Op::ClearBitmap,
                          Op::MergeBitmap,       Op::GetVolName};
  for (const Workflow& w : kWorkflows) {
    for (Op op : driverOps) {
      for (int nth = 1; nth <= 2; ++nth) {
        for (bool throws : {false, true}) {
          auto ops = Fresh(w);
          throws ? driver->ThrowAt(op, nth) : driver->FailAt(op, nth);
          const bool ok = Run(w, *ops);
          ops.reset();
          Check(w,
                std::string(kqsim::OpName(op)) + (throws ? " throws #" : " fails #") +
                    std::to_string(nth),
                ok);
          EXPECT_EQ(kqsim::SimDriver::LiveHandles(), 0);
        }
      }
    }
    int step = 0;
    for (bool FaultyOps::*fault :
         {&FaultyOps::failSave, &FaultyOps::throwSave, &FaultyOps::failRead, &FaultyOps::throwRead,
          &FaultyOps::failMerge, &FaultyOps::throwMerge}) {
      auto ops = Fresh(w);
      (*ops).*fault = true;
      Check(w, "step fault " + std::to_string(++step), Run(w, *ops));
    }
    // Every system call of the file layer, one at a time, until a run makes
    // fewer calls than the one armed.
    for (int nth = 1;; ++nth) {
      auto ops = Fresh(w);
      kqbitmapops_detail::FailFileCallForTesting(nth, EIO);
      const bool ok = Run(w, *ops);
      const int made = kqbitmapops_detail::FailFileCallForTesting(0, 0);
      Check(w, "file call #" + std::to_string(nth), ok);
      if (made < nth) break;
      ASSERT_LT(nth, 200) << "runaway";
    }
  }
}

// Every allocation the library makes fails, once or from then on, each case
// in a child process: a job out of memory gets false or std::bad_alloc, keeps
// its process, and loses, leaves and leaks nothing.
TEST_F(Faults, NoChangeLostAndNoJobEndedByAnAllocationFailure) {
  for (const Workflow& w : kWorkflows) {
    // Once unfaulted first: what a thread keeps across calls (its list of held
    // locks) is then made, and is no leak.
    Run(w, *Fresh(w));
    // Until a run makes fewer allocations than the one armed.
    for (int nth = 1, reached = 1; reached != 0; ++nth) {
      for (bool onward : {false, true}) {
        const std::string what =
            "allocation #" + std::to_string(nth) + (onward ? " and on fail" : " fails");
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
          alarm(30);  // a hang ends by a signal, too
          ::testing::TestPartResultArray results;
          std::string report;
          {
            const ::testing::ScopedFakeTestPartResultReporter intercept(&results);
            auto ops = Fresh(w);
            alloc::Arm(nth, onward);
            bool ok = true;
            try {
              ok = w.run(*ops);
            } catch (const std::bad_alloc&) {
              // Passed on, as the interface allows.
            } catch (const std::exception& e) {
              ADD_FAILURE() << "threw " << e.what();
            }
            report = std::to_string(alloc::Disarm()) + "\n";
            ops.reset();
            EXPECT_EQ(alloc::nLive, 0u) << "allocations leaked";
            Check(w, what, ok);
          }
          for (int i = 0; i < results.size(); ++i) {
            report += results.GetTestPartResult(i).message() + std::string("\n");
          }
          _exit(write(pipeFds[1], report.data(), report.size()) == ssize_t(report.size()) ? 0 : 1);
        }
        close(pipeFds[1]);
        std::string report;
        char buf[4096];
        for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;) report.append(buf, size_t(n));
        close(pipeFds[0]);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (WIFSIGNALED(status)) {
          ADD_FAILURE() << w.name << ": " << what << ": killed by " << strsignal(WTERMSIG(status));
          continue;
        }
        if (!onward) reached = std::atoi(report.c_str()) >= nth;
        ASSERT_TRUE(nth > 1 || reached) << w.name << ": no allocation of the library seen";
        const std::string failures = report.substr(report.find('\n') + 1);
        if (!failures.empty() || WEXITSTATUS(status) != 0) {
          ADD_FAILURE() << w.name << ": " << what << ":\n" << failures;
        }
      }
      ASSERT_LT(nth, 2000) << "runaway";
    }
  }
}

// Odd things where a bitmap file belongs, and names that meet.
TEST_F(Faults, OddFilesAndNamesLoseNothing) {
  const Workflow& formalities = kWorkflows[0];
  const std::string bm = suffixFile("bm");
  struct Case {
    const char* what;
    std::function<void()> arm;
    bool ok;
    std::string line;  // a line the call must log
    const char* bitmapName = "bm";
    const char* restart = "restart";
    std::string holdsAll = {};  // a file that must hold the merged bitmap afterwards
  };
  const std::string loop = dir.file("loop");
  // clang-format off
  const Case cases[] = {
      // The existence test cannot tell: never taken as "no file".
      {"link loop", [&] { unlink(bm.c_str()); symlink(bm.c_str(), bm.c_str()); }, false,
       Line("KQBitMapOps::DoBitmapFormalities", "Failed to test the Bitmap File " + bm + " error no=40")},
      {"fifo", [&] { unlink(bm.c_str()); mkfifo(bm.c_str(), 0600); }, false,
       Line("KQBitMapOps::ReadBMFromFile", "Bitmap File " + bm + " is not a regular file. Returning failure")},
      {"dangling link creates the file it names",
       [&] { unlink(bm.c_str()); symlink("named", bm.c_str()); }, true,
       Line("KQBitMapOps::DoBitmapFormalities", "BM on disk does not exist"), "bm", nullptr,
       dir.file("named")},
      {"restart resolves to the bitmap file", [] {}, true,
       Line("KQBitMapOps::DoBitmapFormalities", "Restart bitmap file " + bm +
            " is the bitmap file: kept the merged bitmap in it"), "bm", "bm", bm},
      {"leftover of a killed save", [&] { WriteAll(bm + ".kqtmp.AbCdEfGhIjKl", Bytes{1}); }, true,
       Line("KQBitMapOps::DoBitmapFormalities", "Merge done")},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto ops = Fresh(formalities);
    c.arm();
    EXPECT_EQ(ops->DoBitmapFormalities(KQV_BITMAP_INCR, c.bitmapName, c.restart, false), c.ok);
    EXPECT_THAT(log->lines(), Contains(c.line));
    if (!c.ok) {
      EXPECT_EQ(driver->CallCount(Op::GetAndClearBitmap), 0);  // refused before the driver
    }
    for (const std::string& name : dir.list()) EXPECT_THAT(name, Not(HasSubstr(".kqtmp.")));
    // Where a restart save would have put the fetched bits alone, the merge
    // stays; a dangling link's file starts empty.
    if (!c.holdsAll.empty()) {
      const bool fresh = c.restart == nullptr;
      EXPECT_EQ(ReadAll(c.holdsAll),
                File(0x5A, fresh ? Bits({kChanges[0], kChanges[1]})
                                 : Bits({kChanges[0], kChanges[1], kEarlier})));
    }
  }

  // A link in a sticky, world-writable directory that neither the job's user
  // nor the directory's owner owns is not followed.
  if (geteuid() == 0) {
    const std::string shared = dir.file("shared"), link = shared + "/bm",
                      victim = dir.file("victim");
    ASSERT_EQ(mkdir(shared.c_str(), 0777), 0);
    ASSERT_EQ(chmod(shared.c_str(), 01777), 0);
    WriteAll(victim, Bytes{42});
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    ASSERT_EQ(lchown(link.c_str(), 4242, 4242), 0);
    unsigned char header = 0, byte = 0;
    EXPECT_FALSE(kqtest::DirOps(dir.path(), kVolume).SaveBMToFile(&byte, 1, &header, link));
    EXPECT_EQ(ReadAll(victim), Bytes{42});
  }
}

// A lock file that is anything but a regular file with one link, owned by
// the job's user or root, is refused untouched: planted in a shared
// directory it would turn the job's reads and writes against another file.
// An owner or a record of another volume refuses the call before the
// driver; a record of an unreadable type marks every bitmap dirty.
TEST_F(Faults, HostileLockFilesAreRefusedUntouched) {
  const std::string bm = suffixFile("bm"), lock = bm + ".kqlock", victim = dir.file("victim");
  const std::string tag = "KQBitMapOps::DoBitmapFormalities";
  auto refused = [&](const std::string& why) {
    return Line(tag, "Refused the lock file " + lock + " of Bitmap File " + bm +
                         ", left untouched: " + why);
  };
  const std::string other = "owner=/dev/vg2/sda1\n";
  const std::string otherLine =
      Line(tag, "Bitmap File " + bm +
                    " holds the changes of volume /dev/vg2/sda1, not of /dev/sda1. Returning "
                    "failure: give each volume bitmap file names of its own (a derived class's "
                    "PrepareAbsoluteBitmapFileName), or, once /dev/vg2/sda1 is renamed or gone, "
                    "remove " +
                    lock);
  const std::string ours = "owner=/dev/sda1\n";
  struct Case {
    const char* what;
    std::function<void()> plant;
    std::string line;
    bool ok = false;
    int dirtyTypes = 0;  // bitmaps marked dirty
  };
  const Case cases[] = {
      {"hard link", [&] { link(victim.c_str(), lock.c_str()); }, refused("it has 2 links")},
      {"symbolic link", [&] { symlink(victim.c_str(), lock.c_str()); },
       refused("it is a symbolic link")},
      {"fifo", [&] { mkfifo(lock.c_str(), 0600); }, refused("it is not a regular file")},
      {"directory", [&] { mkdir(lock.c_str(), 0700); }, refused("it is not a regular file")},
      {"another user's",
       [&] {
         WriteAll(lock, {});
         if (chown(lock.c_str(), 4242, 4242) != 0) GTEST_SKIP();
       },
       refused("its owner is user 4242, neither this job's user nor root")},
      {"another volume's owner", [&] { WriteAll(lock, Bytes(other.begin(), other.end())); },
       otherLine},
      {"another volume's record",
       [&] {
         const std::string r = "type=0 volume=/dev/vg2/sda1 file=" + bm + "\n";
         WriteAll(lock, Bytes(r.begin(), r.end()));
       },
       otherLine},
      {"a record of an unreadable type",
       [&] {
         const std::string r = ours + "type=9 volume=/dev/sda1 file=" + bm + "\n";
         WriteAll(lock, Bytes(r.begin(), r.end()));
       },
       Line(tag,
            "Found an interrupted take-over of an unreadable bitmap type of /dev/sda1 into " + bm),
       true, 3},
      {"a record left after its save replaced the file",
       [&] {
         const std::string r = ours + "type=0 was=1:1 volume=/dev/sda1 file=" + bm + "\n";
         WriteAll(lock, Bytes(r.begin(), r.end()));
       },
       Line(tag,
            "Found a take-over into " + bm + " that ended after its save: its changes are there"),
       true, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto ops = Fresh(kWorkflows[0]);
    unlink(lock.c_str());
    rmdir(lock.c_str());
    WriteAll(victim, Bytes{'k', 'e', 'e', 'p'});
    c.plant();
    // Read only where reading cannot block (a FIFO would).
    auto lockBytes = [&] {
      struct stat st {};
      return lstat(lock.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? ReadAll(lock) : Bytes{};
    };
    const Bytes lockBefore = lockBytes();
    EXPECT_EQ(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false), c.ok);
    EXPECT_THAT(log->lines(), Contains(c.line));
    EXPECT_EQ(ReadAll(victim), (Bytes{'k', 'e', 'e', 'p'}));
    int dirty = 0;
    for (KQVBitmapType t : {KQV_BITMAP_INCR, KQV_BITMAP_FULL, KQV_BITMAP_AUX}) {
      dirty += driver->DirtyMarks(kVolume, t);
    }
    EXPECT_EQ(dirty, c.dirtyTypes);
    if (c.ok) {
      EXPECT_EQ(ReadAll(lock), Bytes(ours.begin(), ours.end()));  // answered, owner kept
    } else {
      EXPECT_EQ(lockBytes(), lockBefore);
      EXPECT_EQ(ReadAll(bm), File(0x11, Bits({kEarlier})));
      EXPECT_EQ(driver->CallCount(Op::Construct) > 0, true);
      EXPECT_EQ(driver->CallCount(Op::GetAndClearBitmap), 0);
    }
  }
}

// Two volumes whose names end alike name the same files. The first to use a
// file owns it: the other's take-over, query, dump, level workflow and
// failure file are refused before its driver or the file is touched, and a
// record one volume's killed job left is answered only by that volume. Two
// spellings of one volume (names leading to one block device) are one owner.
TEST_F(Faults, VolumesWhoseNamesEndAlikeNeverShareAFile) {
  const std::string a = "/dev/vg1/data", b = "/dev/vg2/data";
  for (const std::string& v : {a, b}) driver->AddVolume(v, driver->Config(kVolume));
  FaultyOps opsA(dir.path(), a), opsB(dir.path(), b);
  const std::string bm = kqtest::BitmapPath(dir.path(), a, "bm");
  driver->RecordWrite(a, 0, 1);
  driver->RecordWrite(b, 8 * 4096, 1);
  ASSERT_TRUE(opsA.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false));
  ASSERT_TRUE(opsA.DoBitmapDump(KQV_BITMAP_INCR, a, false));
  ASSERT_TRUE(opsA.MutateDefaultBitMapFileName("") &&
              opsA.ManipulateBitmap(0, BKP_LEVEL_SAVE_INCR_BM, ""));
  const Bytes file = ReadAll(bm);
  // A's job dies mid-take-over: its record stays (the give-back fails too).
  driver->RecordWrite(a, 4096, 1);
  opsA.failSave = true;
  driver->FailAt(Op::MergeBitmap);
  driver->FailAt(Op::MarkBitmapDirty);
  EXPECT_FALSE(opsA.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false));
  driver->ClearFaults();
  opsA.failSave = false;
  const Bytes lock = ReadAll(bm + ".kqlock");

  unsigned char* merged = nullptr;
  const std::function<bool()> calls[] = {
      [&] { return opsB.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false); },
      [&] { return opsB.DoBitmapFormalities(KQV_BITMAP_INCR, "other", "bm", false); },
      [&] { return opsB.GetBitMap(KQV_BITMAP_INCR, "bm", kSize, &merged); },
      [&] { return opsB.DoBitmapDump(KQV_BITMAP_INCR, b, true); },
      [&] {
        return opsB.MutateDefaultBitMapFileName("") &&
               opsB.ManipulateBitmap(0, BKP_LEVEL_DELETE_BM, "");
      },
      [&] { return opsB.SaveFileForFailure(KQV_BITMAP_INCR, kSize + 1, bm); },
  };
  for (size_t i = 0; i < std::size(calls); ++i) {
    SCOPED_TRACE(i);
    log->clear();
    driver->ClearCalls();
    EXPECT_FALSE(calls[i]());
    EXPECT_THAT(log->lines().back(),
                HasSubstr(" holds the changes of volume " + a + ", not of " + b));
    EXPECT_EQ(driver->CallCount(Op::GetAndClearBitmap) + driver->CallCount(Op::GetBitmap) +
                  driver->CallCount(Op::MarkBitmapDirty),
              0);
  }
  EXPECT_EQ(merged, nullptr);
  EXPECT_EQ(ReadAll(bm), file);
  EXPECT_EQ(ReadAll(bm + ".kqlock"), lock);
  EXPECT_EQ(driver->Bitmap(b, KQV_BITMAP_INCR), Bits({8}));
  EXPECT_EQ(driver->DirtyMarks(b, KQV_BITMAP_INCR), 0);
  // A's next call answers its own record.
  EXPECT_TRUE(opsA.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false));
  EXPECT_EQ(driver->DirtyMarks(a, KQV_BITMAP_INCR), 1);

  // Two names of one block device are one volume; another device is not.
  if (geteuid() != 0) return;
  const std::string one = dir.file("vg1"), spelling = dir.file("by-id"), two = dir.file("vg2");
  for (const std::string& d : {one, spelling, two}) ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
  ASSERT_EQ(mknod((one + "/disk").c_str(), S_IFBLK | 0600, makedev(7, 200)), 0);
  ASSERT_EQ(symlink((one + "/disk").c_str(), (spelling + "/disk").c_str()), 0);
  ASSERT_EQ(mknod((two + "/disk").c_str(), S_IFBLK | 0600, makedev(7, 201)), 0);
  for (const std::string& v : {one, spelling, two}) {
    driver->AddVolume(v + "/disk", driver->Config(kVolume));
  }
  EXPECT_TRUE(FaultyOps(dir.path(), one + "/disk")
                  .DoBitmapFormalities(KQV_BITMAP_INCR, "b", nullptr, false));
  EXPECT_TRUE(FaultyOps(dir.path(), spelling + "/disk")
                  .DoBitmapFormalities(KQV_BITMAP_INCR, "b", nullptr, false));
  EXPECT_FALSE(FaultyOps(dir.path(), two + "/disk")
                   .DoBitmapFormalities(KQV_BITMAP_INCR, "b", nullptr, false));
}

// A take-over's record lies in the lock of the file its name resolves to: it
// is answered through any name of that file (a link or the file itself), and
// never through another long name that only begins alike.
TEST_F(Faults, ARecordIsAnsweredThroughEveryNameOfItsFileAndNoOther) {
  const std::string real = dir.file("real"), link = dir.file("link");
  const std::string longA = dir.file(std::string(210, 'x') + "A");
  const std::string longB = dir.file(std::string(210, 'x') + "B");
  const std::pair<std::string, std::string> cases[] = {
      {link, real}, {real, link}, {longA, longB}};  // the record left by the first
  auto answers = [&](const std::string& name) {
    FaultyOps ops(dir.path(), kVolume);
    log->clear();
    EXPECT_TRUE(ops.DoBitmapFormalities(KQV_BITMAP_INCR, name.c_str(), nullptr, true));
    const auto lines = log->lines();
    return std::any_of(lines.begin(), lines.end(), [](const std::string& l) {
      return l.find("Found an interrupted take-over") != std::string::npos;
    });
  };
  for (const auto& [leftBy, next] : cases) {
    SCOPED_TRACE(leftBy.substr(dir.path().size()) + " then " + next.substr(dir.path().size()));
    auto ops = Fresh(kWorkflows[0]);
    ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
    ops->failSave = true;  // and the give-back fails: the record stays
    driver->FailAt(Op::MergeBitmap);
    driver->FailAt(Op::MarkBitmapDirty);
    EXPECT_FALSE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, leftBy.c_str(), nullptr, true));
    driver->ClearFaults();
    const bool sameFile = next != longB;
    EXPECT_EQ(answers(next), sameFile);
    EXPECT_EQ(answers(leftBy), !sameFile);  // answered once, by its own file's call
  }
}

// Pointers the interface says are never null: a logged false, nothing changed.
TEST_F(Faults, NullArgumentsAreRefusedUntouched) {
  auto ops = Fresh(kWorkflows[0]);
  unsigned char byte = 0, *out = nullptr;
  unsigned long size = kSize;
  const std::function<bool()> calls[] = {
      [&] { return ops->DoBitmapFormalities(KQV_BITMAP_INCR, nullptr, nullptr, false); },
      [&] { return ops->GetBitMap(KQV_BITMAP_INCR, nullptr, kSize, &out); },
      [&] { return ops->GetBitMap(KQV_BITMAP_INCR, "bm", kSize, nullptr); },
      [&] { return ops->SaveBMToFile(&byte, 1, nullptr, "bm"); },
      [&] { return ops->SaveBMToFile(nullptr, 1, &byte, "bm"); },
      [&] { return ops->ReadBMFromFile(nullptr, 1, &byte, suffixFile("bm")); },
      [&] { return ops->GetBMFromDriver(KQV_BITMAP_INCR, nullptr, &size, false); },
      [&] { return ops->GetAndClearBMFromDriver(KQV_BITMAP_INCR, &out, nullptr, false, ""); },
      [&] { return ops->MergeBM(nullptr, 1, &byte, 1); },
      [&] { return ops->MergeBMFromOffset(&byte, 1, nullptr, 1, 0); },
  };
  const Bytes file = ReadAll(suffixFile("bm"));
  for (size_t i = 0; i < std::size(calls); ++i) {
    SCOPED_TRACE(i);
    log->clear();
    EXPECT_FALSE(calls[i]());
    EXPECT_EQ(log->lines().size(), 1u);
    EXPECT_THAT(log->lines().back(), HasSubstr("ull"));
  }
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(ReadAll(suffixFile("bm")), file);
  EXPECT_EQ(driver->Bitmap(kVolume, KQV_BITMAP_INCR), Bits({kChanges[0], kChanges[1]}));
  EXPECT_EQ(driver->CallCount(Op::Construct), 0);
}

// Two objects taking over one file while writes arrive, and a query beside
// them: no write lost, and the query never misses a write made before it.
TEST_F(Faults, ConcurrentTakeOversLoseNoWrite) {
  const Workflow& w = kWorkflows[0];
  Fresh(w);
  driver->SetHook(Op::GetAndClearBitmap, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<int> written{0};
  std::thread writer([&] {
    for (int b = 0; b < int(kSize * 8) && !stop; ++b) {
      Write(b);
      written = b + 1;
      std::this_thread::yield();
    }
  });
  auto takeOvers = [&] {
    FaultyOps ops(dir.path(), kVolume);
    for (int i = 0; i < 40; ++i) {
      EXPECT_TRUE(ops.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false));
    }
  };
  std::thread a(takeOvers), b(takeOvers);
  {
    FaultyOps ops(dir.path(), kVolume);
    for (int i = 0; i < 40; ++i) {
      const int before = written;
      unsigned char* merged = nullptr;
      ASSERT_TRUE(ops.GetBitMap(KQV_BITMAP_INCR, "bm", kSize, &merged));
      for (int bit = 0; bit < before; ++bit)
        EXPECT_TRUE(merged[bit / 8] & (1u << (bit % 8))) << bit;
      delete[] merged;
    }
  }
  a.join();
  b.join();
  stop = true;
  writer.join();
  const Bytes onFile = ReadAll(suffixFile("bm"));
  const Bytes onDriver = driver->Bitmap(kVolume, KQV_BITMAP_INCR);
  for (int bit = 0; bit < written; ++bit) {
    EXPECT_TRUE((onFile[size_t(1 + bit / 8)] | onDriver[size_t(bit / 8)]) & (1u << (bit % 8)))
        << bit;
  }
}

// A failure file written by another job while a take-over of the same file
// runs waits for it: written first, the take-over's merge would replace it
// and the next backup would not be full. One step replaced by the job, run
// inside the take-over on its thread, goes on under the take-over's lock.
TEST_F(Faults, AFailureFileWaitsForATakeOverOfItsFile) {
  auto ops = Fresh(kWorkflows[0]);
  const std::string bm = suffixFile("bm");
  std::thread other;
  std::atomic<bool> done{false};
  driver->SetHook(Op::GetAndClearBitmap, [&] {
    EXPECT_TRUE(FaultyOps(dir.path(), kVolume).SaveFileForFailure(KQV_BITMAP_INCR, 4, bm));
    other = std::thread([&] {
      EXPECT_TRUE(FaultyOps(dir.path(), kVolume).SaveFileForFailure(KQV_BITMAP_INCR, kSize, bm));
      done = true;
    });
    const auto waiting =
        Line("KQBitMapOps::SaveFileForFailure", "Waiting for another job to finish with " + bm);
    for (int i = 0; i < 10000 && !done; ++i) {
      const auto lines = log->lines();
      if (std::find(lines.begin(), lines.end(), waiting) != lines.end()) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  EXPECT_TRUE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false));
  other.join();
  EXPECT_EQ(ReadAll(bm), Bytes(kSize, 0xFF));
}

}  // namespace
