#include <kqbitmapops/KQBitMapOps.h>

#include <KQVolumeUnix.h>
#include <KqLogControl.h>
#include <ReplicaDBClient.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "KqIoTesting.h"

namespace {

const char kBitmapDir[] = "/etc/tessel/.";
const char kDefaultSuffix[] = "_YBVolBitmap";
const char kControlDevice[] = "/dev/zrbf/ctrl";
// Longest last path component that names a bitmap file.
constexpr std::size_t kMaxComponent = 1023;
// Linux moves at most this many bytes per read() or write().
constexpr std::size_t kKernelMaxTransfer = 0x7ffff000;
// Longest part of the target's last component kept in a replacement's name:
// NAME_MAX (255) less ".kqtmp.", a pid and a counter.
constexpr std::size_t kMaxTempStem = 200;

std::atomic<std::size_t> g_maxTransfer{kKernelMaxTransfer};

// Owns a descriptor; closes it exactly once.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Takes `fd` over, closing the one held before.
  void adopt(int fd) noexcept {
    reset();
    fd_ = fd;
  }
  // Closes now; false (errno set) when close reports an error.
  bool reset() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_;
};

struct FreeDeleter {
  void operator()(unsigned char* p) const noexcept { std::free(p); }
};

// Writes all `n` bytes, over as many calls as the kernel needs; a call
// interrupted before it moved anything is repeated. False (errno as the
// failing call left it) on an error or a call that moves nothing.
bool WriteFully(int fd, const unsigned char* data, std::size_t n) noexcept {
  const std::size_t cap = g_maxTransfer.load(std::memory_order_relaxed);
  while (n > 0) {
    ssize_t done = ::write(fd, data, n < cap ? n : cap);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

// Reads up to `n` bytes; returns how many arrived before end of file or an
// error (errno then set by the failing call).
std::size_t ReadFully(int fd, unsigned char* data, std::size_t n) noexcept {
  const std::size_t cap = g_maxTransfer.load(std::memory_order_relaxed);
  std::size_t got = 0;
  while (got < n) {
    std::size_t want = n - got;
    ssize_t done = ::read(fd, data + got, want < cap ? want : cap);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) break;
    got += static_cast<std::size_t>(done);
  }
  return got;
}

// Gives up the page cache of a file whose contents are about to be replaced;
// only clean pages go, the file itself is untouched. A replacement needs as
// many fresh pages as the file has, and those freed here are the cheapest to
// get: for a large bitmap they are otherwise taken from memory the system has
// long left unused, or reclaimed from other files, while the old copy still
// sits in the cache until the rename drops it anyway.
void DropCachedPages(const std::string& path) noexcept {
  const int saved = errno;
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.valid()) ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
  errno = saved;
}

std::string DirName(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Replaces a file durably: the new contents go to a fresh file beside the
// target, which is flushed and renamed over the target, and the directory is
// flushed. Until Commit succeeds the target keeps its old contents; an
// abandoned replacement removes its new file. A target that exists but is no
// regular file (a device, say) cannot be replaced by a rename and is written
// in place instead.
class FileReplacement {
 public:
  enum class Stage { Done, Flush, Rename };

  explicit FileReplacement(std::string target) : target_(std::move(target)) {}
  ~FileReplacement() {
    if (!temp_.empty()) {
      int saved = errno;
      fd_.reset();
      ::unlink(temp_.c_str());
      errno = saved;
    }
  }
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;

  // Creates the new file (mode 0666 less the umask). False with errno set;
  // nothing is created then.
  bool Open() {
    if (target_.empty()) {
      errno = ENOENT;
      return false;
    }
    std::string real = target_;
    struct stat st {};
    const bool exists = ::stat(target_.c_str(), &st) == 0;
    if (exists) {
      if (!S_ISREG(st.st_mode)) {
        fd_.adopt(::open(target_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        return fd_.valid();
      }
      // Through a symlink the file it names is the one to replace.
      if (char* resolved = ::realpath(target_.c_str(), nullptr)) {
        real = resolved;
        std::free(resolved);
      }
      DropCachedPages(real);
    }
    // A target name near NAME_MAX must still leave room for the suffix.
    const std::string::size_type slash = real.rfind('/');
    const std::string::size_type baseLength =
        real.size() - (slash == std::string::npos ? 0 : slash + 1);
    const std::string stem =
        real.substr(0, real.size() - baseLength + std::min(baseLength, kMaxTempStem));
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      std::string temp = stem + ".kqtmp." + std::to_string(::getpid()) + "." +
                         std::to_string(counter.fetch_add(1));
      fd_.adopt(::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
      if (fd_.valid()) {
        temp_ = std::move(temp);
        real_ = std::move(real);
        if (!exists) return true;
        // The file that takes the old one's place keeps its owner (where we
        // may give it away) and its mode, as writing in place would have.
        if (::fchown(fd_.get(), st.st_uid, st.st_gid) != 0) {
          // Not privileged: the file stays ours, as a new one would be.
        }
        return ::fchmod(fd_.get(), st.st_mode & 07777) == 0;
      }
      if (errno != EEXIST) return false;
    }
    return false;
  }

  int fd() const { return fd_.get(); }

  // Flushes the new file and puts it in the target's place. A failed flush is
  // not retried: its error may already have dropped the dirty pages.
  Stage Commit() {
    if (::fsync(fd_.get()) != 0 || !fd_.reset()) return Stage::Flush;
    if (temp_.empty()) return Stage::Done;  // written in place
    if (::rename(temp_.c_str(), real_.c_str()) != 0) return Stage::Rename;
    temp_.clear();
    Fd dir(::open(DirName(real_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid() || ::fsync(dir.get()) != 0) return Stage::Flush;
    return Stage::Done;
  }

 private:
  std::string target_;
  std::string real_;
  std::string temp_;
  Fd fd_;
};

// Writes the bitmap into a replacement and puts it in the target's place,
// logging the step that failed.
bool WriteAndCommit(FileReplacement& file, EvDebug& log, const char* tag, const char* name,
                    const unsigned char* bitmap, std::size_t size) {
  // In slices, each handed to writeback as soon as it is written, so the
  // final flush finds little left to do (the flush still decides success).
  constexpr std::size_t kSlice = std::size_t{8} << 20;
  std::size_t done = 0;
  do {
    const std::size_t n = std::min(kSlice, size - done);
    if (!WriteFully(file.fd(), bitmap + done, n)) {
      log.Debug(tag, "Failed to write to file=%s error no=%d", name, errno);
      return false;
    }
    done += n;
    ::sync_file_range(file.fd(), 0, 0, SYNC_FILE_RANGE_WRITE);
  } while (done < size);
  const FileReplacement::Stage stage = file.Commit();
  if (stage == FileReplacement::Stage::Flush) {
    log.Debug(tag, "Failed to flush to file=%s error no=%d", name, errno);
  } else if (stage == FileReplacement::Stage::Rename) {
    log.Debug(tag, "Failed to replace file=%s error no=%d", name, errno);
  }
  return stage == FileReplacement::Stage::Done;
}

uint64_t LoadWord(const unsigned char* p) noexcept {
  uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

void StoreWord(unsigned char* p, uint64_t v) noexcept { std::memcpy(p, &v, sizeof v); }

// ORs `other` into `target`, 32 bytes a step. Four separate words, not an
// array: the compiler keeps them in vector registers instead of copying an
// array through the stack on every step.
void OrInto(unsigned char* target, const unsigned char* other, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    const uint64_t a = LoadWord(target + i) | LoadWord(other + i);
    const uint64_t b = LoadWord(target + i + 8) | LoadWord(other + i + 8);
    const uint64_t c = LoadWord(target + i + 16) | LoadWord(other + i + 16);
    const uint64_t d = LoadWord(target + i + 24) | LoadWord(other + i + 24);
    StoreWord(target + i, a);
    StoreWord(target + i + 8, b);
    StoreWord(target + i + 16, c);
    StoreWord(target + i + 24, d);
  }
  for (; i < n; ++i) target[i] |= other[i];
}

// ORs bytes [from, to) of `other` into `target`. Buffers that partly overlap
// are ORed a byte at a time from the top down, the order the result of an
// overlapping merge has always been defined by.
void MergeRange(unsigned char* target, const unsigned char* other, std::size_t from,
                std::size_t to) noexcept {
  if (from >= to || target == other) return;
  // Compared as addresses: the two may be unrelated buffers.
  const auto tBegin = reinterpret_cast<std::uintptr_t>(target) + from;
  const auto oBegin = reinterpret_cast<std::uintptr_t>(other) + from;
  const bool overlap = tBegin < oBegin + (to - from) && oBegin < tBegin + (to - from);
  if (!overlap) {
    OrInto(target + from, other + from, to - from);
    return;
  }
  for (std::size_t i = to; i-- > from;) target[i] |= other[i];
}

// Logs a bitmap byte by byte at level 2; one level check instead of one call per byte.
void LogBytes(EvDebug& log, const char* tag, const unsigned char* bitmap, unsigned long size) {
  if (!kqlog::LevelEnabled(2)) return;
  for (unsigned long i = 0; i < size; ++i) {
    log.DebugLvl(tag, 2, "Byte %d : %u", static_cast<int>(i), static_cast<unsigned>(bitmap[i]));
  }
}

// Maps a large buffer in before its first use, on huge pages while they come
// cheap. A huge page costs a fraction of the 512 small ones it replaces when
// the kernel has it at hand, but many times as much when it must first
// compact memory for it, or when the hypervisor must first back it again
// (memory left free for a while is handed back to the host on some virtual
// machines); what a large buffer gets after the ready ones run out is the
// latter. So the buffer is mapped a stretch at a time, and the first stretch
// slower than small pages would have been ends the advice for the rest. A
// kernel without MADV_POPULATE_WRITE maps nothing here: the first touch
// faults the pages in as before.
void MapIn(unsigned char* buffer, std::size_t n) noexcept {
  constexpr std::size_t kHuge = std::size_t{2} << 20;
  constexpr std::size_t kStretch = std::size_t{8} << 20;
  // Small pages map about 1 MiB a millisecond or faster; slower stretches are
  // paying for compaction or for the host.
  constexpr auto kSlowPerStretch = std::chrono::microseconds(kStretch >> 20 << 10);
  const std::size_t skip = (kHuge - reinterpret_cast<std::uintptr_t>(buffer) % kHuge) % kHuge;
  if (n < skip + 2 * kHuge) return;
  unsigned char* const begin = buffer + skip;
  const std::size_t length = (n - skip) / kHuge * kHuge;
  bool huge = ::madvise(begin, length, MADV_HUGEPAGE) == 0;
  for (std::size_t done = 0; done < length;) {
    const std::size_t step = std::min(kStretch, length - done);
    const auto start = std::chrono::steady_clock::now();
    if (::madvise(begin + done, step, MADV_POPULATE_WRITE) != 0) return;
    done += step;
    if (huge && done < length && std::chrono::steady_clock::now() - start > kSlowPerStretch) {
      ::madvise(begin + done, length - done, MADV_NOHUGEPAGE);
      huge = false;
    }
  }
}

// A bitmap buffer from array new (its owner releases it with delete[]),
// zero-filled when asked; with `orNull` a failed allocation gives null
// instead of throwing. Large ones are mapped in first (MapIn).
unsigned char* NewBitmap(std::size_t n, bool zero, bool orNull = false) {
  auto* bitmap = orNull ? new (std::nothrow) unsigned char[n] : new unsigned char[n];
  if (bitmap == nullptr) return nullptr;
  MapIn(bitmap, n);
  if (zero) std::memset(bitmap, 0, n);
  return bitmap;
}

bool FileExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

}  // namespace

namespace kqbitmapops_detail {
void SetMaxTransferForTesting(std::size_t bytes) noexcept {
  g_maxTransfer.store(bytes == 0 || bytes > kKernelMaxTransfer ? kKernelMaxTransfer : bytes);
}
}  // namespace kqbitmapops_detail

// ---------------------------------------------------------------------------
// The object and its names

KQBitMapOps::KQBitMapOps(std::string volumeName, char* reserved)
    : m_volume(nullptr), m_volName(std::move(volumeName)), m_setBitCount(0) {
  // Qualified: a derived class's naming is not in place yet while we construct.
  m_defaultBitmapFileName = KQBitMapOps::PrepareAbsoluteBitmapFileName(std::string(), reserved);
}

KQBitMapOps::KQBitMapOps() : m_volume(nullptr), m_setBitCount(0) {}

KQBitMapOps::~KQBitMapOps() {
  delete m_volume;
  m_volume = nullptr;
}

std::string KQBitMapOps::GetVolName() { return m_volName; }

void KQBitMapOps::SetVolName(std::string volumeName) {
  m_volName = std::move(volumeName);
  ConvertVolToUniqueName();
  m_defaultBitmapFileName = PrepareAbsoluteBitmapFileName(std::string(), nullptr);
}

bool KQBitMapOps::ConvertVolToUniqueName() {
  m_log.debug("This functionality is yet to be ported on this platform");
  return true;
}

// A name without "/" is its own last component. A component over 1023 bytes
// gives an empty name, so every file operation on it fails at the open:
// cutting it short could make two volumes share one bitmap file.
// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
std::string KQBitMapOps::PrepareAbsoluteBitmapFileName(std::string nameSuffix, char* /*reserved*/) {
  // NOLINTEND(performance-unnecessary-value-param)
  std::string::size_type slash = m_volName.rfind('/');
  std::string component = slash == std::string::npos ? m_volName : m_volName.substr(slash + 1);
  if (component.size() > kMaxComponent) return {};
  std::string name = kBitmapDir;
  name += component;
  name += '_';
  name += nameSuffix.empty() ? std::string(kDefaultSuffix) : nameSuffix;
  return name;
}

bool KQBitMapOps::MutateDefaultBitMapFileName(std::string nameSuffix) {
  const char* tag = "KQBitMapOps::MutateDefaultBitMapFileName";
  m_defaultBitmapFileName = PrepareAbsoluteBitmapFileName(std::move(nameSuffix), nullptr);
  if (m_defaultBitmapFileName.empty()) {
    m_log.Debug(tag, "Unable to modify the DefaultBitmapFileName");
    return false;
  }
  m_log.Debug(tag, "Modified DefaultBitmapFileName = %s", m_defaultBitmapFileName.c_str());
  return true;
}

// ---------------------------------------------------------------------------
// Bitmap files

bool KQBitMapOps::SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                               std::string fileName) {
  const char* tag = "KQBitMapOps::SaveBMToFile";
  if (fileName.empty()) fileName = m_defaultBitmapFileName;
  const char* name = fileName.c_str();
  m_log.Debug(tag, "Saving bitmap to %s", name);

  // The previous file stays whole until the new one is complete and flushed.
  FileReplacement file(fileName);
  if (!file.Open()) {
    m_log.Debug(tag, "Failed to open the Bitmap File %s.  error %d", name, errno);
    return false;
  }
  if (!WriteFully(file.fd(), header, 1)) {
    m_log.Debug(tag, "1a:Failed to write to file=%s error no=%d", name, errno);
    return false;
  }
  return WriteAndCommit(file, m_log, tag, name, bitmap, size);
}

bool KQBitMapOps::ReadBMFromFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                                 std::string fileName) {
  const char* tag = "KQBitMapOps::ReadBMFromFile";
  if (fileName.empty()) fileName = m_defaultBitmapFileName;
  const char* name = fileName.c_str();

  Fd fd(::open(name, O_RDONLY | O_DSYNC | O_CLOEXEC));
  if (!fd.valid()) {
    m_log.Debug(tag, "Failed to open the Bitmap File %s.  error %d", name, errno);
    return false;
  }
  if (ReadFully(fd.get(), header, 1) != 1) {
    int err = errno;
    if (size != 0) std::memset(bitmap, 0, size);  // a bitmap of 0 bytes may have no buffer
    m_log.Debug(tag, "1a:Failed to read from file=%s error no=%d", name, err);
    return false;
  }
  std::size_t got = ReadFully(fd.get(), bitmap, size);
  if (got != size) {
    // What did not arrive reads as zero, not as the caller's old bytes.
    int err = errno;
    std::memset(bitmap + got, 0, size - got);
    m_log.Debug(tag, "Failed to read from file=%s error no=%d", name, err);
    return false;
  }
  return true;
}

bool KQBitMapOps::DeleteBMFile(std::string fileName) {
  const char* tag = "KQBitMapOps::DeleteBMFile";
  if (fileName.empty()) fileName = m_defaultBitmapFileName;
  const char* name = fileName.c_str();
  if (!FileExists(fileName)) {
    m_log.Debug(tag, "Bitmap File %s does not exist. Cannot delete. Returning failure", name);
    return false;
  }
  if (::unlink(name) != 0) {
    m_log.Debug(tag, "Failed to delete Bitmap File %s error no=%d", name, errno);
    return false;
  }
  m_log.Debug(tag, "Deleted Bitmap File %s", name);
  return true;
}

// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
bool KQBitMapOps::SaveBMWithParams(unsigned char* /*bitmap*/, unsigned long /*size*/,
                                   unsigned long /*param1*/, int /*param2*/,
                                   std::string /*fileName*/) {
  // NOLINTEND(performance-unnecessary-value-param)
  // by value in the interface
  m_log.Debug("KQBitMapOps::SaveBMWithParams", "not supported on unix");
  return false;
}

// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
bool KQBitMapOps::ReadBMWithParams(unsigned char** /*bitmap*/, unsigned long* /*size*/,
                                   unsigned long* /*param1*/, int* /*param2*/,
                                   std::string /*fileName*/) {
  // NOLINTEND(performance-unnecessary-value-param)
  // by value in the interface
  m_log.Debug("KQBitMapOps::ReadBMWithParams", "not supported on unix");
  return false;
}

// ---------------------------------------------------------------------------
// Merging and counting

bool KQBitMapOps::MergeBM(unsigned char* target, unsigned long targetSize, unsigned char* other,
                          unsigned long otherSize) {
  if (targetSize != otherSize) {
    m_log.Debug("KQBitMapOps::MergeBM",
                " Src Bitmap Size %ld is not equal Destbitmap size %ld, can't merge.",
                static_cast<long>(targetSize), static_cast<long>(otherSize));
    return false;
  }
  MergeRange(target, other, 0, targetSize);
  return true;
}

bool KQBitMapOps::MergeBMFromOffset(unsigned char* target, unsigned long targetSize,
                                    unsigned char* other, unsigned long otherSize,
                                    unsigned long offset) {
  if (targetSize > otherSize) {
    m_log.Debug("KQBitMapOps::MergeBMFromOffset",
                " Src Bitmap Size %ld is larger than Dest %ld, can't merge.",
                static_cast<long>(targetSize), static_cast<long>(otherSize));
    return false;
  }
  MergeRange(target, other, offset, targetSize);
  return true;
}

void KQBitMapOps::AddSetBitsInBM(char byte) {
  auto bits = static_cast<unsigned char>(byte);
  if (bits == 0) return;
  int64_t count = 0;
  for (; bits != 0; bits = static_cast<unsigned char>(bits & (bits - 1))) ++count;
  m_setBitCount = count;
}

// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
bool KQBitMapOps::ReadBMFromFileAndMerge(unsigned char* /*bitmap*/, unsigned long /*size*/,
                                         std::string /*fileName*/, unsigned long /*offset*/) {
  // NOLINTEND(performance-unnecessary-value-param)
  // by value in the interface
  m_log.Debug("KQBitMapOps::ReadBMFromFileAndMerge", "not supported on unix");
  return false;
}

// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
bool KQBitMapOps::MergeAndSaveBMToFile(unsigned char* /*bitmap*/, unsigned long /*size*/,
                                       std::string /*fileName*/) {
  // NOLINTEND(performance-unnecessary-value-param)
  // by value in the interface
  m_log.Debug("KQBitMapOps::MergeAndSaveBMToFile", "not supported on unix");
  return false;
}

// ---------------------------------------------------------------------------
// The driver

bool KQBitMapOps::InitAndValidateVolObject(const std::string& displayName) {
  bool result = true;
  if (m_volume == nullptr) {
    // Stored only once set up: a volume object whose setup throws would have
    // no volume name, and every later driver operation would fail on it.
    std::unique_ptr<KQVolume> volume(new KQVolumeUnix(kControlDevice));
    if (volume->IsValid() == 1) {
      volume->setClntDisplayName(displayName);
      volume->setVolumeName(m_volName);
    }
    m_volume = volume.release();
  }
  if (m_volume == nullptr || m_volume->IsValid() == 0) {
    m_log.Debug("KQBitMapOps::InitAndValidateVolObject", "Failed to create KQVolume object");
    result = false;
  }
  return result;
}

namespace {

// Allocates a zeroed buffer of the size the driver reports for `type`, for a
// retrieval that was given none. The buffer is the caller's from the moment
// it is stored.
bool AllocateForType(KQVolume& volume, EvDebug& log, const char* tag, KQVBitmapType type,
                     unsigned char** bitmap, unsigned long* size) {
  KQVolumeInfo info;
  std::memset(&info, 0, sizeof info);
  if (volume.GetVolInfo(&info) == 0) {
    log.Debug(tag, "ZRBFGetVolInfo Failed: %s", volume.GetErrorString().c_str());
    return false;
  }
  uint64_t bytes = 0;
  switch (static_cast<int>(type)) {
    case 0:
      bytes = info.incrBitmapSize;
      break;
    case 1:
      bytes = info.fullBitmapSize;
      break;
    case 2:
      bytes = info.auxBitmapSize;
      break;
    default:
      log.Debug(tag, "Unknown Bitmap Type. Returning failure.");
      return false;
  }
  *size = bytes;
  *bitmap = NewBitmap(bytes, true);
  return true;
}

// The two retrievals after their volume object is ready: sized from the
// volume information when given no buffer, fetched with `fetch`, and the
// volume object gone after a success. Both log under one tag.
bool Retrieve(KQVolume*& volume, EvDebug& log, KQVBitmapType type, unsigned char** bitmap,
              unsigned long* size, bool flag,
              bool (KQVolume::*fetch)(KQVBitmapType, unsigned char*, unsigned long, bool)) {
  const char* tag = "KQBitMapOps::GetBMFromDriver";
  if (*bitmap == nullptr && !AllocateForType(*volume, log, tag, type, bitmap, size)) return false;
  if (!(volume->*fetch)(type, *bitmap, *size, flag)) return false;
  delete volume;
  volume = nullptr;
  return true;
}

}  // namespace

bool KQBitMapOps::GetBMFromDriver(KQVBitmapType type, unsigned char** bitmap, unsigned long* size,
                                  bool flag) {
  if (!InitAndValidateVolObject(std::string()) || m_volume == nullptr) return false;
  return Retrieve(m_volume, m_log, type, bitmap, size, flag, &KQVolume::GetBitmap);
}

bool KQBitMapOps::GetAndClearBMFromDriver(KQVBitmapType type, unsigned char** bitmap,
                                          unsigned long* size, bool flag,
                                          const std::string& displayName) {
  if (!InitAndValidateVolObject(displayName) || m_volume == nullptr) return false;
  return Retrieve(m_volume, m_log, type, bitmap, size, flag, &KQVolume::GetAndClearBitmap);
}

bool KQBitMapOps::ClearBMOnDriver(KQVBitmapType type) {
  if (!InitAndValidateVolObject(std::string()) || m_volume == nullptr) return false;
  if (!m_volume->ClearBitmap(type)) {
    m_log.Debug("KQBitMapOps::ClearBMOnDriver", "Failed to clear bmaptype=%d",
                static_cast<int>(type));
    return false;
  }
  delete m_volume;
  m_volume = nullptr;
  return true;
}

bool KQBitMapOps::MergeAndWriteBMOntoDriver(KQVBitmapType type, unsigned char* bitmap,
                                            unsigned long size) {
  const char* tag = "KQBitMapOps::MergeAndWriteBMOntoDriver";
  if (bitmap == nullptr || size == 0) {
    m_log.Debug(tag, "Input BM is NULL or Size is zero. Returning false.");
    return false;
  }
  if (type != KQV_BITMAP_INCR && type != KQV_BITMAP_FULL && type != KQV_BITMAP_AUX) {
    m_log.Debug(tag, "Unknown Bitmap Type. Returning false.");
    return false;
  }
  if (!InitAndValidateVolObject(std::string()) || m_volume == nullptr) return false;

  // The volume object goes whatever happens below, even if the library throws.
  std::unique_ptr<KQVolume> volume(m_volume);
  m_volume = nullptr;
  bool result = volume->MergeBitmap(type, bitmap, size);
  if (!result) {
    m_log.Debug(tag, "Failed to Merge Bitmaps, Marking bitmap as dirty.Err: %s ",
                volume->GetErrorString().c_str());
    result = volume->MarkBitmapDirty(type, 0);
    if (!result) {
      m_log.Debug(tag, "Failed to Mark Bitmaps as dirty .Err: %s ",
                  volume->GetErrorString().c_str());
    }
  }
  return result;
}

// ---------------------------------------------------------------------------
// Backup levels and replication

// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
bool KQBitMapOps::ManipulateBitmap(int /*param1*/, int /*param2*/, int /*param3*/,
                                   std::string /*fileName*/) {
  // NOLINTEND(performance-unnecessary-value-param)
  // by value in the interface
  m_log.Debug("KQBitMapOps::ManipulateBitmap", "not supported on UNIX");
  return true;
}

// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
bool KQBitMapOps::ManipulateBitmap(int iOffset, KQBkpLevel level, std::string fileName) {
  // NOLINTEND(performance-unnecessary-value-param)
  // by value in the interface
  const char* tag = "KQBitMapOps::ManipulateBitmap";
  std::unique_ptr<unsigned char[]> owned;
  unsigned char* bitmap = nullptr;
  unsigned long size = 0;
  unsigned char header = 0;

  // Every path logs its one line with the volume name and, on failure, returns false.
  auto fail = [&](const char* message) {
    m_log.Debug(tag, message, GetVolName().c_str());
    return false;
  };
  // The buffer is ours from the moment a retrieval stored it, whatever the result.
  auto fetch = [&](KQVBitmapType type) {
    bool ok = GetBMFromDriver(type, &bitmap, &size, false);
    owned.reset(bitmap);
    return ok;
  };
  // Every file step addresses the file named when the call began.
  const std::string defaultName = m_defaultBitmapFileName;

  if (fileName.empty()) {
    if (level == BKP_LEVEL_DELETE_BM) {
      if (!DeleteBMFile(std::string())) return fail("Failed to DeleteBMFile for vol %s");
    } else if (level == BKP_LEVEL_SAVE_INCR_BM || level == BKP_LEVEL_SAVE_FULL_BM) {
      if (!fetch(level == BKP_LEVEL_SAVE_FULL_BM ? KQV_BITMAP_FULL : KQV_BITMAP_INCR)) {
        return fail("Failed to GetBMFromDriver  vol %s");
      }
      if (FileExists(defaultName)) {
        if (!MergeAndSaveBMToFile(bitmap, size, std::string())) {
          return fail("Failed to MergeAndSaveBMToFile vol %s");
        }
      } else if (!SaveBMToFile(bitmap, size, &header, std::string())) {
        return fail("Failed to SaveBMToFile for  vol %s");
      }
    }
  } else {
    // Level 4 fetches the full bitmap; every other level the incremental one,
    // which keeps the level-1 and other-level rows of a named file reachable.
    if (!fetch(level == BKP_LEVEL_SAVE_FULL_BM ? KQV_BITMAP_FULL : KQV_BITMAP_INCR)) {
      return fail("Failed to GetBMFromDriver  vol %s");
    }
    if (!FileExists(defaultName)) {
      if (!SaveBMToFile(bitmap, size, &header, std::string())) {
        return fail("Failed to SaveBMToFile for vol %s");
      }
    } else if (iOffset == -1) {
      if (!ReadBMFromFileAndMerge(bitmap, size, std::string(), 0)) {
        return fail("Failed to ReadBMFromFileAndMerge for  vol %s");
      }
      if (!SaveBMToFile(bitmap, size, &header, std::string())) {
        return fail("Failed to SaveBMToFile for  vol %s");
      }
    } else if (iOffset == 0) {
      if (level == BKP_LEVEL_SAVE_INCR_BM) {
        if (!MergeAndSaveBMToFile(bitmap, size, std::string())) {
          return fail("Failed to MergeAndSaveBMToFile vol %s");
        }
      } else if (level == BKP_LEVEL_DELETE_BM) {
        m_log.Debug(tag, "No Action taken on the bitmap for vol %s", GetVolName().c_str());
      }
    } else if (iOffset < 0) {
      return fail("iOffset is neither 0 nor -1 nor > 0. Failing for vol %s");
    } else {
      if (!ReadBMFromFileAndMerge(bitmap, size, std::string(defaultName),
                                  static_cast<unsigned long>(iOffset))) {
        return fail("Failed to ReadBMFromFileAndMerge for  vol %s");
      }
      if (!SaveBMToFile(bitmap, size, &header, std::string())) {
        return fail("Failed to SaveBMToFile for vol %s");
      }
    }
  }

  if (level != BKP_LEVEL_SAVE_FULL_BM && !ClearBMOnDriver(KQV_BITMAP_AUX)) {
    return fail("Failed to ClearBMOnDriver for vol %s");
  }
  owned.reset();
  m_log.Debug(tag, "Manipulations success for vol %s", GetVolName().c_str());
  return true;
}

bool KQBitMapOps::IsAsyncMirror(int SNRVolId) {
  ReplicaDBClient client(4);
  GetReplicationVolumeList42Ret_t list;
  if (!client.GetReplicationVolumeList(list)) {
    m_log.Debug("KQBitMapOps::IsAsyncMirror",
                "Failed to Find if the Dest Vol is a existing Async Mirror, SNRVolId = %d",
                SNRVolId);
    return false;
  }
  for (const ReplicationVolumeRecord42_t& record : list.volumes) {
    if (record.volumeId == SNRVolId && record.replicationType == 3) return true;
  }
  return false;
}

// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
bool KQBitMapOps::FigureOutSNRIdFromVolName(std::string /*volumeName*/, int* /*SNRVolId*/) {
  // NOLINTEND(performance-unnecessary-value-param)
  return false;
}

// ---------------------------------------------------------------------------
// Backup preparation

bool KQBitMapOps::SaveFileForFailure(KQVBitmapType /*type*/, unsigned long size,
                                     std::string fileName) {
  const char* tag = "KQBitMapOps::SaveFileForFailure";
  if (fileName.empty()) fileName = m_defaultBitmapFileName;
  const char* name = fileName.c_str();

  FileReplacement file(fileName);
  if (!file.Open()) {
    m_log.Debug(tag, "Failed to open the Bitmap File %s.  error %d", name, errno);
    return false;
  }
  std::unique_ptr<unsigned char, FreeDeleter> ones(
      static_cast<unsigned char*>(std::malloc(size != 0 ? size : 1)));
  if (!ones) {
    m_log.Debug(tag, "Failed to allocate Memory=%s error no=%d", name, errno);
    return false;
  }
  std::memset(ones.get(), 0xFF, size);
  return WriteAndCommit(file, m_log, tag, name, ones.get(), size);
}

// NOLINTBEGIN(performance-unnecessary-value-param): by value in the interface
bool KQBitMapOps::DoBitmapDump(KQVBitmapType type, std::string volume, bool clearOnDriver) {
  // NOLINTEND(performance-unnecessary-value-param)
  const char* tag = "KQVIProxyScan::DoBitmapDump";
  const char* vol = volume.c_str();

  if (getVolName(volume).empty()) {
    m_log.Debug(tag, "Failed to get volnamepath for=%s", vol);
    return false;
  }
  if (!InitAndValidateVolObject(std::string()) || m_volume == nullptr) {
    m_log.DebugLvl(tag, 1, "Failed to initialize KQVolume");
    return false;
  }
  KQVolumeInfo info;
  std::memset(&info, 0, sizeof info);
  if (m_volume->GetVolInfo(&info) == 0) {
    m_log.DebugLvl(tag, 1, "Failed to get volume information");
    return false;
  }
  const unsigned long fullSize = info.fullBitmapSize;
  const unsigned long incrSize = info.incrBitmapSize;
  // The driver fills an incremental-size buffer that is merged and saved at
  // the full size; with the two apart either bits would be dropped or bytes
  // past the buffer touched, so the dump is refused before anything is fetched.
  if (fullSize != incrSize) {
    m_log.Debug(tag, "Full bitmap size %lu differs from incremental size %lu. Cannot dump %s",
                fullSize, incrSize, vol);
    return false;
  }
  // A larger type-2 bitmap would be cleared whole but dumped only in part.
  if (type == KQV_BITMAP_AUX && info.auxBitmapSize > incrSize) {
    m_log.Debug(tag, "Bitmap size %lu of type %d exceeds the dump size %lu. Cannot dump %s",
                static_cast<unsigned long>(info.auxBitmapSize), static_cast<int>(type), incrSize,
                vol);
    return false;
  }
  if (!MutateDefaultBitMapFileName(type == KQV_BITMAP_INCR ? "incr-tmp" : "full-tmp")) {
    return false;
  }

  std::unique_ptr<unsigned char[]> disk;
  unsigned char diskHeader = 0;
  if (FileExists(m_defaultBitmapFileName)) {
    disk.reset(NewBitmap(fullSize, true, true));
    if (!disk) {
      m_log.Debug(tag, "Memory allocation for pDiskBM Failed for size  %lu", fullSize);
      return false;
    }
    if (!ReadBMFromFile(disk.get(), fullSize, &diskHeader, std::string())) {
      m_log.Debug(tag, "Error Reading Existing Image EKT Bitmapof Volume %s", vol);
      return false;
    }
    m_log.Debug(tag, "Read Existing Image EKT Bitmap of Volume %s ", vol);
  }

  m_log.Debug(tag, "Trying to get Bitmap  From Driver  for Vol %s ", vol);
  std::unique_ptr<unsigned char[]> driverBM(NewBitmap(incrSize, false));
  // Clearing in the same step as the fetch: a write landing between a fetch
  // and a later clear would be cleared without being in the dump.
  bool fetched = clearOnDriver ? m_volume->GetAndClearBitmap(type, driverBM.get(), incrSize, false)
                               : m_volume->GetBitmap(type, driverBM.get(), incrSize, false);
  if (!fetched) {
    m_log.Debug(tag, "GetBMFromDriver failed for %s", vol);
    return false;
  }

  // Once the driver's copy is cleared, a failure below must hand the bits back.
  auto giveBack = [&]() {
    if (!clearOnDriver) return;
    // A replaced step may have used and released the volume object meanwhile.
    if (m_volume == nullptr && (!InitAndValidateVolObject(std::string()) || m_volume == nullptr)) {
      m_log.Debug(tag, "Failed to give the fetched bitmap back to the driver for %s: %s", vol,
                  "no volume object");
    } else if (m_volume->MergeBitmap(type, driverBM.get(), incrSize)) {
      m_log.Debug(tag, "Gave the fetched bitmap back to the driver for %s", vol);
    } else if (m_volume->MarkBitmapDirty(type, 0)) {
      m_log.Debug(tag, "Marked the driver bitmap dirty for %s", vol);
    } else {
      m_log.Debug(tag, "Failed to give the fetched bitmap back to the driver for %s: %s", vol,
                  m_volume->GetErrorString().c_str());
    }
  };

  try {
    if (disk && !MergeBM(driverBM.get(), fullSize, disk.get(), fullSize)) {
      m_log.Debug(tag, "MergeBM failed for %s", vol);
      giveBack();
      return false;
    }
    if (!SaveBMToFile(driverBM.get(), fullSize, &info.dumpHeader, std::string())) {
      m_log.Debug(tag, "SaveBMToFile failed for %s", vol);
      giveBack();
      return false;
    }
  } catch (...) {
    // Not handled here, only kept from taking the fetched bits with it.
    giveBack();
    throw;
  }
  m_log.Debug(tag, "Saved Bitmap for %s", vol);
  return true;
}

bool KQBitMapOps::GetBitMap(KQVBitmapType type, const char* bitmapName, unsigned long size,
                            unsigned char** mergedBitmap) {
  const char* tag = "KQBitMapOps::GetBitMap";
  EvDebug log(nullptr);

  if (!InitAndValidateVolObject(std::string())) return false;
  if (!MutateDefaultBitMapFileName(bitmapName)) return false;
  log.DebugLvl(tag, 1, "Initialized default bitmatp name");

  std::unique_ptr<unsigned char[]> disk(NewBitmap(size, true));
  unsigned char header = 0;
  if (!ReadBMFromFile(disk.get(), size, &header, std::string())) {
    log.DebugLvl(tag, 1, "Failed to Read BM From file");
    return false;
  }
  log.DebugLvl(tag, 1, "Printing Disk BM");
  LogBytes(log, tag, disk.get(), size);
  *mergedBitmap = NewBitmap(size, true);

  if (!GetBMFromDriver(type, mergedBitmap, &size, false)) {
    log.DebugLvl(tag, 1, "Failed to get BM from driver");
    return false;
  }
  log.DebugLvl(tag, 1, "Got BM from driver");
  log.DebugLvl(tag, 1, "Printing Driver BM");
  LogBytes(log, tag, *mergedBitmap, size);

  if (!MergeBM(*mergedBitmap, size, disk.get(), size)) {
    log.DebugLvl(tag, 1, "Failed to Merge BM");
    return false;
  }
  log.DebugLvl(tag, 1, "Printing Merged BM");
  LogBytes(log, tag, *mergedBitmap, size);
  return true;
}

bool KQBitMapOps::DoBitmapFormalities(KQVBitmapType type, const char* bitmapName,
                                      const char* restartName, bool nameIsPath) {
  const char* tag = "KQBitMapOps::DoBitmapFormalities";
  m_log.debugBreak("/tmp/DoBitMap.afterentering", nullptr, 0, 0, true);
  m_log.Debug(tag, "Bitmap File Name:%s ", bitmapName);

  if (!InitAndValidateVolObject(std::string()) || m_volume == nullptr) {
    m_log.DebugLvl(tag, 1, "Failed to initialize KQVolume");
    return false;
  }
  m_log.Debug(tag, "Initialized KQVolume");

  KQVolumeInfo info;
  std::memset(&info, 0, sizeof info);
  if (m_volume->GetVolInfo(&info) == 0) {
    m_log.Debug(tag, "Failed to get volume information");
    return false;
  }
  m_log.Debug(tag, "Obtained volume information");
  unsigned long size = info.incrBitmapSize;

  if (nameIsPath) {
    m_defaultBitmapFileName = bitmapName;
  } else if (!MutateDefaultBitMapFileName(bitmapName)) {
    return false;
  }
  m_log.Debug(tag, "Initialized default bitmatp name");

  std::unique_ptr<unsigned char[]> disk;
  const unsigned long diskSize = size;
  unsigned char diskHeader = 0;
  if (!FileExists(m_defaultBitmapFileName)) {
    m_log.Debug(tag, "BM on disk does not exist");
  } else {
    m_log.Debug(tag, "BM on disk exist");
    disk.reset(NewBitmap(diskSize, true));
    if (!ReadBMFromFile(disk.get(), diskSize, &diskHeader, std::string())) return false;
  }

  unsigned char* fetched = nullptr;
  bool got = GetAndClearBMFromDriver(type, &fetched, &size, false, std::string());
  std::unique_ptr<unsigned char[]> driverBM(fetched);
  if (!got) {
    m_log.Debug(tag, "Failed to get and clear BM from driver");
    return false;
  }
  // From here until the bitmap file holds the merge, the driver's changes
  // live only in these buffers: any failure hands them back to the driver.
  // The driver bitmap stays as fetched and is the restart bitmap: with equal
  // sizes the file's bitmap takes the merge (OR is symmetric), which spares a
  // third bitmap and its copy; otherwise the merge goes into a copy.
  unsigned char* const asFetched = driverBM.get();
  unsigned char* merged = asFetched;
  std::unique_ptr<unsigned char[]> copy;
  auto giveBack = [&]() {
    if (size == 0) return;  // nothing was taken over
    if (MergeAndWriteBMOntoDriver(type, asFetched, size)) {
      m_log.Debug(tag, "Gave the bitmap from driver back to the driver");
    } else {
      m_log.Debug(tag, "Failed to give the bitmap from driver back to the driver");
    }
  };
  try {
    m_log.Debug(tag, "Got BM from driver");
    m_log.Debug(tag, "Printing Driver BM");
    LogBytes(m_log, tag, asFetched, size);

    m_log.Debug(tag, "Merge Disk BM with BM from Driver");
    bool mergedOk = true;
    if (disk && diskSize == size) {
      mergedOk = MergeBM(disk.get(), diskSize, asFetched, size);
      merged = disk.get();
    } else if (disk) {
      copy.reset(NewBitmap(size, false));
      std::memcpy(copy.get(), asFetched, size);
      mergedOk = MergeBM(copy.get(), size, disk.get(), diskSize);
      merged = copy.get();
    }
    if (!mergedOk) {
      m_log.Debug(tag, "Failed to Merge BM");
      giveBack();
      return false;
    }
    m_log.Debug(tag, "Merge done");
    m_log.Debug(tag, "Saving Merged  bitmap to file");
    if (!SaveBMToFile(merged, size, &info.bitmapHeader, std::string())) {
      giveBack();
      return false;
    }
  } catch (...) {
    // Not handled here, only kept from taking the changes with it.
    giveBack();
    throw;
  }
  m_log.debugBreak("/tmp/DoBitMap.afterwritingmergedbm", nullptr, 0, 0, true);
  m_log.Debug(tag, "Printing Mergerd BM");
  LogBytes(m_log, tag, merged, size);
  m_log.Debug(tag, "Printing Restarted BM");
  LogBytes(m_log, tag, asFetched, size);

  if (restartName != nullptr) {
    if (!MutateDefaultBitMapFileName(restartName)) {
      m_log.Debug(tag, "Failed to initialize restart bitmap file");
      return false;
    }
    m_log.Debug(tag, "Saving restart bitmap to file");
    if (!SaveBMToFile(asFetched, size, &info.bitmapHeader, std::string())) {
      m_log.Debug(tag, "Failed to save restart bitmap to file");
      return false;
    }
    m_log.debugBreak("/tmp/DoBitMap.afterwritingresterbm", nullptr, 0, 0, true);
  }
  disk.reset();
  copy.reset();
  driverBM.reset();
  m_log.debugBreak("/tmp/DoBitMap.beforereturn", nullptr, 0, 0, true);
  return true;
}
