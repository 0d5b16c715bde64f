// The device, and the running system's version.
#pragma once

#include <string>
#include <string_view>

#include "Foundation/Foundation.h"

namespace objc {

class UIDevice final : public NSObject {
 public:
  static Class class_();
  static UIDevice* currentDevice();

  // The dotted version of the running system. Read from ORVEL_SYSTEM_VERSION
  // at first use ("13.0" when unset); the simulator and tests change it.
  Ref<NSString> systemVersion() const;
  void setSystemVersion(std::string_view version);

  // Platform side: whether the running system is `version` or later, by a
  // numeric comparison of the dotted components (a missing component reads
  // as 0, so "10" is "10.0"). Reads the version at every call; the
  // frameworks use it for their availability gates.
  static bool systemVersionAtLeast(std::string_view version);
};

// Numeric three-way comparison of two dotted versions: -1, 0 or 1.
int compareDottedVersions(std::string_view a, std::string_view b);

}  // namespace objc
