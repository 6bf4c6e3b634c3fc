// Volume library stand-in: the Linux volume handle, on the driver's control
// device. In this stand-in the "driver" is a kqsim::SimDriver registered for
// the control device path (KQVolumeSim.h); with none registered the handle is
// not valid and GetErrorString says so.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "KQVolume.h"

namespace kqsim {
class SimDriver;
struct Call;
}  // namespace kqsim

class KQVolumeUnix : public KQVolume {
 public:
  explicit KQVolumeUnix(const std::string& controlDevice);
  ~KQVolumeUnix() override;

  int GetVolInfo(KQVolumeInfo* info) override;
  bool GetBitmap(KQVBitmapType type, unsigned char* buffer, unsigned long size, bool flag) override;
  bool GetAndClearBitmap(KQVBitmapType type, unsigned char* buffer, unsigned long size,
                         bool flag) override;
  bool MarkBitmapDirty(KQVBitmapType type, int reserved) override;
  bool ClearBitmap(KQVBitmapType type) override;
  bool MergeBitmap(KQVBitmapType type, unsigned char* bitmap, unsigned long size) override;
  int setVolumeName(std::string volumeName) override;

 private:
  // Records IsValid and setClntDisplayName on the driver and applies their faults.
  class Watch final : public KQVolume::Probe {
   public:
    explicit Watch(KQVolumeUnix& owner) : owner_(owner) {}
    int OnIsValid() override;
    int OnSetClntDisplayName(const std::string& name) override;

   private:
    KQVolumeUnix& owner_;
  };

  // Records the call, applies its injected fault, does `work` on a valid
  // handle and runs the op's hook; `work` sets error_ when it fails.
  bool Run(const kqsim::Call& call, const std::function<bool()>& work);
  // False (error_ set) unless a volume the driver tracks is selected.
  bool VolumeSelected();

  Watch watch_{*this};
  // Holding the driver keeps it installed while a handle is open, as an open
  // control device keeps a real driver loaded.
  std::shared_ptr<kqsim::SimDriver> driver_;
  std::string controlDevice_;
  std::string volume_;
};
