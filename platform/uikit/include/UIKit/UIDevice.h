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
};

}  // namespace objc
