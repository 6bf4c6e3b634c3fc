// kqbitmap: shows, maps, compares and combines bitmap files, reading and
// writing them with the library's own file operations.
#include <kqbitmapops/KQBitMapOps.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "BitmapText.h"

namespace {

using kqtools::BitOrder;
using kqtools::ExtentScanner;

constexpr int kDiffers = 1;
constexpr int kError = 2;

const char kUsage[] =
    R"(Usage: kqbitmap show FILE [--size N] [--block-size B] [--msb-first] [--no-header] [--json]
       kqbitmap map FILE [--width W] [--rows R] [--ascii] [--size N] [--block-size B]
                         [--msb-first] [--no-header] [--json]
       kqbitmap diff A B [--size N] [--block-size B] [--msb-first] [--no-header] [--json]
       kqbitmap or A B -o OUT [--size N] [--no-header]
       kqbitmap --version

Inspects the bitmap files of the kqbitmapops library: one header byte, then
the bitmap, one bit per block of the volume; a set bit marks a changed block.
Runs of set bits are shown as extents: "12-15" is bits 12 to 15.

Commands:
  show FILE      the header byte, the bitmap size (the file's length less the
                 header byte), the changed extents and the number of set bits
  map FILE       where the changes are, on one screen whatever the size: a
                 grid of cells, each covering an equal range of blocks (the
                 last may cover fewer), shaded by the share of its blocks that
                 are set; each row starts with the number of its first block
  diff A B       the bits set in A and not in B, and those set in B and not
                 in A; header bytes are shown, not compared
  or A B -o OUT  writes the union of A and B to OUT in the same format, with
                 the header byte of A; OUT is replaced whole or not at all

Options:
  --size N        insist on a bitmap of N bytes; any other size is an error
                  (N takes a K, M, G or T suffix, powers of 1024)
  --block-size B  also show each extent as the byte range of the volume it
                  covers: bit n is bytes n*B to (n+1)*B-1
  --msb-first     bit n is byte n/8, mask 0x80 >> (n%8). The default is least
                  significant bit first: byte n/8, mask 1 << (n%8), the order
                  of the simulated driver
  --no-header     the file has no header byte: failure files (all bits set)
                  written by SaveFileForFailure
  --width W       map: cells per row, 1 to 1000 (default 64)
  --rows R        map: at most R rows, 1 to 1000 (default 16); a bitmap with
                  fewer blocks than cells gets one block per cell
  --ascii         map: shades in plain ASCII (. - + # @) instead of blocks
  --json          one JSON object on standard output instead of text; for map
                  the number of set bits of each cell
  -o, --output    the file that `or` writes
  --version       the version of kqbitmap and of its library, one line
  -h, --help      this text

A file is read once; diff and or hold the two bitmaps in memory, nothing more.

Exit status: 0 success (diff: no bit differs), 1 diff found differing bits,
2 error: missing, unreadable or empty file, size mismatch, bad arguments.
)";

struct Options {
  std::string command;
  std::vector<std::string> files;
  std::string out;
  bool haveSize = false;
  uint64_t size = 0;
  uint64_t blockSize = 0;  // 0: bit numbers only
  BitOrder order = BitOrder::LsbFirst;
  bool noHeader = false;
  bool json = false;
  uint64_t width = 64;  // map: cells per row
  uint64_t rows = 16;   // map: at most this many rows
  bool ascii = false;
  bool mapOnly = false;  // a map-only option was given
};

int Fail(const std::string& message) {
  std::fprintf(stderr, "kqbitmap: %s\n", message.c_str());
  return kError;
}

int Usage(const std::string& message) {
  return Fail(message + " (kqbitmap --help shows the usage)");
}

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Hex(unsigned byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02x", byte);
  return text;
}

// A bitmap file in memory. bytes[0] is the header byte; with --no-header it
// is the first bitmap byte, so both layouts are read and written the same way.
struct BitmapFile {
  std::string name;
  bool noHeader = false;
  uint64_t length = 0;
  std::unique_ptr<unsigned char[]> bytes;

  uint64_t size() const { return noHeader ? length : length - 1; }
  unsigned char* bitmap() const { return bytes.get() + (noHeader ? 0 : 1); }
};

// Finds the file's length and checks it against the options; reads nothing.
bool Inspect(const std::string& name, const Options& opt, BitmapFile* file, std::string* error) {
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0) {
    *error = name + ": " + std::strerror(errno);
    return false;
  }
  if (!S_ISREG(st.st_mode)) {
    *error = name + ": not a regular file";
    return false;
  }
  if (st.st_size == 0) {
    *error = name + ": empty file; a bitmap file holds at least its header byte";
    return false;
  }
  file->name = name;
  file->noHeader = opt.noHeader;
  file->length = static_cast<uint64_t>(st.st_size);
  if (opt.haveSize && file->size() != opt.size) {
    *error = name + ": bitmap is " + std::to_string(file->size()) + " bytes, --size says " +
             std::to_string(opt.size);
    return false;
  }
  return true;
}

// Runs a call of the library with standard error pointed at a scratch file,
// and on failure gives the last line written there as the reason. The library
// logs why a read or save failed through its log facility, which writes where
// it is set up to: the stand-ins' to standard error, a production one perhaps
// to a log of its own. So the tool needs nothing of the facility but what the
// library calls, and its own output stays free of the library's lines.
bool Quietly(const std::function<bool()>& call, std::string* reason) {
  std::fflush(stderr);
  std::unique_ptr<FILE, int (*)(FILE*)> scratch(std::tmpfile(), &std::fclose);
  int saved = scratch ? ::dup(STDERR_FILENO) : -1;
  if (saved >= 0 && ::dup2(::fileno(scratch.get()), STDERR_FILENO) < 0) {
    ::close(saved);
    saved = -1;
  }
  const bool redirected = saved >= 0;
  const bool ok = call();
  const int err = errno;
  if (redirected) {
    std::fflush(stderr);
    ::dup2(saved, STDERR_FILENO);
    ::close(saved);
  }
  if (!ok) {
    // The last line written; of a tagged line, the text after its "[tag] ".
    std::string last;
    char* text = nullptr;
    std::size_t capacity = 0;
    std::rewind(scratch.get());
    for (ssize_t n; redirected && (n = ::getline(&text, &capacity, scratch.get())) > 0;) {
      std::string line(text, static_cast<std::size_t>(n));
      if (line.back() == '\n') line.pop_back();
      if (!line.empty()) last = line;
    }
    std::free(text);
    const std::size_t tag = last.find("] ");
    if (tag != std::string::npos) last.erase(0, tag + 2);
    *reason = last.empty() ? "no reason on standard error; the log facility's log has it" : last;
  }
  errno = err;
  return ok;
}

bool Load(KQBitMapOps& ops, BitmapFile* file, std::string* error) {
  file->bytes.reset(new (std::nothrow) unsigned char[file->length]);
  if (!file->bytes) {
    *error = file->name + ": cannot allocate " + std::to_string(file->length) + " bytes";
    return false;
  }
  // The header byte lands in bytes[0], the rest right behind it.
  std::string reason;
  errno = 0;
  if (!Quietly(
          [&] {
            return ops.ReadBMFromFile(file->bytes.get() + 1, file->length - 1, file->bytes.get(),
                                      file->name);
          },
          &reason)) {
    const int err = errno;
    *error = file->name + ": cannot read" +
             (err != 0 ? std::string(": ") + std::strerror(err) : "") + " (" + reason + ")";
    return false;
  }
  return true;
}

// Prints extents as the scanner finds them, as text lines or JSON objects.
class ExtentPrinter {
 public:
  explicit ExtentPrinter(const Options& opt) : opt_(opt) {}

  void operator()(uint64_t first, uint64_t last) {
    const uint64_t offset = first * opt_.blockSize;
    const uint64_t length = (last - first + 1) * opt_.blockSize;
    if (opt_.json) {
      std::printf(R"(%s{"first":%llu,"last":%llu)", count_++ != 0 ? "," : "",
                  static_cast<unsigned long long>(first), static_cast<unsigned long long>(last));
      if (opt_.blockSize != 0) {
        std::printf(R"(,"offset":%llu,"length":%llu)", static_cast<unsigned long long>(offset),
                    static_cast<unsigned long long>(length));
      }
      std::printf("}");
      return;
    }
    ++count_;
    if (opt_.blockSize != 0) {
      std::printf("  %-15s bytes %llu-%llu\n", kqtools::ExtentText(first, last).c_str(),
                  static_cast<unsigned long long>(offset),
                  static_cast<unsigned long long>(offset + length - 1));
    } else {
      std::printf("  %s\n", kqtools::ExtentText(first, last).c_str());
    }
  }

 private:
  const Options& opt_;
  uint64_t count_ = 0;
};

const char* ExtentsHeading(const Options& opt) {
  return opt.blockSize != 0 ? "extents (bits, and the bytes of the volume they cover):"
                            : "extents (bits):";
}

void PrintCounts(const ExtentScanner& scanner, const Options& opt) {
  const auto bits = static_cast<unsigned long long>(scanner.setBits());
  const auto extents = static_cast<unsigned long long>(scanner.extents());
  if (opt.json) {
    std::printf(R"("set_bits":%llu,"extent_count":%llu)", bits, extents);
  } else if (extents == 0) {
    std::printf("  none\nset bits:    0\n");
  } else {
    std::printf("set bits:    %llu in %llu extent%s\n", bits, extents, extents == 1 ? "" : "s");
  }
}

// What show and map print first: the JSON object's opening members (no
// trailing comma), or the file's name, header byte and size as text.
void PrintHead(const Options& opt, const BitmapFile& file) {
  const auto size = static_cast<unsigned long long>(file.size());
  if (opt.json) {
    std::printf(R"({"file":%s,"header":)", JsonString(file.name).c_str());
    if (file.noHeader) {
      std::printf("null");
    } else {
      std::printf("%u", file.bytes[0]);
    }
    std::printf(R"(,"size":%llu,"bit_order":"%s","block_size":%llu)", size,
                opt.order == BitOrder::LsbFirst ? "lsb" : "msb",
                static_cast<unsigned long long>(opt.blockSize));
  } else {
    std::printf("file:        %s\n", file.name.c_str());
    std::printf("header byte: %s\n",
                file.noHeader ? "none (--no-header)" : Hex(file.bytes[0]).c_str());
    std::printf("bitmap size: %llu bytes (%llu bits)\n", size, size * 8);
  }
}

int Show(const Options& opt, const BitmapFile& file) {
  ExtentPrinter printer(opt);
  ExtentScanner scanner(opt.order, std::ref(printer));
  PrintHead(opt, file);
  if (opt.json) {
    std::printf(R"(,"extents":[)");
  } else {
    std::printf("%s\n", ExtentsHeading(opt));
  }
  scanner.Scan(file.bitmap(), file.size());
  scanner.Finish();
  if (opt.json) std::printf("],");
  PrintCounts(scanner, opt);
  if (opt.json) std::printf("}\n");
  return 0;
}

// The shades of map, from no block of a cell set to all of them.
struct Shade {
  const char* block;
  const char* ascii;
  const char* meaning;
};
constexpr Shade kShades[] = {{"\u00b7", ".", "none"},
                             {"\u2591", "-", "up to 1/3"},
                             {"\u2592", "+", "up to 2/3"},
                             {"\u2593", "#", "more"},
                             {"\u2588", "@", "all"}};

// A single set block still shows, and only a whole cell shows as all.
const Shade& ShadeOf(uint64_t set, uint64_t blocks) {
  if (set == 0) return kShades[0];
  if (set == blocks) return kShades[4];
  if (3 * set <= blocks) return kShades[1];
  return kShades[3 * set <= 2 * blocks ? 2 : 3];
}

// "32 GiB": a byte count in the largest binary unit it reaches, for the legend.
std::string Human(uint64_t bytes) {
  const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
  double value = static_cast<double>(bytes);
  std::size_t unit = 0;
  for (; value >= 1024 && unit + 1 < sizeof units / sizeof *units; ++unit) value /= 1024;
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.4g %s", value, units[unit]);
  return text;
}

int Map(const Options& opt, const BitmapFile& file) {
  const uint64_t blocks = file.size() * 8;
  const uint64_t capacity = opt.width * opt.rows;
  const uint64_t perCell = blocks <= capacity ? 1 : (blocks + capacity - 1) / capacity;
  const uint64_t cells = (blocks + perCell - 1) / perCell;
  const uint64_t width = cells < opt.width ? cells : opt.width;
  const uint64_t rows = width == 0 ? 0 : (cells + width - 1) / width;
  const uint64_t lastCell = blocks - (cells == 0 ? 0 : (cells - 1) * perCell);
  const auto ull = [](uint64_t v) { return static_cast<unsigned long long>(v); };
  PrintHead(opt, file);
  if (opt.json) {
    std::printf(R"(,"blocks":%llu,"blocks_per_cell":%llu,"width":%llu,"rows":%llu,"cells":[)",
                ull(blocks), ull(perCell), ull(width), ull(rows));
  } else if (cells == 0) {
    std::printf("map:         no blocks\n");
  } else {
    std::printf("each cell:   %llu block%s", ull(perCell), perCell == 1 ? "" : "s");
    if (opt.blockSize != 0) {
      std::printf(", %llu bytes (%s)", ull(perCell * opt.blockSize),
                  Human(perCell * opt.blockSize).c_str());
    }
    if (lastCell != perCell) std::printf("; the last cell %llu", ull(lastCell));
    std::printf("\n");
  }
  const int labelWidth =
      std::snprintf(nullptr, 0, "%llu", ull((rows == 0 ? 0 : rows - 1) * width * perCell));
  uint64_t setBits = 0;
  for (uint64_t cell = 0; cell < cells; ++cell) {
    const uint64_t first = cell * perCell;
    const uint64_t end = first + perCell < blocks ? first + perCell : blocks;
    const uint64_t set = kqtools::CountSetBits(file.bitmap(), first, end, opt.order);
    setBits += set;
    if (opt.json) {
      std::printf("%s%llu", cell != 0 ? "," : "", ull(set));
      continue;
    }
    if (cell % width == 0) std::printf("%*llu ", labelWidth < 12 ? 12 : labelWidth, ull(first));
    const Shade& shade = ShadeOf(set, end - first);
    std::fputs(opt.ascii ? shade.ascii : shade.block, stdout);
    if (cell % width == width - 1 || cell + 1 == cells) std::printf("\n");
  }
  if (opt.json) {
    std::printf("],\"set_bits\":%llu}\n", ull(setBits));
    return 0;
  }
  if (cells != 0) {
    std::printf("shades:     ");
    for (const Shade& shade : kShades) {
      std::printf(" %s %s ", opt.ascii ? shade.ascii : shade.block, shade.meaning);
    }
    std::printf("(share of a cell's blocks set)\n");
  }
  std::printf("set bits:    %llu\n", ull(setBits));
  return 0;
}

// Scans a & ~b without a third bitmap: a chunk at a time.
void ScanDifference(const unsigned char* a, const unsigned char* b, uint64_t n,
                    ExtentScanner* scanner) {
  unsigned char chunk[1 << 16];
  for (uint64_t done = 0; done < n;) {
    const std::size_t k =
        n - done < sizeof chunk ? static_cast<std::size_t>(n - done) : sizeof chunk;
    for (std::size_t i = 0; i < k; ++i) {
      chunk[i] = static_cast<unsigned char>(a[done + i] & ~b[done + i]);
    }
    scanner->Scan(chunk, k);
    done += k;
  }
  scanner->Finish();
}

int Diff(const Options& opt, const BitmapFile& a, const BitmapFile& b) {
  const BitmapFile* sides[2][2] = {{&a, &b}, {&b, &a}};
  const char* keys[2] = {"only_in_a", "only_in_b"};
  if (opt.json) {
    std::printf(R"({"a":%s,"b":%s,"size":%llu)", JsonString(a.name).c_str(),
                JsonString(b.name).c_str(), static_cast<unsigned long long>(a.size()));
    if (!opt.noHeader) std::printf(R"(,"header_a":%u,"header_b":%u)", a.bytes[0], b.bytes[0]);
  } else {
    std::printf("bitmap size: %llu bytes each\n", static_cast<unsigned long long>(a.size()));
    if (!opt.noHeader) {
      std::printf("header bytes: %s and %s\n", Hex(a.bytes[0]).c_str(), Hex(b.bytes[0]).c_str());
    }
  }
  bool differ = false;
  for (int s = 0; s < 2; ++s) {
    const BitmapFile& mine = *sides[s][0];
    const BitmapFile& theirs = *sides[s][1];
    ExtentPrinter printer(opt);
    ExtentScanner scanner(opt.order, std::ref(printer));
    if (opt.json) {
      std::printf(R"(,"%s":{"extents":[)", keys[s]);
    } else {
      std::printf("set only in %s, %s\n", mine.name.c_str(), ExtentsHeading(opt));
    }
    ScanDifference(mine.bitmap(), theirs.bitmap(), mine.size(), &scanner);
    if (opt.json) std::printf("],");
    PrintCounts(scanner, opt);
    if (opt.json) std::printf("}");
    differ = differ || scanner.setBits() != 0;
  }
  if (opt.json) {
    std::printf(",\"differ\":%s}\n", differ ? "true" : "false");
  } else {
    std::printf("%s\n", differ ? "the bitmaps differ" : "no bit differs");
  }
  return differ ? kDiffers : 0;
}

int Or(const Options& opt, KQBitMapOps& ops, const BitmapFile& a, const BitmapFile& b) {
  std::string reason;
  if (!Quietly([&] { return ops.MergeBM(a.bitmap(), a.size(), b.bitmap(), b.size()); }, &reason)) {
    return Fail("cannot merge: " + reason);
  }
  // Byte 0 goes out as the header byte: A's header, or with --no-header the
  // first bitmap byte, which keeps a headerless file headerless.
  if (!Quietly(
          [&] { return ops.SaveBMToFile(a.bytes.get() + 1, a.length - 1, a.bytes.get(), opt.out); },
          &reason)) {
    return Fail(opt.out + ": " + reason);
  }
  ExtentScanner scanner(opt.order, nullptr);
  scanner.Scan(a.bitmap(), a.size());
  scanner.Finish();
  std::printf("wrote %s: %s, %llu bytes, %llu bits set\n", opt.out.c_str(),
              opt.noHeader ? "no header byte" : ("header byte " + Hex(a.bytes[0])).c_str(),
              static_cast<unsigned long long>(a.size()),
              static_cast<unsigned long long>(scanner.setBits()));
  return 0;
}

// The value of --width or --rows: 1 to 1000. False after reporting a bad one.
bool CellCount(const kqtools::ArgReader& args, const char* name, const std::string& value,
               uint64_t* count) {
  if (!args.error().empty()) {
    Usage(args.error());
    return false;
  }
  if (!kqtools::ParseSize(value, count) || *count < 1 || *count > 1000) {
    Usage(std::string("bad ") + name + " '" + value + "' (1 to 1000)");
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  kqtools::ArgReader args(argc, argv);
  bool optionsEnded = false;
  std::vector<std::string> words;
  while (!args.done()) {
    std::string value;
    const bool isOption = !optionsEnded && args.peek()[0] == '-' && args.peek()[1] != '\0';
    if (!isOption) {
      words.push_back(args.next());
    } else if (args.Flag("-h") || args.Flag("--help")) {
      std::fputs(kUsage, stdout);
      return 0;
    } else if (args.Flag("--version")) {
      std::printf("kqbitmap (kqbitmapops) %s\n", KQ_VERSION);
      return 0;
    } else if (args.Option("--width", &value)) {
      if (!CellCount(args, "--width", value, &opt.width)) return kError;
      opt.mapOnly = true;
    } else if (args.Option("--rows", &value)) {
      if (!CellCount(args, "--rows", value, &opt.rows)) return kError;
      opt.mapOnly = true;
    } else if (args.Flag("--ascii")) {
      opt.ascii = opt.mapOnly = true;
    } else if (args.Flag("--")) {
      optionsEnded = true;
    } else if (args.Option("--size", &value)) {
      if (!args.error().empty()) return Usage(args.error());
      if (!kqtools::ParseSize(value, &opt.size)) return Usage("bad --size '" + value + "'");
      opt.haveSize = true;
    } else if (args.Option("--block-size", &value)) {
      if (!args.error().empty()) return Usage(args.error());
      if (!kqtools::ParseSize(value, &opt.blockSize) || opt.blockSize == 0) {
        return Usage("bad --block-size '" + value + "' (a byte count above 0)");
      }
    } else if (args.Flag("--msb-first")) {
      opt.order = BitOrder::MsbFirst;
    } else if (args.Flag("--lsb-first")) {
      opt.order = BitOrder::LsbFirst;
    } else if (args.Flag("--no-header")) {
      opt.noHeader = true;
    } else if (args.Flag("--json")) {
      opt.json = true;
    } else if (args.Option("-o", &value) || args.Option("--output", &value)) {
      if (!args.error().empty()) return Usage(args.error());
      opt.out = value;
    } else {
      return Usage(std::string("unknown option '") + args.peek() + "'");
    }
  }
  if (words.empty()) return Usage("no command given (show, map, diff or or)");
  opt.command = words[0];
  opt.files.assign(words.begin() + 1, words.end());

  const bool oneFile = opt.command == "show" || opt.command == "map";
  const std::size_t wanted = oneFile ? 1 : 2;
  if (!oneFile && opt.command != "diff" && opt.command != "or") {
    return Usage("unknown command '" + opt.command + "'");
  }
  if (opt.files.size() != wanted) {
    return Usage(opt.command + " takes " + (wanted == 1 ? "one file" : "two files"));
  }
  if (opt.command == "or") {
    if (opt.out.empty()) return Usage("or needs -o OUT");
    if (opt.json || opt.blockSize != 0 || opt.order != BitOrder::LsbFirst) {
      return Usage("--json, --block-size and --msb-first do not apply to or");
    }
  } else if (!opt.out.empty()) {
    return Usage("-o applies to or only");
  }
  if (opt.mapOnly && opt.command != "map") {
    return Usage("--width, --rows and --ascii apply to map only");
  }

  // Check every file before reading any: a bad second file costs no read of the first.
  std::string error;
  std::vector<BitmapFile> files(opt.files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!Inspect(opt.files[i], opt, &files[i], &error)) return Fail(error);
  }
  if (files.size() == 2 && files[0].size() != files[1].size()) {
    return Fail("the bitmaps differ in size: " + files[0].name + " has " +
                std::to_string(files[0].size()) + " bytes, " + files[1].name + " has " +
                std::to_string(files[1].size()));
  }
  if (opt.blockSize != 0 && files[0].size() != 0 &&
      files[0].size() * 8 > std::numeric_limits<uint64_t>::max() / opt.blockSize) {
    return Usage("--block-size too large: byte offsets would overflow");
  }

  KQBitMapOps ops;
  for (BitmapFile& file : files) {
    if (!Load(ops, &file, &error)) return Fail(error);
  }
  std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
  if (opt.command == "show") return Show(opt, files[0]);
  if (opt.command == "map") return Map(opt, files[0]);
  if (opt.command == "diff") return Diff(opt, files[0], files[1]);
  return Or(opt, ops, files[0], files[1]);
}
