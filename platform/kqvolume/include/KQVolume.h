// Volume library stand-in: the only path to the block-filter driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Which of a volume's driver bitmaps an operation addresses.
enum KQVBitmapType : int32_t {
  KQV_BITMAP_INCR = 0,  // incremental: changes since the last backup
  KQV_BITMAP_FULL = 1,  // full
  KQV_BITMAP_AUX = 2,   // cleared after every backup level but a full-bitmap save
};

// Volume information record, filled by KQVolume::GetVolInfo. 1136 bytes; only
// the named fields carry meaning, the rest is reserved.
struct KQVolumeInfo {
  unsigned char reserved0[24];
  unsigned char bitmapHeader;  // header byte of the merged and restart bitmap files
  unsigned char reserved1[7];
  uint64_t fullBitmapSize;   // bytes of the type-1 bitmap
  unsigned char dumpHeader;  // header byte of the dump files
  unsigned char reserved2[7];
  uint64_t incrBitmapSize;  // bytes of the type-0 bitmap
  unsigned char reserved3[8];
  uint64_t auxBitmapSize;  // bytes of the type-2 bitmap
  unsigned char reserved4[1064];
};
static_assert(sizeof(KQVolumeInfo) == 1136, "KQVolumeInfo is a 1136-byte record");
static_assert(offsetof(KQVolumeInfo, bitmapHeader) == 24, "header byte at 24");
static_assert(offsetof(KQVolumeInfo, fullBitmapSize) == 32, "full size at 32");
static_assert(offsetof(KQVolumeInfo, dumpHeader) == 40, "dump header byte at 40");
static_assert(offsetof(KQVolumeInfo, incrBitmapSize) == 48, "incremental size at 48");
static_assert(offsetof(KQVolumeInfo, auxBitmapSize) == 64, "type-2 size at 64");

// A handle on the driver for one volume. Not thread-safe; one user at a time.
class KQVolume {
 public:
  KQVolume(const KQVolume&) = delete;
  KQVolume& operator=(const KQVolume&) = delete;

  virtual ~KQVolume();
  // Fills *info; 0 on failure.
  virtual int GetVolInfo(KQVolumeInfo* info) = 0;
  // Copies `size` bytes of the driver's bitmap of `type` into `buffer`.
  virtual bool GetBitmap(KQVBitmapType type, unsigned char* buffer, unsigned long size,
                         bool flag) = 0;
  // As GetBitmap, and clears the driver's bitmap in the same step: a write
  // recorded concurrently is either in the copy or left set on the driver.
  virtual bool GetAndClearBitmap(KQVBitmapType type, unsigned char* buffer, unsigned long size,
                                 bool flag) = 0;
  // Sets every bit of the driver's bitmap (the next backup is a full one).
  virtual bool MarkBitmapDirty(KQVBitmapType type, int reserved) = 0;
  virtual bool ClearBitmap(KQVBitmapType type) = 0;
  // ORs `bitmap` into the driver's bitmap of `type`.
  virtual bool MergeBitmap(KQVBitmapType type, unsigned char* bitmap, unsigned long size) = 0;
  virtual int setVolumeName(std::string volumeName) = 0;

  // 1 when the handle reached a driver, 0 otherwise.
  int IsValid() const { return probe_ ? probe_->OnIsValid() : (valid_ ? 1 : 0); }
  // 1 on success, 0 on failure.
  int setClntDisplayName(const std::string& name);
  // The text of the last failure.
  std::string GetErrorString() const { return error_; }

 protected:
  // Lets an implementation see the two non-virtual calls (the stand-in records
  // them and injects faults there) without adding a slot to the interface.
  class Probe {
   public:
    virtual int OnIsValid() = 0;
    virtual int OnSetClntDisplayName(const std::string& name) = 0;

   protected:
    ~Probe() = default;
  };

  KQVolume() = default;
  // Mutable: a probe may find the handle broken from inside the const IsValid.
  mutable bool valid_ = false;
  std::string displayName_;
  mutable std::string error_;
  Probe* probe_ = nullptr;
};

// The volume's path as the driver knows it; empty when the driver does not
// track the volume (or no driver is present).
std::string getVolName(std::string volumeName);
