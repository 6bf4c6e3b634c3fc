// Control and test API of the log facility stand-in (not part of the
// library's own interface).
//
//   kqlog::SetLevel(2);                 // 0 off, 1 progress (default), 2 byte listings
//   kqlog::SetDestination("/var/log/x") // append to a file; "" means standard error (default)
//   kqlog::Capture cap;                 // tests: record every line instead of writing it
//   kqlog::SetBreakPollInterval(std::chrono::milliseconds(5));  // tests: faster debugBreak polls
//
// Each written line (UTC time stamp; an untagged line shows "[]") looks like
//   2026-12-06T08:32:17.123456Z pid=123 tid=456 L1 [KQBitMapOps::SaveBMToFile] Saving bitmap to /x
// and is written with one write(), so lines of concurrent writers never mix.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

class EvDebug;

namespace kqlog {

namespace detail {
extern std::atomic<int> g_level;
}

// True when a line of `level` would be logged: lets a caller skip a loop of
// level-2 lines with one check instead of one call per line.
inline bool LevelEnabled(int level) noexcept {
  const int threshold = detail::g_level.load(std::memory_order_relaxed);
  return threshold > 0 && level <= threshold;
}
void SetLevel(int level) noexcept;
int Level() noexcept;
// Empty path: standard error. A file is opened O_APPEND (created 0644 less the
// umask); one that cannot be opened falls back to standard error, saying so there
// under the tag "kqlog::SetDestination".
void SetDestination(const std::string& path) noexcept;
// How often debugBreak looks for its marker again while paused (default 100 ms,
// at least 1 ms). Returns the previous interval.
std::chrono::milliseconds SetBreakPollInterval(std::chrono::milliseconds interval) noexcept;

struct Entry {
  enum class Kind { Debug, DebugLvl, Untagged, Break };
  Kind kind;
  std::string tag;   // empty for Untagged and Break
  int level;         // 1 for Debug and Untagged, the given level for DebugLvl, 0 for Break
  std::string text;  // formatted message; the marker path for Break
  const EvDebug* source;
  bool fromEvent;  // logged through an EvEvent (an object's log object)
};

// While a Capture exists, lines at or below its level are recorded (not
// written) in call order, from every thread; lines above it are dropped. Every
// debugBreak call is recorded as a Break entry, whatever the level. The
// constructor sets the threshold to the capture's level, the destructor puts
// the previous one back. Meant to be one at a time; a nested Capture takes over
// until it is destroyed.
class Capture {
 public:
  explicit Capture(int level = 2);
  ~Capture();
  Capture(const Capture&) = delete;
  Capture& operator=(const Capture&) = delete;

  std::vector<Entry> entries() const;
  // Only the tagged and untagged lines, rendered as "tag|level|text" (Break entries omitted).
  std::vector<std::string> lines() const;
  // The marker paths of debugBreak calls, in order.
  std::vector<std::string> breaks() const;
  void clear();

 private:
  int savedLevel_;
};

}  // namespace kqlog
