// Log facility stand-in: the tagged, levelled debug log of the common library.
//
// Levels: Debug() and debug() lines are level 1, DebugLvl() carries its own
// level (1 progress, 2 byte listings). A line is written when its level is at
// or below the process-wide threshold (kqlog::SetLevel, default 1); a line
// above it returns before any formatting. Logging never throws and never
// changes errno. Thread-safe: each line is written with one write().
#pragma once

class EvDebugFileInstance;

class EvDebug {
 public:
  // A null instance writes to the process-wide destination (kqlog::SetDestination);
  // otherwise lines are appended to the instance's path, opened here (if that
  // fails, "cannot open log file %s: error %d; using the default destination"
  // goes to the process-wide destination, and so do the lines).
  explicit EvDebug(EvDebugFileInstance* instance = nullptr) noexcept;
  ~EvDebug();
  EvDebug(const EvDebug&) = delete;
  EvDebug& operator=(const EvDebug&) = delete;

  void Debug(char const* tag, char const* format, ...) noexcept
      __attribute__((format(printf, 3, 4)));
  void DebugLvl(char const* tag, int level, char const* format, ...) noexcept
      __attribute__((format(printf, 4, 5)));
  void debug(char const* format, ...) noexcept __attribute__((format(printf, 2, 3)));

  // Pauses while `marker` names a trusted marker file (a regular file, not a
  // symlink, owned by root or the effective user, not writable by group or
  // others), polling every 100 ms (kqlog::SetBreakPollInterval) and logging
  // when it pauses and resumes. With no marker present it costs one system
  // call. The other arguments are accepted for the library's signature and
  // not used. Its lines, tag "EvDebug::debugBreak", level 1:
  //   "pausing: marker %s present"          a trusted marker; polls until it is gone
  //   "resuming: marker %s gone"            the marker was removed (or is no longer trusted)
  //   "ignoring marker %s: <why>"           an untrusted marker, once per call; no pause.
  //     <why>: "symbolic link", "not a regular file", "owned by uid %u, neither
  //     root nor the effective user", "writable by group or others (mode %03o)",
  //     "cannot check it, error %d"
  void debugBreak(char const* marker, char const* unused, int unused2, int unused3,
                  bool unused4) noexcept;

 protected:
  // True for the log object of a KQBitMapOps (an EvEvent); used by the capture.
  bool isEvent_ = false;

 private:
  EvDebugFileInstance* instance_;
  int fd_ = -1;  // the instance's file, owned; -1: the process-wide destination
};
