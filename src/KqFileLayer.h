// The operating-system file layer of the bitmap operations: descriptors, full
// reads and writes, durable replacement of a file, the advisory locks that
// serialise jobs on one bitmap file, and the record of a take-over in
// progress. Nothing here logs; every failure comes back with errno set, and
// the caller says what it means in its own words.
//
// Threads: every function may be called from any thread; objects are used by
// one thread at a time.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

// Internal to the library: not exported, so it is no part of its ABI.
#pragma GCC visibility push(hidden)
namespace kqfile {

// Owns a descriptor; closes it exactly once.
class Fd {
 public:
  explicit Fd(int fd = -1) noexcept : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  void adopt(int fd) noexcept {
    reset();
    fd_ = fd;
  }
  // Closes now; false (errno set) when close reports an error.
  bool reset() noexcept;
  // Hands the descriptor over without closing it.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Writes all `n` bytes over as many calls as needed (EINTR repeated). False,
// errno as the failing call left it, on an error or a call moving nothing.
bool WriteFully(int fd, const unsigned char* data, std::size_t n) noexcept;
// Reads up to `n` bytes; returns how many arrived before end of file or an error.
std::size_t ReadFully(int fd, unsigned char* data, std::size_t n) noexcept;
// Reads the `n` bytes at `offset` of a file written with holes: where the
// file system reports holes (SEEK_DATA), only its data is read and the
// holes are zero-filled; elsewhere, or for a file shorter than the span, a
// plain read. Returns how many bytes, from the first, are the file's.
std::size_t ReadSpan(int fd, unsigned char* data, std::size_t n, std::size_t offset) noexcept;

// What an existence test proved. Only ENOENT proves a file absent: a search
// permission missing, a loop of links or an I/O error says nothing about it.
enum class Presence { Absent, Present, Unknown };
Presence Probe(const std::string& path) noexcept;

// True when both names lead to one existing file (links followed).
bool SameFile(const std::string& a, const std::string& b) noexcept;

// The directory part of a path ("." for a bare name).
std::string DirectoryOf(const std::string& path);

// Gives up the page cache of a file whose contents are about to be replaced.
void DropCachedPages(const std::string& path) noexcept;

// Opens an existing file for reading without blocking on a FIFO or device.
// Anything but a regular file is closed again and reported as `notRegular`.
// A path already resolved is opened without following a link at its end.
struct ReadHandle {
  Fd fd;
  bool notRegular = false;
};
void OpenForRead(const std::string& path, ReadHandle* handle, bool resolved = false) noexcept;

// A bitmap file read as a stream: opened and checked to hold the whole
// bitmap before anything depends on it, then its data ORed into a bitmap
// through a bounded buffer, holes skipped, so a merge needs no second
// bitmap-sized buffer and touches only the pages that hold changes.
class BitmapStream {
 public:
  enum class Opened {
    Ok,
    NotRegular,  // not a regular file (never blocks on a FIFO or device)
    Open,        // the open failed (errno)
    Header,      // no header byte (errno)
    Short,       // fewer than `n` bitmap bytes follow it (errno)
  };
  // Opens the file at `path` (resolved: not through a link) and reads its
  // header byte. The stream buffer is allocated here, before the caller
  // changes anything; a failed allocation throws.
  Opened Open(const std::string& path, bool resolved, std::size_t n, unsigned char* header);
  // ORs the `n` bitmap bytes into `target` with `orInto`; the holes, all
  // zeros, are skipped. False with errno set on a read error: `target`
  // then holds part of the merge.
  bool MergeInto(unsigned char* target, void (*orInto)(unsigned char*, const unsigned char*,
                                                       std::size_t) noexcept) noexcept;

 private:
  ReadHandle file_;
  std::size_t n_ = 0;
  std::unique_ptr<unsigned char[]> buffer_;
  std::size_t bufferSize_ = 0;
};

// A file's contents written before it is known where the file goes: an
// unnamed file in a directory, written and mapped so that its bytes can
// stand in for the buffer they came from. A Replacement of a target on the
// same file system later flushes it and puts it in place without writing it
// again. Unused, it leaves nothing behind, not even when the job is killed.
class AheadFile {
 public:
  AheadFile() = default;
  ~AheadFile();
  AheadFile(const AheadFile&) = delete;
  AheadFile& operator=(const AheadFile&) = delete;

  // Writes the header byte and `n` bytes of data and maps them. False
  // (nothing kept) when either fails.
  bool Write(const std::string& dir, unsigned char header, const unsigned char* data,
             std::size_t n) noexcept;
  // The data as mapped: a private copy-on-write mapping, so writing to it
  // never changes the file.
  unsigned char* data() const noexcept { return map_ == nullptr ? nullptr : map_ + 1; }
  std::size_t size() const noexcept { return map_ == nullptr ? 0 : bytes_ - 1; }
  unsigned char header() const noexcept { return header_; }
  // True only when the mapped data provably still equals the file: no page
  // of the mapping has been written to (the kernel's page map shows every
  // page present still to be the file's own).
  bool Unchanged() const noexcept;

 private:
  friend class Replacement;
  Fd fd_;
  unsigned char* map_ = nullptr;
  std::size_t bytes_ = 0;  // header byte included
  unsigned char header_ = 0;
};

// Replaces a file durably: the new contents go to a fresh, unguessably named
// file in the target's directory (its pages of zeros left as holes), which
// is flushed and renamed over the target before the directory is flushed.
// Until the rename the target keeps its old contents; an abandoned
// replacement removes its new file. A symbolic link at the target is
// followed (a dangling one creates the file it names), but in a sticky,
// world-writable directory only when the job's user or the directory's
// owner owns the link, as the kernel's own protection would. A target that
// is no regular file is refused.
class Replacement {
 public:
  enum class Stage {
    Done,
    Write,   // the new file's length could not be set (target untouched)
    Flush,   // flushing the new file failed (target untouched), or the
             // directory after the rename (target replaced, maybe not durably)
    Rename,  // the target was not replaced
  };

  // A `resolved` target is a path some BitmapFile resolved: taken as it is,
  // and refused (not regular) should a link have been put in its place since.
  explicit Replacement(std::string target, bool resolved = false)
      : target_(std::move(target)), resolved_(resolved) {}
  ~Replacement();
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;

  // Creates the new file (mode 0666 less the umask; a replaced file's mode
  // and, where permitted, owner). False with errno set; `notRegular` when the
  // target exists as something else, `noTempIn` names the directory when the
  // new file could not be created there. Given a file written ahead, it takes
  // that file as the new one where it can (then `adopted`: nothing is left
  // to append), and otherwise creates one as it would without.
  bool Open(AheadFile* ahead = nullptr);
  bool adopted() const { return adopted_; }
  bool notRegular() const { return notRegular_; }
  const std::string& noTempIn() const { return noTempIn_; }

  // Appends `n` bytes, handing each written slice to writeback at once so
  // the final flush finds little left. False with errno set.
  bool Append(const unsigned char* data, std::size_t n) noexcept;
  // Flushes the new file and puts it in the target's place. A failed flush
  // is not retried: its error may already have dropped the dirty pages.
  Stage Commit();

 private:
  void Adopt(AheadFile* ahead, const std::string& dir, std::string* temp);
  std::string target_;
  std::string real_;
  std::string temp_;
  std::string noTempIn_;
  bool resolved_ = false;
  bool notRegular_ = false;
  bool adopted_ = false;
  std::size_t written_ = 0;
  Fd fd_;
};

// Why a lock file was refused untouched: in a directory others may write to,
// a lock file could be planted to make a root job read or write through it.
enum class Refusal { None, Link, NotRegular, Links, Owner };

// An advisory lock for one bitmap file, held on a lock file beside it (the
// bitmap file itself is replaced by rename, so a lock on it would not hold).
// flock(): the kernel drops it when its holder dies, so a killed job never
// leaves a stale lock. Locks taken by two objects in one process exclude
// each other like those of two processes. Only a regular file with one link,
// owned by the job's user or by root, is opened, read or written.
//
// The lock file remembers whose bits its bitmap file holds, in a first line
// "owner=<volume>", written by the first writer and never changed. After it
// may follow the record of a take-over in progress: written durably before
// the driver's bitmap is cleared, removed once the bits are safe. A record
// that the lock's next holder finds was left by a job that died mid-take-over.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Waits for the lock of the bitmap file at the resolved path `real`;
  // `onWait` runs once, before waiting, when another holder has it. False
  // with errno set when the lock file cannot be opened, or refused (EPERM,
  // `refusal()` says why). A lock this thread already holds on the file is
  // not waited for (a step replaced by a job, called inside a workflow,
  // would wait for itself): the call goes on under it, and can neither find
  // nor write an owner or a record.
  bool Acquire(const std::string& real, bool exclusive, const std::function<void()>& onWait);
  void Release() noexcept;
  // The lock file of the last Acquire.
  const std::string& path() const { return path_; }
  // Held on a lock file of its own (not gone on under another of this
  // thread, nor skipped on a read-only file system).
  bool held() const { return held_; }
  Refusal refusal() const { return refusal_; }
  // The refused file's link count or owner, as `refusal()` says.
  unsigned long refusedDetail() const { return refusedDetail_; }

  // The owner found at acquisition ("" for none, or where the lock was
  // gone on under another of this thread).
  const std::string& Owner() const { return owner_; }
  // Writes the owner of a file that has none; the exclusive holder only.
  // False with errno set.
  bool Claim(const std::string& owner);
  // The record found at acquisition ("" for none; "?" for an unreadable one).
  const std::string& Stale() const { return stale_; }
  // Durably writes the record. False with errno set, and no record left.
  bool Begin(const std::string& text);
  // Removes the record; no flush: a lost truncation costs only a needless
  // full backup after a crash, never a change.
  void End() noexcept;

  // The owner recorded in the lock file of the bitmap file at `real`,
  // without locking ("" for none or where it cannot be read): a workflow
  // checks a second file's owner before it touches the driver.
  static std::string PeekOwner(const std::string& real);
  // The lock file of the bitmap file at `real`.
  static std::string PathFor(const std::string& real);

 private:
  Fd fd_;
  std::string path_;
  std::string dir_;  // of the lock file: ready before a record, which may not fail for memory
  std::string owner_;
  std::string stale_;
  std::size_t kept_ = 0;  // bytes of the owner line, which a record follows
  Refusal refusal_ = Refusal::None;
  unsigned long refusedDetail_ = 0;
  bool created_ = false;
  bool held_ = false;  // on this thread's list of held locks
};

// One bitmap file as a workflow works on it: the name resolved once, so
// that its lock, record, existence test, read, replacement and leftovers all
// address one file, however a link is swapped meanwhile.
class BitmapFile {
 public:
  // Resolves `name` (links followed as a Replacement follows them). Where
  // that fails, the name itself stands in and `Probe` reports the error.
  explicit BitmapFile(std::string name);
  BitmapFile(const BitmapFile&) = delete;
  BitmapFile& operator=(const BitmapFile&) = delete;

  const std::string& name() const { return name_; }
  const std::string& real() const { return real_; }
  bool resolved() const { return error_ == 0; }
  Presence Probe() const noexcept;
  FileLock& lock() { return lock_; }
  const FileLock& lock() const { return lock_; }
  // Removes new files that a killed replacement left behind. Only safe
  // while holding the exclusive lock.
  void RemoveLeftovers() const noexcept;
  // Which file is at the resolved path now: "device:inode", "none" where
  // there is none, "" where that cannot be told. A replacement changes it.
  std::string Identity() const;

 private:
  std::string name_;
  std::string real_;
  std::string dir_;
  std::string leftoverPrefix_;
  int error_ = 0;
  FileLock lock_;
};

// True when the two volume names are one volume: the same name, or names
// that lead to the same block device now (two spellings of one volume).
bool SameVolume(const std::string& a, const std::string& b) noexcept;

}  // namespace kqfile
#pragma GCC visibility pop
