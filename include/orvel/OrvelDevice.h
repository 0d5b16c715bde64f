// Device utilities: system-version comparison and hexadecimal rendering of
// byte buffers. Also reachable at run time as the class methods
// "versionCompare:" and "hexStringByData:" of the class "OrvelDevice".
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"

class OrvelDevice : public objc::NSObject {
 public:
  static objc::Class class_();
  // A stateless utility: there are no instances.
  OrvelDevice() = delete;

  // Compares the running system's version (read at every call) with
  // `version`: 1 when the system is later, -1 when it is earlier, 0 when they
  // are equal. Versions are dotted numbers with an optional "a" suffix number
  // ("10.0a2"); a version without a suffix is later than the same version
  // with one. Anything that is not a string (nil included) gives 1.
  static int64_t versionCompare(objc::NSObject* version);

  // The bytes of `data` as upper-case hexadecimal, two digits per byte, no
  // separators; nil when `data` is not an NSData.
  static objc::Ref<objc::NSString> hexStringByData(objc::NSObject* data);
};
