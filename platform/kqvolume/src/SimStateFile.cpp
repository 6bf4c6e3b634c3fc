#include "SimStateFile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace kqsim {

namespace {

constexpr char kMagic[8] = {'K', 'Q', 'S', 'I', 'M', 'V', 'O', '1'};
constexpr size_t kTypes = 3;

}  // namespace

struct StateFile::Header {
  char magic[8];  // written last, so a file whose creator died is not adopted
  StateGeometry geometry;
  std::array<uint64_t, kTypes> sizes;  // now: SetBitmap may change them
  std::array<int32_t, kTypes> dirtyMarks;
  std::array<int32_t, kTypes> clears;
};

namespace {

// Bytes the file needs for bitmaps of `sizes`; 0 when that overflows.
size_t Layout(const std::array<uint64_t, kTypes>& sizes) {
  uint64_t total = sizeof(StateFile::Header);
  for (uint64_t size : sizes) {
    if (size > SIZE_MAX - total) return 0;
    total += size;
  }
  return static_cast<size_t>(total);
}

bool SameGeometry(const StateGeometry& a, const StateGeometry& b) {
  return a.bytes == b.bytes && a.blockSize == b.blockSize && a.headers == b.headers &&
         a.sizes == b.sizes;
}

}  // namespace

StateFile::StateFile(std::string path, const StateGeometry& geometry)
    : path_(std::move(path)), geometry_(geometry) {}

StateFile::~StateFile() {
  if (base_) munmap(base_, length_);
  if (fd_ >= 0) close(fd_);
}

std::unique_ptr<StateFile> StateFile::Open(const std::string& path, const StateGeometry& geometry) {
  std::unique_ptr<StateFile> file(new StateFile(path, geometry));
  file->fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (file->fd_ < 0) return nullptr;
  file->opener_ = getpid();
  if (!file->Flock(LOCK_EX)) return nullptr;
  bool ready = file->Adopt() || file->Initialize();
  int error = errno;
  file->Unlock();
  errno = error;
  return ready ? std::move(file) : nullptr;
}

StateFile::Header& StateFile::Head() const { return *static_cast<Header*>(base_); }

bool StateFile::Flock(int operation) const {
  while (flock(fd_, operation) != 0)
    if (errno != EINTR) return false;
  return true;
}

// A flock belongs to the open file description, which a forked child shares
// with its parent: locking through the inherited descriptor would not exclude
// the parent. So each process locks through a description of its own.
bool StateFile::Reopen() {
  std::string self = "/proc/self/fd/" + std::to_string(fd_);
  int fd = open(self.c_str(), O_RDWR | O_CLOEXEC);  // the same file even if renamed or removed
  if (fd < 0) fd = open(path_.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  close(fd_);
  fd_ = fd;
  opener_ = getpid();
  return true;
}

bool StateFile::Remap(size_t length) {
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (base == MAP_FAILED) return false;
  if (base_) munmap(base_, length_);
  base_ = base;
  length_ = length;
  return true;
}

bool StateFile::Lock() {
  if (opener_ != getpid() && !Reopen()) return false;
  if (!Flock(LOCK_EX)) return false;
  // A header without its mark was left by a process killed while starting the
  // file afresh: finish that. Otherwise follow the sizes the header records.
  bool ok = std::memcmp(Head().magic, kMagic, sizeof kMagic) == 0
                ? Layout(Head().sizes) == length_ || Remap(Layout(Head().sizes))
                : Initialize();
  if (!ok) {
    int error = errno;
    Unlock();
    errno = error;
  }
  return ok;
}

void StateFile::Unlock() const { flock(fd_, LOCK_UN); }

unsigned char* StateFile::Map(size_t type) {
  size_t offset = sizeof(Header);
  for (size_t t = 0; t < type; ++t) offset += static_cast<size_t>(Head().sizes[t]);
  return static_cast<unsigned char*>(base_) + offset;
}

uint64_t StateFile::Size(size_t type) const { return Head().sizes[type]; }
int32_t& StateFile::DirtyMarks(size_t type) { return Head().dirtyMarks[type]; }
int32_t& StateFile::Clears(size_t type) { return Head().clears[type]; }

bool StateFile::Adopt() {
  struct stat st {};
  if (fstat(fd_, &st) != 0 || static_cast<uint64_t>(st.st_size) < sizeof(Header)) return false;
  if (!Remap(static_cast<size_t>(st.st_size))) return false;
  const Header& h = Head();
  size_t need = Layout(h.sizes);
  return std::memcmp(h.magic, kMagic, sizeof kMagic) == 0 && SameGeometry(h.geometry, geometry_) &&
         need != 0 && need <= length_;
}

// Sizes and clears the file for this process's geometry. The file never gets
// shorter than the layout its header records while the header is marked, so a
// process mapping that layout never reads past the end.
bool StateFile::Initialize() {
  if (base_) std::memset(Head().magic, 0, sizeof kMagic);
  struct stat st {};
  size_t total = Layout(geometry_.sizes);
  if (total == 0) {
    errno = EOVERFLOW;
    return false;
  }
  if (fstat(fd_, &st) != 0) return false;
  if (static_cast<uint64_t>(st.st_size) < total && ftruncate(fd_, static_cast<off_t>(total)) != 0)
    return false;
  if (!Remap(total)) return false;
  std::memset(base_, 0, total);
  Header& h = Head();
  h.geometry = geometry_;
  h.sizes = geometry_.sizes;
  std::atomic_thread_fence(std::memory_order_release);
  std::memcpy(h.magic, kMagic, sizeof kMagic);
  return static_cast<uint64_t>(st.st_size) <= total ||
         ftruncate(fd_, static_cast<off_t>(total)) == 0;
}

// The other bitmaps move when one changes size. A process killed in here may
// leave them mixed up, but never a header that points past the end of the file.
bool StateFile::Replace(size_t type, const std::vector<unsigned char>& bytes) {
  std::array<std::vector<unsigned char>, kTypes> maps;
  std::array<uint64_t, kTypes> sizes{};
  for (size_t t = 0; t < kTypes; ++t) {
    if (t == type) {
      maps[t] = bytes;
    } else {
      maps[t].assign(Map(t), Map(t) + Size(t));
    }
    sizes[t] = maps[t].size();
  }
  size_t total = Layout(sizes);
  if (total == 0) {
    errno = EOVERFLOW;
    return false;
  }
  size_t before = length_;
  if (total > before && (ftruncate(fd_, static_cast<off_t>(total)) != 0 || !Remap(total)))
    return false;
  unsigned char* at = static_cast<unsigned char*>(base_) + sizeof(Header);
  for (const auto& map : maps) {
    if (!map.empty()) std::memcpy(at, map.data(), map.size());
    at += map.size();
  }
  std::atomic_thread_fence(std::memory_order_release);
  Head().sizes = sizes;
  return total >= before || (Remap(total) && ftruncate(fd_, static_cast<off_t>(total)) == 0);
}

}  // namespace kqsim
