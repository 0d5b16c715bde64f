// The legacy notification settings an application asks for and is granted.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"

namespace objc {

// Bits of the legacy user-notification types (an unsigned integer).
using UIUserNotificationType = uint64_t;
inline constexpr UIUserNotificationType UIUserNotificationTypeNone = 0;
inline constexpr UIUserNotificationType UIUserNotificationTypeBadge = 1;
inline constexpr UIUserNotificationType UIUserNotificationTypeSound = 2;
inline constexpr UIUserNotificationType UIUserNotificationTypeAlert = 4;

// Immutable.
//
//   send<Ref<NSObject>>(UIUserNotificationSettings::class_(), sel<"settingsForTypes:categories:">(),
//                       uint64_t(types), nullptr);
//
// The types are an unsigned 64-bit integer: a caller holding a signed value
// converts it before the send (the send is checked against "Q").
class UIUserNotificationSettings final : public NSObject {
 public:
  static Class class_();
  UIUserNotificationSettings() = default;

  // `categories` is kept as given (any object or nil; the platform's own
  // category sets are not modelled).
  static Ref<UIUserNotificationSettings> settingsForTypes(UIUserNotificationType types, NSObject* categories);

  UIUserNotificationType types() const { return types_; }
  NSObject* categories() const { return categories_.get(); }

  bool isEqual(const NSObject* other) const override;
  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  UIUserNotificationType types_ = 0;
  Id categories_;
};

}  // namespace objc
