#include "KqFileLayer.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "KqIoTesting.h"

namespace {

// Linux moves at most this many bytes per read() or write().
constexpr std::size_t kKernelMaxTransfer = 0x7ffff000;
// Longest part of a target's last component kept in the names derived from
// it: NAME_MAX (255) less the longest suffix added here.
constexpr std::size_t kMaxStem = 200;
// Links followed before giving up, as the kernel does.
constexpr int kMaxLinks = 40;
const char kTempInfix[] = ".kqtmp.";
constexpr std::size_t kTempRandom = 12;
const char kLockSuffix[] = ".kqlock";

std::atomic<std::size_t> g_maxTransfer{kKernelMaxTransfer};
std::atomic<int> g_calls{0};
std::atomic<int> g_failAt{0};
std::atomic<int> g_failErr{0};

// The test seam: true (errno set) when this system call is the one to fail.
bool Fault() noexcept {
  if (g_failAt.load(std::memory_order_relaxed) == 0) return false;
  if (++g_calls != g_failAt.load()) return false;
  errno = g_failErr.load();
  return true;
}
#define KQ_SYS(call) (Fault() ? -1 : (call))

std::string DirName(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// The last component, shortened so that a suffix still fits in NAME_MAX. A
// shortened one ends in a hash of the whole, so that two long names which
// share a beginning still get a lock (and a record) each.
std::string Stem(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  if (base.size() <= kMaxStem) return base;
  uint64_t hash = 0xcbf29ce484222325ull;  // FNV-1a
  for (const char c : base) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
  char tail[18];
  std::snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(hash));
  base.resize(kMaxStem - (sizeof tail - 1));
  return base + tail;
}

std::string Join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// Random name characters; the kernel's generator, so no other local user
// can guess the name and create it first.
bool RandomName(char* out, std::size_t n) {
  static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char raw[32];
  if (n > sizeof raw) return false;
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = KQ_SYS(::getrandom(raw + got, n - got, 0));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    got += static_cast<std::size_t>(r);
  }
  for (std::size_t i = 0; i < n; ++i) out[i] = kAlphabet[raw[i] % (sizeof kAlphabet - 1)];
  return true;
}

// Follows links at the end of `path`. A link in a sticky, world-writable
// directory is followed only when the job's user or the directory's owner
// owns it, so a job running as root cannot be steered into replacing a file
// by another local user's link. Sets `*real` and `*exists` (with `*st`), or
// returns an errno value.
int Resolve(const std::string& path, std::string* real, bool* exists, struct stat* st) {
  std::string current = path;
  for (int hop = 0; hop <= kMaxLinks; ++hop) {
    struct stat ls {};
    if (KQ_SYS(::lstat(current.c_str(), &ls)) != 0) {
      if (errno != ENOENT) return errno;
      *real = current;
      *exists = false;
      return 0;
    }
    if (!S_ISLNK(ls.st_mode)) {
      *real = current;
      *exists = true;
      *st = ls;
      return 0;
    }
    const std::string dir = DirName(current);
    struct stat ds {};
    if (::stat(dir.c_str(), &ds) != 0) return errno;
    const bool shared = (ds.st_mode & S_ISVTX) != 0 && (ds.st_mode & S_IWOTH) != 0;
    if (shared && ls.st_uid != ::geteuid() && ls.st_uid != ds.st_uid) return EACCES;
    std::string target(static_cast<std::size_t>(ls.st_size > 0 ? ls.st_size : 4096) + 1, '\0');
    const ssize_t n = ::readlink(current.c_str(), &target[0], target.size());
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) >= target.size()) return ENAMETOOLONG;
    target.resize(static_cast<std::size_t>(n));
    current = !target.empty() && target[0] == '/' ? target : Join(dir, target);
  }
  return ELOOP;
}

// The unit a file system can leave as a hole; a bitmap page that is all
// zeros costs no block and no write.
constexpr std::size_t kFilePage = 4096;
std::atomic<bool> g_holesReported{true};

bool AllZero(const unsigned char* p, std::size_t n) noexcept {
  static const unsigned char kZeros[kFilePage] = {};
  return n <= kFilePage && std::memcmp(p, kZeros, n) == 0;
}

// Writes `n` bytes at `offset`, at or past the end of what `fd` holds,
// leaving each file page that would hold only zeros a hole (the caller sets
// the file's length once done, see SetLength). Each run written is handed to
// writeback at once so the final flush finds little left; only that run:
// asking for the whole file each time makes the kernel walk every earlier
// run again, which turned a 1 GiB save from 0.8 s into as much as 2.4 s.
bool AppendPaced(int fd, std::size_t offset, const unsigned char* data, std::size_t n) noexcept {
  constexpr std::size_t kSlice = std::size_t{8} << 20;
  const std::size_t cap = g_maxTransfer.load(std::memory_order_relaxed);
  std::size_t done = 0;
  // Up to the end of the file page that holds `at`, within the data.
  auto pagePart = [&](std::size_t at) {
    return std::min(kFilePage - (offset + at) % kFilePage, n - at);
  };
  while (done < n) {
    if (AllZero(data + done, pagePart(done))) {
      done += pagePart(done);
      continue;
    }
    std::size_t end = done + pagePart(done);
    while (end < n && end - done < kSlice && !AllZero(data + end, pagePart(end))) {
      end += pagePart(end);
    }
    for (std::size_t at = done; at < end;) {
      const ssize_t wrote =
          KQ_SYS(::pwrite(fd, data + at, std::min(end - at, cap), static_cast<off_t>(offset + at)));
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;
      at += static_cast<std::size_t>(wrote);
    }
    ::sync_file_range(fd, static_cast<off64_t>(offset + done), static_cast<off64_t>(end - done),
                      SYNC_FILE_RANGE_WRITE);
    done = end;
  }
  return true;
}

// Gives a file written by AppendPaced its length: a trailing hole is
// written by no call.
bool SetLength(int fd, std::size_t length) noexcept {
  // Already that long (its last page was written): a truncation would only
  // wait for that page's writeback.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && static_cast<std::size_t>(st.st_size) == length) return true;
  return KQ_SYS(::ftruncate(fd, static_cast<off_t>(length))) == 0;
}

bool FlushDir(const char* dirPath) noexcept {
  kqfile::Fd dir(KQ_SYS(::open(dirPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC)));
  return dir.valid() && KQ_SYS(::fsync(dir.get())) == 0;
}

bool FlushDirectory(const std::string& path) { return FlushDir(DirName(path).c_str()); }

// Opens (creating, mode 0666 less the umask) a lock file; never through a
// link, never blocking on a FIFO. Only a regular file with one link, owned
// by the job's user or by root, is kept: anything else could be another
// file planted under the lock's name, which reading or writing would expose
// or destroy. Those are closed untouched, errno EPERM and `*refusal` set.
int OpenLockFile(const std::string& path, bool* created, kqfile::Refusal* refusal,
                 unsigned long* detail) {
  const int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = KQ_SYS(::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | flags, 0666));
  *created = fd >= 0;
  if (fd < 0 && errno == EEXIST) fd = ::open(path.c_str(), O_RDWR | flags);
  // A lock file that another user made and we may only read still locks.
  if (fd < 0 && (errno == EACCES || errno == EROFS)) {
    const int denied = errno;
    fd = ::open(path.c_str(), O_RDONLY | flags);
    if (fd < 0 && errno == ENOENT) errno = denied;  // none there, and none can be made
  }
  if (fd < 0) {
    // A link (which O_NOFOLLOW met) or a directory is named as what it is.
    const int err = errno;
    struct stat ls {};
    if (::lstat(path.c_str(), &ls) == 0 && (S_ISLNK(ls.st_mode) || S_ISDIR(ls.st_mode))) {
      *refusal = S_ISLNK(ls.st_mode) ? kqfile::Refusal::Link : kqfile::Refusal::NotRegular;
      errno = EPERM;
    } else {
      errno = err;
    }
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    const int err = errno;
    ::close(fd);
    errno = err;
    return -1;
  }
  *refusal = !S_ISREG(st.st_mode)                         ? kqfile::Refusal::NotRegular
             : st.st_nlink != 1                           ? kqfile::Refusal::Links
             : st.st_uid != ::geteuid() && st.st_uid != 0 ? kqfile::Refusal::Owner
                                                          : kqfile::Refusal::None;
  if (*refusal != kqfile::Refusal::None) {
    *detail = *refusal == kqfile::Refusal::Links ? static_cast<unsigned long>(st.st_nlink)
                                                 : static_cast<unsigned long>(st.st_uid);
    ::close(fd);
    errno = EPERM;
    return -1;
  }
  return fd;
}

// The lock file of the bitmap file at the resolved path `real`.
std::string LockPathFor(const std::string& real) {
  return Join(DirName(real), Stem(real) + kLockSuffix);
}

// What a lock file holds: an owner line, then maybe a record.
struct LockText {
  std::string owner;
  std::string record;
  std::size_t kept = 0;  // bytes of the owner line
};

// Reads a lock file's text from `fd`. Records are one short line and owners
// one name: more is not ours to interpret, and reads as an unreadable record.
void ReadLockText(int fd, off_t size, LockText* text) {
  if (size <= 0) return;
  char buffer[8192];
  const ssize_t n = ::pread(fd, buffer, sizeof buffer, 0);
  const std::size_t got = n > 0 ? static_cast<std::size_t>(n) : 0;
  const char* const end = buffer + got;
  const char kOwner[] = "owner=";
  const char* line = buffer;  // where a record begins
  if (got > sizeof kOwner - 1 && std::memcmp(buffer, kOwner, sizeof kOwner - 1) == 0) {
    const char* nl = static_cast<const char*>(std::memchr(buffer, '\n', got));
    if (nl != nullptr) {
      text->owner.assign(static_cast<const char*>(buffer) + sizeof kOwner - 1, nl);
      text->kept = static_cast<std::size_t>(nl + 1 - buffer);
      line = nl + 1;
    }
  }
  if (static_cast<off_t>(text->kept) < size) {
    text->record.assign(line, end);
    if (text->record.empty() || static_cast<off_t>(got) < size) text->record = "?";
  }
}

bool Lock(int fd, int mode, const std::function<void()>& onWait) {
  if (KQ_SYS(::flock(fd, mode | LOCK_NB)) == 0) return true;
  if (errno != EWOULDBLOCK) return false;
  if (onWait) onWait();
  while (::flock(fd, mode) != 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

}  // namespace

namespace kqbitmapops_detail {
void SetMaxTransferForTesting(std::size_t bytes) noexcept {
  g_maxTransfer.store(bytes == 0 || bytes > kKernelMaxTransfer ? kKernelMaxTransfer : bytes);
}
void ReportHolesForTesting(bool report) noexcept { g_holesReported.store(report); }
int FailFileCallForTesting(int nth, int err) noexcept {
  const int made = g_calls.exchange(0);
  g_failErr.store(err);
  g_failAt.store(nth);
  return made;
}
}  // namespace kqbitmapops_detail

namespace kqfile {

bool Fd::reset() noexcept {
  const int fd = fd_;
  fd_ = -1;
  return fd < 0 || ::close(fd) == 0;
}

bool WriteFully(int fd, const unsigned char* data, std::size_t n) noexcept {
  const std::size_t cap = g_maxTransfer.load(std::memory_order_relaxed);
  while (n > 0) {
    const ssize_t done = KQ_SYS(::write(fd, data, n < cap ? n : cap));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    n -= static_cast<std::size_t>(done);
  }
  return true;
}

std::size_t ReadFully(int fd, unsigned char* data, std::size_t n) noexcept {
  const std::size_t cap = g_maxTransfer.load(std::memory_order_relaxed);
  std::size_t got = 0;
  while (got < n) {
    const std::size_t want = n - got;
    const ssize_t done = KQ_SYS(::read(fd, data + got, want < cap ? want : cap));
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) break;
    got += static_cast<std::size_t>(done);
  }
  return got;
}

// The next run of data in bytes [at, n) of the span that starts at file
// offset `offset`, as [*from, *to) of the span; false when only holes are
// left. Where the file system cannot tell (or the test seam says so), all
// that is left counts as data.
bool NextData(int fd, std::size_t offset, std::size_t at, std::size_t n, std::size_t* from,
              std::size_t* to) noexcept {
  *from = at;
  *to = n;
  if (!g_holesReported.load(std::memory_order_relaxed)) return true;
  const off_t data = KQ_SYS(::lseek(fd, static_cast<off_t>(offset + at), SEEK_DATA));
  if (data < 0 && errno == ENXIO) return false;
  const off_t hole = data < 0 ? -1 : ::lseek(fd, data, SEEK_HOLE);
  if (data >= 0 && hole >= 0) {
    *from = std::min(static_cast<std::size_t>(data) - offset, n);
    *to = std::min(static_cast<std::size_t>(hole) - offset, n);
  }
  return true;
}

std::size_t ReadSpan(int fd, unsigned char* data, std::size_t n, std::size_t offset) noexcept {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || static_cast<std::size_t>(st.st_size) < offset + n) {
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) != static_cast<off_t>(offset)) return 0;
    return ReadFully(fd, data, n);
  }
  const std::size_t cap = g_maxTransfer.load(std::memory_order_relaxed);
  std::size_t at = 0;
  while (at < n) {
    std::size_t from = n, to = n;
    if (!NextData(fd, offset, at, n, &from, &to)) from = to = n;
    std::memset(data + at, 0, from - at);  // a hole reads as zeros
    for (at = from; at < to;) {
      const ssize_t got =
          KQ_SYS(::pread(fd, data + at, std::min(to - at, cap), static_cast<off_t>(offset + at)));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) return at;
      at += static_cast<std::size_t>(got);
    }
  }
  return at;
}

BitmapStream::Opened BitmapStream::Open(const std::string& path, bool resolved, std::size_t n,
                                        unsigned char* header) {
  constexpr std::size_t kBuffer = std::size_t{1} << 20;
  n_ = n;
  bufferSize_ = std::min(n, kBuffer);
  buffer_.reset(new unsigned char[bufferSize_ != 0 ? bufferSize_ : 1]);
  OpenForRead(path, &file_, resolved);
  if (file_.notRegular) return Opened::NotRegular;
  if (!file_.fd.valid()) return Opened::Open;
  if (ReadFully(file_.fd.get(), header, 1) != 1) return Opened::Header;
  struct stat st {};
  if (KQ_SYS(::fstat(file_.fd.get(), &st)) != 0) return Opened::Short;
  const bool whole = st.st_size >= 1 && static_cast<std::size_t>(st.st_size) - 1 >= n;
  return whole ? Opened::Ok : Opened::Short;
}

bool BitmapStream::MergeInto(unsigned char* target,
                             void (*orInto)(unsigned char*, const unsigned char*,
                                            std::size_t) noexcept) noexcept {
  constexpr std::size_t kOffset = 1;  // the header byte
  const int fd = file_.fd.get();
  const std::size_t cap = std::min(bufferSize_, g_maxTransfer.load(std::memory_order_relaxed));
  for (std::size_t at = 0; at < n_;) {
    std::size_t end = n_;
    if (!NextData(fd, kOffset, at, n_, &at, &end)) return true;
    while (at < end) {
      const ssize_t got = KQ_SYS(
          ::pread(fd, buffer_.get(), std::min(end - at, cap), static_cast<off_t>(kOffset + at)));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        if (got == 0) errno = EIO;  // cut short since it was opened
        return false;
      }
      orInto(target + at, buffer_.get(), static_cast<std::size_t>(got));
      at += static_cast<std::size_t>(got);
    }
  }
  return true;
}

Presence Probe(const std::string& path) noexcept {
  struct stat st {};
  if (KQ_SYS(::stat(path.c_str(), &st)) == 0) return Presence::Present;
  return errno == ENOENT ? Presence::Absent : Presence::Unknown;
}

bool SameFile(const std::string& a, const std::string& b) noexcept {
  if (a == b) return true;
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string DirectoryOf(const std::string& path) { return DirName(path); }

// Gives up the page cache of a file whose contents are about to be replaced;
// only clean pages go, the file itself is untouched. A replacement needs as
// many fresh pages as the file has, and those freed here are the cheapest to
// get: for a large bitmap they are otherwise taken from memory the system has
// long left unused, or reclaimed from other files, while the old copy still
// sits in the cache until the rename drops it anyway.
void DropCachedPages(const std::string& path) noexcept {
  const int saved = errno;
  const Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (fd.valid()) ::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_DONTNEED);
  errno = saved;
}

void OpenForRead(const std::string& path, ReadHandle* handle, bool resolved) noexcept {
  const int flags = O_RDONLY | O_DSYNC | O_NONBLOCK | O_CLOEXEC | (resolved ? O_NOFOLLOW : 0);
  handle->fd.adopt(KQ_SYS(::open(path.c_str(), flags)));
  if (!handle->fd.valid()) return;
  struct stat st {};
  if (::fstat(handle->fd.get(), &st) != 0) {
    const int err = errno;
    handle->fd.reset();
    errno = err;
  } else if (!S_ISREG(st.st_mode)) {
    handle->fd.reset();
    handle->notRegular = true;
    errno = EINVAL;
  }
}

Replacement::~Replacement() {
  if (!temp_.empty()) {
    const int saved = errno;
    fd_.reset();
    ::unlink(temp_.c_str());
    errno = saved;
  }
}

bool Replacement::Open(AheadFile* ahead) {
  if (target_.empty()) {
    errno = ENOENT;
    return false;
  }
  bool exists = false;
  struct stat st {};
  if (resolved_) {
    real_ = target_;
    exists = KQ_SYS(::lstat(real_.c_str(), &st)) == 0;
    if (!exists && errno != ENOENT) return false;
  } else if (const int err = Resolve(target_, &real_, &exists, &st)) {
    errno = err;
    return false;
  }
  if (exists && !S_ISREG(st.st_mode)) {
    notRegular_ = true;
    errno = EINVAL;
    return false;
  }
  if (exists) DropCachedPages(real_);
  const std::string dir = DirName(real_);
  std::string temp = Join(dir, Stem(real_) + kTempInfix + std::string(kTempRandom, 'X'));
  if (ahead != nullptr && ahead->fd_.valid()) Adopt(ahead, dir, &temp);
  for (int attempt = 0; !adopted_ && attempt < 100; ++attempt) {
    if (!RandomName(&temp[temp.size() - kTempRandom], kTempRandom)) return false;
    fd_.adopt(
        KQ_SYS(::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)));
    if (fd_.valid()) break;
    if (errno != EEXIST) {
      // A missing directory is the target's own problem; anything else
      // (no write permission, a read-only file system) is the directory's.
      if (errno != ENOENT && errno != ENOTDIR) noTempIn_ = dir;
      return false;
    }
  }
  if (!fd_.valid()) return false;
  temp_ = std::move(temp);
  if (!exists) return true;
  // The file that takes the old one's place keeps its owner (where we may
  // give it away) and its mode, as writing in place would have.
  if (::fchown(fd_.get(), st.st_uid, st.st_gid) != 0) {
    // Not privileged: the file stays ours, as a new one would be.
  }
  return ::fchmod(fd_.get(), st.st_mode & 07777) == 0;
}

bool Replacement::Append(const unsigned char* data, std::size_t n) noexcept {
  if (!AppendPaced(fd_.get(), written_, data, n)) return false;
  written_ += n;
  return true;
}

AheadFile::~AheadFile() {
  if (map_ != nullptr) ::munmap(map_, bytes_);
}

bool AheadFile::Write(const std::string& dir, unsigned char header, const unsigned char* data,
                      std::size_t n) noexcept {
  fd_.adopt(KQ_SYS(::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666)));
  // Not flushed here: its writeback goes on beside the job's other work, and
  // the save that puts it in place flushes it first, as any new file.
  if (!fd_.valid() || !AppendPaced(fd_.get(), 0, &header, 1) ||
      !AppendPaced(fd_.get(), 1, data, n) || !SetLength(fd_.get(), n + 1)) {
    fd_.reset();
    return false;
  }
  void* map = ::mmap(nullptr, n + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE, fd_.get(), 0);
  if (map == MAP_FAILED) {
    fd_.reset();
    return false;
  }
  map_ = static_cast<unsigned char*>(map);
  bytes_ = n + 1;
  header_ = header;
  return true;
}

bool AheadFile::Unchanged() const noexcept {
  // One 64-bit entry per page: bit 63 present, bit 62 swapped out, bit 61
  // the file's own page (a written page of a private mapping is a copy).
  constexpr uint64_t kPresent = uint64_t{1} << 63, kSwapped = uint64_t{1} << 62,
                     kFilePage = uint64_t{1} << 61;
  const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  const Fd pagemap(::open("/proc/self/pagemap", O_RDONLY | O_CLOEXEC));
  if (map_ == nullptr || !pagemap.valid()) return false;
  const std::size_t first = reinterpret_cast<std::uintptr_t>(map_) / page;
  const std::size_t pages = (bytes_ + page - 1) / page;
  uint64_t entries[512];  // on the stack: this may not fail for want of memory
  for (std::size_t done = 0; done < pages;) {
    const std::size_t want = std::min(pages - done, std::size(entries));
    const ssize_t got = ::pread(pagemap.get(), entries, want * sizeof entries[0],
                                static_cast<off_t>((first + done) * sizeof entries[0]));
    if (got != static_cast<ssize_t>(want * sizeof entries[0])) return false;
    for (std::size_t i = 0; i < want; ++i) {
      if ((entries[i] & kSwapped) != 0 ||
          ((entries[i] & kPresent) != 0 && (entries[i] & kFilePage) == 0)) {
        return false;
      }
    }
    done += want;
  }
  return true;
}

// Links the file written ahead at a fresh name in `dir` when it lies on the
// same file system; otherwise the caller creates and writes a new file.
void Replacement::Adopt(AheadFile* ahead, const std::string& dir, std::string* temp) {
  struct stat file {
  }, there{};
  if (::fstat(ahead->fd_.get(), &file) != 0 || ::stat(dir.c_str(), &there) != 0 ||
      file.st_dev != there.st_dev || !ahead->Unchanged()) {
    return;
  }
  const std::string self = "/proc/self/fd/" + std::to_string(ahead->fd_.get());
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (!RandomName(&(*temp)[temp->size() - kTempRandom], kTempRandom)) return;
    if (KQ_SYS(::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, temp->c_str(), AT_SYMLINK_FOLLOW)) == 0) {
      fd_.adopt(ahead->fd_.release());
      written_ = ahead->bytes_;
      adopted_ = true;
      return;
    }
    if (errno != EEXIST) return;
  }
}

Replacement::Stage Replacement::Commit() {
  if (!adopted_ && !SetLength(fd_.get(), written_)) return Stage::Write;
  if (KQ_SYS(::fsync(fd_.get())) != 0 || !fd_.reset()) return Stage::Flush;
  if (KQ_SYS(::rename(temp_.c_str(), real_.c_str())) != 0) return Stage::Rename;
  temp_.clear();
  return FlushDirectory(real_) ? Stage::Done : Stage::Flush;
}

BitmapFile::BitmapFile(std::string name) : name_(std::move(name)) {
  bool exists = false;
  struct stat st {};
  if (name_.empty()) {
    error_ = ENOENT;
  } else {
    error_ = Resolve(name_, &real_, &exists, &st);
  }
  if (error_ != 0) real_ = name_;
  dir_ = DirName(real_);
  leftoverPrefix_ = Stem(real_) + kTempInfix;
}

Presence BitmapFile::Probe() const noexcept {
  if (error_ != 0 && !name_.empty()) {
    errno = error_;
    return Presence::Unknown;
  }
  struct stat st {};
  if (KQ_SYS(::lstat(real_.c_str(), &st)) == 0) return Presence::Present;
  return errno == ENOENT ? Presence::Absent : Presence::Unknown;
}

void BitmapFile::RemoveLeftovers() const noexcept {
  if (error_ != 0) return;
  std::unique_ptr<DIR, int (*)(DIR*)> d(::opendir(dir_.c_str()), ::closedir);
  if (!d) return;
  while (const dirent* entry = ::readdir(d.get())) {
    if (std::strncmp(entry->d_name, leftoverPrefix_.c_str(), leftoverPrefix_.size()) == 0) {
      ::unlinkat(::dirfd(d.get()), entry->d_name, 0);
    }
  }
}

std::string BitmapFile::Identity() const {
  struct stat st {};
  if (error_ != 0 || ::lstat(real_.c_str(), &st) != 0) {
    return error_ == 0 && errno == ENOENT ? "none" : "";
  }
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool SameVolume(const std::string& a, const std::string& b) noexcept {
  if (a == b) return true;
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && S_ISBLK(sa.st_mode) &&
         S_ISBLK(sb.st_mode) && sa.st_rdev == sb.st_rdev;
}

namespace {
// The locks this thread holds.
thread_local std::vector<const FileLock*> t_held;
}  // namespace

void FileLock::Release() noexcept {
  const auto at = std::find(t_held.begin(), t_held.end(), this);
  if (held_ && at != t_held.end()) t_held.erase(at);
  held_ = false;
  fd_.reset();
}

bool FileLock::Acquire(const std::string& real, bool exclusive,
                       const std::function<void()>& onWait) {
  if (real.empty()) {
    errno = ENOENT;
    return false;
  }
  Release();
  path_ = LockPathFor(real);
  dir_ = DirName(path_);
  owner_.clear();
  stale_.clear();
  kept_ = 0;
  refusal_ = Refusal::None;
  for (const FileLock* other : t_held) {
    if (other->path_ == path_) return true;
  }
  fd_.adopt(OpenLockFile(path_, &created_, &refusal_, &refusedDetail_));
  // On a read-only file system nothing can replace the file or leave a
  // record: a reader needs no lock there (and can make none).
  if (!fd_.valid() && !exclusive && errno == EROFS) return true;
  struct stat st {};
  if (!fd_.valid() || !Lock(fd_.get(), exclusive ? LOCK_EX : LOCK_SH, onWait) ||
      KQ_SYS(::fstat(fd_.get(), &st)) != 0) {
    const int err = errno;
    fd_.reset();
    errno = err;
    return false;
  }
  LockText text;
  ReadLockText(fd_.get(), st.st_size, &text);
  owner_ = std::move(text.owner);
  stale_ = std::move(text.record);
  kept_ = text.kept;
  t_held.push_back(this);
  held_ = true;
  return true;
}

std::string FileLock::PathFor(const std::string& real) { return LockPathFor(real); }

std::string FileLock::PeekOwner(const std::string& real) {
  const Fd fd(::open(LockPathFor(real).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!fd.valid() || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 ||
      (st.st_uid != ::geteuid() && st.st_uid != 0)) {
    return {};
  }
  LockText text;
  ReadLockText(fd.get(), st.st_size, &text);
  return text.owner;
}

bool FileLock::Claim(const std::string& owner) {
  if (!held_ || !owner_.empty() || !stale_.empty()) {
    errno = EBUSY;
    return false;
  }
  const std::string line = "owner=" + owner + "\n";
  const auto* bytes = reinterpret_cast<const unsigned char*>(line.data());
  // Not flushed: an owner lost to a crash is written again by the next
  // writer, before it touches the driver.
  if (::lseek(fd_.get(), 0, SEEK_SET) != 0 || !WriteFully(fd_.get(), bytes, line.size())) {
    const int err = errno;
    if (::ftruncate(fd_.get(), 0) != 0) {
      // Left as it is: an owner line in part reads as a record.
    }
    errno = err;
    return false;
  }
  owner_ = owner;
  kept_ = line.size();
  return true;
}

bool FileLock::Begin(const std::string& text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const auto kept = static_cast<off_t>(kept_);
  if (::ftruncate(fd_.get(), kept) != 0 || ::lseek(fd_.get(), kept, SEEK_SET) != kept ||
      !WriteFully(fd_.get(), bytes, text.size()) || KQ_SYS(::fdatasync(fd_.get())) != 0 ||
      // A lock file new to its directory is only durable once the directory is.
      (created_ && !FlushDir(dir_.c_str()))) {
    // Nothing was cleared yet: a record left behind would make the next
    // call force a full backup for nothing.
    const int err = errno;
    End();
    errno = err;
    return false;
  }
  created_ = false;
  return true;
}

void FileLock::End() noexcept {
  if (fd_.valid() && ::ftruncate(fd_.get(), static_cast<off_t>(kept_)) == 0) stale_.clear();
}

}  // namespace kqfile
