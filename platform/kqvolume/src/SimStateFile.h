// A simulated volume's state kept in a file, so that it outlives the process
// that changed it the way a kernel driver's bitmaps outlive a job: a header
// (geometry, sizes, counts) and the three bitmaps back to back, in one
// MAP_SHARED mapping. Every change is in the page cache the moment it is made;
// a flock on the file, which the kernel drops when its holder dies, makes each
// operation atomic across processes.
#pragma once

#include <sys/types.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kqsim {

// What a state file must record to be adopted.
struct StateGeometry {
  uint64_t bytes = 0;
  uint32_t blockSize = 0;
  uint32_t headers = 0;             // bitmap header byte | dump header byte << 8
  std::array<uint64_t, 3> sizes{};  // the bitmap sizes the volume is added with
};

class StateFile {
 public:
  // Opens or creates `path` and adopts its state when it records `geometry`;
  // otherwise sizes it for `geometry` and starts it clean. Null (errno set)
  // when the file cannot be opened, locked, sized or mapped.
  static std::unique_ptr<StateFile> Open(const std::string& path, const StateGeometry& geometry);
  ~StateFile();
  StateFile(const StateFile&) = delete;
  StateFile& operator=(const StateFile&) = delete;

  // Takes the cross-process lock and maps the layout the file records now
  // (another process may have resized a bitmap). False, errno set, on failure.
  // The calls below need the lock.
  bool Lock();
  void Unlock() const;

  unsigned char* Map(size_t type);
  uint64_t Size(size_t type) const;
  int32_t& DirtyMarks(size_t type);
  int32_t& Clears(size_t type);
  // Gives bitmap `type` the contents and size of `bytes`, keeping the others.
  bool Replace(size_t type, const std::vector<unsigned char>& bytes);

  struct Header;  // the start of the file

 private:
  StateFile(std::string path, const StateGeometry& geometry);
  Header& Head() const;
  bool Flock(int operation) const;
  bool Reopen();
  bool Remap(size_t length);
  bool Adopt();
  bool Initialize();

  std::string path_;
  StateGeometry geometry_;
  int fd_ = -1;
  pid_t opener_ = 0;  // the process that opened fd_
  void* base_ = nullptr;
  size_t length_ = 0;
};

}  // namespace kqsim
