// A request to deliver a notification: identifier, content and trigger.
#pragma once

#include "Foundation/Foundation.h"
#include "UserNotifications/UNNotificationContent.h"
#include "UserNotifications/UNNotificationTrigger.h"

namespace objc {

// Immutable. "requestWithIdentifier:content:trigger:" keeps a copy of the
// identifier and an immutable copy of the content; a nil trigger asks for
// delivery at once. Raises NSInvalidArgumentException for a nil identifier
// or content.
class UNNotificationRequest final : public NSObject {
 public:
  static Class class_();
  static Ref<UNNotificationRequest> requestWithIdentifier(NSString* identifier, UNNotificationContent* content,
                                                          UNNotificationTrigger* trigger);

  NSString* identifier() const { return identifier_.get(); }
  UNNotificationContent* content() const { return content_.get(); }
  UNNotificationTrigger* trigger() const { return trigger_.get(); }

  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  UNNotificationRequest() = default;
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
  Ref<NSString> identifier_;
  Ref<UNNotificationContent> content_;
  Ref<UNNotificationTrigger> trigger_;
};

}  // namespace objc
