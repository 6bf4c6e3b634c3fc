// Merging bitmaps by OR into the first one, and the merge-with-file
// operations this platform does not support.
#include <gmock/gmock.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <memory>

#include "KqTestSupport.h"

namespace {

using kqtest::Bytes;
using kqtest::Line;
using kqtest::Random;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

using Merge = kqtest::KqFixture;

// `n` random bytes, read-only, ending right at an inaccessible page: writing
// them, or reading beyond them, faults.
std::shared_ptr<unsigned char> Guarded(std::size_t n, unsigned seed) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE)),
             data = (n + page - 1) / page * page;
  auto* base = static_cast<unsigned char*>(
      mmap(nullptr, data + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  const Bytes bytes = Random(n, seed);
  std::memcpy(base + data - n, bytes.data(), n);
  mprotect(base, data, PROT_READ);
  mprotect(base + data, page, PROT_NONE);
  return {base + data - n, [base, data, page](unsigned char*) { munmap(base, data + page); }};
}

TEST_F(Merge, OrsTheOtherBitmapInFromTheOffset) {
  for (std::size_t size : {1, 5, 31, 32, 33, 64, 97, 1000, 4096 + 7}) {
    // Offsets 0 and ~0 stand for MergeBM; the rest use MergeBMFromOffset.
    for (std::size_t offset :
         {std::size_t{0}, std::size_t{1}, size / 2, size - 1, size, size + 7, ~std::size_t{0}}) {
      const bool whole = offset == ~std::size_t{0};
      SCOPED_TRACE("size " + std::to_string(size) + " offset " + std::to_string(offset));
      // An odd start so the word-wise path meets unaligned buffers.
      Bytes buffer = Random(size + 1, static_cast<unsigned>(size)), want = buffer;
      // Only the first `size` bytes of the other bitmap may be read, even when it claims more.
      const auto other = Guarded(size, static_cast<unsigned>(offset));
      for (std::size_t i = whole ? 0 : offset; i < size; ++i) want[i + 1] |= other.get()[i];
      EXPECT_TRUE(
          whole ? ops->MergeBM(buffer.data() + 1, size, other.get(), size)
                : ops->MergeBMFromOffset(buffer.data() + 1, size, other.get(), size + 9, offset));
      EXPECT_EQ(buffer, want);
    }
  }
  unsigned char one = 0x0F;
  EXPECT_TRUE(ops->MergeBM(&one, 0, nullptr, 0));
  EXPECT_TRUE(ops->MergeBMFromOffset(&one, 0, nullptr, 0, 0));
  EXPECT_EQ(one, 0x0F);
  for (int byte : {0, 0x80, 0x05, 0xFF}) ops->AddSetBitsInBM(static_cast<char>(byte));
  EXPECT_THAT(log->lines(), IsEmpty());
}

// Sizes that do not fit, and merges with files, which this platform does not
// support: each is refused, says why, and changes neither bitmap nor file.
TEST_F(Merge, RefusedMergesChangeNothing) {
  const Bytes file{7, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F, 0x0F};
  kqtest::WriteAll(defaultFile(), file);
  Bytes target(8, 0x01), other(8, 0xF0);
  EXPECT_FALSE(ops->MergeBM(target.data(), 4, other.data(), 5));
  EXPECT_FALSE(ops->MergeBM(target.data(), 5, other.data(), 4));
  EXPECT_FALSE(ops->MergeBM(target.data(), 1UL << 32, other.data(), 8));
  EXPECT_FALSE(ops->MergeBMFromOffset(target.data(), 5, other.data(), 4, 1));
  EXPECT_FALSE(ops->ReadBMFromFileAndMerge(target.data(), 8, "", 0));
  EXPECT_FALSE(ops->MergeAndSaveBMToFile(target.data(), 8, ""));
  EXPECT_EQ(target, Bytes(8, 0x01));
  EXPECT_EQ(kqtest::ReadAll(defaultFile()), file);
  const std::string m = "KQBitMapOps::MergeBM", no = "not supported on unix";
  EXPECT_THAT(
      log->lines(),
      ElementsAre(
          Line(m, " Src Bitmap Size 4 is not equal Destbitmap size 5, can't merge."),
          Line(m, " Src Bitmap Size 5 is not equal Destbitmap size 4, can't merge."),
          Line(m, " Src Bitmap Size 4294967296 is not equal Destbitmap size 8, can't merge."),
          Line("KQBitMapOps::MergeBMFromOffset",
               " Src Bitmap Size 5 is larger than Dest 4, can't merge."),
          Line("KQBitMapOps::ReadBMFromFileAndMerge", no),
          Line("KQBitMapOps::MergeAndSaveBMToFile", no)));
}

// Buffers that share bytes give what ORing from the top index down gives:
// a byte ORed in may already hold the bits of a byte above it.
TEST_F(Merge, OverlappingBuffersMergeFromTheTopDown) {
  const std::size_t size = 200;
  for (std::ptrdiff_t shift : {-40, -5, -1, 0, 1, 5, 40}) {
    for (std::size_t offset : {0, 17}) {
      SCOPED_TRACE("shift " + std::to_string(shift) + " offset " + std::to_string(offset));
      Bytes buffer = Random(300, 11), want = buffer;
      for (std::size_t i = size; i-- > offset;) want[50 + i] |= want[50 + shift + i];
      unsigned char* target = buffer.data() + 50;
      EXPECT_TRUE(offset == 0 ? ops->MergeBM(target, size, target + shift, size)
                              : ops->MergeBMFromOffset(target, size, target + shift, size, offset));
      EXPECT_EQ(buffer, want);
    }
  }
}

}  // namespace
