// Shared by the demo job and kqbitmap: runs of set bits ("extents"), their
// text, size arguments with suffixes, and a small command-line reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace kqtools {

// Where bit n lives: always in byte n / 8; LsbFirst uses mask 1 << (n % 8)
// (the simulated driver's order), MsbFirst mask 0x80 >> (n % 8).
enum class BitOrder { LsbFirst, MsbFirst };

// Finds the runs of set bits in a bitmap fed to it in pieces, in one pass,
// counting the set bits on the way. Each run goes to the sink as it ends, so
// a bitmap of any size needs no memory for its extents.
class ExtentScanner {
 public:
  using Sink = std::function<void(uint64_t first, uint64_t last)>;  // bit numbers, inclusive

  ExtentScanner(BitOrder order, Sink sink);
  // The next `n` bytes of the bitmap.
  void Scan(const unsigned char* data, std::size_t n);
  // Ends the last run; call once after the last Scan.
  void Finish();

  uint64_t setBits() const { return setBits_; }
  uint64_t extents() const { return extents_; }

 private:
  void Open();
  void Close();

  BitOrder order_;
  Sink sink_;
  uint64_t bit_ = 0;  // number of the next bit to scan
  bool inRun_ = false;
  uint64_t runStart_ = 0;
  uint64_t setBits_ = 0;
  uint64_t extents_ = 0;
};

// The set bits among bits [first, end) of a bitmap: whole 64-bit words at a
// time, with masks for the bytes a range starts or ends inside.
uint64_t CountSetBits(const unsigned char* data, uint64_t first, uint64_t end, BitOrder order);

// "12-15" or "40".
std::string ExtentText(uint64_t first, uint64_t last);

// "12-15, 40, 77" for the set bits of a bitmap, at most `limit` extents and then
// "... (N more)"; "none" when no bit is set.
std::string CompactExtents(const unsigned char* data, std::size_t n, std::size_t limit = 16,
                           BitOrder order = BitOrder::LsbFirst);

// A byte count: digits with an optional K, M, G or T suffix (powers of 1024,
// either case). False for anything else or a value that does not fit.
bool ParseSize(const std::string& text, uint64_t* value);

// Reads "--name VALUE", "--name=VALUE" and flags from the command line, in order.
class ArgReader {
 public:
  ArgReader(int argc, char** argv) : argc_(argc), argv_(argv) {}
  bool done() const { return i_ >= argc_; }
  const char* peek() const { return argv_[i_]; }
  std::string next() { return argv_[i_++]; }
  // True (and moved past it) when the current argument is the flag `name`.
  bool Flag(const char* name);
  // True (and moved past it) when the current argument is the option `name`;
  // *value is its value. A missing value leaves error() set.
  bool Option(const char* name, std::string* value);
  const std::string& error() const { return error_; }

 private:
  int argc_;
  char** argv_;
  int i_ = 1;
  std::string error_;
};

}  // namespace kqtools
