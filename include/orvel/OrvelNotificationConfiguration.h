// What the host passes when it registers for remote notifications.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"

class OrvelNotificationConfiguration : public objc::NSObject {
 public:
  static objc::Class class_();

  // The alert kinds to ask the user for, as a bit set handed unchanged to
  // the platform: 1 badge, 2 sound, 4 alert. Nothing fills in a default.
  int64_t types() const { return types_; }
  void setTypes(int64_t value) { types_ = value; }

 private:
  int64_t types_ = 0;
};
