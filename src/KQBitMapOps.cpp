#include <kqbitmapops/KQBitMapOps.h>

#include <KQVolumeUnix.h>
#include <ReplicaDBClient.h>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <memory>
#include <new>

#include "KqFileLayer.h"
#include "KqLogAdapter.h"

namespace {

const char kBitmapDir[] = "/etc/tessel/.";
const char kDefaultSuffix[] = "_YBVolBitmap";
const char kControlDevice[] = "/dev/zrbf/ctrl";
// Longest last path component that names a bitmap file.
constexpr std::size_t kMaxComponent = 1023;

struct FreeDeleter {
  void operator()(unsigned char* p) const noexcept { std::free(p); }
};

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

// OrInto, for large bitmaps on two threads: an OR is bound by memory
// bandwidth, which one core alone does not use up.
void OrIntoBoth(unsigned char* target, const unsigned char* other, std::size_t n) noexcept {
  constexpr std::size_t kSplitFrom = std::size_t{32} << 20;
  if (n >= kSplitFrom) {
    const std::size_t half = n / 2 / 64 * 64;
    try {
      auto rest = std::async(std::launch::async, OrInto, target + half, other + half, n - half);
      OrInto(target, other, half);
      rest.wait();
      return;
    } catch (...) {
      // No thread to spare: nothing was merged yet.
    }
  }
  OrInto(target, other, n);
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
    OrIntoBoth(target + from, other + from, to - from);
    return;
  }
  for (std::size_t i = to; i-- > from;) target[i] |= other[i];
}

// The class's own virtual functions in slot order, as the Itanium C++ ABI
// lays them out, as it does the slot order itself: an object's first word
// points at them while the class's own constructor runs (a derived class's
// constructor points it at its own table afterwards), so that constructor
// keeps the pointer here.
std::atomic<void* const*> g_ownSlots{nullptr};

// True when the object runs the class's own `step`, which no derived class
// replaced: a workflow may then take the step's work into its own hands
// (stream a file instead of reading it whole) with the same result. A pointer
// to a virtual member function holds 1 + the slot's byte offset.
template <typename Step>
bool OwnStep(const KQBitMapOps& ops, Step step) noexcept {
  std::ptrdiff_t words[2];
  static_assert(sizeof step == sizeof words, "Itanium member function pointer");
  std::memcpy(words, &step, sizeof words);
  const auto slot = static_cast<std::size_t>(words[0] - 1) / sizeof(void*);
  void* const* const table = *reinterpret_cast<void* const* const*>(&ops);
  void* const* const own = g_ownSlots.load(std::memory_order_relaxed);
  return own != nullptr && table[slot] == own[slot];
}

// Whether a workflow streams the bitmap file into the bitmap it merges into
// (one bitmap in memory) rather than reading it whole through its read step
// and merging it through its merge step: only where both are the class's own.
bool Streams(const KQBitMapOps& ops) noexcept {
  return OwnStep(ops, &KQBitMapOps::ReadBMFromFile) && OwnStep(ops, &KQBitMapOps::MergeBM);
}

// Logs a bitmap byte by byte at level 2; one level check instead of one call
// per byte. The index is printed whole, also past 2^31 bytes.
void LogBytes(EvDebug& log, const char* tag, const unsigned char* bitmap, unsigned long size) {
  if (!kqlogadapter::DetailEnabled()) return;
  for (unsigned long i = 0; i < size; ++i) {
    log.DebugLvl(tag, 2, "Byte %lu : %u", i, static_cast<unsigned>(bitmap[i]));
  }
}

constexpr std::size_t kHuge = std::size_t{2} << 20;
constexpr std::size_t kMapInFrom = 3 * kHuge;

// Maps a large buffer in before its first use, on huge pages while they come
// cheap. A huge page costs a fraction of the 512 small ones it replaces when
// the kernel has it at hand, but many times as much when it must first
// compact memory for it, or when the hypervisor must first back it again
// (memory left free for a while is handed back to the host on some virtual
// machines); what a large buffer gets after the ready ones run out is the
// latter. So the buffer is mapped a stretch at a time, and the first stretch
// slower than small pages would have been ends the advice for the rest. A
// kernel without MADV_POPULATE_WRITE maps nothing here: the first touch
// faults the pages in as before; smaller buffers fault in as they are touched.
void MapIn(unsigned char* buffer, std::size_t n) noexcept {
  constexpr std::size_t kStretch = std::size_t{8} << 20;
  // Small pages map about 1 MiB a millisecond or faster; slower stretches are
  // paying for compaction or for the host.
  constexpr auto kSlowPerStretch = std::chrono::microseconds(kStretch >> 20 << 10);
  const std::size_t skip = (kHuge - reinterpret_cast<std::uintptr_t>(buffer) % kHuge) % kHuge;
  if (n < kMapInFrom || n < skip + 2 * kHuge) return;
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

// The buffer a bitmap file is read into, placed one byte past a cache line:
// behind the file's header byte, each page of the file then lands on whole
// cache lines, which the kernel copies two to four times as fast as into
// the buffer array new gives (1 GiB: 0.1 s instead of 0.35 s here).
class FileBitmap {
 public:
  // Zero-filled. False when an allocation asked with `orNull` failed;
  // otherwise a failure throws, as NewBitmap.
  bool Allocate(std::size_t n, bool orNull = false) {
    // A size with no room for the line left over is asked for as it is:
    // array new refuses it as it would any size it cannot give.
    const std::size_t room = n <= SIZE_MAX - kLine ? kLine : 0;
    owner_.reset(NewBitmap(n + room, true, orNull));
    if (!owner_) return false;
    const auto at = reinterpret_cast<std::uintptr_t>(owner_.get());
    bits_ = owner_.get() + (room == 0 ? 0 : (kLine + 1 - at % kLine) % kLine);
    return true;
  }
  unsigned char* get() const { return bits_; }
  explicit operator bool() const { return bits_ != nullptr; }
  void reset() {
    owner_.reset();
    bits_ = nullptr;
  }

 private:
  static constexpr std::size_t kLine = 64;
  std::unique_ptr<unsigned char[]> owner_;
  unsigned char* bits_ = nullptr;
};

// Lends an object to the steps this thread runs while it lives: a workflow
// prepares it, and the step it was made for takes it, once. A replaced step
// that never asks leaves it to be released with the workflow.
template <typename T>
class Lent {
 public:
  explicit Lent(T* object) noexcept : object_(object) { current_ = object; }
  ~Lent() {
    if (current_ == object_) current_ = nullptr;
  }
  Lent(const Lent&) = delete;
  Lent& operator=(const Lent&) = delete;

  // The object lent on this thread when `fits` accepts it; null otherwise.
  template <typename Fits>
  static T* Take(Fits fits) {
    T* object = current_;
    if (object == nullptr || !fits(*object)) return nullptr;
    current_ = nullptr;
    return object;
  }

 private:
  static thread_local T* current_;
  T* object_;
};
template <typename T>
thread_local T* Lent<T>::current_ = nullptr;

// A bitmap buffer (NewBitmap) mapped in on a second thread while this one
// maps and reads the bitmap file: at large sizes a fresh buffer costs about
// as much as that read, mostly in page faults, which either core can take.
// Without a second thread, for a small buffer, or when there is nothing to
// do beside it (`beside` false), it is made when taken.
class BufferAside {
 public:
  BufferAside(std::size_t n, bool zero, bool beside = true) : size_(n), zero_(zero) {
    if (!beside || n < kMapInFrom) return;
    try {
      made_ = std::async(std::launch::async, [n, zero] { return NewBitmap(n, zero); });
    } catch (...) {
      // No thread to spare.
    }
  }
  ~BufferAside() {
    if (!made_.valid()) return;
    try {
      delete[] made_.get();
    } catch (...) {
      // Its allocation failed: nothing to release.
    }
  }
  BufferAside(const BufferAside&) = delete;
  BufferAside& operator=(const BufferAside&) = delete;

  // The buffer, the caller's from now on (array delete); throws as
  // NewBitmap does.
  unsigned char* Take() { return made_.valid() ? made_.get() : NewBitmap(size_, zero_); }
  std::size_t size() const { return size_; }
  bool zero() const { return zero_; }

 private:
  const std::size_t size_;
  const bool zero_;
  std::future<unsigned char*> made_;
};

// Owns the buffer a retrieval allocates through its out-parameter from the
// moment it is stored there, so a retrieval that throws leaks nothing.
class OutBuffer {
 public:
  OutBuffer() = default;
  ~OutBuffer() { delete[] p_; }
  OutBuffer(const OutBuffer&) = delete;
  OutBuffer& operator=(const OutBuffer&) = delete;
  unsigned char** out() { return &p_; }
  unsigned char* get() const { return p_; }
  unsigned char* release() {
    unsigned char* p = p_;
    p_ = nullptr;
    return p;
  }

 private:
  unsigned char* p_ = nullptr;
};

// The size the volume information gives for the driver bitmap of `type`;
// false for a type it does not know.
bool TypeSize(const KQVolumeInfo& info, KQVBitmapType type, unsigned long* size) {
  switch (static_cast<int>(type)) {
    case 0:
      *size = info.incrBitmapSize;
      return true;
    case 1:
      *size = info.fullBitmapSize;
      return true;
    case 2:
      *size = info.auxBitmapSize;
      return true;
    default:
      return false;
  }
}

// Puts bits that were taken off the driver back: merged into its bitmap,
// or, when that did not certainly happen (it failed or threw), the bitmap
// marked dirty so the next backup is a full one. Each attempt is made once
// and nothing is thrown. True when the bits are safe; otherwise the job is
// told, in the one line that matters, to run a full backup.
bool GiveBack(KQVolume* volume, EvDebug& log, const char* tag, const char* vol, KQVBitmapType type,
              unsigned char* bits, unsigned long size) {
  if (volume != nullptr && bits != nullptr && size != 0) {
    bool merged = false;
    try {
      merged = volume->MergeBitmap(type, bits, size);
    } catch (...) {  // NOLINT(bugprone-empty-catch): marking dirty below covers it
    }
    if (merged) {
      log.Debug(tag, "Gave the fetched bitmap back to the driver for %s", vol);
      return true;
    }
  }
  bool dirty = false;
  std::string why = "no volume object";
  if (volume != nullptr) {
    try {
      dirty = volume->MarkBitmapDirty(type, 0);
      if (!dirty) why = volume->GetErrorString();
    } catch (const std::exception& e) {
      why = e.what();
    } catch (...) {
      why = "unknown exception";
    }
  }
  if (dirty) {
    log.Debug(tag, "Marked the driver bitmap dirty for %s", vol);
    return true;
  }
  log.Debug(tag,
            "Failed to give the fetched bitmap back to the driver for %s or to mark it dirty: "
            "changes may be lost, the next backup must be a full backup: %s",
            vol, why.c_str());
  return false;
}

// The bitmap files the workflow running on this thread works on, each
// resolved once: a file step given one of their names addresses the file
// resolved for it, so a link swapped in the middle of a call cannot split
// the lock from the file it replaces. Nested, for a replaced step that runs
// a workflow of its own.
class InWorkflow {
 public:
  explicit InWorkflow(const kqfile::BitmapFile& file) noexcept : file_(file), outer_(top_) {
    top_ = this;
  }
  ~InWorkflow() { top_ = outer_; }
  InWorkflow(const InWorkflow&) = delete;
  InWorkflow& operator=(const InWorkflow&) = delete;

  // The resolved file of that name, or null.
  static const kqfile::BitmapFile* Find(const std::string& name) noexcept {
    for (const InWorkflow* w = top_; w != nullptr; w = w->outer_) {
      if (w->file_.name() == name) return &w->file_;
    }
    return nullptr;
  }

 private:
  static thread_local const InWorkflow* top_;
  const kqfile::BitmapFile& file_;
  const InWorkflow* outer_;
};
thread_local const InWorkflow* InWorkflow::top_ = nullptr;

void LogLockFailure(EvDebug& log, const char* tag, const kqfile::BitmapFile& file,
                    const kqfile::FileLock& lock, int err) {
  const char* name = file.name().c_str();
  const char* refused = "Refused the lock file %s of Bitmap File %s, left untouched: %s";
  char why[96];
  switch (lock.refusal()) {
    case kqfile::Refusal::None:
      log.Debug(tag, "Failed to lock the Bitmap File %s error no=%d", name, err);
      return;
    case kqfile::Refusal::Link:
      std::snprintf(why, sizeof why, "it is a symbolic link");
      break;
    case kqfile::Refusal::NotRegular:
      std::snprintf(why, sizeof why, "it is not a regular file");
      break;
    case kqfile::Refusal::Links:
      std::snprintf(why, sizeof why, "it has %lu links", lock.refusedDetail());
      break;
    case kqfile::Refusal::Owner:
      std::snprintf(why, sizeof why, "its owner is user %lu, neither this job's user nor root",
                    lock.refusedDetail());
      break;
  }
  log.Debug(tag, refused, lock.path().c_str(), name, why);
}

// Takes the lock of a bitmap file for a workflow; says once which file it
// waits for when another job holds it. A failure is logged, or, given
// `failedErr`, its errno kept there for the caller to log later.
bool LockBitmapFile(kqfile::BitmapFile& file, bool exclusive, EvDebug& log, const char* tag,
                    int* failedErr = nullptr) {
  auto onWait = [&] {
    log.Debug(tag, "Waiting for another job to finish with %s", file.name().c_str());
  };
  if (file.lock().Acquire(file.real(), exclusive, onWait)) return true;
  if (failedErr != nullptr) {
    *failedErr = errno;
  } else {
    LogLockFailure(log, tag, file, file.lock(), errno);
  }
  return false;
}

// The volume a take-over record names ("" where it names none): a record
// of a release that wrote no owner line says whose bits the file holds.
std::string RecordVolume(const std::string& record) {
  const std::string::size_type from = record.find(" volume=");
  const std::string::size_type to = record.rfind(" file=");
  if (from == std::string::npos || to == std::string::npos || to < from + 8) return {};
  return record.substr(from + 8, to - from - 8);
}

// One bitmap file, one volume: a file that holds another volume's changes
// is refused before the driver or the file is touched, since merging,
// replacing or deleting it would mix or lose that volume's changes.
bool CheckOwner(const std::string& holder, const std::string& vol, const std::string& file,
                const std::string& lockPath, EvDebug& log, const char* tag) {
  if (holder.empty() || vol.empty() || kqfile::SameVolume(holder, vol)) return true;
  log.Debug(tag,
            "Bitmap File %s holds the changes of volume %s, not of %s. Returning failure: give "
            "each volume bitmap file names of its own (a derived class's "
            "PrepareAbsoluteBitmapFileName), or, once %s is renamed or gone, remove %s",
            file.c_str(), holder.c_str(), vol.c_str(), holder.c_str(), lockPath.c_str());
  return false;
}

// The owner a workflow of `vol` may write: none for an object without a
// volume, or for a name that would not fit on the owner's one line.
bool Claimable(const kqfile::FileLock& lock, const std::string& vol) {
  return lock.Owner().empty() && lock.held() && !vol.empty() && vol.find('\n') == std::string::npos;
}

// The owner check of a locked file: its owner, else the volume of a record
// left in it.
bool CheckLockedOwner(const kqfile::BitmapFile& file, const std::string& vol, EvDebug& log,
                      const char* tag) {
  const kqfile::FileLock& lock = file.lock();
  const std::string holder = lock.Owner().empty() ? RecordVolume(lock.Stale()) : lock.Owner();
  return CheckOwner(holder, vol, file.name(), lock.path(), log, tag);
}

// Records durably, in the lock of the bitmap file, that a take-over into it
// starts: the driver's bits are about to live only in this job's memory.
// The volume is the one whose bits are cleared, the object's own; "was"
// names the file the take-over is to replace, so that a record found beside
// another one tells that the save was done.
bool BeginTakeOver(kqfile::FileLock& lock, EvDebug& log, const char* tag, const std::string& vol,
                   KQVBitmapType type, const kqfile::BitmapFile& file) {
  const std::string was = file.Identity();
  const std::string text = "type=" + std::to_string(static_cast<int>(type)) +
                           (was.empty() ? "" : " was=" + was) + " volume=" + vol +
                           " file=" + file.name() + "\n";
  if (lock.Begin(text)) return true;
  log.Debug(tag, "Failed to record the take-over in %s error no=%d", lock.path().c_str(), errno);
  return false;
}

// The existence test of a workflow: only a proven absence counts as none.
bool ProbeBitmapFile(const kqfile::BitmapFile& file, bool* exists, EvDebug& log, const char* tag) {
  const kqfile::Presence presence = file.Probe();
  if (presence == kqfile::Presence::Unknown) {
    log.Debug(tag, "Failed to test the Bitmap File %s error no=%d", file.name().c_str(), errno);
    return false;
  }
  *exists = presence == kqfile::Presence::Present;
  return true;
}

// Logs why a bitmap file could not be read, in the read step's words.
void LogReadFailure(EvDebug& log, kqfile::BitmapStream::Opened what, const char* name, int err) {
  const char* tag = "KQBitMapOps::ReadBMFromFile";
  switch (what) {
    case kqfile::BitmapStream::Opened::Ok:
      break;
    case kqfile::BitmapStream::Opened::NotRegular:
      log.Debug(tag, "Bitmap File %s is not a regular file. Returning failure", name);
      break;
    case kqfile::BitmapStream::Opened::Open:
      log.Debug(tag, "Failed to open the Bitmap File %s.  error %d", name, err);
      break;
    case kqfile::BitmapStream::Opened::Header:
      log.Debug(tag, "1a:Failed to read from file=%s error no=%d", name, err);
      break;
    case kqfile::BitmapStream::Opened::Short:
      log.Debug(tag, "Failed to read from file=%s error no=%d", name, err);
      break;
  }
}

// Opens a bitmap file as a stream of `n` bitmap bytes, a failure logged as
// the read step logs it.
bool OpenStream(kqfile::BitmapStream& stream, const kqfile::BitmapFile& file, std::size_t n,
                unsigned char* header, EvDebug& log) {
  const kqfile::BitmapStream::Opened opened = stream.Open(file.real(), file.resolved(), n, header);
  LogReadFailure(log, opened, file.name().c_str(), errno);
  return opened == kqfile::BitmapStream::Opened::Ok;
}

// ORs a stream opened by OpenStream into `target`, a read error logged as
// the read step logs it.
bool MergeStream(kqfile::BitmapStream& stream, const kqfile::BitmapFile& file,
                 unsigned char* target, EvDebug& log) {
  if (stream.MergeInto(target, OrInto)) return true;
  LogReadFailure(log, kqfile::BitmapStream::Opened::Short, file.name().c_str(), errno);
  return false;
}

// Creates the new file of a save, logging why it could not be.
bool OpenFile(kqfile::Replacement& file, EvDebug& log, const char* tag, const char* name,
              kqfile::AheadFile* ahead = nullptr) {
  if (file.Open(ahead)) return true;
  const int err = errno;
  if (file.notRegular()) {
    log.Debug(tag, "Bitmap File %s is not a regular file. Returning failure", name);
  } else if (!file.noTempIn().empty()) {
    log.Debug(tag, "Cannot create a new file in directory %s error no=%d", file.noTempIn().c_str(),
              err);
  }
  log.Debug(tag, "Failed to open the Bitmap File %s.  error %d", name, err);
  return false;
}

// Writes an optional header byte and a bitmap into a new file and puts it in
// the target's place, logging the step that failed as the save always has.
bool WriteAndCommit(kqfile::Replacement& file, EvDebug& log, const char* tag, const char* name,
                    const unsigned char* header, const unsigned char* bitmap, std::size_t size) {
  if (!file.adopted() && header != nullptr && !file.Append(header, 1)) {
    log.Debug(tag, "1a:Failed to write to file=%s error no=%d", name, errno);
    return false;
  }
  if (!file.adopted() && !file.Append(bitmap, size)) {
    log.Debug(tag, "Failed to write to file=%s error no=%d", name, errno);
    return false;
  }
  const kqfile::Replacement::Stage stage = file.Commit();
  if (stage == kqfile::Replacement::Stage::Write) {
    log.Debug(tag, "Failed to write to file=%s error no=%d", name, errno);
  } else if (stage == kqfile::Replacement::Stage::Flush) {
    log.Debug(tag, "Failed to flush to file=%s error no=%d", name, errno);
  } else if (stage == kqfile::Replacement::Stage::Rename) {
    log.Debug(tag, "Failed to replace file=%s error no=%d", name, errno);
  }
  return stage == kqfile::Replacement::Stage::Done;
}

// Answers a take-over record that a dead job of this volume left in the
// lock of `file`: the bits it had fetched died with it, so the driver bitmap
// it took them from is marked dirty (a full backup next time) before
// anything else happens; every bitmap where the record does not say which.
// False (logged) when that fails; the record then stays for the next call.
// `volume` is the object's member, read once `ops` set it up.
bool RecoverInterrupted(KQBitMapOps& ops, KQVolume* const& volume, kqfile::BitmapFile& bitmap,
                        EvDebug& log, const char* tag) {
  kqfile::FileLock& lock = bitmap.lock();
  const std::string& file = bitmap.name();
  if (lock.Stale().empty()) return true;
  // Another file in place than the one the take-over was to replace: its
  // save was done, and the bits it took are in the file.
  const std::string::size_type at = lock.Stale().find(" was=");
  if (at != std::string::npos) {
    const std::string was = lock.Stale().substr(at + 5, lock.Stale().find(' ', at + 5) - at - 5);
    const std::string now = bitmap.Identity();
    if (!now.empty() && now != "none" && now != was) {
      log.Debug(tag, "Found a take-over into %s that ended after its save: its changes are there",
                file.c_str());
      lock.End();
      return true;
    }
  }
  int type = -1;
  if (std::sscanf(lock.Stale().c_str(), "type=%d", &type) != 1 ||
      type < static_cast<int>(KQV_BITMAP_INCR) || type > static_cast<int>(KQV_BITMAP_AUX)) {
    type = -1;
  }
  const std::string vol = ops.GetVolName();
  if (type < 0) {
    log.Debug(tag, "Found an interrupted take-over of an unreadable bitmap type of %s into %s",
              vol.c_str(), file.c_str());
  } else {
    log.Debug(tag, "Found an interrupted take-over of bitmap type %d of %s into %s", type,
              vol.c_str(), file.c_str());
  }
  const bool ready = ops.InitAndValidateVolObject(std::string());
  for (int t = KQV_BITMAP_INCR; t <= KQV_BITMAP_AUX; ++t) {
    if ((type < 0 || t == type) && !GiveBack(ready ? volume : nullptr, log, tag, vol.c_str(),
                                             static_cast<KQVBitmapType>(t), nullptr, 0)) {
      return false;
    }
  }
  lock.End();
  return true;
}

// What every workflow on a bitmap file does first: take the file's lock
// (exclusive for writers; EnterLocked once it is held), refuse a file that
// holds another volume's changes, answer a take-over a dead job of this
// volume left in it, and, as a writer, claim a file that has no owner yet
// and remove the new files a killed save left behind.
bool EnterLocked(KQBitMapOps& ops, KQVolume* const& volume, kqfile::BitmapFile& file,
                 const std::string& vol, bool exclusive, EvDebug& log, const char* tag) {
  if (!CheckLockedOwner(file, vol, log, tag) || !RecoverInterrupted(ops, volume, file, log, tag)) {
    return false;
  }
  if (!exclusive) return true;
  if (Claimable(file.lock(), vol) && !file.lock().Claim(vol)) {
    log.Debug(tag, "Failed to record the owner in %s error no=%d", file.lock().path().c_str(),
              errno);
    return false;
  }
  file.RemoveLeftovers();
  return true;
}

bool EnterWorkflow(KQBitMapOps& ops, KQVolume* const& volume, kqfile::BitmapFile& file,
                   const std::string& vol, bool exclusive, EvDebug& log, const char* tag) {
  return LockBitmapFile(file, exclusive, log, tag) &&
         EnterLocked(ops, volume, file, vol, exclusive, log, tag);
}

}  // namespace

// ---------------------------------------------------------------------------
// The object and its names

KQBitMapOps::KQBitMapOps(std::string volumeName, char* reserved)
    : m_volume(nullptr), m_volName(std::move(volumeName)), m_setBitCount(0) {
  g_ownSlots.store(*reinterpret_cast<void* const* const*>(this), std::memory_order_relaxed);
  // Qualified: a derived class's naming is not in place yet while we construct.
  m_defaultBitmapFileName = KQBitMapOps::PrepareAbsoluteBitmapFileName(std::string(), reserved);
}

KQBitMapOps::KQBitMapOps() : m_volume(nullptr), m_setBitCount(0) {
  g_ownSlots.store(*reinterpret_cast<void* const* const*>(this), std::memory_order_relaxed);
}

KQBitMapOps::~KQBitMapOps() {
  delete m_volume;
  m_volume = nullptr;
}

std::string KQBitMapOps::GetVolName() { return m_volName; }

void KQBitMapOps::SetVolName(std::string volumeName) {
  // A volume object is bound to the volume it was made for; kept past a new
  // name it would clear or merge into the old volume under the new files.
  if (m_volume != nullptr && volumeName != m_volName) {
    delete m_volume;
    m_volume = nullptr;
  }
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
  if (header == nullptr || (bitmap == nullptr && size != 0)) {
    m_log.Debug(tag, "Null bitmap or header for %s. Returning failure", fileName.c_str());
    return false;
  }
  m_log.Debug(tag, "Saving bitmap to %s", fileName.c_str());
  // The previous file stays whole until the new one is complete and flushed.
  // A restart file written ahead for exactly these bytes stands in for
  // writing them; AheadFile::Unchanged checks that nobody wrote to them since.
  kqfile::AheadFile* ahead = Lent<kqfile::AheadFile>::Take([&](const kqfile::AheadFile& f) {
    return f.data() == bitmap && f.size() == size && f.header() == *header;
  });
  const kqfile::BitmapFile* known = InWorkflow::Find(fileName);
  kqfile::Replacement file(known != nullptr ? known->real() : fileName,
                           known != nullptr && known->resolved());
  if (!OpenFile(file, m_log, tag, fileName.c_str(), ahead)) return false;
  return WriteAndCommit(file, m_log, tag, fileName.c_str(), header, bitmap, size);
}

bool KQBitMapOps::ReadBMFromFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                                 std::string fileName) {
  const char* tag = "KQBitMapOps::ReadBMFromFile";
  if (fileName.empty()) fileName = m_defaultBitmapFileName;
  const char* name = fileName.c_str();
  if (header == nullptr || (bitmap == nullptr && size != 0)) {
    m_log.Debug(tag, "Null bitmap or header for %s. Returning failure", name);
    return false;
  }

  // Never blocks on a FIFO or a device put where a bitmap file belongs.
  kqfile::ReadHandle file;
  const kqfile::BitmapFile* known = InWorkflow::Find(fileName);
  kqfile::OpenForRead(known != nullptr ? known->real() : fileName, &file,
                      known != nullptr && known->resolved());
  using Opened = kqfile::BitmapStream::Opened;
  if (file.notRegular || !file.fd.valid()) {
    LogReadFailure(m_log, file.notRegular ? Opened::NotRegular : Opened::Open, name, errno);
    return false;
  }
  if (kqfile::ReadFully(file.fd.get(), header, 1) != 1) {
    const int err = errno;
    if (size != 0) std::memset(bitmap, 0, size);  // a bitmap of 0 bytes may have no buffer
    LogReadFailure(m_log, Opened::Header, name, err);
    return false;
  }
  const std::size_t got = size == 0 ? 0 : kqfile::ReadSpan(file.fd.get(), bitmap, size, 1);
  if (got != size) {
    // What did not arrive reads as zero, not as the caller's old bytes.
    const int err = errno;
    std::memset(bitmap + got, 0, size - got);
    LogReadFailure(m_log, Opened::Short, name, err);
    return false;
  }
  return true;
}

bool KQBitMapOps::DeleteBMFile(std::string fileName) {
  const char* tag = "KQBitMapOps::DeleteBMFile";
  if (fileName.empty()) fileName = m_defaultBitmapFileName;
  const char* name = fileName.c_str();
  const kqfile::Presence presence = kqfile::Probe(fileName);
  if (presence == kqfile::Presence::Absent) {
    m_log.Debug(tag, "Bitmap File %s does not exist. Cannot delete. Returning failure", name);
    return false;
  }
  if (presence == kqfile::Presence::Unknown || ::unlink(name) != 0) {
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
  if ((target == nullptr || other == nullptr) && targetSize != 0) {
    m_log.Debug("KQBitMapOps::MergeBM", "Null bitmap. Returning failure.");
    return false;
  }
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
  if ((target == nullptr || other == nullptr) && targetSize != 0) {
    m_log.Debug("KQBitMapOps::MergeBMFromOffset", "Null bitmap. Returning failure.");
    return false;
  }
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
  // A workflow may have had it mapped in beside its file read.
  BufferAside* aside =
      Lent<BufferAside>::Take([&](const BufferAside& b) { return b.size() == bytes && b.zero(); });
  *bitmap = aside != nullptr ? aside->Take() : NewBitmap(bytes, true);
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
  if (bitmap == nullptr || size == nullptr) {
    m_log.Debug("KQBitMapOps::GetBMFromDriver", "Null bitmap or size pointer. Returning failure.");
    return false;
  }
  if (!InitAndValidateVolObject(std::string()) || m_volume == nullptr) return false;
  return Retrieve(m_volume, m_log, type, bitmap, size, flag, &KQVolume::GetBitmap);
}

bool KQBitMapOps::GetAndClearBMFromDriver(KQVBitmapType type, unsigned char** bitmap,
                                          unsigned long* size, bool flag,
                                          const std::string& displayName) {
  if (bitmap == nullptr || size == nullptr) {
    m_log.Debug("KQBitMapOps::GetBMFromDriver", "Null bitmap or size pointer. Returning failure.");
    return false;
  }
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
  OutBuffer owned;  // the retrieval's buffer is ours from its allocation on
  unsigned long size = 0;
  unsigned char header = 0;

  // Every path logs its one line with the volume name and, on failure, returns false.
  auto fail = [&](const char* message) {
    m_log.Debug(tag, message, GetVolName().c_str());
    return false;
  };
  // Level 4 fetches the full bitmap; every other level the incremental one,
  // which keeps the level-1 and other-level rows of a named file reachable.
  const KQVBitmapType fetchType =
      level == BKP_LEVEL_SAVE_FULL_BM ? KQV_BITMAP_FULL : KQV_BITMAP_INCR;
  const bool fetches =
      !fileName.empty() || level == BKP_LEVEL_SAVE_INCR_BM || level == BKP_LEVEL_SAVE_FULL_BM;
  auto fetch = [&]() { return GetBMFromDriver(fetchType, owned.out(), &size, false); };
  // Every file step addresses the file named when the call began.
  const std::string defaultName = m_defaultBitmapFileName;
  kqfile::BitmapFile file(defaultName);
  const InWorkflow working(file);
  bool exists = false;

  // Serialised with every other workflow on this bitmap file, before the
  // file is changed. Where its directory is missing (or its name empty)
  // there is nothing to serialise: the steps go on and their own failures
  // say why, unless a lock can be had before a later file step.
  bool entered = !fetches && level != BKP_LEVEL_DELETE_BM;
  auto serialise = [&]() {
    if (entered) return true;
    int lockErr = 0;
    if (!LockBitmapFile(file, true, m_log, tag, &lockErr)) {
      if (lockErr == ENOENT || lockErr == ENOTDIR) return true;
      LogLockFailure(m_log, tag, file, file.lock(), lockErr);
      return false;
    }
    entered = true;
    return EnterLocked(*this, m_volume, file, m_volName, true, m_log, tag);
  };
  if (!serialise()) return false;

  if (fileName.empty()) {
    if (level == BKP_LEVEL_DELETE_BM) {
      if (!DeleteBMFile(std::string())) return fail("Failed to DeleteBMFile for vol %s");
    } else if (level == BKP_LEVEL_SAVE_INCR_BM || level == BKP_LEVEL_SAVE_FULL_BM) {
      if (!fetch()) return fail("Failed to GetBMFromDriver  vol %s");
      if (!serialise() || !ProbeBitmapFile(file, &exists, m_log, tag)) return false;
      if (exists) {
        if (!MergeAndSaveBMToFile(owned.get(), size, std::string())) {
          return fail("Failed to MergeAndSaveBMToFile vol %s");
        }
      } else if (!SaveBMToFile(owned.get(), size, &header, std::string())) {
        return fail("Failed to SaveBMToFile for  vol %s");
      }
    }
  } else {
    if (!fetch()) return fail("Failed to GetBMFromDriver  vol %s");
    if (!serialise() || !ProbeBitmapFile(file, &exists, m_log, tag)) return false;
    if (!exists) {
      if (!SaveBMToFile(owned.get(), size, &header, std::string())) {
        return fail("Failed to SaveBMToFile for vol %s");
      }
    } else if (iOffset == -1) {
      if (!ReadBMFromFileAndMerge(owned.get(), size, std::string(), 0)) {
        return fail("Failed to ReadBMFromFileAndMerge for  vol %s");
      }
      if (!SaveBMToFile(owned.get(), size, &header, std::string())) {
        return fail("Failed to SaveBMToFile for  vol %s");
      }
    } else if (iOffset == 0) {
      if (level == BKP_LEVEL_SAVE_INCR_BM) {
        if (!MergeAndSaveBMToFile(owned.get(), size, std::string())) {
          return fail("Failed to MergeAndSaveBMToFile vol %s");
        }
      } else if (level == BKP_LEVEL_DELETE_BM) {
        m_log.Debug(tag, "No Action taken on the bitmap for vol %s", GetVolName().c_str());
      }
    } else if (iOffset < 0) {
      return fail("iOffset is neither 0 nor -1 nor > 0. Failing for vol %s");
    } else {
      if (!ReadBMFromFileAndMerge(owned.get(), size, std::string(defaultName),
                                  static_cast<unsigned long>(iOffset))) {
        return fail("Failed to ReadBMFromFileAndMerge for  vol %s");
      }
      if (!SaveBMToFile(owned.get(), size, &header, std::string())) {
        return fail("Failed to SaveBMToFile for vol %s");
      }
    }
  }

  if (level != BKP_LEVEL_SAVE_FULL_BM && !ClearBMOnDriver(KQV_BITMAP_AUX)) {
    return fail("Failed to ClearBMOnDriver for vol %s");
  }
  delete[] owned.release();
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

  // A take-over into this file between its read and its save would replace
  // the failure file with its merge, and the next backup would not be full.
  // Locked before the new file is made, which a take-over entering meanwhile
  // would remove as a dead save's leftover; where the lock fails, the open
  // says why first when it fails as well (a missing directory, say).
  kqfile::BitmapFile target(fileName);
  int lockErr = 0;
  const bool locked = LockBitmapFile(target, true, m_log, tag, &lockErr);
  kqfile::Replacement file(target.real(), target.resolved());
  if (!OpenFile(file, m_log, tag, name)) return false;
  if (!locked) {
    LogLockFailure(m_log, tag, target, target.lock(), lockErr);
    return false;
  }
  // All ones hold every change, but in another volume's file they would
  // stand in for that volume's changes.
  if (!CheckLockedOwner(target, m_volName, m_log, tag)) return false;
  if (Claimable(target.lock(), m_volName) && !target.lock().Claim(m_volName)) {
    m_log.Debug(tag, "Failed to record the owner in %s error no=%d", target.lock().path().c_str(),
                errno);
    return false;
  }
  std::unique_ptr<unsigned char, FreeDeleter> ones(
      static_cast<unsigned char*>(std::malloc(size != 0 ? size : 1)));
  if (!ones) {
    m_log.Debug(tag, "Failed to allocate Memory=%s error no=%d", name, errno);
    return false;
  }
  std::memset(ones.get(), 0xFF, size);
  return WriteAndCommit(file, m_log, tag, name, nullptr, ones.get(), size);
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
  if (clearOnDriver && type == KQV_BITMAP_AUX && info.auxBitmapSize > incrSize) {
    m_log.Debug(tag, "Bitmap size %lu of type %d exceeds the dump size %lu. Cannot dump %s",
                static_cast<unsigned long>(info.auxBitmapSize), static_cast<int>(type), incrSize,
                vol);
    return false;
  }
  if (!MutateDefaultBitMapFileName(type == KQV_BITMAP_INCR ? "incr-tmp" : "full-tmp")) {
    return false;
  }
  const std::string dumpFile = m_defaultBitmapFileName;

  // Serialised with every other workflow on the dump file; a dump that
  // clears records its take-over in the lock as formalities do.
  kqfile::BitmapFile file(dumpFile);
  const InWorkflow working(file);
  kqfile::FileLock& lock = file.lock();
  if (!EnterWorkflow(*this, m_volume, file, m_volName, true, m_log, tag)) return false;
  bool exists = false;
  if (!ProbeBitmapFile(file, &exists, m_log, tag)) return false;

  // The dump file: checked now and streamed into the driver's bitmap once
  // fetched where the read and merge steps are the class's own; otherwise
  // read whole now, while the driver's buffer is mapped in beside it.
  const bool streams = Streams(*this);
  BufferAside driverAside(incrSize, false, exists && !streams);
  FileBitmap disk;
  kqfile::BitmapStream stream;
  unsigned char diskHeader = 0;
  if (exists) {
    if (!streams && !disk.Allocate(fullSize, true)) {
      m_log.Debug(tag, "Memory allocation for pDiskBM Failed for size  %lu", fullSize);
      return false;
    }
    if (streams ? !OpenStream(stream, file, fullSize, &diskHeader, m_log)
                : !ReadBMFromFile(disk.get(), fullSize, &diskHeader, std::string())) {
      m_log.Debug(tag, "Error Reading Existing Image EKT Bitmapof Volume %s", vol);
      return false;
    }
    m_log.Debug(tag, "Read Existing Image EKT Bitmap of Volume %s ", vol);
  }

  m_log.Debug(tag, "Trying to get Bitmap  From Driver  for Vol %s ", vol);
  std::unique_ptr<unsigned char[]> driverBM(driverAside.Take());
  // A replaced step may have used and released the volume object meanwhile.
  if (m_volume == nullptr && (!InitAndValidateVolObject(std::string()) || m_volume == nullptr)) {
    m_log.DebugLvl(tag, 1, "Failed to initialize KQVolume");
    return false;
  }
  // Held here until the call ends, so a give-back always has one; the
  // object keeps it afterwards, as it always has.
  std::unique_ptr<KQVolume> handle(m_volume);
  m_volume = nullptr;
  struct Restore {
    KQVolume*& member;
    std::unique_ptr<KQVolume>& handle;
    ~Restore() {
      if (member == nullptr) member = handle.release();
    }
  } restore{m_volume, handle};

  // A type the driver does not know is refused before anything is cleared,
  // so it needs no record (which no later call could answer).
  unsigned long typeSize = 0;
  const bool known = TypeSize(info, type, &typeSize);
  if (clearOnDriver && known && !BeginTakeOver(lock, m_log, tag, m_volName, type, file)) {
    return false;
  }
  // Clearing in the same step as the fetch: a write landing between a fetch
  // and a later clear would be cleared without being in the dump.
  bool fetched = false;
  try {
    fetched = clearOnDriver ? handle->GetAndClearBitmap(type, driverBM.get(), incrSize, false)
                            : handle->GetBitmap(type, driverBM.get(), incrSize, false);
  } catch (...) {
    // The driver may have cleared while the buffer holds nothing trustworthy.
    if (clearOnDriver && GiveBack(handle.get(), m_log, tag, vol, type, nullptr, 0)) lock.End();
    throw;
  }
  if (!fetched) {
    m_log.Debug(tag, "GetBMFromDriver failed for %s", vol);
    lock.End();
    return false;
  }

  // Once the driver's copy is cleared, a failure below must hand the bits
  // back; the record stays when even that fails, so the next call marks the
  // bitmap dirty.
  auto giveBack = [&]() {
    if (clearOnDriver && GiveBack(handle.get(), m_log, tag, vol, type, driverBM.get(), incrSize)) {
      lock.End();
    }
  };
  try {
    if (exists && streams && !MergeStream(stream, file, driverBM.get(), m_log)) {
      m_log.Debug(tag, "Error Reading Existing Image EKT Bitmapof Volume %s", vol);
      giveBack();
      return false;
    }
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
  lock.End();
  m_log.Debug(tag, "Saved Bitmap for %s", vol);
  return true;
}

bool KQBitMapOps::GetBitMap(KQVBitmapType type, const char* bitmapName, unsigned long size,
                            unsigned char** mergedBitmap) {
  const char* tag = "KQBitMapOps::GetBitMap";
  EvDebug log(nullptr);
  if (bitmapName == nullptr || mergedBitmap == nullptr) {
    log.DebugLvl(tag, 1, "Null bitmap name or result pointer. Returning failure.");
    return false;
  }

  if (!InitAndValidateVolObject(std::string())) return false;
  if (!MutateDefaultBitMapFileName(bitmapName)) return false;
  log.DebugLvl(tag, 1, "Initialized default bitmatp name");

  // Shared with other queries, never beside a take-over of the same file: a
  // query must not read the file before a take-over saves and the driver
  // after it cleared.
  kqfile::BitmapFile file(m_defaultBitmapFileName);
  const InWorkflow working(file);
  if (!EnterWorkflow(*this, m_volume, file, m_volName, false, log, tag)) return false;

  // The file is streamed into the job's buffer after the driver's bits
  // where the read and merge steps are the class's own, unless its bytes
  // are to be listed before the driver's; otherwise read whole now, while
  // the job's buffer is mapped in beside it.
  const bool streams = Streams(*this) && !kqlogadapter::DetailEnabled();
  BufferAside out(size, true, !streams);
  FileBitmap disk;
  kqfile::BitmapStream stream;
  unsigned char header = 0;
  if (!streams) disk.Allocate(size);
  if (streams ? !OpenStream(stream, file, size, &header, m_log)
              : !ReadBMFromFile(disk.get(), size, &header, std::string())) {
    log.DebugLvl(tag, 1, "Failed to Read BM From file");
    return false;
  }
  log.DebugLvl(tag, 1, "Printing Disk BM");
  LogBytes(log, tag, disk.get(), size);
  *mergedBitmap = out.Take();

  if (!GetBMFromDriver(type, mergedBitmap, &size, false)) {
    log.DebugLvl(tag, 1, "Failed to get BM from driver");
    return false;
  }
  log.DebugLvl(tag, 1, "Got BM from driver");
  log.DebugLvl(tag, 1, "Printing Driver BM");
  LogBytes(log, tag, *mergedBitmap, size);

  if (streams && !MergeStream(stream, file, *mergedBitmap, m_log)) {
    log.DebugLvl(tag, 1, "Failed to Read BM From file");
    return false;
  }
  if (!streams && !MergeBM(*mergedBitmap, size, disk.get(), size)) {
    log.DebugLvl(tag, 1, "Failed to Merge BM");
    return false;
  }
  log.DebugLvl(tag, 1, "Printing Merged BM");
  LogBytes(log, tag, *mergedBitmap, size);
  return true;
}

namespace {

// The driver's bits while a take-over holds them: the record of it in the
// bitmap file's lock, the volume object a give-back needs (a successful
// fetch-and-clear deletes the object's own), and what becomes of the bits
// when a later step fails.
class TakeOver {
 public:
  TakeOver(kqfile::FileLock& lock, EvDebug& log, const char* tag, const std::string& vol,
           KQVBitmapType type)
      : lock_(lock), log_(log), tag_(tag), vol_(vol), type_(type) {}

  // Keeps the object's volume object for the call.
  void Reserve(KQVolume*& member) {
    reserve_.reset(member);
    member = nullptr;
  }
  // Written durably before the clear: a job killed before the bits are safe
  // leaves it for the next call, which marks the bitmap dirty.
  bool Record(const kqfile::BitmapFile& file) {
    return BeginTakeOver(lock_, log_, tag_, vol_, type_, file);
  }
  // The bits are safe where they are: the record goes.
  void Done() noexcept { lock_.End(); }
  // Hands `bits` back to the driver, or marks its bitmap dirty (no bits: the
  // bitmap is marked dirty); the record stays where even that fails.
  void GiveBack(unsigned char* bits, unsigned long size) {
    if (::GiveBack(reserve_.get(), log_, tag_, vol_.c_str(), type_, bits, size)) Done();
  }

 private:
  kqfile::FileLock& lock_;
  EvDebug& log_;
  const char* tag_;
  const std::string& vol_;
  KQVBitmapType type_;
  std::unique_ptr<KQVolume> reserve_;
};

// Fetches and clears the driver's bitmap through the object's slot, the
// retrieval allocating the buffer. A failed fetch leaves nothing in flight:
// bits a replaced fetch took off before it failed go back (harmless where
// they were never taken off); one that threw with its buffer allocated
// threw in the driver's own fetch-and-clear, which may have cleared while
// the buffer proves nothing.
bool FetchAndClear(KQBitMapOps& ops, TakeOver& takeOver, KQVBitmapType type, OutBuffer& bits,
                   unsigned long* size, EvDebug& log, const char* tag) {
  bool got = false;
  try {
    got = ops.GetAndClearBMFromDriver(type, bits.out(), size, false, std::string());
  } catch (...) {
    bits.get() == nullptr ? takeOver.Done() : takeOver.GiveBack(nullptr, 0);
    throw;
  }
  if (got) return true;
  log.Debug(tag, "Failed to get and clear BM from driver");
  unsigned char* const stray = bits.get();
  if (stray == nullptr ||
      std::all_of(stray, stray + *size, [](unsigned char b) { return b == 0; })) {
    takeOver.Done();
  } else {
    takeOver.GiveBack(stray, *size);
  }
  return false;
}

// The bitmap as fetched, once the merge changes it: written ahead to a file
// that the restart save then puts in place, which spares a copy in memory
// and writing it later; a copy in memory where that cannot be done.
class FetchedCopy {
 public:
  // Keeps `bits` as they are now; `bits` itself where nothing will change them.
  unsigned char* Keep(unsigned char* bits, unsigned long size, bool merging, bool restart,
                      const kqfile::BitmapFile& file, unsigned char header, bool fileRead) {
    if (!merging || !restart) return bits;
    // The bitmap file, already read and soon replaced, gives up its cached
    // pages to this file: recently used memory, where otherwise a large
    // file's pages come from memory long unused, slow to get on a virtual
    // machine. Not before a streamed merge reads it: that would read it from
    // disk again (its save drops them anyway).
    if (fileRead) kqfile::DropCachedPages(file.real());
    if (size > 0 && ahead_.Write(kqfile::DirectoryOf(file.real()), header, bits, size)) {
      offered_ = std::make_unique<Lent<kqfile::AheadFile>>(&ahead_);
      return ahead_.data();
    }
    copy_.reset(NewBitmap(size, false));
    std::memcpy(copy_.get(), bits, size);
    return copy_.get();
  }
  void Release() { copy_.reset(); }

 private:
  kqfile::AheadFile ahead_;
  std::unique_ptr<Lent<kqfile::AheadFile>> offered_;
  std::unique_ptr<unsigned char[]> copy_;
};

}  // namespace

bool KQBitMapOps::DoBitmapFormalities(KQVBitmapType type, const char* bitmapName,
                                      const char* restartName, bool nameIsPath) {
  const char* tag = "KQBitMapOps::DoBitmapFormalities";
  m_log.debugBreak("/tmp/DoBitMap.afterentering", nullptr, 0, 0, true);
  if (bitmapName == nullptr) {
    m_log.Debug(tag, "Null bitmap name. Returning failure.");
    return false;
  }
  m_log.Debug(tag, "Bitmap File Name:%s ", bitmapName);

  // The volume and its information.
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

  // The bitmap file: named, locked from its read to its replacement, ours.
  if (nameIsPath) {
    m_defaultBitmapFileName = bitmapName;
  } else if (!MutateDefaultBitMapFileName(bitmapName)) {
    return false;
  }
  m_log.Debug(tag, "Initialized default bitmatp name");
  kqfile::BitmapFile file(m_defaultBitmapFileName);
  const InWorkflow working(file);
  if (!EnterWorkflow(*this, m_volume, file, m_volName, true, m_log, tag)) return false;
  // The restart file is replaced whole: another volume's is refused before
  // the driver is touched, not after its bits were taken.
  if (restartName != nullptr) {
    const kqfile::BitmapFile restart(PrepareAbsoluteBitmapFileName(restartName, nullptr));
    if (!CheckOwner(kqfile::FileLock::PeekOwner(restart.real()), m_volName, restart.name(),
                    kqfile::FileLock::PathFor(restart.real()), m_log, tag)) {
      return false;
    }
  }
  bool exists = false;
  if (!ProbeBitmapFile(file, &exists, m_log, tag)) return false;

  // The file's bitmap: checked and streamed into the driver's after the
  // fetch where the read and merge steps are the class's own; otherwise
  // read whole through the read step now, while the driver's buffer is
  // mapped in beside it.
  unsigned long fetchSize = 0;
  const bool typeKnown = TypeSize(info, type, &fetchSize);
  const bool streams = Streams(*this);
  BufferAside driverAside(fetchSize, true, !streams && typeKnown && exists && fetchSize == size);
  const Lent<BufferAside> lentAside(&driverAside);
  FileBitmap disk;
  kqfile::BitmapStream stream;
  const unsigned long diskSize = size;
  unsigned char diskHeader = 0;
  if (!exists) {
    m_log.Debug(tag, "BM on disk does not exist");
  } else {
    m_log.Debug(tag, "BM on disk exist");
    // A bitmap of another size could not be merged into the file's; known
    // from the volume information, so refused before the driver is touched.
    if (typeKnown && fetchSize != diskSize) {
      m_log.Debug("KQBitMapOps::MergeBM",
                  " Src Bitmap Size %ld is not equal Destbitmap size %ld, can't merge.",
                  static_cast<long>(fetchSize), static_cast<long>(diskSize));
      m_log.Debug(tag, "Failed to Merge BM");
      return false;
    }
    if (streams) {
      if (!OpenStream(stream, file, diskSize, &diskHeader, m_log)) return false;
    } else {
      disk.Allocate(diskSize);
      if (!ReadBMFromFile(disk.get(), diskSize, &diskHeader, std::string())) return false;
    }
  }
  const bool merging = exists;

  // The take-over: recorded, then fetched and cleared. A replaced step may
  // have released the volume object meanwhile.
  if (m_volume == nullptr && (!InitAndValidateVolObject(std::string()) || m_volume == nullptr)) {
    m_log.DebugLvl(tag, 1, "Failed to initialize KQVolume");
    return false;
  }
  TakeOver takeOver(file.lock(), m_log, tag, m_volName, type);
  takeOver.Reserve(m_volume);
  // A type the volume information does not know is refused by the
  // retrieval before anything is cleared, so it needs no record.
  if (typeKnown && !takeOver.Record(file)) return false;
  OutBuffer driverBM;  // ours from its allocation on
  if (!FetchAndClear(*this, takeOver, type, driverBM, &size, m_log, tag)) return false;

  // Merged and saved. Until the bitmap file holds the merge the driver's
  // changes live only in these buffers: any failure hands them back (as
  // fetched where a copy exists; else merged, a superset).
  unsigned char* const merged = driverBM.get();
  FetchedCopy fetchedCopy;
  unsigned char* fetched = merged;
  try {
    m_log.Debug(tag, "Got BM from driver");
    m_log.Debug(tag, "Printing Driver BM");
    LogBytes(m_log, tag, merged, size);
    fetched = fetchedCopy.Keep(merged, size, merging, restartName != nullptr, file,
                               info.bitmapHeader, !streams);
    m_log.Debug(tag, "Merge Disk BM with BM from Driver");
    const bool mergeFailed = streams ? merging && !MergeStream(stream, file, merged, m_log)
                                     : disk && !MergeBM(merged, size, disk.get(), diskSize);
    if (mergeFailed) {
      m_log.Debug(tag, "Failed to Merge BM");
      takeOver.GiveBack(fetched, size);
      return false;
    }
    // Merged, the file's bitmap is no longer needed: its memory is the
    // cheapest the new file's pages can have.
    disk.reset();
    m_log.Debug(tag, "Merge done");
    m_log.Debug(tag, "Saving Merged  bitmap to file");
    if (!SaveBMToFile(merged, size, &info.bitmapHeader, std::string())) {
      takeOver.GiveBack(fetched, size);
      return false;
    }
  } catch (...) {
    // Not handled here, only kept from taking the changes with it.
    takeOver.GiveBack(fetched, size);
    throw;
  }
  takeOver.Done();
  m_log.debugBreak("/tmp/DoBitMap.afterwritingmergedbm", nullptr, 0, 0, true);
  m_log.Debug(tag, "Printing Mergerd BM");
  LogBytes(m_log, tag, merged, size);
  m_log.Debug(tag, "Printing Restarted BM");
  LogBytes(m_log, tag, fetched, size);
  // One lock at a time: two jobs whose bitmap and restart names are crossed
  // then never wait for each other.
  file.lock().Release();

  // The restart file: the bitmap as fetched.
  if (restartName != nullptr) {
    if (!MutateDefaultBitMapFileName(restartName)) {
      m_log.Debug(tag, "Failed to initialize restart bitmap file");
      return false;
    }
    kqfile::BitmapFile restart(m_defaultBitmapFileName);
    const InWorkflow restarting(restart);
    if (kqfile::SameFile(restart.real(), file.real())) {
      // Its merged bitmap holds every fetched bit and the file's earlier
      // ones; the fetched bits alone would lose the earlier ones.
      m_log.Debug(tag, "Restart bitmap file %s is the bitmap file: kept the merged bitmap in it",
                  restart.name().c_str());
    } else {
      if (!EnterWorkflow(*this, m_volume, restart, m_volName, true, m_log, tag)) {
        m_log.Debug(tag, "Failed to save restart bitmap to file");
        return false;
      }
      m_log.Debug(tag, "Saving restart bitmap to file");
      if (!SaveBMToFile(fetched, size, &info.bitmapHeader, std::string())) {
        m_log.Debug(tag, "Failed to save restart bitmap to file");
        return false;
      }
    }
    m_log.debugBreak("/tmp/DoBitMap.afterwritingresterbm", nullptr, 0, 0, true);
  }
  fetchedCopy.Release();
  delete[] driverBM.release();
  m_log.debugBreak("/tmp/DoBitMap.beforereturn", nullptr, 0, 0, true);
  return true;
}
