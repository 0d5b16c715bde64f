// A placeholder for a registration-identifier request. Its one operation
// does nothing. KivOrvelHttpRequest is the run-time class
// "KivOrvelHttpRequest", with the class method "getRegistrationID:".
#pragma once

#include "Foundation/Foundation.h"

class KivOrvelHttpRequest : public objc::NSObject {
 public:
  static objc::Class class_();

  // +getRegistrationID: the callable (or nil) is neither called nor kept.
  static void getRegistrationID(objc::NSObject* callable);
};
