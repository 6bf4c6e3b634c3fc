// The example job of docs/job-guide.md (its function; the build runs its main
// as a program), through a failure the page promises it survives.
#include "KqTestSupport.h"

// The page's job is a whole program: its main is renamed out of gtest's way.
#define main ExampleJobMain
#include "example_job.cpp"
#undef main

namespace {

using kqtest::KqFixture;

class ExampleJob : public KqFixture {};

TEST_F(ExampleJob, BacksUpExactlyTheChangedBlocksAndDropsTheFile) {
  const std::string file = dir.file("job.bm");
  driver->RecordWrite(kVolume, 3 * 4096, 4096);
  driver->RecordWrite(kVolume, 10 * 4096, 100);
  EXPECT_EQ(IncrementalBackup(kVolume, file.c_str()), 2);
  EXPECT_FALSE(kqtest::Exists(file));
  EXPECT_EQ(driver->SetBitCount(kVolume, KQV_BITMAP_INCR), 0u);

  driver->RecordWrite(kVolume, 5 * 4096, 1);
  EXPECT_EQ(IncrementalBackup(kVolume, file.c_str()), 1);
}

TEST_F(ExampleJob, AFailedTakeOverLeavesTheChangesOnTheDriver) {
  const std::string file = dir.file("job.bm");
  driver->RecordWrite(kVolume, 7 * 4096, 4096);
  driver->FailAt(kqsim::Op::GetAndClearBitmap);
  EXPECT_EQ(IncrementalBackup(kVolume, file.c_str()), -1);
  EXPECT_EQ(driver->SetBitCount(kVolume, KQV_BITMAP_INCR), 1u);
  EXPECT_EQ(IncrementalBackup(kVolume, file.c_str()), 1);
}

}  // namespace
