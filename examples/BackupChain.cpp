#include "BackupChain.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kqchain {
namespace {

constexpr char kMagic[] = "KQINCR01";
constexpr char kEndMagic[] = "KQINCEND";
constexpr size_t kHeaderBytes = 40;
constexpr size_t kTrailerBytes = 16;
constexpr size_t kCopyChunk = 1 << 20;

// Removes a temporary file unless it was kept (renamed into place).
class TempFile {
 public:
  explicit TempFile(std::string path) : path_(std::move(path)) {}
  ~TempFile() {
    if (!kept_) unlink(path_.c_str());
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;
  const std::string& path() const { return path_; }
  void Keep() { kept_ = true; }

 private:
  std::string path_;
  bool kept_ = false;
};

bool Fail(std::string* error, const std::string& what, int err = errno) {
  if (error != nullptr) *error = err != 0 ? what + ": " + std::strerror(err) : what;
  return false;
}

bool WriteAt(int fd, const unsigned char* data, size_t n, uint64_t offset) {
  while (n > 0) {
    const ssize_t w = pwrite(fd, data, n, static_cast<off_t>(offset));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    data += w;
    n -= static_cast<size_t>(w);
    offset += static_cast<uint64_t>(w);
  }
  return true;
}

// Exactly n bytes, or false (errno 0 at end of file).
bool ReadAt(int fd, unsigned char* data, size_t n, uint64_t offset) {
  while (n > 0) {
    const ssize_t r = pread(fd, data, n, static_cast<off_t>(offset));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) {
      if (r == 0) errno = 0;
      return false;
    }
    data += r;
    n -= static_cast<size_t>(r);
    offset += static_cast<uint64_t>(r);
  }
  return true;
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) close(fd_);
}

bool Fd::Close() {
  const int fd = fd_;
  fd_ = -1;
  return fd >= 0 && close(fd) == 0;
}

namespace {

bool SyncDir(const std::string& dir) {
  Fd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.get() >= 0 && fsync(fd.get()) == 0;
}

// FNV-1a: enough to tell a torn or damaged file from a whole one.
class Checksum {
 public:
  void Add(const unsigned char* data, size_t n) {
    for (size_t i = 0; i < n; ++i) h_ = (h_ ^ data[i]) * 0x100000001b3ull;
  }
  uint64_t value() const { return h_; }

 private:
  uint64_t h_ = 0xcbf29ce484222325ull;
};

void Put64(unsigned char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}
uint64_t Get64(const unsigned char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// Copies `bytes` bytes, leaving holes where the source reads zero.
bool CopySparse(int from, int to, uint64_t bytes, std::string* error) {
  std::vector<unsigned char> buffer(kCopyChunk);
  constexpr size_t kPage = 4096;
  for (uint64_t offset = 0; offset < bytes; offset += kCopyChunk) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(kCopyChunk, bytes - offset));
    if (!ReadAt(from, buffer.data(), n, offset)) return Fail(error, "read of the volume");
    for (size_t at = 0; at < n; at += kPage) {
      const size_t len = std::min(kPage, n - at);
      const unsigned char* p = buffer.data() + at;
      if (std::all_of(p, p + len, [](unsigned char c) { return c == 0; })) continue;
      if (!WriteAt(to, p, len, offset + at)) return Fail(error, "write of the copy");
    }
  }
  if (ftruncate(to, static_cast<off_t>(bytes)) != 0) return Fail(error, "size of the copy");
  return true;
}

// Opens `path` and checks its header, size and checksum; leaves the open file in *fd.
bool Check(const std::string& path, Fd* fd, IncrementInfo* info, std::string* error) {
  struct stat st {};
  if (fd->get() < 0 || fstat(fd->get(), &st) != 0) return Fail(error, path);
  const auto size = static_cast<uint64_t>(st.st_size);
  unsigned char header[kHeaderBytes];
  if (!ReadAt(fd->get(), header, kHeaderBytes, 0) || std::memcmp(header, kMagic, 8) != 0) {
    return Fail(error, path + ": not an increment (bad header)", 0);
  }
  info->sequence = Get64(header + 8);
  info->volumeBytes = Get64(header + 16);
  info->blockSize = static_cast<uint32_t>(Get64(header + 24));
  const uint64_t count = Get64(header + 32);
  const uint64_t bs = info->blockSize;
  if (bs == 0 || count > size / (8 + bs) ||
      size != kHeaderBytes + count * (8 + bs) + kTrailerBytes) {
    return Fail(error, path + ": torn (its length does not match its header)", 0);
  }
  Checksum sum;
  sum.Add(header, kHeaderBytes);
  // A multiple of 8, so that no block number straddles two chunks.
  std::vector<unsigned char> chunk(std::max<uint64_t>(kCopyChunk, (bs + 7) / 8 * 8));
  const uint64_t body = count * (8 + bs);
  for (uint64_t at = 0; at < body; at += chunk.size()) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), body - at));
    if (!ReadAt(fd->get(), chunk.data(), n, kHeaderBytes + at)) return Fail(error, path);
    sum.Add(chunk.data(), n);
    for (size_t i = 0; at + i < count * 8 && i < n; i += 8)
      info->blocks.push_back(Get64(&chunk[i]));
  }
  unsigned char trailer[kTrailerBytes];
  if (!ReadAt(fd->get(), trailer, kTrailerBytes, kHeaderBytes + body) ||
      std::memcmp(trailer, kEndMagic, 8) != 0 || Get64(trailer + 8) != sum.value()) {
    return Fail(error, path + ": torn (checksum mismatch)", 0);
  }
  const uint64_t limit = BlockCount(info->volumeBytes, info->blockSize);
  for (size_t i = 0; i < info->blocks.size(); ++i) {
    if (info->blocks[i] >= limit || (i > 0 && info->blocks[i] <= info->blocks[i - 1])) {
      return Fail(error, path + ": bad block list", 0);
    }
  }
  return true;
}

}  // namespace

uint64_t BlockCount(uint64_t volumeBytes, uint32_t blockSize) {
  return (volumeBytes + blockSize - 1) / blockSize;
}

std::string FullPath(const std::string& chain) { return chain + "/full.img"; }

std::string IncrementPath(const std::string& chain, uint64_t sequence) {
  char name[40];
  std::snprintf(name, sizeof name, "/incr-%06llu.kqi", static_cast<unsigned long long>(sequence));
  return chain + name;
}

bool ListIncrements(const std::string& chain, std::vector<uint64_t>* sequences,
                    std::string* error) {
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(chain.c_str()), closedir);
  if (!dir) return Fail(error, chain);
  sequences->clear();
  while (const dirent* e = readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name.size() < 10 || name.compare(0, 5, "incr-") != 0 ||
        name.compare(name.size() - 4, 4, ".kqi") != 0) {
      continue;
    }
    const std::string digits = name.substr(5, name.size() - 9);
    if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      continue;
    }
    sequences->push_back(std::stoull(digits));
  }
  std::sort(sequences->begin(), sequences->end());
  return true;
}

bool WriteFull(const std::string& chain, const std::string& device, uint64_t volumeBytes,
               std::string* error) {
  if (mkdir(chain.c_str(), 0755) != 0 && errno != EEXIST) return Fail(error, chain);
  std::vector<uint64_t> increments;
  if (!ListIncrements(chain, &increments, error)) return false;
  if (!increments.empty() || access(FullPath(chain).c_str(), F_OK) == 0) {
    return Fail(error, chain + " already holds a backup chain", 0);
  }
  Fd from(open(device.c_str(), O_RDONLY | O_CLOEXEC));
  if (from.get() < 0) return Fail(error, device);
  TempFile temp(chain + "/.full.img.tmp");
  Fd to(open(temp.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (to.get() < 0) return Fail(error, temp.path());
  if (!CopySparse(from.get(), to.get(), volumeBytes, error)) return false;
  if (fsync(to.get()) != 0 || !to.Close()) return Fail(error, "flush of " + temp.path());
  if (rename(temp.path().c_str(), FullPath(chain).c_str()) != 0) return Fail(error, "rename");
  temp.Keep();
  return SyncDir(chain) || Fail(error, "flush of " + chain);
}

bool WriteIncrement(const std::string& chain, const IncrementInfo& info, const BlockReader& read,
                    std::string* error) {
  const std::string final = IncrementPath(chain, info.sequence);
  if (access(final.c_str(), F_OK) == 0) return Fail(error, final + " exists", 0);
  TempFile temp(chain + "/." + final.substr(chain.size() + 1) + ".tmp");
  Fd fd(open(temp.path().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return Fail(error, temp.path());

  // Staged in one buffer and written a chunk at a time.
  std::vector<unsigned char> out;
  uint64_t written = 0;
  Checksum sum;
  auto flush = [&] {
    sum.Add(out.data(), out.size());
    if (!WriteAt(fd.get(), out.data(), out.size(), written)) return false;
    written += out.size();
    out.clear();
    return true;
  };
  auto put64 = [&](uint64_t v) {
    out.resize(out.size() + 8);
    Put64(&out[out.size() - 8], v);
  };
  out.insert(out.end(), kMagic, kMagic + 8);
  put64(info.sequence);
  put64(info.volumeBytes);
  put64(info.blockSize);  // block size u32, then a zero u32
  put64(info.blocks.size());
  for (uint64_t b : info.blocks) put64(b);
  for (uint64_t b : info.blocks) {
    if (out.size() >= kCopyChunk && !flush()) return Fail(error, "write of " + temp.path());
    out.resize(out.size() + info.blockSize);
    if (!read(b, &out[out.size() - info.blockSize])) {
      return Fail(error, "read of block " + std::to_string(b));
    }
  }
  if (!flush()) return Fail(error, "write of " + temp.path());
  out.insert(out.end(), kEndMagic, kEndMagic + 8);
  put64(sum.value());
  if (!WriteAt(fd.get(), out.data(), out.size(), written)) {
    return Fail(error, "write of " + temp.path());
  }
  if (fsync(fd.get()) != 0 || !fd.Close()) return Fail(error, "flush of " + temp.path());
  if (rename(temp.path().c_str(), final.c_str()) != 0) return Fail(error, "rename to " + final);
  temp.Keep();
  return SyncDir(chain) || Fail(error, "flush of " + chain);
}

bool ReadIncrement(const std::string& path, IncrementInfo* info, std::string* error) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  *info = IncrementInfo{};
  return Check(path, &fd, info, error);
}

bool ApplyIncrement(const std::string& path, uint64_t sequence, int imageFd, uint64_t imageBytes,
                    IncrementInfo* info, std::string* error) {
  Fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
  *info = IncrementInfo{};
  if (!Check(path, &fd, info, error)) return false;
  if (info->sequence != sequence || info->volumeBytes != imageBytes) {
    return Fail(error, path + ": belongs to another place in the chain or another volume", 0);
  }
  const uint64_t bs = info->blockSize;
  const uint64_t data = kHeaderBytes + info->blocks.size() * 8;
  std::vector<unsigned char> block(bs);
  for (size_t i = 0; i < info->blocks.size(); ++i) {
    const uint64_t offset = info->blocks[i] * bs;
    const size_t n = static_cast<size_t>(std::min<uint64_t>(bs, info->volumeBytes - offset));
    if (!ReadAt(fd.get(), block.data(), bs, data + i * bs)) return Fail(error, path);
    if (!WriteAt(imageFd, block.data(), n, offset)) return Fail(error, "write of the image");
  }
  return true;
}

bool Restore(const std::string& chain, const std::string& image,
             const std::function<void(const std::string&)>& progress, std::string* error) {
  std::vector<uint64_t> increments;
  if (!ListIncrements(chain, &increments, error)) return false;
  Fd full(open(FullPath(chain).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (full.get() < 0 || fstat(full.get(), &st) != 0) return Fail(error, FullPath(chain));
  const auto volumeBytes = static_cast<uint64_t>(st.st_size);
  Fd out(open(image.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (out.get() < 0) return Fail(error, image);
  if (!CopySparse(full.get(), out.get(), volumeBytes, error)) return false;
  progress("full backup: " + std::to_string(volumeBytes) + " bytes");
  uint64_t expected = 1;
  for (uint64_t seq : increments) {
    const std::string path = IncrementPath(chain, seq);
    IncrementInfo info;
    std::string why;
    if (seq != expected) {
      why = "increment " + std::to_string(expected) + " is missing";
    } else {
      ApplyIncrement(path, seq, out.get(), volumeBytes, &info, &why);  // writes nothing if it fails
    }
    if (!why.empty()) {
      fsync(out.get());
      return Fail(error, why + "; image restored up to increment " + std::to_string(expected - 1),
                  0);
    }
    progress("increment " + std::to_string(seq) + ": " + std::to_string(info.blocks.size()) +
             " blocks");
    ++expected;
  }
  if (fsync(out.get()) != 0 || !out.Close()) return Fail(error, "flush of " + image);
  return true;
}

}  // namespace kqchain
