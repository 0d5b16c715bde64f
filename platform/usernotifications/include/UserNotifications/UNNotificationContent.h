// What a notification shows and carries.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"
#include "UserNotifications/UNNotificationSound.h"

namespace objc {

// Immutable. Getters, by selector:
//   title subtitle body                       NSString or nil (nil when new)
//   badge                                     NSNumber or nil
//   sound                                     UNNotificationSound or nil
//   attachments                               NSArray (empty when new)
//   userInfo                                  NSDictionary (empty when new)
//   threadIdentifier categoryIdentifier
//   launchImageName                           NSString ("" when new)
//   summaryArgument                           NSString ("" when new)  from "12.0"
//   summaryArgumentCount                      uint64_t ("Q")          from "12.0"
//   targetContentIdentifier                   NSString or nil         from "13.0"
// The last three exist only on the system versions named: below them the
// object does not respond to them (respondsToSelector: and
// instancesRespondToSelector: say no) and sending them raises "unrecognized
// selector", as on a system that lacks them. The same holds for their
// setters on the mutable variant.
//
// `copy` returns the object itself; "mutableCopy" gives a mutable copy.
class UNNotificationContent : public NSObject {
 public:
  static Class class_();
  UNNotificationContent();

  NSString* title() const { return title_.get(); }
  NSString* subtitle() const { return subtitle_.get(); }
  NSString* body() const { return body_.get(); }
  NSNumber* badge() const { return badge_.get(); }
  UNNotificationSound* sound() const { return sound_.get(); }
  NSArray* attachments() const { return attachments_.get(); }
  NSDictionary* userInfo() const { return userInfo_.get(); }
  NSString* threadIdentifier() const { return threadIdentifier_.get(); }
  NSString* categoryIdentifier() const { return categoryIdentifier_.get(); }
  NSString* launchImageName() const { return launchImageName_.get(); }
  NSString* summaryArgument() const { return summaryArgument_.get(); }
  uint64_t summaryArgumentCount() const { return summaryArgumentCount_; }
  NSString* targetContentIdentifier() const { return targetContentIdentifier_.get(); }

  Ref<NSObject> copy() const override;
  Ref<NSObject> mutableCopy() const;
  std::string description() const override;

 protected:
  static void assignFields(UNNotificationContent& to, const UNNotificationContent& from);

  Ref<NSString> title_, subtitle_, body_;
  Ref<NSNumber> badge_;
  Ref<UNNotificationSound> sound_;
  Ref<NSArray> attachments_;
  Ref<NSDictionary> userInfo_;
  Ref<NSString> threadIdentifier_, categoryIdentifier_, launchImageName_, summaryArgument_;
  uint64_t summaryArgumentCount_ = 0;
  Ref<NSString> targetContentIdentifier_;
};

// Made with "new". Setters, by selector, each keeping an immutable copy of
// an object value (nil is stored as nil): setTitle: setSubtitle: setBody:
// setUserInfo: setBadge: setSound: setThreadIdentifier: setLaunchImageName:
// setSummaryArgument: setSummaryArgumentCount: (uint64_t, "vQ")
// setTargetContentIdentifier: setAttachments: setCategoryIdentifier:.
// `copy` gives an immutable UNNotificationContent.
class UNMutableNotificationContent final : public UNNotificationContent {
 public:
  static Class class_();
  UNMutableNotificationContent() = default;

  void setTitle(NSString* v);
  void setSubtitle(NSString* v);
  void setBody(NSString* v);
  void setBadge(NSNumber* v);
  void setSound(UNNotificationSound* v);
  void setAttachments(NSArray* v);
  void setUserInfo(NSDictionary* v);
  void setThreadIdentifier(NSString* v);
  void setCategoryIdentifier(NSString* v);
  void setLaunchImageName(NSString* v);
  void setSummaryArgument(NSString* v);
  void setSummaryArgumentCount(uint64_t v) { summaryArgumentCount_ = v; }
  void setTargetContentIdentifier(NSString* v);

  // Platform side: fills every field from another content.
  void setFields(const UNNotificationContent* other);

  Ref<NSObject> copy() const override;
};

}  // namespace objc
