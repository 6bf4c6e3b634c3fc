#include "BitmapText.h"

#include <cstring>
#include <limits>
#include <utility>

namespace kqtools {

ExtentScanner::ExtentScanner(BitOrder order, Sink sink) : order_(order), sink_(std::move(sink)) {}

void ExtentScanner::Open() {
  if (inRun_) return;
  inRun_ = true;
  runStart_ = bit_;
}

void ExtentScanner::Close() {
  if (!inRun_) return;
  inRun_ = false;
  ++extents_;
  if (sink_) sink_(runStart_, bit_ - 1);
}

void ExtentScanner::Scan(const unsigned char* data, std::size_t n) {
  std::size_t i = 0;
  while (i < n) {
    // Changed-block bitmaps are mostly zeros, sometimes long runs of ones:
    // whole words of either need no look at single bits.
    if (n - i >= sizeof(uint64_t)) {
      uint64_t word;
      std::memcpy(&word, data + i, sizeof word);
      if (word == 0 || word == ~uint64_t{0}) {
        if (word == 0) {
          Close();
        } else {
          Open();
          setBits_ += 64;
        }
        bit_ += 64;
        i += sizeof word;
        continue;
      }
    }
    const unsigned byte = data[i++];
    for (unsigned k = 0; k < 8; ++k) {
      const unsigned mask = order_ == BitOrder::LsbFirst ? 1u << k : 0x80u >> k;
      if ((byte & mask) != 0) {
        Open();
        ++setBits_;
      } else {
        Close();
      }
      ++bit_;
    }
  }
}

void ExtentScanner::Finish() { Close(); }

namespace {

// Bits [from, to) of one byte, 0 <= from < to <= 8, as a mask in the given order.
unsigned ByteMask(unsigned from, unsigned to, BitOrder order) {
  if (order == BitOrder::LsbFirst) return ((1u << to) - 1u) & ~((1u << from) - 1u);
  return (0xFFu >> from) & ~(0xFFu >> to);
}

unsigned Popcount(unsigned byte) { return static_cast<unsigned>(__builtin_popcount(byte)); }

// The set bits of `words` 64-bit words. Without the popcnt instruction the
// compiler calls a library routine ten times slower, so x86-64 also gets a
// copy built for the instruction, taken when the processor has it.
inline __attribute__((always_inline)) uint64_t CountWordsBody(const unsigned char* data,
                                                              uint64_t words) {
  uint64_t count = 0;
  for (uint64_t i = 0; i < words; ++i) {
    uint64_t word;
    std::memcpy(&word, data + i * sizeof word, sizeof word);
    count += static_cast<uint64_t>(__builtin_popcountll(word));
  }
  return count;
}

#if defined(__x86_64__)
__attribute__((target("popcnt"))) uint64_t CountWordsPopcnt(const unsigned char* data,
                                                            uint64_t words) {
  return CountWordsBody(data, words);
}

bool HavePopcnt() {
  __builtin_cpu_init();  // may run before the runtime's own initialisation did
  return __builtin_cpu_supports("popcnt") != 0;
}
const bool kHavePopcnt = HavePopcnt();
#endif

uint64_t CountWords(const unsigned char* data, uint64_t words) {
#if defined(__x86_64__)
  if (kHavePopcnt) return CountWordsPopcnt(data, words);
#endif
  return CountWordsBody(data, words);
}

}  // namespace

uint64_t CountSetBits(const unsigned char* data, uint64_t first, uint64_t end, BitOrder order) {
  if (first >= end) return 0;
  uint64_t byte = first / 8;
  const uint64_t wholeEnd = end / 8;  // bytes before this one lie wholly below `end`
  if (byte == (end - 1) / 8) {
    return Popcount(data[byte] &
                    ByteMask(first % 8, static_cast<unsigned>((end - 1) % 8 + 1), order));
  }
  uint64_t count = 0;
  if (first % 8 != 0) count += Popcount(data[byte++] & ByteMask(first % 8, 8, order));
  const uint64_t words = (wholeEnd - byte) / sizeof(uint64_t);
  count += CountWords(data + byte, words);
  byte += words * sizeof(uint64_t);
  for (; byte < wholeEnd; ++byte) count += Popcount(data[byte]);
  if (end % 8 != 0) count += Popcount(data[wholeEnd] & ByteMask(0, end % 8, order));
  return count;
}

std::string ExtentText(uint64_t first, uint64_t last) {
  std::string text = std::to_string(first);
  if (last != first) text += "-" + std::to_string(last);
  return text;
}

std::string CompactExtents(const unsigned char* data, std::size_t n, std::size_t limit,
                           BitOrder order) {
  std::string text;
  std::size_t shown = 0;
  ExtentScanner scanner(order, [&](uint64_t first, uint64_t last) {
    if (shown++ >= limit) return;
    if (!text.empty()) text += ", ";
    text += ExtentText(first, last);
  });
  scanner.Scan(data, n);
  scanner.Finish();
  if (shown == 0) return "none";
  if (shown > limit) text += ", ... (" + std::to_string(shown - limit) + " more)";
  return text;
}

bool ParseSize(const std::string& text, uint64_t* value) {
  std::size_t i = 0;
  uint64_t number = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    const auto digit = static_cast<unsigned>(text[i] - '0');
    if (number > (std::numeric_limits<uint64_t>::max() - digit) / 10) return false;
    number = number * 10 + digit;
  }
  if (i == 0) return false;
  unsigned shift = 0;
  if (i + 1 == text.size()) {
    switch (text[i]) {
      case 'k':
      case 'K':
        shift = 10;
        break;
      case 'm':
      case 'M':
        shift = 20;
        break;
      case 'g':
      case 'G':
        shift = 30;
        break;
      case 't':
      case 'T':
        shift = 40;
        break;
      default:
        return false;
    }
  } else if (i != text.size()) {
    return false;
  }
  if (shift != 0 && number > (std::numeric_limits<uint64_t>::max() >> shift)) return false;
  *value = number << shift;
  return true;
}

bool ArgReader::Flag(const char* name) {
  if (done() || std::strcmp(argv_[i_], name) != 0) return false;
  ++i_;
  return true;
}

bool ArgReader::Option(const char* name, std::string* value) {
  if (done()) return false;
  const char* arg = argv_[i_];
  const std::size_t len = std::strlen(name);
  if (std::strncmp(arg, name, len) != 0) return false;
  if (arg[len] == '=') {
    *value = arg + len + 1;
    ++i_;
    return true;
  }
  if (arg[len] != '\0') return false;
  ++i_;
  if (done()) {
    error_ = std::string("option ") + name + " needs a value";
    value->clear();
    return true;
  }
  *value = argv_[i_++];
  return true;
}

}  // namespace kqtools
