// KQBitMapOps: a volume's changed-block bitmaps, between the block-filter
// driver (through the volume library) and the bitmap files under /etc/tessel/.
//
// A job creates one object per volume and calls its operations. Every
// operation is virtual and reaches the object's other operations through
// their virtual slots, so a derived class that replaces one step (the file
// naming, a driver retrieval) changes every workflow that uses it. The slot
// order below is part of the binary interface: jobs call operations by slot.
//
// Threads: the object starts none and takes no lock; one object serves one
// call at a time. Results: true is success; failures are logged, never thrown.
// Exceptions from the volume library, the replication client or a failed
// allocation pass through to the caller.
#pragma once

#include <cstdint>
#include <string>

#include <EvEvent.h>
#include <KQVolume.h>

// The backup level given to ManipulateBitmap; other values are accepted too.
enum KQBkpLevel : int32_t {
  BKP_LEVEL_DELETE_BM = 1,     // delete the bitmap file
  BKP_LEVEL_SAVE_INCR_BM = 2,  // save the incremental (type 0) driver bitmap
  BKP_LEVEL_SAVE_FULL_BM = 4,  // save the full (type 1) driver bitmap, clear nothing
};

class KQBitMapOps {
 public:
  // Names the default bitmap file after the volume's last path component.
  // `reserved` is not used.
  KQBitMapOps(std::string volumeName, char* reserved);
  // Empty volume name and empty default bitmap file name.
  KQBitMapOps();
  // Not virtual: the virtual table holds exactly the 28 operations.
  ~KQBitMapOps();  // NOLINT(cppcoreguidelines-virtual-class-destructor)
  KQBitMapOps(const KQBitMapOps&) = delete;
  KQBitMapOps& operator=(const KQBitMapOps&) = delete;

  // Slot 0: makes sure a valid volume object exists; `displayName` reaches
  // the volume library only when the object is created here.
  virtual bool InitAndValidateVolObject(const std::string& displayName);
  // Slots 1-6: names.
  virtual std::string GetVolName();
  virtual void SetVolName(std::string volumeName);
  virtual void AddSetBitsInBM(char byte);
  virtual std::string PrepareAbsoluteBitmapFileName(std::string nameSuffix, char* reserved);
  virtual bool MutateDefaultBitMapFileName(std::string nameSuffix);
  virtual bool ConvertVolToUniqueName();
  // Slots 7-15: bitmap files (an empty name means the default bitmap file
  // name) and merging. A bitmap file is one header byte, then the bitmap.
  virtual bool ReadBMFromFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                              std::string fileName);
  virtual bool SaveBMToFile(unsigned char* bitmap, unsigned long size, unsigned char* header,
                            std::string fileName);
  virtual bool MergeBM(unsigned char* target, unsigned long targetSize, unsigned char* other,
                       unsigned long otherSize);
  virtual bool MergeBMFromOffset(unsigned char* target, unsigned long targetSize,
                                 unsigned char* other, unsigned long otherSize,
                                 unsigned long offset);
  virtual bool ReadBMFromFileAndMerge(unsigned char* bitmap, unsigned long size,
                                      std::string fileName, unsigned long offset);
  virtual bool MergeAndSaveBMToFile(unsigned char* bitmap, unsigned long size,
                                    std::string fileName);
  virtual bool DeleteBMFile(std::string fileName);
  virtual bool SaveBMWithParams(unsigned char* bitmap, unsigned long size, unsigned long param1,
                                int param2, std::string fileName);
  virtual bool ReadBMWithParams(unsigned char** bitmap, unsigned long* size, unsigned long* param1,
                                int* param2, std::string fileName);
  // Slots 16-19: the driver. With a null *bitmap a retrieval allocates the
  // buffer (array new, owned by the caller whatever the result).
  virtual bool GetBMFromDriver(KQVBitmapType type, unsigned char** bitmap, unsigned long* size,
                               bool flag);
  virtual bool GetAndClearBMFromDriver(KQVBitmapType type, unsigned char** bitmap,
                                       unsigned long* size, bool flag,
                                       const std::string& displayName);
  virtual bool ClearBMOnDriver(KQVBitmapType type);
  virtual bool MergeAndWriteBMOntoDriver(KQVBitmapType type, unsigned char* bitmap,
                                         unsigned long size);
  // Slots 20-21: bitmap bookkeeping for a backup level.
  virtual bool ManipulateBitmap(int param1, int param2, int param3, std::string fileName);
  virtual bool ManipulateBitmap(int iOffset, KQBkpLevel level, std::string fileName);
  // Slots 22-23: replication.
  virtual bool IsAsyncMirror(int SNRVolId);
  virtual bool FigureOutSNRIdFromVolName(std::string volumeName, int* SNRVolId);
  // Slots 24-27: backup preparation.
  virtual bool SaveFileForFailure(KQVBitmapType type, unsigned long size, std::string fileName);
  virtual bool DoBitmapDump(KQVBitmapType type, std::string volume, bool clearOnDriver);
  virtual bool GetBitMap(KQVBitmapType type, const char* bitmapName, unsigned long size,
                         unsigned char** mergedBitmap);
  virtual bool DoBitmapFormalities(KQVBitmapType type, const char* bitmapName,
                                   const char* restartName, bool nameIsPath);

 private:
  EvEvent m_log;
  KQVolume* m_volume;
  std::string m_volName;
  std::string m_defaultBitmapFileName;
  int64_t m_setBitCount;
};
