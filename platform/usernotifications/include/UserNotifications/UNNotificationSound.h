// Notification sounds.
#pragma once

#include "Foundation/Foundation.h"

namespace objc {

// Immutable.
class UNNotificationSound final : public NSObject {
 public:
  static Class class_();
  UNNotificationSound() = default;

  static Ref<UNNotificationSound> soundNamed(NSString* name);
  static Ref<UNNotificationSound> defaultSound();

  // Platform side: the file name (nil for the default sound).
  NSString* name() const { return name_.get(); }
  bool isDefault() const { return isDefault_; }

  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  Ref<NSString> name_;
  bool isDefault_ = false;
};

}  // namespace objc
