#include "BackupJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <vector>

#include "BackupChain.h"

namespace kqjob {
namespace {

Result Stop(Result::Stage stage, std::string error) {
  Result r;
  r.stage = stage;
  r.error = std::move(error);
  return r;
}

// Takes the driver's incremental bitmap over into the job's bitmap file. When
// the volume library throws, the bits are still on the driver or the library
// has given them back, so the job treats it as a failed take-over.
bool TakeOver(KQBitMapOps& ops, const Job& job, std::string* error) {
  try {
    if (ops.DoBitmapFormalities(KQV_BITMAP_INCR, job.bitmapFile.c_str(), nullptr,
                                /*nameIsPath=*/true)) {
      return true;
    }
    *error = "DoBitmapFormalities failed";
  } catch (const std::exception& e) {
    *error = std::string("DoBitmapFormalities threw: ") + e.what();
  }
  return false;
}

// The bitmap file's bitmap, read with the library's own reader. The file is
// one header byte and then the bitmap, so its size gives the bitmap's.
bool ReadBitmap(KQBitMapOps& ops, const std::string& file, std::vector<unsigned char>* bitmap,
                std::string* error) {
  struct stat st {};
  if (stat(file.c_str(), &st) != 0) {
    *error = file + ": " + std::strerror(errno);
    return false;
  }
  if (st.st_size < 1) {
    *error = file + ": empty";
    return false;
  }
  bitmap->assign(static_cast<size_t>(st.st_size) - 1, 0);
  unsigned char header = 0;
  if (!ops.ReadBMFromFile(bitmap->data(), bitmap->size(), &header, file)) {
    *error = "ReadBMFromFile failed for " + file;
    return false;
  }
  return true;
}

// The size of a file or of a block device alike.
uint64_t DeviceBytes(const std::string& device) {
  const kqchain::Fd fd(open(device.c_str(), O_RDONLY | O_CLOEXEC));
  const off_t end = fd.get() < 0 ? -1 : lseek(fd.get(), 0, SEEK_END);
  return end > 0 ? static_cast<uint64_t>(end) : 0;
}

// Deletes the bitmap file once what it named is safely in the chain.
Result Finish(KQBitMapOps& ops, const Job& job, Result r) {
  if (!ops.DeleteBMFile(job.bitmapFile)) {
    r.stage = Result::kFileNotDeleted;
    r.error = "DeleteBMFile failed for " + job.bitmapFile;
  }
  return r;
}

}  // namespace

const char* StageName(Result::Stage stage) {
  switch (stage) {
    case Result::kDone:
      return "done";
    case Result::kTakeOverFailed:
      return "take-over failed";
    case Result::kIncrementFailed:
      return "increment failed";
    case Result::kFileNotDeleted:
      return "bitmap file not deleted";
  }
  return "?";
}

Result FullBackup(KQBitMapOps& ops, const Job& job) {
  std::string error;
  // Taken over first: a change landing during the copy stays on the driver
  // for the first increment.
  if (!TakeOver(ops, job, &error)) return Stop(Result::kTakeOverFailed, error);
  const uint64_t bytes = DeviceBytes(job.device);
  if (bytes == 0) return Stop(Result::kIncrementFailed, job.device + ": no size");
  if (!kqchain::WriteFull(job.chain, job.device, bytes, &error)) {
    return Stop(Result::kIncrementFailed, error);
  }
  Result r;
  r.blocks = kqchain::BlockCount(bytes, job.blockSize);
  return Finish(ops, job, r);
}

Result IncrementalBackup(KQBitMapOps& ops, const Job& job) {
  std::string error;
  if (!TakeOver(ops, job, &error)) return Stop(Result::kTakeOverFailed, error);

  // From here on the changes are in the bitmap file, which stays until the
  // increment is safe: any failure below leaves it for the next increment.
  std::vector<unsigned char> bitmap;
  if (!ReadBitmap(ops, job.bitmapFile, &bitmap, &error)) {
    return Stop(Result::kIncrementFailed, error);
  }
  const uint64_t bytes = DeviceBytes(job.device);
  std::vector<uint64_t> sequences;
  if (bytes == 0 || !kqchain::ListIncrements(job.chain, &sequences, &error)) {
    return Stop(Result::kIncrementFailed, error.empty() ? job.device + ": no size" : error);
  }

  kqchain::IncrementInfo info;
  info.sequence = sequences.empty() ? 1 : sequences.back() + 1;
  info.volumeBytes = bytes;
  info.blockSize = job.blockSize;
  const uint64_t volumeBlocks = kqchain::BlockCount(bytes, job.blockSize);
  // Bit n is block n: byte n / 8, mask 1 << (n % 8). A bitmap marked dirty
  // has every bit set, padding included; bits past the volume name nothing.
  for (uint64_t bit = 0; bit < bitmap.size() * 8ull; ++bit) {
    if ((bitmap[bit / 8] & (1u << (bit % 8))) == 0) continue;
    if (bit < volumeBlocks) info.blocks.push_back(bit);
  }

  // A production job reads from a snapshot taken right after the take-over,
  // so that writes landing meanwhile go to the next increment.
  const kqchain::Fd device(open(job.device.c_str(), O_RDONLY | O_CLOEXEC));
  if (device.get() < 0) {
    return Stop(Result::kIncrementFailed, job.device + ": " + std::strerror(errno));
  }
  auto readBlock = [&](uint64_t block, unsigned char* buffer) {
    const uint64_t offset = block * job.blockSize;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(job.blockSize, bytes - offset));
    std::memset(buffer, 0, job.blockSize);
    return pread(device.get(), buffer, n, static_cast<off_t>(offset)) == static_cast<ssize_t>(n);
  };
  if (!kqchain::WriteIncrement(job.chain, info, readBlock, &error)) {
    return Stop(Result::kIncrementFailed, error);
  }

  Result r;
  r.sequence = info.sequence;
  r.blocks = info.blocks.size();
  return Finish(ops, job, r);
}

}  // namespace kqjob
