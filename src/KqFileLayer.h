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

// Opens an existing file for reading without blocking on a FIFO or device.
// Anything but a regular file is closed again and reported as `notRegular`.
struct ReadHandle {
  Fd fd;
  bool notRegular = false;
};
void OpenForRead(const std::string& path, ReadHandle* handle) noexcept;

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
  // new file could not be created there.
  bool Open();
  bool notRegular() const { return notRegular_; }
  const std::string& noTempIn() const { return noTempIn_; }

  // Appends `n` bytes, handing each written slice to writeback at once so
  // the final flush finds little left. False with errno set.
  bool Append(const unsigned char* data, std::size_t n) noexcept;
  // Flushes the new file and puts it in the target's place. A failed flush
  // is not retried: its error may already have dropped the dirty pages.
  Stage Commit();

 private:
  std::string target_;
  std::string real_;
  std::string temp_;
  std::string noTempIn_;
  bool notRegular_ = false;
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
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  // Waits for the lock; `onWait` runs once, before waiting, when another
  // holder has it. False with errno set when the lock file cannot be opened.
  bool Acquire(const std::string& target, bool exclusive, const std::function<void()>& onWait);
  void Release() noexcept { fd_.reset(); }
  static std::string PathFor(const std::string& target);

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
};

}  // namespace kqfile
#pragma GCC visibility pop
