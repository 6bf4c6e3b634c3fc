// The example job of the README, run against the simulated driver.
#include "KqTestSupport.h"

#include "readme_example_job.inc"

namespace {

using kqtest::KqFixture;

class ReadmeExample : public KqFixture {};

TEST_F(ReadmeExample, BacksUpExactlyTheChangedBlocksAndDropsTheFile) {
  const std::string file = dir.file("job.bm");
  driver->RecordWrite(kVolume, 3 * 4096, 4096);
  driver->RecordWrite(kVolume, 10 * 4096, 100);
  EXPECT_EQ(IncrementalBackup(kVolume, file.c_str()), 2);
  EXPECT_FALSE(kqtest::Exists(file));
  EXPECT_EQ(driver->SetBitCount(kVolume, KQV_BITMAP_INCR), 0u);

  driver->RecordWrite(kVolume, 5 * 4096, 1);
  EXPECT_EQ(IncrementalBackup(kVolume, file.c_str()), 1);
}

TEST_F(ReadmeExample, AFailedTakeOverLeavesTheChangesOnTheDriver) {
  const std::string file = dir.file("job.bm");
  driver->RecordWrite(kVolume, 7 * 4096, 4096);
  driver->FailAt(kqsim::Op::GetAndClearBitmap);
  EXPECT_EQ(IncrementalBackup(kVolume, file.c_str()), -1);
  EXPECT_EQ(driver->SetBitCount(kVolume, KQV_BITMAP_INCR), 1u);
  EXPECT_EQ(IncrementalBackup(kVolume, file.c_str()), 1);
}

}  // namespace
