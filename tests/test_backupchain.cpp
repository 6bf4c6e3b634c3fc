// The reference job's backup chain: an increment lists its blocks and holds
// their data, and a torn or misplaced increment is found and never applied.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>

#include "BackupChain.h"
#include "KqTestSupport.h"

namespace {

using kqtest::Bytes;
constexpr uint32_t kBlock = 512;
constexpr uint64_t kVolumeBytes = 8 * kBlock - 100;  // the last block is partial

// Block b of "version" v of the volume: every byte b * 16 + v.
kqchain::BlockReader Version(unsigned char v) {
  return [v](uint64_t b, unsigned char* buf) {
    std::memset(buf, static_cast<int>(b * 16 + v), kBlock);
    return true;
  };
}

// The volume after `blocks` were written with version v.
void Apply(Bytes* volume, const std::vector<uint64_t>& blocks, unsigned char v) {
  for (uint64_t b : blocks) {
    for (uint64_t i = b * kBlock; i < std::min<uint64_t>((b + 1) * kBlock, volume->size()); ++i) {
      (*volume)[i] = static_cast<unsigned char>(b * 16 + v);
    }
  }
}

class BackupChain : public ::testing::Test {
 protected:
  void SetUp() override {
    kqtest::WriteAll(dir.file("device"), volume);
    std::string error;
    ASSERT_TRUE(kqchain::WriteFull(chain, dir.file("device"), kVolumeBytes, &error)) << error;
    for (unsigned char v = 1; v <= 2; ++v) {  // two increments
      const kqchain::IncrementInfo info{v, kVolumeBytes, kBlock, increments[v - 1]};
      ASSERT_TRUE(kqchain::WriteIncrement(chain, info, Version(v), &error)) << error;
      Apply(&afterEach[v], increments[v - 1], v);
      afterEach[v + 1] = afterEach[v];
    }
  }
  bool Restore(std::string* error) {
    unlink(dir.file("restored").c_str());
    return kqchain::Restore(
        chain, dir.file("restored"), [](const std::string&) {}, error);
  }

  kqtest::TempDir dir;
  std::string chain = dir.file("chain");
  Bytes volume = Bytes(kVolumeBytes, 0x5A);
  std::vector<std::vector<uint64_t>> increments{{0, 3, 7}, {3, 4}};
  std::vector<Bytes> afterEach = {volume, volume, volume, volume};  // full, +1, +2
};

TEST_F(BackupChain, IncrementsListTheirBlocksAndRestoreInOrder) {
  std::string error;
  kqchain::IncrementInfo info;
  ASSERT_TRUE(kqchain::ReadIncrement(kqchain::IncrementPath(chain, 1), &info, &error)) << error;
  EXPECT_EQ(info.blocks, increments[0]);
  EXPECT_EQ(info.volumeBytes, kVolumeBytes);
  // The file is header, list, blocks and trailer, nothing else.
  EXPECT_EQ(kqtest::ReadAll(kqchain::IncrementPath(chain, 1)).size(), 40 + 3 * (8 + kBlock) + 16);
  ASSERT_TRUE(Restore(&error)) << error;
  EXPECT_EQ(kqtest::ReadAll(dir.file("restored")), afterEach[2]);
  // A new chain is never started over an existing one.
  EXPECT_FALSE(kqchain::WriteFull(chain, dir.file("device"), kVolumeBytes, &error));
}

TEST_F(BackupChain, ATornOrMisplacedIncrementIsFoundAndNotApplied) {
  const std::string second = kqchain::IncrementPath(chain, 2);
  const Bytes whole = kqtest::ReadAll(second);
  const size_t data = 40 + 2 * 8;
  struct Damage {
    const char* what;
    std::function<void(Bytes*)> apply;
    bool whole = false;
  } damages[] = {
      {"empty", [](Bytes* f) { f->clear(); }},
      {"header only", [](Bytes* f) { f->resize(40); }},
      {"cut in the data", [&](Bytes* f) { f->resize(data + kBlock); }},
      {"trailer cut", [](Bytes* f) { f->pop_back(); }},
      {"a byte too many", [](Bytes* f) { f->push_back(0); }},
      {"a data byte changed", [&](Bytes* f) { (*f)[data + 7] ^= 1; }},
      {"a block number changed", [](Bytes* f) { (*f)[40] ^= 1; }},
      {"bad magic", [](Bytes* f) { (*f)[0] = 'X'; }},
      {"the first increment again",
       [&](Bytes* f) { *f = kqtest::ReadAll(kqchain::IncrementPath(chain, 1)); }, true},
  };
  for (const auto& d : damages) {
    SCOPED_TRACE(d.what);
    Bytes file = whole;
    d.apply(&file);
    kqtest::WriteAll(second, file);
    std::string error;
    kqchain::IncrementInfo info;
    // Whole but misplaced reads fine; only the restore refuses it.
    EXPECT_EQ(kqchain::ReadIncrement(second, &info, &error), d.whole);
    EXPECT_FALSE(Restore(&error));
    EXPECT_NE(error.find("up to increment 1"), std::string::npos) << error;
    EXPECT_EQ(kqtest::ReadAll(dir.file("restored")), afterEach[1]);  // the first only
  }
  // A gap in the chain stops the restore as well.
  ASSERT_EQ(rename(second.c_str(), kqchain::IncrementPath(chain, 3).c_str()), 0);
  std::string error;
  EXPECT_FALSE(Restore(&error));
  EXPECT_NE(error.find("increment 2 is missing"), std::string::npos) << error;
}

TEST_F(BackupChain, AFailedWriteLeavesNoFile) {
  const kqchain::IncrementInfo info{3, kVolumeBytes, kBlock, {1, 2}};
  auto failing = [](uint64_t b, unsigned char*) { return b != 2; };
  std::string error;
  EXPECT_FALSE(kqchain::WriteIncrement(chain, info, failing, &error));
  std::vector<uint64_t> sequences;
  ASSERT_TRUE(kqchain::ListIncrements(chain, &sequences, &error));
  EXPECT_EQ(sequences, (std::vector<uint64_t>{1, 2}));
  struct stat st {};
  EXPECT_NE(stat((chain + "/.incr-000003.kqi.tmp").c_str(), &st), 0);
  // An increment is never written over another.
  EXPECT_FALSE(kqchain::WriteIncrement(chain, {2, kVolumeBytes, kBlock, {1}}, Version(9), &error));
}

}  // namespace
