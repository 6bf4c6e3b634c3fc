// Log facility stand-in: a log file that an EvDebug may write to instead of
// the process-wide destination.
#pragma once

#include <string>

class EvDebugFileInstance {
 public:
  explicit EvDebugFileInstance(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};
