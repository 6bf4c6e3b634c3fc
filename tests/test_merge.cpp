// Merging bitmaps by OR into the first one, and the merge-with-file
// operations this platform does not support.
#include <gmock/gmock.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <random>

#include "KqTestSupport.h"

namespace {

using kqtest::Bytes;
using kqtest::Line;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Merge = kqtest::KqFixture;

Bytes Random(std::size_t n, unsigned seed) {
  std::mt19937 gen(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(gen());
  return b;
}

// A read-only copy of the first `readable` bytes of `bytes`, ending right at
// an inaccessible page: writing it, or reading beyond `readable`, faults.
class Guarded {
 public:
  Guarded(const Bytes& bytes, std::size_t readable) {
    const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    data_ = (readable + page - 1) / page * page;
    length_ = data_ + page;
    base_ = static_cast<unsigned char*>(
        mmap(nullptr, length_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    std::memcpy(base_ + data_ - readable, bytes.data(), readable);
    mprotect(base_, data_, PROT_READ);
    mprotect(base_ + data_, page, PROT_NONE);
    ptr_ = base_ + data_ - readable;
  }
  ~Guarded() { munmap(base_, length_); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;
  unsigned char* get() const { return ptr_; }

 private:
  std::size_t data_ = 0, length_ = 0;
  unsigned char* base_ = nullptr;
  unsigned char* ptr_ = nullptr;
};

TEST_F(Merge, OrsTheOtherBitmapInFromTheOffset) {
  const std::size_t sizes[] = {1, 5, 31, 32, 33, 64, 97, 1000, 4096 + 7};
  for (std::size_t size : sizes) {
    // Offsets 0 and ~0 stand for MergeBM; the rest use MergeBMFromOffset.
    for (std::size_t offset :
         {std::size_t{0}, std::size_t{1}, size / 2, size - 1, size, size + 7, ~std::size_t{0}}) {
      const bool whole = offset == ~std::size_t{0};
      SCOPED_TRACE("size " + std::to_string(size) + " offset " + std::to_string(offset));
      // An odd start so the word-wise path meets unaligned buffers.
      Bytes buffer = Random(size + 1, static_cast<unsigned>(size));
      unsigned char* target = buffer.data() + 1;
      const unsigned char below = buffer[0];
      const Bytes otherBytes = Random(size + 9, static_cast<unsigned>(offset));
      Bytes want(target, target + size);
      for (std::size_t i = whole ? 0 : offset; i < size; ++i) want[i] |= otherBytes[i];
      // Only the first `size` bytes of the other bitmap may be read, even when it is longer.
      Guarded other(otherBytes, size);
      const bool ok = whole ? ops->MergeBM(target, size, other.get(), size)
                            : ops->MergeBMFromOffset(target, size, other.get(), size + 9, offset);
      EXPECT_TRUE(ok);
      EXPECT_EQ(Bytes(target, target + size), want);
      EXPECT_EQ(buffer[0], below);
    }
  }
  unsigned char one = 0x0F;
  EXPECT_TRUE(ops->MergeBM(&one, 0, nullptr, 0));
  EXPECT_TRUE(ops->MergeBMFromOffset(&one, 0, nullptr, 0, 0));
  EXPECT_EQ(one, 0x0F);
  EXPECT_THAT(log->lines(), IsEmpty());
}

TEST_F(Merge, SizesThatDoNotFitAreRefused) {
  Bytes target{1, 2, 3, 4, 5, 6, 7, 8};
  Bytes other{0xF0, 0xF0, 0xF0, 0xF0, 0xF0, 0xF0, 0xF0, 0xF0};
  const Bytes t0 = target, o0 = other;
  EXPECT_FALSE(ops->MergeBM(target.data(), 4, other.data(), 5));
  EXPECT_FALSE(ops->MergeBM(target.data(), 5, other.data(), 4));
  EXPECT_FALSE(ops->MergeBM(target.data(), 1UL << 32, other.data(), 8));
  EXPECT_FALSE(ops->MergeBMFromOffset(target.data(), 8, other.data(), 4, 1));
  EXPECT_FALSE(ops->MergeBMFromOffset(target.data(), 5, other.data(), 4, 9));
  EXPECT_EQ(target, t0);
  EXPECT_EQ(other, o0);
  const std::string m = "KQBitMapOps::MergeBM", o = "KQBitMapOps::MergeBMFromOffset";
  EXPECT_THAT(
      log->lines(),
      ElementsAre(
          Line(m, " Src Bitmap Size 4 is not equal Destbitmap size 5, can't merge."),
          Line(m, " Src Bitmap Size 5 is not equal Destbitmap size 4, can't merge."),
          Line(m, " Src Bitmap Size 4294967296 is not equal Destbitmap size 8, can't merge."),
          Line(o, " Src Bitmap Size 8 is larger than Dest 4, can't merge."),
          Line(o, " Src Bitmap Size 5 is larger than Dest 4, can't merge.")));
}

// Buffers that share bytes give what ORing from the top index down gives:
// a byte ORed in may already hold the bits of a byte above it.
TEST_F(Merge, OverlappingBuffersMergeFromTheTopDown) {
  const Bytes initial = Random(300, 11);
  for (std::ptrdiff_t shift : {-40, -5, -1, 0, 1, 5, 40}) {
    for (std::size_t offset : {0, 17}) {
      SCOPED_TRACE("shift " + std::to_string(shift) + " offset " + std::to_string(offset));
      Bytes buffer = initial, want = initial;
      const std::size_t size = 200;
      for (std::size_t i = size; i-- > offset;) want[50 + i] |= want[50 + shift + i];
      unsigned char* target = buffer.data() + 50;
      EXPECT_TRUE(offset == 0 ? ops->MergeBM(target, size, target + shift, size)
                              : ops->MergeBMFromOffset(target, size, target + shift, size, offset));
      EXPECT_EQ(buffer, want);
    }
  }
}

TEST_F(Merge, CountingSetBitsLogsNothing) {
  for (int byte : {0, 0x80, 0x05, 0xFF}) ops->AddSetBitsInBM(static_cast<char>(byte));
  EXPECT_THAT(log->lines(), IsEmpty());
}

TEST_F(Merge, MergesWithFilesAreUnsupportedAndTouchNothing) {
  const Bytes file{7, 0x0F, 0x0F, 0x0F, 0x0F};
  kqtest::WriteAll(defaultFile(), file);
  Bytes bitmap{0x10, 0x20, 0x30, 0x40};
  const Bytes before = bitmap;
  EXPECT_FALSE(ops->ReadBMFromFileAndMerge(bitmap.data(), 4, "", 0));
  EXPECT_FALSE(ops->ReadBMFromFileAndMerge(bitmap.data(), 4, defaultFile(), 2));
  EXPECT_FALSE(ops->MergeAndSaveBMToFile(bitmap.data(), 4, ""));
  EXPECT_FALSE(ops->MergeAndSaveBMToFile(bitmap.data(), 4, dir.file("new")));
  EXPECT_EQ(bitmap, before);
  EXPECT_EQ(kqtest::ReadAll(defaultFile()), file);
  EXPECT_EQ(dir.list(), std::vector<std::string>{".sda1__YBVolBitmap"});
  const std::string no = "not supported on unix";
  const std::string r = "KQBitMapOps::ReadBMFromFileAndMerge",
                    s = "KQBitMapOps::MergeAndSaveBMToFile";
  EXPECT_THAT(log->lines(), ElementsAre(Line(r, no), Line(r, no), Line(s, no), Line(s, no)));
}

}  // namespace
