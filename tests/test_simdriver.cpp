// The simulated block-filter driver and the volume handle in front of it.
#include "KqTestSupport.h"

#include <KQVolumeUnix.h>
#include <gmock/gmock.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <thread>
#include <tuple>

namespace {

using kqsim::Op;
using kqtest::Bits;
using kqtest::Bytes;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr const char* kCtrl = "/dev/zrbf/ctrl";
constexpr const char* kVol = "/dev/sda1";
constexpr const char* kPVol = "/dev/sdp";  // a volume with a state file

// Runs `fn` in a forked child, which then _exits with its result.
pid_t Spawn(const std::function<int()>& fn) {
  pid_t pid = fork();
  if (pid == 0) _exit(fn());
  return pid;
}
// Waits for `ready`; false after 10 s, so that a broken driver fails a test
// instead of hanging it.
bool Await(const std::function<bool()>& ready) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (; !ready(); std::this_thread::yield())
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}
// The child's wait status; one still running after 10 s is killed.
int Reap(pid_t pid) {
  int status = -1;
  if (!Await([&] { return waitpid(pid, &status, WNOHANG) != 0; })) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return status;
}

class SimDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    kqsim::VolumeConfig cfg;
    cfg.bytes = 32 * 4096;  // 4-byte bitmaps
    cfg.auxSize = 1;
    driver->AddVolume(kVol, cfg);
  }
  // A handle made the way the library makes one.
  std::unique_ptr<KQVolume> Open(const std::string& volume = kVol) {
    std::unique_ptr<KQVolume> v = std::make_unique<KQVolumeUnix>(kCtrl);
    if (v->IsValid()) {
      v->setClntDisplayName("job");
      v->setVolumeName(volume);
    }
    return v;
  }
  // Starts kPVol afresh with a state file.
  kqsim::VolumeConfig Persist(uint64_t blocks = 32) {
    kqsim::VolumeConfig cfg;
    cfg.bytes = blocks * 4096;
    cfg.stateFile = dir.file("sdp.state");
    std::remove(cfg.stateFile.c_str());
    driver->AddVolume(kPVol, cfg);
    return cfg;
  }

  std::shared_ptr<kqsim::SimDriver> driver = kqsim::SimDriver::Install(kCtrl);
  kqtest::TempDir dir;
};

TEST_F(SimDriverTest, RecordWriteSetsTheBitsOfEveryBlockTouched) {
  struct Case {
    uint64_t offset, length;
    int first, count;  // the blocks set: first .. first + count - 1
  };
  // The last two: cut at the end of the volume, and an offset past any volume.
  const Case cases[] = {{0, 0, 0, 0},
                        {0, 1, 0, 1},
                        {4095, 2, 0, 2},
                        {7 * 4096, 4096, 7, 1},
                        {7 * 4096, 4097, 7, 2},
                        {5 * 4096 + 1, 20 * 4096, 5, 21},
                        {30 * 4096, 10 * 4096, 30, 2},
                        {~0ull - 10, 100, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.offset) + "+" + std::to_string(c.length));
    driver->AddVolume(kVol, driver->Config(kVol));
    driver->RecordWrite(kVol, c.offset, c.length);
    Bytes want(4);
    for (int n = c.first; n < c.first + c.count; ++n) want[n / 8] |= 1u << (n % 8);
    EXPECT_EQ(driver->Bitmap(kVol, KQV_BITMAP_INCR), want);
    EXPECT_EQ(driver->Bitmap(kVol, KQV_BITMAP_FULL), want);
    EXPECT_EQ(driver->Bitmap(kVol, KQV_BITMAP_AUX), Bytes{want[0]});
    EXPECT_EQ(driver->SetBitCount(kVol, KQV_BITMAP_INCR), static_cast<uint64_t>(c.count));
  }
}

// What the library's own tests do not show: sizes other than the bitmap's, the
// counters and the refusals. (A hook runs after the work: the formalities
// tests see the write racing a fetch-and-clear stay on the driver.)
TEST_F(SimDriverTest, BitmapOperationsThroughTheHandle) {
  auto v = Open();
  driver->RecordWrite(kVol, 9 * 4096, 1);
  Bytes buf(6, 0xEE);
  // A larger buffer is zeroed past the bitmap; a smaller one gets the start.
  ASSERT_TRUE(v->GetBitmap(KQV_BITMAP_FULL, buf.data(), buf.size(), false));
  EXPECT_EQ(buf, Bits({9}, 6));
  buf.assign(1, 0xEE);
  ASSERT_TRUE(v->GetBitmap(KQV_BITMAP_FULL, buf.data(), 1, true));
  EXPECT_EQ(buf, Bytes{0});

  Bytes merge = {0x00, 0x81, 0xFF, 0xFF, 0xFF};
  ASSERT_TRUE(v->MergeBitmap(KQV_BITMAP_FULL, merge.data(), 2));
  EXPECT_EQ(driver->Bitmap(kVol, KQV_BITMAP_FULL), (Bytes{0x00, 0x83, 0, 0}));
  ASSERT_TRUE(v->MarkBitmapDirty(KQV_BITMAP_INCR, 0));
  ASSERT_TRUE(v->ClearBitmap(KQV_BITMAP_INCR));
  EXPECT_EQ(driver->DirtyMarks(kVol, KQV_BITMAP_INCR), 1);
  EXPECT_EQ(driver->Clears(kVol, KQV_BITMAP_INCR), 1);

  EXPECT_FALSE(v->ClearBitmap(static_cast<KQVBitmapType>(3)));
  EXPECT_THAT(v->GetErrorString(), HasSubstr("type 3"));
  EXPECT_FALSE(v->GetBitmap(KQV_BITMAP_INCR, nullptr, 4, false));
}

// The order of the recorded calls, the live handle count and a replaced bitmap's
// size are checked exactly by the library's driver tests.
TEST_F(SimDriverTest, VolumeInformationAndNameComeFromTheConfiguration) {
  kqsim::VolumeConfig cfg;
  cfg.bytes = 100 * 4096 + 1;  // 101 blocks: 13 bytes
  cfg.fullSize = 20;
  cfg.bitmapHeader = 7;
  cfg.dumpHeader = 9;
  cfg.path = "/dev/mapper/vg-root";
  driver->AddVolume("/dev/sdb", cfg);
  KQVolumeInfo info{};
  ASSERT_EQ(Open("/dev/sdb")->GetVolInfo(&info), 1);
  EXPECT_THAT((std::vector<uint64_t>{info.incrBitmapSize, info.fullBitmapSize, info.auxBitmapSize,
                                     info.bitmapHeader, info.dumpHeader}),
              ElementsAre(13, 20, 13, 7, 9));
  // Construct, IsValid, SetClntDisplayName, SetVolumeName, GetVolInfo.
  const std::vector<kqsim::Call> calls = driver->Calls();
  EXPECT_TRUE(calls[0].text == kCtrl && calls[3].text == "/dev/sdb");
  EXPECT_TRUE(calls[3].volume.empty() && calls[4].volume == "/dev/sdb");

  // getVolName answers for tracked volumes only.
  EXPECT_EQ(getVolName(kVol), kVol);
  EXPECT_EQ(getVolName("/dev/sdb"), "/dev/mapper/vg-root");
  EXPECT_EQ(getVolName("/dev/sdq"), "");
  driver->FailAt(Op::GetVolName);
  EXPECT_EQ(getVolName(kVol), "");
  EXPECT_EQ(driver->Calls().back().text, kVol);
}

TEST_F(SimDriverTest, InjectedFaultsHitTheChosenCalls) {
  auto v = Open();
  Bytes buf(4);
  driver->FailAt(Op::GetBitmap, 2, 2);
  std::vector<bool> results;
  for (int i = 0; i < 4; ++i)
    results.push_back(v->GetBitmap(KQV_BITMAP_INCR, buf.data(), 4, false));
  EXPECT_THAT(results, ElementsAre(true, false, false, true));
  EXPECT_EQ(driver->Injected(Op::GetBitmap), 2);

  // A call that throws is recorded but runs no hook.
  int hooked = 0;
  driver->SetHook(Op::ClearBitmap, [&] { ++hooked; });
  driver->ThrowAt(Op::ClearBitmap);
  EXPECT_THROW(v->ClearBitmap(KQV_BITMAP_INCR), kqsim::InjectedFault);
  EXPECT_TRUE(v->ClearBitmap(KQV_BITMAP_INCR));
  EXPECT_EQ(hooked, 1);
  EXPECT_EQ(driver->CallCount(Op::ClearBitmap), 2);

  driver->FailAlways(Op::MergeBitmap);
  EXPECT_FALSE(v->MergeBitmap(KQV_BITMAP_INCR, buf.data(), 4));
  EXPECT_FALSE(v->MergeBitmap(KQV_BITMAP_INCR, buf.data(), 4));
  driver->ClearFaults();
  EXPECT_TRUE(v->MergeBitmap(KQV_BITMAP_INCR, buf.data(), 4));
  EXPECT_EQ(driver->Injected(Op::MergeBitmap), 2);
}

TEST_F(SimDriverTest, AStateFileKeepsWhatAKilledProcessDid) {
  auto write = [&](int block) { driver->RecordWrite(kPVol, block * 4096ull, 1); };
  Bytes buf(4), merge = {0x80};
  struct Case {
    const char* what;
    std::function<void(KQVolume&)> child;  // then the child kills itself
    bool loops;                            // the child repeats it until the parent kills it
    Bytes incr, full;                      // what is left
    int fullMarks, incrClears;
  };
  const Case cases[] = {
      {"a fetch-and-clear",
       [&](KQVolume& v) { write(3), v.GetAndClearBitmap(KQV_BITMAP_INCR, buf.data(), 4, false); },
       false, Bytes(4), Bits({3}, 4), 0, 0},
      {"a mark, a clear and a merge",
       [&](KQVolume& v) {
         v.MarkBitmapDirty(KQV_BITMAP_FULL, 0), v.ClearBitmap(KQV_BITMAP_INCR);
         v.MergeBitmap(KQV_BITMAP_INCR, merge.data(), 1);
       },
       false, Bits({7}, 4), Bytes(4, 0xFF), 1, 1},
      // Killed at a random instant, likely holding the lock: nobody waits for it.
      {"writes and fetches until killed",
       [&](KQVolume& v) { write(5), v.GetAndClearBitmap(KQV_BITMAP_AUX, buf.data(), 4, false); },
       true, Bits({5}, 4), Bits({5}, 4), 0, 0},
  };
  std::mt19937 rng(std::random_device{}());
  // Another thread inside the driver all along: no child may inherit its lock.
  std::atomic<bool> done{false};
  std::thread busy([&] {
    while (!done) driver->RecordWrite(kVol, 0, 1);
  });
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    kqsim::VolumeConfig cfg = Persist();
    pid_t pid = Spawn([&] {
      auto v = Open(kPVol);
      do c.child(*v);
      while (c.loops);
      raise(SIGKILL);
      return 0;
    });
    if (c.loops) {
      EXPECT_TRUE(Await([&] { return driver->SetBitCount(kPVol, KQV_BITMAP_FULL) != 0; }));
      usleep(static_cast<useconds_t>(rng() % 3000));
      kill(pid, SIGKILL);
    }
    int status = Reap(pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    // What this process sees, and a driver that has only the file.
    auto other = kqsim::SimDriver::Install("/dev/zrbf/other");
    other->AddVolume(kPVol, cfg);
    for (auto* d : {driver.get(), other.get()}) {
      EXPECT_EQ(d->Bitmap(kPVol, KQV_BITMAP_INCR), c.incr);
      EXPECT_EQ(d->Bitmap(kPVol, KQV_BITMAP_FULL), c.full);
      EXPECT_EQ(d->DirtyMarks(kPVol, KQV_BITMAP_FULL), c.fullMarks);
      EXPECT_EQ(d->Clears(kPVol, KQV_BITMAP_INCR), c.incrClears);
    }
  }
  done = true;
  busy.join();
}

TEST_F(SimDriverTest, AStateFileIsAdoptedOnlyWithTheSameGeometry) {
  using Config = kqsim::VolumeConfig;
  struct Case {
    const char* what;
    std::function<void(Config&)> change;
    bool adopted;
  };
  const Case cases[] = {
      {"the same configuration", [](Config&) {}, true},
      {"another path", [](Config& c) { c.path = "/dev/mapper/x"; }, true},
      {"another volume size", [](Config& c) { c.bytes *= 2; }, false},
      {"another block size", [](Config& c) { c.blockSize = 512; }, false},
      {"another bitmap size", [](Config& c) { c.fullSize = 5; }, false},
      {"another header byte", [](Config& c) { c.dumpHeader = 1; }, false},
      // As a process killed while starting the file afresh leaves it.
      {"a file without its mark",
       [](Config& c) {
         Bytes b = kqtest::ReadAll(c.stateFile);
         b[0] = 0;
         kqtest::WriteAll(c.stateFile, b);
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Config cfg = Persist();
    driver->RecordWrite(kPVol, 2 * 4096, 1);
    driver->SetBitmap(kPVol, KQV_BITMAP_AUX, Bytes{1, 2, 3});  // a size of its own, kept
    Open(kPVol)->MarkBitmapDirty(KQV_BITMAP_FULL, 0);
    c.change(cfg);
    auto other = kqsim::SimDriver::Install("/dev/zrbf/other");
    other->AddVolume(kPVol, cfg);
    Config fresh = cfg;
    fresh.stateFile.clear();
    other->AddVolume("/dev/fresh", fresh);
    const Bytes kept[] = {Bits({2}, 4), Bytes(4, 0xFF), Bytes{1, 2, 3}};  // by type
    for (auto type : {KQV_BITMAP_INCR, KQV_BITMAP_FULL, KQV_BITMAP_AUX}) {
      Bytes want = c.adopted ? kept[type] : other->Bitmap("/dev/fresh", type);
      EXPECT_EQ(other->Bitmap(kPVol, type), want);
      EXPECT_EQ(driver->Bitmap(kPVol, type), want);  // the first driver follows the file
    }
    EXPECT_EQ(other->DirtyMarks(kPVol, KQV_BITMAP_FULL), c.adopted ? 1 : 0);
  }
}

// Fetch-and-clears racing writes from another thread, and from another process
// (which must lock through a descriptor of its own): each block written turns up
// exactly once, in a fetch or left on the driver.
TEST_F(SimDriverTest, AFetchIsAtomicAgainstWrites) {
  const std::string fetched = dir.file("fetched"), stop = dir.file("stop");
  // The process gets a large bitmap, so that the copy and the clear of a fetch take a while.
  for (auto [child, blocks, stride] :
       {std::tuple(false, 1 << 16, 3), std::tuple(true, 1 << 18, 24)}) {
    const int writes = (blocks + stride - 1) / stride;  // blocks 0, stride... once each
    std::atomic<bool> stopped{false};                   // the thread's cheaper signal
    // 1: a bit fetched twice; 2: a fetch failed.
    auto fetch = [&, blocks = blocks, child = child] {
      auto v = Open(kPVol);
      driver->RecordWrite(kPVol, 4096, 1);  // block 1: fetching starts
      Bytes acc(blocks / 8), got(blocks / 8);
      unsigned char twice = 0;
      while (!stopped && !(child && kqtest::Exists(stop))) {
        if (!v->GetAndClearBitmap(KQV_BITMAP_INCR, got.data(), got.size(), false)) return 2;
        for (size_t i = 0; i < acc.size(); ++i) {
          twice |= acc[i] & got[i];
          acc[i] |= got[i];
        }
      }
      kqtest::WriteAll(fetched, acc);
      return twice == 0 ? 0 : 1;
    };
    SCOPED_TRACE(child ? "another process" : "another thread");
    kqsim::VolumeConfig cfg = Persist(blocks);
    if (!child) cfg.stateFile.clear(), driver->AddVolume(kPVol, cfg);
    std::remove(stop.c_str());
    auto write = [&, stride = stride] {
      EXPECT_TRUE(Await([&] { return driver->SetBitCount(kPVol, KQV_BITMAP_FULL) != 0; }));
      for (uint64_t j = 0; j < uint64_t(writes); ++j) {
        driver->RecordWrite(kPVol, j * 7919 % writes * stride * 4096, 4096);
        if (j % 16 == 0) std::this_thread::yield();  // on a shared core, let fetches fall between
      }
      kqtest::WriteAll(stop, {});
      stopped = true;
    };
    int status = 0, result = 0;
    if (child) {
      const pid_t pid = Spawn(fetch);
      write();
      status = Reap(pid);
      result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
      std::thread writer(write);
      result = fetch();
      writer.join();
    }
    ASSERT_EQ(result, 0) << "status " << status;
    Bytes acc = kqtest::ReadAll(fetched), left = driver->Bitmap(kPVol, KQV_BITMAP_INCR);
    ASSERT_EQ(acc.size(), left.size());
    int wrong = 0;  // blocks not in exactly one of the two, or in one without a write
    for (int b = 0; b < blocks; ++b) {
      int seen = (acc[b / 8] >> (b % 8) & 1) + (left[b / 8] >> (b % 8) & 1);
      wrong += seen != (b % stride == 0 || b == 1 ? 1 : 0);
    }
    EXPECT_EQ(wrong, 0);
  }
}

TEST(SimDriverRegistry, OneLiveDriverPerControlDevice) {
  {
    auto driver = kqsim::SimDriver::Install(kCtrl);
    EXPECT_THROW(kqsim::SimDriver::Install(kCtrl), std::logic_error);
    EXPECT_EQ(kqsim::SimDriver::Find(kCtrl), driver);
    EXPECT_NE(kqsim::SimDriver::Install("/dev/other"), nullptr);
  }
  EXPECT_EQ(kqsim::SimDriver::Find(kCtrl), nullptr);
  KQVolumeUnix v(kCtrl);
  EXPECT_EQ(v.IsValid(), 0);
  EXPECT_EQ(v.GetErrorString(), "no block-filter driver at /dev/zrbf/ctrl");
  EXPECT_FALSE(v.ClearBitmap(KQV_BITMAP_INCR));
  EXPECT_EQ(getVolName(kVol), "");
}

}  // namespace
