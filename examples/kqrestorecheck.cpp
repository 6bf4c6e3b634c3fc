// kqrestorecheck: runs the reference backup job against a real file system.
//
// An ext4 image (mke2fs -d from a populated tree) is the volume. Each round
// changes it with debugfs -w (files written, grown, overwritten, punched and
// removed, directories made and removed), finds the blocks that changed by
// comparing it with a shadow copy, records them on the simulated driver as
// the kernel driver would have seen the writes, and runs one incremental
// backup, with a fault injected in some rounds. Every increment written must
// hold exactly the blocks changed since the last one (all of them after the
// driver's bitmap went dirty). The driver lives in this process and keeps the
// volume's state in a file, so the job runs here, or in a forked child that
// is killed mid-increment; `kqbackup restore` and scripts/restore-check.sh
// then check that the chain restores the image byte for byte.
#include <kqbitmapops/KQBitMapOps.h>

#include <KQVolumeSim.h>
#include <KqLogControl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "BackupChain.h"
#include "BackupJob.h"
#include "BitmapText.h"

namespace {

constexpr char kVolume[] = "/dev/kqcheck1";
constexpr uint32_t kBlockSize = 4096;  // the driver's bytes per bit and the file system's block

const char kUsage[] = R"(Usage: kqrestorecheck --dir DIR [--size SIZE] [--rounds N] [--seed S]

Makes an ext4 image DIR/live.img of SIZE bytes (default 256M; suffixes K, M,
G), then runs N rounds (default 30) of file-system changes with debugfs, each
followed by an incremental backup of the reference job into DIR/chain, with a
fault injected in about half of the rounds. Checks that each increment
holds exactly the blocks changed since the last one. DIR must be empty.
Exit status: 0 all checks passed, 1 a check failed, 2 bad options or setup.
)";

struct Options {
  uint64_t size = 256ull << 20;
  int rounds = 30;
  uint64_t seed = 1;
  std::string dir;
};

// ---- Running the e2fsprogs tools ----------------------------------------

// Runs argv with its output appended to `log`; true when it exits 0.
bool Run(const std::vector<std::string>& argv, const std::string& log) {
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    const int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
      dup2(fd, 1);
      dup2(fd, 2);
    }
    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  out.close();
  return static_cast<bool>(out);
}

// ---- The workload: what the file system holds, and random changes -------

class Workload {
 public:
  Workload(uint64_t imageBytes, uint64_t seed, std::string scratch)
      : rng_(seed), scratch_(std::move(scratch)) {
    maxFile_ = std::clamp<uint64_t>(imageBytes / 64, 64 << 10, 32 << 20);
    budget_ = imageBytes / 2;
  }

  ~Workload() { DropSources(); }
  Workload(const Workload&) = delete;
  Workload& operator=(const Workload&) = delete;

  // A starting tree on the host for mke2fs -d: a few directories and files.
  bool Populate(const std::string& tree) {
    if (mkdir(tree.c_str(), 0755) != 0) return false;
    for (int i = 0; i < 10; ++i) {
      const std::string d = NewDir();
      if (mkdir((tree + d).c_str(), 0755) != 0) return false;
    }
    for (int i = 0; i < 60; ++i) {
      const std::string f = NewFile();
      if (!WriteFile(tree + f, Data(files_[f]))) return false;
    }
    return true;
  }

  // debugfs commands for one round of changes; the data they write is put in
  // the scratch directory.
  std::string Round(int* ops) {
    script_.clear();
    DropSources();
    *ops = std::uniform_int_distribution<int>(2, 8)(rng_);
    for (int i = 0; i < *ops; ++i) Change();
    return script_;
  }

 private:
  uint64_t Pick(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }

  uint64_t FileSize() {
    const uint64_t r = Pick(10);
    if (r < 6) return 1 + Pick(64 << 10);
    if (r < 9) return 1 + Pick(maxFile_ / 4);
    return 1 + Pick(maxFile_);
  }

  std::string Data(uint64_t size) {
    std::string data(size, '\0');
    for (auto& c : data) c = static_cast<char>(rng_());
    return data;
  }

  std::string NewDir() {
    std::vector<std::string> parents{""};
    for (const auto& d : dirs_) {
      if (std::count(d.begin(), d.end(), '/') < 3) parents.push_back(d);
    }
    std::string d = parents[Pick(parents.size())] + "/d" + std::to_string(next_++);
    dirs_.push_back(d);
    return d;
  }

  std::string NewFile() {
    const uint64_t i = Pick(dirs_.size() + 1);  // the last choice is the root
    const std::string parent = i == dirs_.size() ? "" : dirs_[i];
    std::string f = parent + "/f" + std::to_string(next_++);
    files_[f] = FileSize();
    used_ += files_[f];
    return f;
  }

  std::string AnyFile() {
    auto it = files_.begin();
    std::advance(it, static_cast<long>(Pick(files_.size())));
    return it->first;
  }

  void Write(const std::string& path) {
    const std::string src = scratch_ + "/src" + std::to_string(next_++);
    WriteFile(src, Data(files_[path]));
    sources_.push_back(src);
    script_ += "write " + src + " " + path + "\n";
  }

  void Remove(const std::string& path) {
    script_ += "rm " + path + "\n";
    used_ -= files_[path];
    files_.erase(path);
  }

  void RemoveDir(const std::string& dir) {
    for (auto it = files_.begin(); it != files_.end();) {
      const std::string f = (it++)->first;
      if (f.compare(0, dir.size() + 1, dir + "/") == 0) Remove(f);
    }
    std::vector<std::string> gone;
    for (const auto& d : dirs_) {
      if (d == dir || d.compare(0, dir.size() + 1, dir + "/") == 0) gone.push_back(d);
    }
    std::sort(gone.rbegin(), gone.rend());  // children before their parents
    for (const auto& d : gone) {
      script_ += "rmdir " + d + "\n";
      dirs_.erase(std::find(dirs_.begin(), dirs_.end(), d));
    }
  }

  void Change() {
    const uint64_t r = Pick(100);
    if (files_.empty() || (used_ < budget_ && r < 36)) {
      Write(NewFile());
    } else if (r < 50 && used_ < budget_) {  // grow: allocate past the end, then extend the size
      const std::string f = AnyFile();
      const uint64_t first = (files_[f] + kBlockSize - 1) / kBlockSize;
      const uint64_t add = 1 + Pick(std::max<uint64_t>(1, maxFile_ / 8 / kBlockSize));
      files_[f] = (first + add) * kBlockSize;
      used_ += add * kBlockSize;
      script_ += "fallocate " + f + " " + std::to_string(first) + " " +
                 std::to_string(first + add - 1) + "\n";
      script_ += "sif " + f + " size " + std::to_string(files_[f]) + "\n";
    } else if (r < 64) {  // overwrite: same name, new data, new blocks
      const std::string f = AnyFile();
      script_ += "rm " + f + "\n";
      Write(f);
    } else if (r < 71) {  // punch a hole
      const std::string f = AnyFile();
      const uint64_t blocks = files_[f] / kBlockSize;
      if (blocks < 2) return;
      const uint64_t first = Pick(blocks - 1);
      script_ += "punch " + f + " " + std::to_string(first) + " " +
                 std::to_string(first + Pick(blocks - first)) + "\n";
    } else if (r < 85) {
      Remove(AnyFile());
    } else if (r < 95 || dirs_.size() < 3) {
      script_ += "mkdir " + NewDir() + "\n";
    } else {
      RemoveDir(dirs_[Pick(dirs_.size())]);
    }
  }

  // The data files of the last round, once debugfs has copied them in.
  void DropSources() {
    for (const auto& src : sources_) unlink(src.c_str());
    sources_.clear();
  }

  std::mt19937_64 rng_;
  std::string scratch_;
  std::vector<std::string> sources_;
  uint64_t maxFile_ = 0;
  uint64_t budget_ = 0;
  uint64_t used_ = 0;
  uint64_t next_ = 0;
  std::vector<std::string> dirs_;
  std::map<std::string, uint64_t> files_;
  std::string script_;
};

// ---- The driver's view: blocks that changed since the shadow copy -------

// Compares the image with the shadow block by block, records every changed
// run on the driver as one write, brings the shadow up to date and returns
// the changed blocks.
bool RecordChanges(const std::string& image, const std::string& shadow, kqsim::SimDriver& driver,
                   std::vector<uint64_t>* changed) {
  const kqchain::Fd liveFd(open(image.c_str(), O_RDONLY | O_CLOEXEC));
  const kqchain::Fd copyFd(open(shadow.c_str(), O_RDWR | O_CLOEXEC));
  const int live = liveFd.get(), copy = copyFd.get();
  struct stat st {};
  bool ok = live >= 0 && copy >= 0 && fstat(live, &st) == 0;
  constexpr size_t kChunk = 4 << 20;
  std::vector<unsigned char> a(kChunk), b(kChunk);
  changed->clear();
  for (uint64_t at = 0; ok && at < static_cast<uint64_t>(st.st_size); at += kChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, st.st_size - at));
    ok = pread(live, a.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n) &&
         pread(copy, b.data(), n, static_cast<off_t>(at)) == static_cast<ssize_t>(n);
    for (size_t off = 0; ok && off < n; off += kBlockSize) {
      if (std::memcmp(&a[off], &b[off], kBlockSize) == 0) continue;
      changed->push_back((at + off) / kBlockSize);
      ok = pwrite(copy, &a[off], kBlockSize, static_cast<off_t>(at + off)) == kBlockSize;
    }
  }
  for (size_t i = 0; ok && i < changed->size();) {
    size_t j = i + 1;
    while (j < changed->size() && (*changed)[j] == (*changed)[j - 1] + 1) ++j;
    driver.RecordWrite(kVolume, (*changed)[i] * kBlockSize, (j - i) * kBlockSize);
    i = j;
  }
  return ok;
}

// ---- Faults ---------------------------------------------------------------

// The object the job uses, with library steps that can be made to fail.
class CheckOps : public KQBitMapOps {
 public:
  explicit CheckOps(const std::string& volume) : KQBitMapOps(volume, nullptr) {}
  bool SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                    std::string fileName) override {
    if (failSaves > 0 && failSaves-- > 0) return false;
    return KQBitMapOps::SaveBMToFile(bitmap, size, header, std::move(fileName));
  }
  bool DeleteBMFile(std::string fileName) override {
    if (failDeletes > 0 && failDeletes-- > 0) return false;
    return KQBitMapOps::DeleteBMFile(std::move(fileName));
  }
  int failSaves = 0;
  int failDeletes = 0;
};

struct Round {
  kqsim::SimDriver& driver;
  CheckOps& ops;
  const kqjob::Job& job;
  uint64_t nextSequence;
};

// What a fault does besides failing the backup. Only a fault that says so
// may mark the driver's bitmap dirty (and a kill only by leaving a take-over
// record). A fault that kills the job runs the backup in a forked child: any
// stage is right then, as long as the next increments carry every change.
enum class Effect { kCarried, kFull, kKill };

// One kind of fault: armed before the round's backup, disarmed after it, and
// the stage the backup must end in.
struct Fault {
  const char* name;
  kqjob::Result::Stage expect;
  std::function<void(Round&)> arm;
  std::function<void(Round&)> disarm;
  Effect effect = Effect::kCarried;
};

std::string BlockedTemp(const Round& r) {
  const std::string final = kqchain::IncrementPath(r.job.chain, r.nextSequence);
  return r.job.chain + "/." + final.substr(r.job.chain.size() + 1) + ".tmp";
}

const std::vector<Fault>& Faults() {
  using S = kqjob::Result;
  auto none = [](Round&) {};
  static const std::vector<Fault> faults{
      {"driver fetch fails", S::kTakeOverFailed,
       [](Round& r) { r.driver.FailAt(kqsim::Op::GetAndClearBitmap); }, none},
      // The library cannot tell whether the driver cleared its bitmap.
      {"driver fetch throws", S::kTakeOverFailed,
       [](Round& r) { r.driver.ThrowAt(kqsim::Op::GetAndClearBitmap); }, none, Effect::kFull},
      {"volume info fails", S::kTakeOverFailed,
       [](Round& r) { r.driver.FailAt(kqsim::Op::GetVolInfo); }, none},
      {"bitmap save fails", S::kTakeOverFailed, [](Round& r) { r.ops.failSaves = 1; }, none},
      // The bits cannot be given back either: the driver marks its bitmap
      // dirty and the next increment copies the whole volume.
      {"save and give-back fail", S::kTakeOverFailed,
       [](Round& r) {
         r.ops.failSaves = 1;
         r.driver.FailAt(kqsim::Op::MergeBitmap);
       },
       none, Effect::kFull},
      // A directory where the increment's file must go: its write fails.
      {"increment write fails", S::kIncrementFailed,
       [](Round& r) { mkdir(BlockedTemp(r).c_str(), 0755); },
       [](Round& r) { rmdir(BlockedTemp(r).c_str()); }},
      {"bitmap file delete fails", S::kFileNotDeleted, [](Round& r) { r.ops.failDeletes = 1; },
       none},
      // SIGKILL at a random instant: before, during or after the take-over.
      {"job killed", S::kDone, none, none, Effect::kKill},
  };
  return faults;
}

// ---- The job killed mid-increment ---------------------------------------

// Where a kill landed, told from what the job left behind.
enum class KillPoint { kBeforeTakeOver, kMidTakeOver, kDuringCopy, kBeforeDelete, kAfter, kCount };

const char* KillPointName(KillPoint k) {
  static const char* const names[] = {"before take-over", "mid-take-over", "mid-copy",
                                      "before delete", "after increment"};
  return names[static_cast<int>(k)];
}

// A fork while another thread runs could hand the child a lock held by a
// thread it does not have.
int Threads() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, 8, "Threads:") == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

// A file's inode and modification time ({0, 0} when it is not there): a
// take-over renames a new bitmap file into place.
std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::pair<ino_t, int64_t> FileId(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return {0, 0};
  return {st.st_ino, int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
}

struct Killed {
  KillPoint point = KillPoint::kCount;  // kCount: the child did not run
  kqjob::Result result;                 // what the job got done, as if it had returned
};

// Runs the increment in a forked child and SIGKILLs it `delay` after it set
// off (it may have finished by then). The driver keeps the volume's state in
// a file, so what the child did to it survives the child, and so does the
// record of a take-over it did not finish, in the bitmap file's lock file.
Killed KillJob(const Round& r, std::chrono::microseconds delay) {
  Killed k;
  k.result.stage = kqjob::Result::kTakeOverFailed;
  int fds[2];
  if (const int threads = Threads(); threads != 1) {
    k.result.error = "not forked: " + std::to_string(threads) + " threads";
    return k;
  }
  if (pipe2(fds, O_CLOEXEC) != 0) {
    k.result.error = std::string("pipe: ") + std::strerror(errno);
    return k;
  }
  const kqchain::Fd readEnd(fds[0]);
  kqchain::Fd writeEnd(fds[1]);
  const auto fileBefore = FileId(r.job.bitmapFile);
  std::fflush(nullptr);  // or the child's exit would print it twice
  const pid_t child = fork();
  if (child == 0) {
    CheckOps ops(kVolume);
    const char go = 1;
    if (write(writeEnd.get(), &go, 1) == 1) kqjob::IncrementalBackup(ops, r.job);
    _exit(0);
  }
  writeEnd.Close();
  if (child < 0) {
    k.result.error = std::string("fork: ") + std::strerror(errno);
    return k;
  }
  char go = 0;
  while (read(readEnd.get(), &go, 1) < 0 && errno == EINTR) {
  }
  std::this_thread::sleep_for(delay);
  kill(child, SIGKILL);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }

  std::vector<uint64_t> sequences;
  std::string error;
  kqchain::ListIncrements(r.job.chain, &sequences, &error);
  const auto fileAfter = FileId(r.job.bitmapFile);
  const bool fileStays = fileAfter.first != 0;
  // A take-over record follows the lock file's owner line, if any.
  const std::string lockText = ReadText(r.job.bitmapFile + ".kqlock");
  const bool record = !lockText.empty() && (lockText.rfind("owner=", 0) != 0 ||
                                            lockText.find('\n') + 1 < lockText.size());
  if (!sequences.empty() && sequences.back() >= r.nextSequence) {
    k.result.sequence = sequences.back();
    k.result.stage = fileStays ? kqjob::Result::kFileNotDeleted : kqjob::Result::kDone;
    k.point = fileStays ? KillPoint::kBeforeDelete : KillPoint::kAfter;
  } else if (record) {
    k.point = KillPoint::kMidTakeOver;
  } else if (fileStays && fileAfter != fileBefore) {
    k.result.stage = kqjob::Result::kIncrementFailed;
    k.point = KillPoint::kDuringCopy;
  } else {
    k.point = KillPoint::kBeforeTakeOver;
  }
  return k;
}

// ---- The rounds -----------------------------------------------------------

struct Totals {
  uint64_t increments = 0, copied = 0, changed = 0, maxNotFull = 0, carried = 0, full = 0;
  uint64_t copiedNotFull = 0, incrementsNotFull = 0;
  std::map<std::string, int> faults;
  int kills[static_cast<int>(KillPoint::kCount)] = {};
  int errors = 0;
};

std::string Join(const std::set<uint64_t>& s) {
  std::string out;
  for (auto it = s.begin(); it != s.end() && out.size() < 60; ++it) {
    out += (out.empty() ? "" : ",") + std::to_string(*it);
  }
  return out;
}

// "" when the increment holds exactly `want`, else what is missing and extra.
std::string Mismatch(const std::vector<uint64_t>& got, const std::set<uint64_t>& want) {
  std::set<uint64_t> missing, extra;
  std::set_difference(want.begin(), want.end(), got.begin(), got.end(),
                      std::inserter(missing, missing.end()));
  std::set_difference(got.begin(), got.end(), want.begin(), want.end(),
                      std::inserter(extra, extra.end()));
  if (missing.empty() && extra.empty()) return "";
  return ", missing {" + Join(missing) + "} extra {" + Join(extra) + "}";
}

int Check(const Options& o) {
  const std::string live = o.dir + "/live.img", shadow = o.dir + "/shadow.img";
  const std::string log = o.dir + "/tools.log", scratch = o.dir + "/scratch";
  const std::string script = o.dir + "/round.debugfs";
  Workload work(o.size, o.seed, scratch);
  if (mkdir(scratch.c_str(), 0755) != 0 || !work.Populate(o.dir + "/tree") ||
      !Run({"mke2fs", "-q", "-F", "-t", "ext4", "-b", std::to_string(kBlockSize), "-d",
            o.dir + "/tree", live, std::to_string(o.size / 1024) + "k"},
           log) ||
      !Run({"cp", "--sparse=always", live, shadow}, log)) {
    std::fprintf(stderr, "kqrestorecheck: setup failed (see %s)\n", log.c_str());
    return 2;
  }

  auto driver = kqsim::SimDriver::Install();
  kqsim::VolumeConfig cfg;
  cfg.bytes = o.size;
  cfg.blockSize = kBlockSize;
  cfg.stateFile = o.dir + "/driver.state";  // outlives a job killed in a child
  driver->AddVolume(kVolume, cfg);
  kqlog::SetLevel(0);  // the check prints its own lines
  const kqjob::Job job{live, o.dir + "/chain", o.dir + "/job.bm", kBlockSize};
  const uint64_t volumeBlocks = o.size / kBlockSize;
  {
    CheckOps ops(kVolume);
    const kqjob::Result r = kqjob::FullBackup(ops, job);
    if (r.stage != kqjob::Result::kDone) {
      std::fprintf(stderr, "kqrestorecheck: full backup: %s\n", r.error.c_str());
      return 1;
    }
    std::printf("full backup: %llu blocks of %u bytes\n",
                static_cast<unsigned long long>(volumeBlocks), kBlockSize);
  }

  // The faults take turns in a shuffled order, the kill (which lands
  // anywhere in an increment) twice per turn, every other kind once: 20
  // rounds take at least 9 faults, so every kind comes up.
  std::mt19937_64 faultRng(o.seed * 7919 + 1);
  std::vector<size_t> order;
  for (size_t i = 0; i < Faults().size(); ++i) {
    order.push_back(i);
    if (Faults()[i].effect == Effect::kKill) order.push_back(i);
  }
  std::shuffle(order.begin(), order.end(), faultRng);
  size_t nextFault = 0;
  std::mt19937_64 killRng(o.seed * 104729 + 3);
  int64_t incrementMicros = 2000;  // how long the last whole increment took

  Totals t;
  std::set<uint64_t> expected;  // what the next increment must hold
  bool dirty = false;           // the driver's bitmap went dirty: the next one copies everything
  bool recordLeft = false;      // a killed take-over's record: the next one must go full
  int roundsSince = 0;          // rounds whose changes the next increment carries
  std::printf("%5s %4s %8s  %-24s %-34s %8s %8s\n", "round", "ops", "changed", "fault", "outcome",
              "copied", "expected");
  for (int round = 1; round <= o.rounds; ++round) {
    int ops = 0;
    std::vector<uint64_t> changed;
    if (!WriteFile(script, work.Round(&ops)) || !Run({"debugfs", "-w", "-f", script, live}, log) ||
        !RecordChanges(live, shadow, *driver, &changed)) {
      std::fprintf(stderr, "kqrestorecheck: round %d: changing the image failed\n", round);
      return 2;
    }
    expected.insert(changed.begin(), changed.end());
    ++roundsSince;

    // Every other round, and now and then the one after it too, takes a
    // fault; never the last, so that the chain ends with the image's final state.
    const Fault* fault = nullptr;
    if (round < o.rounds && (round % 2 == 0 || faultRng() % 6 == 0)) {
      fault = &Faults()[order[nextFault++ % order.size()]];
    }
    CheckOps bitmapOps(kVolume);
    std::vector<uint64_t> existing;
    std::string error;
    kqchain::ListIncrements(job.chain, &existing, &error);
    Round r{*driver, bitmapOps, job, existing.empty() ? 1 : existing.back() + 1};
    const int dirtyBefore = driver->DirtyMarks(kVolume, KQV_BITMAP_INCR);
    if (fault) fault->arm(r);
    kqjob::Result res;
    std::string outcome;
    bool bad = false;
    if (fault && fault->effect == Effect::kKill) {
      // Up to one and a half times an increment's time: half of the delays
      // uniform, half log-uniform from 20 us, so that kills land in the
      // take-over's few milliseconds as well as in the copy and after it.
      const double most = std::max<double>(1.5 * static_cast<double>(incrementMicros), 1000);
      std::uniform_real_distribution<double> unit(0, 1);
      const double micros =
          killRng() % 2 == 0 ? most * unit(killRng) : 20 * std::pow(most / 20, unit(killRng));
      const auto delay = std::chrono::microseconds(static_cast<int64_t>(micros));
      const Killed k = KillJob(r, delay);
      res = k.result;
      bad = k.point == KillPoint::kCount;
      if (bad) {
        outcome = "not killed";
      } else {
        ++t.kills[static_cast<int>(k.point)];
        outcome = std::string("killed ") + KillPointName(k.point);
        recordLeft = recordLeft || k.point == KillPoint::kMidTakeOver;
      }
    } else {
      const auto start = std::chrono::steady_clock::now();
      res = kqjob::IncrementalBackup(bitmapOps, job);
      if (res.stage == kqjob::Result::kDone) {
        incrementMicros = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
      }
      outcome = kqjob::StageName(res.stage);
      bad = fault ? res.stage != fault->expect : res.stage != kqjob::Result::kDone;
    }
    if (fault) fault->disarm(r);
    driver->ClearFaults();
    if (driver->DirtyMarks(kVolume, KQV_BITMAP_INCR) != dirtyBefore) {
      dirty = true;
      if (!recordLeft && !(fault && fault->effect == Effect::kFull)) {
        outcome += ", marked dirty for no reason";
        bad = true;
      }
    }

    std::string copied = "-";
    const size_t expectedCount = dirty ? volumeBlocks : expected.size();
    if (res.sequence != 0) {
      // The increment on disk must hold exactly the changed blocks.
      kqchain::IncrementInfo info;
      std::set<uint64_t> want = expected;
      if (dirty) {
        for (uint64_t b = 0; b < volumeBlocks; ++b) want.insert(b);
      }
      outcome.insert(0, "incr " + std::to_string(res.sequence) + ": ");
      if (!kqchain::ReadIncrement(kqchain::IncrementPath(job.chain, res.sequence), &info, &error)) {
        outcome += ", unreadable: " + error;
        bad = true;
      } else if (const std::string wrong = Mismatch(info.blocks, want); !wrong.empty()) {
        outcome += wrong;
        bad = true;
      }
      copied = std::to_string(info.blocks.size());
      ++t.increments;
      t.copied += info.blocks.size();
      t.changed += expected.size();
      if (recordLeft && !dirty) {
        outcome += ", a killed take-over's record ignored";
        bad = true;
      }
      recordLeft = false;
      if (dirty) {
        ++t.full;
        outcome += " (went full)";
      } else {
        t.copiedNotFull += info.blocks.size();
        t.maxNotFull = std::max<uint64_t>(t.maxNotFull, info.blocks.size());
        ++t.incrementsNotFull;
      }
      if (roundsSince > 1) ++t.carried;
      // A bitmap file that could not be deleted comes back in the next take-over.
      expected.clear();
      const bool fileStays = res.stage == kqjob::Result::kFileNotDeleted;
      if (fileStays) expected.insert(info.blocks.begin(), info.blocks.end());
      roundsSince = fileStays ? 1 : 0;
      dirty = dirty && fileStays;
    }
    if (fault) ++t.faults[fault->name];
    if (bad) {
      ++t.errors;
      outcome += "  <-- WRONG" + (res.error.empty() ? "" : " (" + res.error + ")");
    }
    std::printf("%5d %4d %8zu  %-24s %-34s %8s %8zu\n", round, ops, changed.size(),
                fault ? fault->name : "-", outcome.c_str(), copied.c_str(), expectedCount);
    std::fflush(stdout);
  }

  const double perIncrement = t.incrementsNotFull > 0 ? static_cast<double>(t.copiedNotFull) /
                                                            static_cast<double>(t.incrementsNotFull)
                                                      : 0.0;
  char share[64];
  std::snprintf(share, sizeof share, "%.1f blocks, %.3f%% of the volume", perIncrement,
                100.0 * perIncrement / static_cast<double>(volumeBlocks));
  auto line = [](const std::string& label, const std::string& value) {
    std::printf("%-40s %s\n", (label + ":").c_str(), value.c_str());
  };
  using std::to_string;
  std::printf("\n");
  line("volume", to_string(volumeBlocks) + " blocks of " + to_string(kBlockSize) + " bytes");
  line("increments written", to_string(t.increments));
  line("  carrying bits of an earlier round", to_string(t.carried));
  line("  gone full after a fault", to_string(t.full));
  line("blocks changed, summed per increment", to_string(t.changed));
  line("blocks copied", to_string(t.copied) + " (" + to_string(t.copied - t.copiedNotFull) +
                            " by the increments gone full)");
  line("copied per increment not gone full", share);
  line("largest increment not gone full", to_string(t.maxNotFull) + " blocks");
  for (const auto& f : t.faults) line("fault: " + f.first, to_string(f.second) + " rounds");
  std::string kills;
  for (int k = 0; k < static_cast<int>(KillPoint::kCount); ++k) {
    kills += (k > 0 ? ", " : "") + to_string(t.kills[k]) + " " +
             KillPointName(static_cast<KillPoint>(k));
  }
  line("job kills, by where they landed", kills);
  line("increments or faults found wrong", to_string(t.errors));
  return t.errors == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string opt = argv[i];
    if (opt == "-h" || opt == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "kqrestorecheck: %s: missing or unknown option\n", opt.c_str());
      return 2;
    }
    const std::string value = argv[++i];
    if (opt == "--size") {
      if (!kqtools::ParseSize(value, &o.size) || o.size % (1 << 20) != 0 || o.size < (16 << 20)) {
        std::fprintf(stderr, "kqrestorecheck: --size: a multiple of 1M, at least 16M\n");
        return 2;
      }
    } else if (opt == "--rounds") {
      o.rounds = std::atoi(value.c_str());
    } else if (opt == "--seed") {
      o.seed = std::strtoull(value.c_str(), nullptr, 10);
    } else if (opt == "--dir") {
      o.dir = value;
    } else {
      std::fprintf(stderr, "kqrestorecheck: unknown option %s\n", opt.c_str());
      return 2;
    }
  }
  if (o.dir.empty() || o.rounds < 1) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  // mke2fs and debugfs stamp what they write with the time: the superblock of
  // a round written within the same second as the round before's stayed the
  // same, so the blocks a round changed were not the seed's alone. A fixed
  // time makes them so.
  setenv("E2FSPROGS_FAKE_TIME", "1767225600", 1);
  return Check(o);
}
