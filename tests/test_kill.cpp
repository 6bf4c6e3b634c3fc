// A job killed at random instants of its workflow loses no change: a short
// run of the kill stress program's harness (tools: tests/stress).
#include "KqKillHarness.h"
#include "KqTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

namespace {

class Kill : public kqtest::KqFixture {};

TEST_F(Kill, NoChangeLostWhenTheJobIsKilled) {
  for (auto w : {kqtest::KillWorkflow::Formalities, kqtest::KillWorkflow::Dump,
                 kqtest::KillWorkflow::Level}) {
    SCOPED_TRACE(kqtest::KillWorkflowName(w));
    const kqtest::KillStats s = kqtest::RunKills(w, 15, 7, dir.path());
    EXPECT_EQ(s.losses, 0);
    EXPECT_EQ(s.torn, 0);
    EXPECT_EQ(s.leftovers, 0);
    EXPECT_EQ(s.failedCalls, 0);
  }
}

// Two processes taking over one file while writes arrive: the lock keeps
// their read-fetch-save sequences apart, so no write is lost.
TEST_F(Kill, TwoProcessesTakingOverOneFileLoseNoWrite) {
  kqsim::VolumeConfig cfg;
  cfg.bytes = uint64_t{kBitmapBytes} * 8 * cfg.blockSize;
  cfg.stateFile = dir.file("driver.state");
  driver->AddVolume(kVolume, cfg);
  const pid_t child = fork();
  if (child == 0) {
    kqlog::SetLevel(0);
    kqtest::DirOps ops(dir.path(), kVolume);
    for (int i = 0; i < 60; ++i) ops.DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false);
    _exit(0);
  }
  std::vector<int> written;
  for (int i = 0; i < 60; ++i) {
    const int block = (i * 37) % int(kBitmapBytes * 8);
    driver->RecordWrite(kVolume, uint64_t(block) * cfg.blockSize, 1);
    written.push_back(block);
    EXPECT_TRUE(ops->DoBitmapFormalities(KQV_BITMAP_INCR, "bm", nullptr, false));
  }
  int status = -1;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  const kqtest::Bytes onFile = kqtest::ReadAll(suffixFile("bm"));
  const kqtest::Bytes onDriver = driver->Bitmap(kVolume, KQV_BITMAP_INCR);
  ASSERT_EQ(onFile.size(), kBitmapBytes + 1);
  for (int b : written) {
    EXPECT_TRUE((onFile[size_t(1 + b / 8)] | onDriver[size_t(b / 8)]) & (1u << (b % 8))) << b;
  }
}

}  // namespace
