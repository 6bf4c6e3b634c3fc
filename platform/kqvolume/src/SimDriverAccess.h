// What KQVolumeUnix and getVolName may do to a simulated driver. Each function
// takes the driver's lock for its own step only; none runs a hook under it.
#pragma once

#include <string>

#include "KQVolumeSim.h"

namespace kqsim {

struct SimDriver::Access {
  // Records the call, then applies an injected fault: throws InjectedFault,
  // or returns false when the call is to fail.
  static bool Enter(SimDriver& driver, Call call, bool faultable = true);
  // Runs the hook of `op`, if any.
  static void Leave(SimDriver& driver, Op op);

  static bool Knows(const SimDriver& driver, const std::string& volume);
  // Empty when the volume is not tracked.
  static std::string PathOf(const SimDriver& driver, const std::string& volume);
  // These return false when the volume is not tracked; types are 0..2.
  static bool Info(const SimDriver& driver, const std::string& volume, KQVolumeInfo* info);
  static bool Fetch(SimDriver& driver, const std::string& volume, int type, unsigned char* buffer,
                    unsigned long size, bool clear);
  static bool Clear(SimDriver& driver, const std::string& volume, int type);
  static bool MarkDirty(SimDriver& driver, const std::string& volume, int type);
  static bool Merge(SimDriver& driver, const std::string& volume, int type,
                    const unsigned char* bitmap, unsigned long size);

  static void HandleOpened();
  static void HandleClosed();
};

}  // namespace kqsim
