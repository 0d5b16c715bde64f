// A delivered notification, and the user's response to one.
#pragma once

#include "Foundation/Foundation.h"
#include "UserNotifications/UNNotificationRequest.h"

namespace objc {

// The action identifiers of a response: the user opened the notification,
// or dismissed it.
NSString* UNNotificationDefaultActionIdentifier();
NSString* UNNotificationDismissActionIdentifier();

// Immutable: "request", "date".
class UNNotification final : public NSObject {
 public:
  static Class class_();
  // Platform side: the device makes one when it delivers a request.
  static Ref<UNNotification> notificationWithRequest(UNNotificationRequest* request, NSDate* date);

  UNNotificationRequest* request() const { return request_.get(); }
  NSDate* date() const { return date_.get(); }

  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  UNNotification() = default;
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
  Ref<UNNotificationRequest> request_;
  Ref<NSDate> date_;
};

// Immutable: "notification", "actionIdentifier".
class UNNotificationResponse final : public NSObject {
 public:
  static Class class_();
  // Platform side: the device makes one when the user acts on a notice. A
  // nil action is the default action (the user opened it).
  static Ref<UNNotificationResponse> responseWithNotification(UNNotification* notification,
                                                              NSString* actionIdentifier = nullptr);

  UNNotification* notification() const { return notification_.get(); }
  NSString* actionIdentifier() const { return actionIdentifier_.get(); }

  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  UNNotificationResponse() = default;
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
  Ref<UNNotification> notification_;
  Ref<NSString> actionIdentifier_;
};

}  // namespace objc
