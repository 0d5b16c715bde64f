#include "orvel/KivOrvelHttpRequest.h"

namespace {
[[maybe_unused]] const objc::Class gRegistered = KivOrvelHttpRequest::class_();
}  // namespace

objc::Class KivOrvelHttpRequest::class_() {
  static objc::Class c =
      objc::ClassBuilder<KivOrvelHttpRequest>("KivOrvelHttpRequest")
          .classMethod("getRegistrationID:",
                       [](objc::Class, objc::SEL, objc::NSObject* callable) { getRegistrationID(callable); })
          .build();
  return c;
}

void KivOrvelHttpRequest::getRegistrationID(objc::NSObject*) {}
