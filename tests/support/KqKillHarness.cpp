#include "KqKillHarness.h"

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <KQVolumeSim.h>
#include <KqLogControl.h>

#include <chrono>
#include <random>
#include <set>

#include "KqTestSupport.h"

namespace kqtest {

namespace {

constexpr const char* kVolume = "/dev/kill1";
constexpr unsigned long kBytes = 64 * 1024;  // bitmap bytes

bool Bit(const Bytes& b, uint64_t n, size_t offset = 0) {
  return b.size() > offset + n / 8 && (b[offset + n / 8] & (1u << (n % 8))) != 0;
}

// One call of the workflow; the level workflow alternates a save with a delete.
bool Call(KillWorkflow w, KQBitMapOps& ops, int round) {
  switch (w) {
    case KillWorkflow::Formalities:
      return ops.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", "restart", false);
    case KillWorkflow::Dump:
      return ops.DoBitmapDump(KQV_BITMAP_INCR, kVolume, true);
    case KillWorkflow::Level:
      ops.MutateDefaultBitMapFileName("");
      return ops.ManipulateBitmap(0, round % 2 == 0 ? BKP_LEVEL_SAVE_INCR_BM : BKP_LEVEL_DELETE_BM,
                                  "");
  }
  return false;
}

std::vector<std::string> List(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (const dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
  }
  return names;
}

std::string Suffix(KillWorkflow w) {
  return w == KillWorkflow::Formalities ? "bm"
         : w == KillWorkflow::Dump      ? "incr-tmp"
                                        : "_YBVolBitmap";
}

}  // namespace

const char* KillWorkflowName(KillWorkflow w) {
  return w == KillWorkflow::Formalities ? "formalities"
         : w == KillWorkflow::Dump      ? "dump with clear"
                                        : "clearing level workflow";
}

KillStats RunKills(KillWorkflow workflow, int kills, unsigned seed, const std::string& dir) {
  std::shared_ptr<kqsim::SimDriver> driver = kqsim::SimDriver::Find("/dev/zrbf/ctrl");
  if (!driver) driver = kqsim::SimDriver::Install();
  const std::string state = dir + "/driver.state";
  ::unlink(state.c_str());
  kqsim::VolumeConfig cfg;
  cfg.bytes = uint64_t{kBytes} * 8 * cfg.blockSize;
  cfg.stateFile = state;
  driver->AddVolume(kVolume, cfg);
  const uint64_t bits = uint64_t{kBytes} * 8;
  const std::string file = BitmapPath(dir, kVolume, Suffix(workflow));
  const std::string restart = BitmapPath(dir, kVolume, "restart");

  std::mt19937 rng(seed);
  KillStats stats;
  for (int k = 0; k < kills; ++k) {
    std::set<uint64_t> written;
    const pid_t child = ::fork();
    if (child == 0) {
      kqlog::SetLevel(0);
      DirOps ops(dir, kVolume);
      for (int round = 0;; ++round) Call(workflow, ops, round);
    }
    // Writes arrive until a random instant, then the job dies.
    const auto until = std::chrono::steady_clock::now() +
                       std::chrono::microseconds(std::uniform_int_distribution<int>(0, 20000)(rng));
    do {
      const uint64_t block = std::uniform_int_distribution<uint64_t>(0, bits - 1)(rng);
      driver->RecordWrite(kVolume, block * cfg.blockSize, 1);
      written.insert(block);
      ::usleep(100);
    } while (std::chrono::steady_clock::now() < until);
    ::kill(child, SIGKILL);
    int status = 0;
    ::waitpid(child, &status, 0);
    ++stats.kills;

    for (const std::string& f : {file, restart}) {
      const Bytes b = ReadAll(f);
      if (!b.empty() && b.size() != kBytes + 1) ++stats.torn;
    }
    // Would anything be lost if the next call did not mark the bitmap dirty?
    auto missing = [&] {
      const Bytes onDriver = driver->Bitmap(kVolume, KQV_BITMAP_INCR);
      const Bytes onFile = ReadAll(file);
      int n = 0;
      for (uint64_t b : written) n += !(Bit(onDriver, b) || Bit(onFile, b, 1));
      return n;
    };
    const int before = missing();
    const int marks = driver->DirtyMarks(kVolume, KQV_BITMAP_INCR);
    {
      DirOps ops(dir, kVolume);
      // The level workflow's next step: delete a file that is there, else save.
      if (!Call(workflow, ops, Exists(file) ? 1 : 0)) ++stats.failedCalls;
    }
    if (driver->DirtyMarks(kVolume, KQV_BITMAP_INCR) > marks) {
      ++stats.fullBackups;
      if (before == 0) ++stats.unneeded;
    }
    stats.losses += missing();
    for (const std::string& name : List(dir)) {
      if (name.find(".kqtmp.") != std::string::npos) ++stats.leftovers;
    }
    // A clean start for the next round: a dirty bitmap hides every loss.
    for (const std::string& f : {file, restart}) ::unlink(f.c_str());
    for (KQVBitmapType t : {KQV_BITMAP_INCR, KQV_BITMAP_FULL, KQV_BITMAP_AUX}) {
      driver->SetBitmap(kVolume, t, Bytes(kBytes, 0));
    }
  }
  return stats;
}

}  // namespace kqtest
