#include "UIKit/UILocalNotification.h"

namespace objc {

namespace {
template <class T>
Ref<T> copied(const T* v) {
  return v ? cast<T>(v->copy()) : nullptr;
}

bool sameObject(const NSObject* a, const NSObject* b) { return a == b || (a && b && a->isEqual(b)); }
}  // namespace

NSString* UILocalNotificationDefaultSoundName() { return lit<"UILocalNotificationDefaultSoundName">(); }

Class UILocalNotification::class_() {
  static Class c = ClassBuilder<UILocalNotification>("UILocalNotification")
                       .method<&UILocalNotification::alertTitle>("alertTitle")
                       .method<&UILocalNotification::setAlertTitle>("setAlertTitle:")
                       .method<&UILocalNotification::alertBody>("alertBody")
                       .method<&UILocalNotification::setAlertBody>("setAlertBody:")
                       .method<&UILocalNotification::soundName>("soundName")
                       .method<&UILocalNotification::setSoundName>("setSoundName:")
                       .method<&UILocalNotification::applicationIconBadgeNumber>("applicationIconBadgeNumber")
                       .method<&UILocalNotification::setApplicationIconBadgeNumber>("setApplicationIconBadgeNumber:")
                       .method<&UILocalNotification::userInfo>("userInfo")
                       .method<&UILocalNotification::setUserInfo>("setUserInfo:")
                       .method<&UILocalNotification::fireDate>("fireDate")
                       .method<&UILocalNotification::setFireDate>("setFireDate:")
                       .method<&UILocalNotification::timeZone>("timeZone")
                       .method<&UILocalNotification::setTimeZone>("setTimeZone:")
                       .method<&UILocalNotification::region>("region")
                       .method<&UILocalNotification::setRegion>("setRegion:")
                       .method<&UILocalNotification::regionTriggersOnce>("regionTriggersOnce")
                       .method<&UILocalNotification::setRegionTriggersOnce>("setRegionTriggersOnce:")
                       .method<&UILocalNotification::repeatInterval>("repeatInterval")
                       .method<&UILocalNotification::setRepeatInterval>("setRepeatInterval:")
                       .method<&UILocalNotification::alertLaunchImage>("alertLaunchImage")
                       .method<&UILocalNotification::setAlertLaunchImage>("setAlertLaunchImage:")
                       .method<&UILocalNotification::hasAction>("hasAction")
                       .method<&UILocalNotification::setHasAction>("setHasAction:")
                       .build();
  return c;
}

void UILocalNotification::setAlertTitle(NSString* text) { alertTitle_ = copied(text); }
void UILocalNotification::setAlertBody(NSString* text) { alertBody_ = copied(text); }
void UILocalNotification::setSoundName(NSString* name) { soundName_ = copied(name); }
void UILocalNotification::setUserInfo(NSDictionary* info) { userInfo_ = copied(info); }
void UILocalNotification::setFireDate(NSDate* date) { fireDate_ = copied(date); }
void UILocalNotification::setTimeZone(NSTimeZone* zone) { timeZone_ = copied(zone); }
void UILocalNotification::setRegion(CLRegion* region) { region_ = copied(region); }
void UILocalNotification::setAlertLaunchImage(NSString* name) { alertLaunchImage_ = copied(name); }

bool UILocalNotification::hasSameFields(const UILocalNotification* o) const {
  return o && sameObject(alertTitle_, o->alertTitle_) && sameObject(alertBody_, o->alertBody_) &&
         sameObject(soundName_, o->soundName_) && badge_ == o->badge_ && sameObject(userInfo_, o->userInfo_) &&
         sameObject(fireDate_, o->fireDate_) && sameObject(timeZone_, o->timeZone_) &&
         sameObject(region_, o->region_) && regionTriggersOnce_ == o->regionTriggersOnce_ &&
         repeatInterval_ == o->repeatInterval_ && sameObject(alertLaunchImage_, o->alertLaunchImage_) &&
         hasAction_ == o->hasAction_;
}

std::string UILocalNotification::description() const {
  return format(
      "<UILocalNotification: %p>{fire date = %@, time zone = %@, repeat interval = %llu, alert title = %@, "
      "alert body = %@, badge = %lld, sound = %@, user info = %@}",
      static_cast<const void*>(this), fireDate_.get(), timeZone_.get(),
      static_cast<unsigned long long>(repeatInterval_), alertTitle_.get(), alertBody_.get(),
      static_cast<long long>(badge_), soundName_.get(), userInfo_.get());
}

Ref<NSObject> UILocalNotification::copy() const {
  auto n = make<UILocalNotification>();
  n->alertTitle_ = alertTitle_;
  n->alertBody_ = alertBody_;
  n->soundName_ = soundName_;
  n->alertLaunchImage_ = alertLaunchImage_;
  n->badge_ = badge_;
  n->userInfo_ = userInfo_;
  n->fireDate_ = fireDate_;
  n->timeZone_ = timeZone_;
  // A region can still change (its entry and exit flags), so it is copied.
  n->region_ = copied(region_.get());
  n->regionTriggersOnce_ = regionTriggersOnce_;
  n->repeatInterval_ = repeatInterval_;
  n->hasAction_ = hasAction_;
  n->scheduleToken_ = scheduleToken_;
  return n;
}

}  // namespace objc
