// The reference backup job: how a job uses KQBitMapOps to keep a backup chain
// (BackupChain.h) of one volume.
//
//   KQBitMapOps ops("/dev/sdb1", nullptr);
//   kqjob::Job job{"/dev/sdb1", "/backup/sdb1", "/var/lib/job/sdb1.bm", 4096};
//   kqjob::FullBackup(ops, job);          // once, to start the chain
//   kqjob::IncrementalBackup(ops, job);   // then as often as wanted
//
// An increment takes the driver's changes over into the job's bitmap file
// (DoBitmapFormalities), copies exactly the blocks whose bits are set, and
// deletes the bitmap file only once the increment is on disk. Whatever fails
// in between, the changes stay either on the driver or in the bitmap file,
// and the next increment carries them.
#pragma once

#include <kqbitmapops/KQBitMapOps.h>

#include <cstdint>
#include <string>

namespace kqjob {

struct Job {
  std::string device;         // where the blocks are read (in production: a snapshot of the volume)
  std::string chain;          // the backup chain's directory
  std::string bitmapFile;     // the job's own bitmap file (a path, not in /etc/tessel/)
  uint32_t blockSize = 4096;  // bytes per bit of the driver's bitmap
};

struct Result {
  enum Stage {
    kDone,             // the increment is written and the bitmap file is gone
    kTakeOverFailed,   // DoBitmapFormalities failed: the changes are on the driver or in the file
    kIncrementFailed,  // reading the bitmap or writing the increment failed: the file keeps them
    kFileNotDeleted,   // the increment is written; the file stays, the next one copies again
  };
  Stage stage = kDone;
  uint64_t sequence = 0;  // the increment written (0: none)
  uint64_t blocks = 0;    // blocks it holds
  std::string error;
};

const char* StageName(Result::Stage stage);

// Takes the changes over (the full copy holds them), copies the whole device
// into a new chain and deletes the bitmap file.
Result FullBackup(KQBitMapOps& ops, const Job& job);

// Writes the chain's next increment.
Result IncrementalBackup(KQBitMapOps& ops, const Job& job);

}  // namespace kqjob
