// The log facility stand-in: formatting, destinations, the test capture and
// debugBreak. Every entry point is noexcept, keeps errno and swallows its own
// failures: a log line must never change what the logging operation does.
#include "EvDebug.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "EvDebugFileInstance.h"
#include "KqLogControl.h"

namespace kqlog::detail {
std::atomic<int> g_level{1};
}  // namespace kqlog::detail

namespace {

using kqlog::Entry;

constexpr int kLogOpenFlags = O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC;
constexpr mode_t kLogFileMode = 0644;
constexpr const char* kBreakTag = "EvDebug::debugBreak";

class ErrnoKeeper {
 public:
  ErrnoKeeper() noexcept : saved_(errno) {}
  ~ErrnoKeeper() { errno = saved_; }
  ErrnoKeeper(const ErrnoKeeper&) = delete;
  ErrnoKeeper& operator=(const ErrnoKeeper&) = delete;

 private:
  int saved_;
};

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  UniqueFd& operator=(UniqueFd&&) = delete;
  ~UniqueFd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

struct CaptureFrame {
  const kqlog::Capture* owner;
  int level;
  std::vector<Entry> entries;
};

struct Globals {
  // Null: standard error. Read and replaced with std::atomic_load/store; a
  // writer's copy keeps a replaced descriptor open until its write is done.
  std::shared_ptr<const UniqueFd> destination;
  std::mutex captureMutex;
  std::vector<CaptureFrame> captures;  // the last one records
};

// Never destroyed, so that objects logging from static destructors stay safe.
Globals& G() {
  static auto* const globals = new Globals;
  return *globals;
}

std::atomic<bool> g_capturing{false};
std::atomic<long long> g_pollMs{100};

CaptureFrame* FindFrame(const kqlog::Capture* owner) {
  for (CaptureFrame& f : G().captures) {
    if (f.owner == owner) return &f;
  }
  return nullptr;
}

// Stack storage for the usual line; the heap only for a long one. If even the
// heap fails, the line is cut short rather than lost.
class LineBuffer {
 public:
  LineBuffer() = default;
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;

  void vappend(const char* format, va_list args) noexcept {
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(data_ + len_, cap_ - len_, format, args);
    if (n < 0) {
      va_end(again);
      return;
    }
    const auto need = static_cast<size_t>(n);
    if (need + kSpare > cap_ - len_ && grow(len_ + need + kSpare)) {
      std::vsnprintf(data_ + len_, cap_ - len_, format, again);
    }
    va_end(again);
    len_ = std::min(len_ + need, cap_ - kSpare);
  }

  void append(const char* format, ...) noexcept __attribute__((format(printf, 2, 3))) {
    va_list args;
    va_start(args, format);
    vappend(format, args);
    va_end(args);
  }

  // Ends the line with one newline, whether or not the message brought its own.
  void endLine() noexcept {
    if (len_ == 0 || data_[len_ - 1] != '\n') data_[len_++] = '\n';
  }

  const char* data() const noexcept { return data_; }
  size_t size() const noexcept { return len_; }

 private:
  static constexpr size_t kSpare = 2;  // room for the newline and vsnprintf's NUL

  bool grow(size_t capacity) noexcept {
    std::unique_ptr<char[]> bigger(new (std::nothrow) char[capacity]);
    if (!bigger) return false;
    std::memcpy(bigger.get(), data_, len_);
    heap_ = std::move(bigger);
    data_ = heap_.get();
    cap_ = capacity;
    return true;
  }

  char stack_[4096]{};
  std::unique_ptr<char[]> heap_;
  char* data_ = stack_;
  size_t cap_ = sizeof stack_;
  size_t len_ = 0;
};

long ThreadId() noexcept {
  thread_local const long tid = syscall(SYS_gettid);
  return tid;
}

void WriteFully(int fd, const char* p, size_t n) noexcept {
  while (n > 0) {
    const ssize_t w = write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
}

// Returns true when a capture took the line (recorded or dropped by its level).
bool Captured(Entry::Kind kind, const char* tag, int level, const std::string& text,
              const EvDebug* source, bool fromEvent) {
  if (!g_capturing.load(std::memory_order_acquire)) return false;
  std::lock_guard<std::mutex> lock(G().captureMutex);
  if (G().captures.empty()) return false;
  CaptureFrame& frame = G().captures.back();
  if (kind == Entry::Kind::Break || level <= frame.level) {
    frame.entries.push_back(Entry{kind, tag, level, text, source, fromEvent});
  }
  return true;
}

// The caller has checked the level already.
void Emit(const EvDebug* source, bool fromEvent, int ownFd, Entry::Kind kind, const char* tag,
          int level, const char* format, va_list args) noexcept {
  ErrnoKeeper keepErrno;
  try {
    if (tag == nullptr) tag = "";
    if (format == nullptr) format = "";
    if (g_capturing.load(std::memory_order_acquire)) {
      va_list forCapture;
      va_copy(forCapture, args);
      LineBuffer text;
      text.vappend(format, forCapture);
      va_end(forCapture);
      if (Captured(kind, tag, level, std::string(text.data(), text.size()), source, fromEvent)) {
        return;
      }
    }
    LineBuffer line;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    gmtime_r(&now.tv_sec, &utc);
    line.append("%04d-%02d-%02dT%02d:%02d:%02d.%06ldZ pid=%ld tid=%ld L%d [%s] ",
                utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                utc.tm_sec, static_cast<long>(now.tv_nsec / 1000), static_cast<long>(getpid()),
                ThreadId(), level, tag);
    line.vappend(format, args);
    line.endLine();
    if (ownFd >= 0) {
      WriteFully(ownFd, line.data(), line.size());
      return;
    }
    const std::shared_ptr<const UniqueFd> dest = std::atomic_load(&G().destination);
    WriteFully(dest ? dest->get() : STDERR_FILENO, line.data(), line.size());
  } catch (...) {
  }
}

enum class MarkerState { Absent, Trusted, Untrusted };

struct MarkerCheck {
  MarkerState state;
  char why[96];
};

// One open when the marker is absent. O_PATH opens nothing that could block
// or have side effects (a FIFO, a device), and with O_NOFOLLOW a symlink is
// opened as itself, so fstat tells the whole story.
MarkerCheck CheckMarker(const char* marker) noexcept {
  MarkerCheck check{MarkerState::Untrusted, ""};
  UniqueFd fd(open(marker, O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      check.state = MarkerState::Absent;
    } else {
      std::snprintf(check.why, sizeof check.why, "cannot check it, error %d", errno);
    }
    return check;
  }
  struct stat st {};
  if (fstat(fd.get(), &st) != 0) {
    std::snprintf(check.why, sizeof check.why, "cannot check it, error %d", errno);
  } else if (S_ISLNK(st.st_mode)) {
    std::snprintf(check.why, sizeof check.why, "symbolic link");
  } else if (!S_ISREG(st.st_mode)) {
    std::snprintf(check.why, sizeof check.why, "not a regular file");
  } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
    std::snprintf(check.why, sizeof check.why,
                  "owned by uid %u, neither root nor the effective user",
                  static_cast<unsigned>(st.st_uid));
  } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    std::snprintf(check.why, sizeof check.why, "writable by group or others (mode %03o)",
                  static_cast<unsigned>(st.st_mode & 0777));
  } else {
    check.state = MarkerState::Trusted;
  }
  return check;
}

}  // namespace

EvDebug::EvDebug(EvDebugFileInstance* instance) noexcept : instance_(instance) {
  if (instance_ == nullptr) return;
  ErrnoKeeper keepErrno;
  fd_ = open(instance_->path().c_str(), kLogOpenFlags, kLogFileMode);
  if (fd_ < 0) {
    Debug("EvDebug::EvDebug", "cannot open log file %s: error %d; using the default destination",
          instance_->path().c_str(), errno);
  }
}

EvDebug::~EvDebug() {
  if (fd_ >= 0) {
    ErrnoKeeper keepErrno;
    close(fd_);
  }
}

// NOLINTNEXTLINE(readability-make-member-function-const): the facility's call shape
void EvDebug::Debug(char const* tag, char const* format, ...) noexcept {
  if (!kqlog::LevelEnabled(1)) return;
  va_list args;
  va_start(args, format);
  Emit(this, isEvent_, fd_, Entry::Kind::Debug, tag, 1, format, args);
  va_end(args);
}

// NOLINTNEXTLINE(readability-make-member-function-const): the facility's call shape
void EvDebug::DebugLvl(char const* tag, int level, char const* format, ...) noexcept {
  if (!kqlog::LevelEnabled(level)) return;
  va_list args;
  va_start(args, format);
  Emit(this, isEvent_, fd_, Entry::Kind::DebugLvl, tag, level, format, args);
  va_end(args);
}

// NOLINTNEXTLINE(readability-make-member-function-const): the facility's call shape
void EvDebug::debug(char const* format, ...) noexcept {
  if (!kqlog::LevelEnabled(1)) return;
  va_list args;
  va_start(args, format);
  Emit(this, isEvent_, fd_, Entry::Kind::Untagged, "", 1, format, args);
  va_end(args);
}

void EvDebug::debugBreak(char const* marker, char const*, int, int, bool) noexcept {
  if (marker == nullptr) return;
  ErrnoKeeper keepErrno;
  try {
    Captured(Entry::Kind::Break, "", 0, marker, this, isEvent_);
    const MarkerCheck first = CheckMarker(marker);
    if (first.state == MarkerState::Absent) return;
    if (first.state == MarkerState::Untrusted) {
      Debug(kBreakTag, "ignoring marker %s: %s", marker, first.why);
      return;
    }
    Debug(kBreakTag, "pausing: marker %s present", marker);
    do {
      std::this_thread::sleep_for(std::chrono::milliseconds(g_pollMs.load()));
    } while (CheckMarker(marker).state == MarkerState::Trusted);
    Debug(kBreakTag, "resuming: marker %s gone", marker);
  } catch (...) {
  }
}

namespace kqlog {

void SetLevel(int level) noexcept { detail::g_level.store(level); }

int Level() noexcept { return detail::g_level.load(); }

void SetDestination(const std::string& path) noexcept {
  ErrnoKeeper keepErrno;
  try {
    std::shared_ptr<const UniqueFd> next;
    int openError = 0;
    if (!path.empty()) {
      UniqueFd fd(open(path.c_str(), kLogOpenFlags, kLogFileMode));
      if (fd.get() >= 0) {
        next = std::make_shared<const UniqueFd>(std::move(fd));
      } else {
        openError = errno;
      }
    }
    std::atomic_store(&G().destination, std::move(next));
    if (openError != 0) {
      EvDebug().Debug("kqlog::SetDestination",
                      "cannot open log file %s: error %d; logging to standard error", path.c_str(),
                      openError);
    }
  } catch (...) {
  }
}

std::chrono::milliseconds SetBreakPollInterval(std::chrono::milliseconds interval) noexcept {
  const long long ms = std::max<long long>(1, interval.count());
  return std::chrono::milliseconds(g_pollMs.exchange(ms));
}

Capture::Capture(int level) : savedLevel_(Level()) {
  {
    std::lock_guard<std::mutex> lock(G().captureMutex);
    G().captures.push_back(CaptureFrame{this, level, {}});
    g_capturing.store(true, std::memory_order_release);
  }
  SetLevel(level);
}

Capture::~Capture() {
  {
    std::lock_guard<std::mutex> lock(G().captureMutex);
    std::vector<CaptureFrame>& frames = G().captures;
    frames.erase(std::remove_if(frames.begin(), frames.end(),
                                [this](const CaptureFrame& f) { return f.owner == this; }),
                 frames.end());
    g_capturing.store(!frames.empty(), std::memory_order_release);
  }
  SetLevel(savedLevel_);
}

std::vector<Entry> Capture::entries() const {
  std::lock_guard<std::mutex> lock(G().captureMutex);
  const CaptureFrame* frame = FindFrame(this);
  return frame ? frame->entries : std::vector<Entry>{};
}

std::vector<std::string> Capture::lines() const {
  std::vector<std::string> out;
  for (const Entry& e : entries()) {
    if (e.kind != Entry::Kind::Break) {
      out.push_back(e.tag + "|" + std::to_string(e.level) + "|" + e.text);
    }
  }
  return out;
}

std::vector<std::string> Capture::breaks() const {
  std::vector<std::string> out;
  for (const Entry& e : entries()) {
    if (e.kind == Entry::Kind::Break) out.push_back(e.text);
  }
  return out;
}

// NOLINTNEXTLINE(readability-make-member-function-const): empties this capture's record
void Capture::clear() {
  std::lock_guard<std::mutex> lock(G().captureMutex);
  if (CaptureFrame* frame = FindFrame(this)) frame->entries.clear();
}

}  // namespace kqlog
