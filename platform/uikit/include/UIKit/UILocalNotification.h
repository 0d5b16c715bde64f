// The legacy local notification: a plain record that the application object
// schedules, presents and lists.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"
#include "UIKit/CLRegion.h"

namespace objc {

// The sound name that asks for the system's default sound.
NSString* UILocalNotificationDefaultSoundName();

// Fields are not synchronised (like the platform's nonatomic properties):
// fill a notification on one thread, then hand it over. Object fields keep a
// copy of what is assigned (`copy` semantics), so a later change to a
// mutable value does not show.
//
// Types of the scalar fields, which checked sends must use exactly:
//   applicationIconBadgeNumber  int64_t  ("q"; a caller holding an int32_t
//                                         widens it before the send)
//   repeatInterval              uint64_t ("Q", calendar-unit bits; 0 = none)
//   regionTriggersOnce, hasAction  bool  ("B")
class UILocalNotification final : public NSObject {
 public:
  static Class class_();
  UILocalNotification() = default;

  NSString* alertTitle() const { return alertTitle_.get(); }
  void setAlertTitle(NSString* text);
  NSString* alertBody() const { return alertBody_.get(); }
  void setAlertBody(NSString* text);
  NSString* soundName() const { return soundName_.get(); }
  void setSoundName(NSString* name);
  // 0 (the default) leaves the badge unchanged when the notification is
  // delivered; any other value is written to the application's badge.
  int64_t applicationIconBadgeNumber() const { return badge_; }
  void setApplicationIconBadgeNumber(int64_t number) { badge_ = number; }
  NSDictionary* userInfo() const { return userInfo_.get(); }
  void setUserInfo(NSDictionary* info);
  NSDate* fireDate() const { return fireDate_.get(); }
  void setFireDate(NSDate* date);
  NSTimeZone* timeZone() const { return timeZone_.get(); }
  void setTimeZone(NSTimeZone* zone);
  CLRegion* region() const { return region_.get(); }
  void setRegion(CLRegion* region);
  // True for a new notification.
  bool regionTriggersOnce() const { return regionTriggersOnce_; }
  void setRegionTriggersOnce(bool once) { regionTriggersOnce_ = once; }
  uint64_t repeatInterval() const { return repeatInterval_; }
  void setRepeatInterval(uint64_t calendarUnit) { repeatInterval_ = calendarUnit; }
  NSString* alertLaunchImage() const { return alertLaunchImage_.get(); }
  void setAlertLaunchImage(NSString* name);
  // True for a new notification.
  bool hasAction() const { return hasAction_; }
  void setHasAction(bool action) { hasAction_ = action; }

  // Whether every field is equal (the application object cancels by this
  // when it is handed a notification that is not one of its own).
  bool hasSameFields(const UILocalNotification* other) const;

  std::string description() const override;
  // A new notification with the same fields.
  Ref<NSObject> copy() const override;

 private:
  friend class UIApplication;
  Ref<NSString> alertTitle_, alertBody_, soundName_, alertLaunchImage_;
  int64_t badge_ = 0;
  Ref<NSDictionary> userInfo_;
  Ref<NSDate> fireDate_;
  Ref<NSTimeZone> timeZone_;
  Ref<CLRegion> region_;
  bool regionTriggersOnce_ = true;
  uint64_t repeatInterval_ = 0;
  bool hasAction_ = true;
  // Which scheduled entry of the application object this is (or a copy
  // of); 0 for a notification that was never scheduled.
  uint64_t scheduleToken_ = 0;
};

}  // namespace objc
