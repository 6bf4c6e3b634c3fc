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
struct ReadHandle {
  Fd fd;
  bool notRegular = false;
};
void OpenForRead(const std::string& path, ReadHandle* handle) noexcept;

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
// file in the target's directory, which is flushed and renamed over the
// target before the directory is flushed. Until the rename the target keeps
// its old contents; an abandoned replacement removes its new file. A
// symbolic link at the target is followed (a dangling one creates the file
// it names), but in a sticky, world-writable directory only when the job's
// user or the directory's owner owns the link, as the kernel's own
// protection would. A target that is no regular file is refused.
class Replacement {
 public:
  enum class Stage {
    Done,
    Flush,   // flushing the new file failed (target untouched), or the
             // directory after the rename (target replaced, maybe not durably)
    Rename,  // the target was not replaced
  };

  explicit Replacement(std::string target) : target_(std::move(target)) {}
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
  bool notRegular_ = false;
  bool adopted_ = false;
  std::size_t written_ = 0;
  Fd fd_;
};

// Removes new files that a killed replacement of `target` left behind. Only
// safe while holding the target's exclusive lock.
void RemoveLeftovers(const std::string& target) noexcept;

// An advisory lock for one bitmap file, held on a lock file beside it (the
// bitmap file itself is replaced by rename, so a lock on it would not hold).
// flock(): the kernel drops it when its holder dies, so a killed job never
// leaves a stale lock. Locks taken by two objects in one process exclude
// each other like those of two processes.
//
// The lock file also carries the record of a take-over in progress: written
// durably before the driver's bitmap is cleared, emptied once the bits are
// safe. A record that the lock's next holder finds was left by a job that
// died mid-take-over.
class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Waits for the lock; `onWait` runs once, before waiting, when another
  // holder has it. False with errno set when the lock file cannot be opened.
  // A lock this thread already holds on the file is not waited for (a step
  // replaced by a job, called inside a workflow, would wait for itself): the
  // call goes on under it, and can neither find nor write a record.
  bool Acquire(const std::string& target, bool exclusive, const std::function<void()>& onWait);
  void Release() noexcept;
  static std::string PathFor(const std::string& target);
  // The lock file of the last Acquire.
  const std::string& path() const { return path_; }

  // The record found at acquisition ("" for none).
  const std::string& Stale() const { return stale_; }
  // Durably writes the record. False with errno set.
  bool Begin(const std::string& text);
  // Empties the record; no flush: a lost truncation costs only a needless
  // full backup after a crash, never a change.
  void End() noexcept;

 private:
  Fd fd_;
  std::string path_;
  std::string stale_;
  bool created_ = false;
  bool held_ = false;  // on this thread's list of held locks
};

}  // namespace kqfile
#pragma GCC visibility pop
