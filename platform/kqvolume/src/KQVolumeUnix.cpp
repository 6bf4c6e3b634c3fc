#include "KQVolumeUnix.h"

#include "KQVolumeSim.h"
#include "SimDriverAccess.h"

using kqsim::Call;
using kqsim::Op;
using Access = kqsim::SimDriver::Access;

namespace {

const char* const kControlDevice = "/dev/zrbf/ctrl";

Call Record(Op op, const std::string& volume, int type = -1, unsigned long size = 0,
            bool flag = false, std::string text = "") {
  return Call{op, volume, type, size, flag, std::move(text)};
}

std::string InjectedFailure(Op op) {
  return std::string("injected failure of ") + kqsim::OpName(op);
}

// Checks a call's bitmap type and buffer; a null buffer is fine for 0 bytes.
bool Acceptable(std::string& error, KQVBitmapType type, const unsigned char* data = nullptr,
                unsigned long size = 0) {
  if (type < KQV_BITMAP_INCR || type > KQV_BITMAP_AUX) {
    error = "invalid bitmap type " + std::to_string(static_cast<int>(type));
    return false;
  }
  if (!data && size != 0) {
    error = "no buffer for " + std::to_string(size) + " bitmap bytes";
    return false;
  }
  return true;
}

// The driver's step on a volume it tracks fails only when the volume's state
// file cannot be locked or mapped.
bool Applied(bool done, std::string& error, const std::string& volume) {
  if (!done) error = "the simulated driver's state file of " + volume + " failed";
  return done;
}

}  // namespace

KQVolume::~KQVolume() = default;

int KQVolume::setClntDisplayName(const std::string& name) {
  displayName_ = name;
  return probe_ ? probe_->OnSetClntDisplayName(name) : (valid_ ? 1 : 0);
}

KQVolumeUnix::KQVolumeUnix(const std::string& controlDevice)
    : driver_(kqsim::SimDriver::Find(controlDevice)), controlDevice_(controlDevice) {
  if (!driver_) {
    error_ = "no block-filter driver at " + controlDevice;
  } else {
    if (Access::Enter(*driver_, Record(Op::Construct, "", -1, 0, false, controlDevice))) {
      valid_ = true;
    } else {
      error_ = InjectedFailure(Op::Construct);
    }
    probe_ = &watch_;
    Access::Leave(*driver_, Op::Construct);
  }
  Access::HandleOpened();
}

KQVolumeUnix::~KQVolumeUnix() {
  if (driver_) {
    Access::Enter(*driver_, Record(Op::Destroy, volume_), false);
    Access::Leave(*driver_, Op::Destroy);
  }
  Access::HandleClosed();
}

bool KQVolumeUnix::Run(const Call& call, const std::function<bool()>& work) {
  // Without a driver nothing is recorded; error_ already says why.
  if (!driver_) return false;
  bool ok = false;
  if (!Access::Enter(*driver_, call)) {
    error_ = InjectedFailure(call.op);
  } else if (valid_) {
    ok = work();
  }
  Access::Leave(*driver_, call.op);
  return ok;
}

bool KQVolumeUnix::VolumeSelected() {
  if (volume_.empty()) {
    error_ = "no volume selected";
    return false;
  }
  if (!Access::Knows(*driver_, volume_)) {
    error_ = "volume " + volume_ + " is not tracked by the driver";
    return false;
  }
  return true;
}

int KQVolumeUnix::Watch::OnIsValid() {
  KQVolumeUnix& v = owner_;
  if (!Access::Enter(*v.driver_, Record(Op::IsValid, v.volume_)) && v.valid_) {
    v.valid_ = false;
    v.error_ = InjectedFailure(Op::IsValid);
  }
  Access::Leave(*v.driver_, Op::IsValid);
  return v.valid_ ? 1 : 0;
}

int KQVolumeUnix::Watch::OnSetClntDisplayName(const std::string& name) {
  KQVolumeUnix& v = owner_;
  bool ok =
      v.Run(Record(Op::SetClntDisplayName, v.volume_, -1, 0, false, name), [] { return true; });
  return ok ? 1 : 0;
}

int KQVolumeUnix::setVolumeName(std::string volumeName) {
  bool ok = Run(Record(Op::SetVolumeName, volume_, -1, 0, false, volumeName), [&] {
    volume_ = std::move(volumeName);
    return VolumeSelected();
  });
  return ok ? 1 : 0;
}

int KQVolumeUnix::GetVolInfo(KQVolumeInfo* info) {
  bool ok = Run(Record(Op::GetVolInfo, volume_), [&] {
    if (!info) {
      error_ = "no volume information record";
      return false;
    }
    return VolumeSelected() && Applied(Access::Info(*driver_, volume_, info), error_, volume_);
  });
  return ok ? 1 : 0;
}

bool KQVolumeUnix::GetBitmap(KQVBitmapType type, unsigned char* buffer, unsigned long size,
                             bool flag) {
  return Run(Record(Op::GetBitmap, volume_, static_cast<int>(type), size, flag), [&] {
    return Acceptable(error_, type, buffer, size) && VolumeSelected() &&
           Applied(Access::Fetch(*driver_, volume_, type, buffer, size, false), error_, volume_);
  });
}

bool KQVolumeUnix::GetAndClearBitmap(KQVBitmapType type, unsigned char* buffer, unsigned long size,
                                     bool flag) {
  return Run(Record(Op::GetAndClearBitmap, volume_, static_cast<int>(type), size, flag), [&] {
    return Acceptable(error_, type, buffer, size) && VolumeSelected() &&
           Applied(Access::Fetch(*driver_, volume_, type, buffer, size, true), error_, volume_);
  });
}

bool KQVolumeUnix::MarkBitmapDirty(KQVBitmapType type, int reserved) {
  return Run(Record(Op::MarkBitmapDirty, volume_, static_cast<int>(type),
                    static_cast<unsigned long>(reserved), false, ""),
             [&] {
               return Acceptable(error_, type) && VolumeSelected() &&
                      Applied(Access::MarkDirty(*driver_, volume_, type), error_, volume_);
             });
}

bool KQVolumeUnix::ClearBitmap(KQVBitmapType type) {
  return Run(Record(Op::ClearBitmap, volume_, static_cast<int>(type)), [&] {
    return Acceptable(error_, type) && VolumeSelected() &&
           Applied(Access::Clear(*driver_, volume_, type), error_, volume_);
  });
}

bool KQVolumeUnix::MergeBitmap(KQVBitmapType type, unsigned char* bitmap, unsigned long size) {
  return Run(Record(Op::MergeBitmap, volume_, static_cast<int>(type), size), [&] {
    return Acceptable(error_, type, bitmap, size) && VolumeSelected() &&
           Applied(Access::Merge(*driver_, volume_, type, bitmap, size), error_, volume_);
  });
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the interface takes the name by value
std::string getVolName(std::string volumeName) {
  auto driver = kqsim::SimDriver::Find(kControlDevice);
  if (!driver) return "";
  std::string path;
  if (Access::Enter(*driver, Record(Op::GetVolName, "", -1, 0, false, volumeName)))
    path = Access::PathOf(*driver, volumeName);
  Access::Leave(*driver, Op::GetVolName);
  return path;
}
