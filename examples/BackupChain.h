// The backup chain of the reference job: one directory holding a full backup
// and the incremental backups taken after it, and the restore that applies
// them in order. Nothing here knows about bitmaps or the driver; the job
// (BackupJob.h) decides which blocks go into an increment.
//
// Directory layout:
//   full.img          a copy of the volume (holes where the volume reads zero)
//   incr-000001.kqi   the first increment, then 000002 and so on without gaps
//
// Increment file, all integers little-endian:
//   header   "KQINCR01", sequence u64, volume bytes u64, block size u32,
//            zero u32, block count u64                           (40 bytes)
//   list     block count x u64: the block numbers, strictly ascending
//   data     block count x block size: the blocks, in list order
//   trailer  "KQINCEND", checksum u64 of every byte before the trailer
// An increment is written beside its final name, flushed, then renamed and
// the directory flushed: a crash leaves either the whole file or none. A file
// that is short, long, or whose checksum does not match is torn and is never
// applied.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kqchain {

// A file descriptor, closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd();
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, so that a failing close is seen.
  bool Close();

 private:
  int fd_;
};

struct IncrementInfo {
  uint64_t sequence = 0;
  uint64_t volumeBytes = 0;
  uint32_t blockSize = 0;
  std::vector<uint64_t> blocks;  // ascending
};

// Fills `buffer` (block size bytes) with block `block` of the volume.
using BlockReader = std::function<bool(uint64_t block, unsigned char* buffer)>;

// Blocks of `blockSize` bytes in a volume, the last one possibly partial.
uint64_t BlockCount(uint64_t volumeBytes, uint32_t blockSize);

std::string FullPath(const std::string& chain);
std::string IncrementPath(const std::string& chain, uint64_t sequence);

// Sequence numbers of the increments in `chain`, ascending; false when the
// directory cannot be read.
bool ListIncrements(const std::string& chain, std::vector<uint64_t>* sequences, std::string* error);

// Copies `volumeBytes` bytes of `device` durably to full.img. The chain
// directory is created if missing and must hold no backup yet.
bool WriteFull(const std::string& chain, const std::string& device, uint64_t volumeBytes,
               std::string* error);

// Writes the increment `info` (its blocks read through `read`) durably under
// its sequence number. Leaves no file behind when it fails.
bool WriteIncrement(const std::string& chain, const IncrementInfo& info, const BlockReader& read,
                    std::string* error);

// Reads and checks a whole increment file; the block list goes to *info.
bool ReadIncrement(const std::string& path, IncrementInfo* info, std::string* error);

// Applies increment `sequence` to an open image of `imageBytes` bytes: checks
// it completely first, and writes nothing when it is torn or belongs elsewhere.
bool ApplyIncrement(const std::string& path, uint64_t sequence, int imageFd, uint64_t imageBytes,
                    IncrementInfo* info, std::string* error);

// Writes full.img and then every increment, in order, to a new file `image`.
// Stops at the first torn or missing increment. `progress` gets one line per
// backup applied.
bool Restore(const std::string& chain, const std::string& image,
             const std::function<void(const std::string&)>& progress, std::string* error);

}  // namespace kqchain
