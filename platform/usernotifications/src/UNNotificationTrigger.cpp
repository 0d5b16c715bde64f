#include "UserNotifications/UNNotificationTrigger.h"

#include "Framework.h"

namespace objc {

Class UNNotificationTrigger::class_() {
  static Class c = un::gated(ClassBuilder<UNNotificationTrigger>("UNNotificationTrigger")
                                 .method<&UNNotificationTrigger::repeats>("repeats")
                                 .build());
  return c;
}

double UNNotificationTrigger::fireTimeAfter(double) const { return kUNNeverFires; }

Ref<NSObject> UNNotificationTrigger::copy() const { return Ref<NSObject>(const_cast<UNNotificationTrigger*>(this)); }

Class UNPushNotificationTrigger::class_() {
  static Class c =
      un::gated(ClassBuilder<UNPushNotificationTrigger, UNNotificationTrigger>("UNPushNotificationTrigger").build());
  return c;
}

Ref<UNPushNotificationTrigger> UNPushNotificationTrigger::trigger() { return make<UNPushNotificationTrigger>(); }

std::string UNPushNotificationTrigger::description() const {
  return format("<UNPushNotificationTrigger: %p; repeats: NO>", static_cast<const void*>(this));
}

Class UNTimeIntervalNotificationTrigger::class_() {
  static Class c = un::gated(
      ClassBuilder<UNTimeIntervalNotificationTrigger, UNNotificationTrigger>("UNTimeIntervalNotificationTrigger")
          .method<&UNTimeIntervalNotificationTrigger::timeInterval>("timeInterval")
          .method<&UNTimeIntervalNotificationTrigger::nextTriggerDate>("nextTriggerDate")
          .classMethod(
              "triggerWithTimeInterval:repeats:",
              [](Class, SEL, double seconds, bool repeats) -> Id { return triggerWithTimeInterval(seconds, repeats); })
          .build());
  return c;
}

Ref<UNTimeIntervalNotificationTrigger> UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(double seconds,
                                                                                                  bool repeats) {
  // Written so that not-a-number is refused too.
  if (!(seconds > 0)) throw Exception(kInternalInconsistencyException, "time interval must be greater than 0");
  if (repeats && !(seconds >= 60)) {
    throw Exception(kInternalInconsistencyException, "time interval must be at least 60 if repeating");
  }
  return make<UNTimeIntervalNotificationTrigger>(seconds, repeats);
}

Ref<NSDate> UNTimeIntervalNotificationTrigger::nextTriggerDate() const {
  return NSDate::dateWithTimeIntervalSinceNow(interval_);
}

std::string UNTimeIntervalNotificationTrigger::description() const {
  return format("<UNTimeIntervalNotificationTrigger: %p; repeats: %s, timeInterval: %.1f>",
                static_cast<const void*>(this), repeats_ ? "YES" : "NO", interval_);
}

Class UNCalendarNotificationTrigger::class_() {
  static Class c =
      un::gated(ClassBuilder<UNCalendarNotificationTrigger, UNNotificationTrigger>("UNCalendarNotificationTrigger")
                    .method<&UNCalendarNotificationTrigger::dateComponents>("dateComponents")
                    .method<&UNCalendarNotificationTrigger::nextTriggerDate>("nextTriggerDate")
                    .classMethod("triggerWithDateMatchingComponents:repeats:",
                                 [](Class, SEL, NSDateComponents* components, bool repeats) -> Id {
                                   return triggerWithDateMatchingComponents(components, repeats);
                                 })
                    .build());
  return c;
}

Ref<UNCalendarNotificationTrigger> UNCalendarNotificationTrigger::triggerWithDateMatchingComponents(
    NSDateComponents* components, bool repeats) {
  if (!components) {
    throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: dateComponents != nil");
  }
  return make<UNCalendarNotificationTrigger>(un::copied(components), repeats);
}

Ref<NSDate> UNCalendarNotificationTrigger::nextTriggerDate() const {
  return components_->nextMatchAfter(currentTime());
}

double UNCalendarNotificationTrigger::fireTimeAfter(double t) const {
  Ref<NSDate> next = components_->nextMatchAfter(t);
  return next ? next->timeIntervalSince1970() : kUNNeverFires;
}

std::string UNCalendarNotificationTrigger::description() const {
  return format("<UNCalendarNotificationTrigger: %p; dateComponents: %@, repeats: %s>", static_cast<const void*>(this),
                components_.get(), repeats_ ? "YES" : "NO");
}

Class UNLocationNotificationTrigger::class_() {
  static Class c =
      un::gated(ClassBuilder<UNLocationNotificationTrigger, UNNotificationTrigger>("UNLocationNotificationTrigger")
                    .method<&UNLocationNotificationTrigger::region>("region")
                    .classMethod("triggerWithRegion:repeats:",
                                 [](Class, SEL, CLRegion* region, bool repeats) -> Id {
                                   return triggerWithRegion(region, repeats);
                                 })
                    .build());
  return c;
}

Ref<UNLocationNotificationTrigger> UNLocationNotificationTrigger::triggerWithRegion(CLRegion* region, bool repeats) {
  if (!region) throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: region != nil");
  return make<UNLocationNotificationTrigger>(un::copied(region), repeats);
}

std::string UNLocationNotificationTrigger::description() const {
  return format("<UNLocationNotificationTrigger: %p; region: %@, repeats: %s>", static_cast<const void*>(this),
                region_.get(), repeats_ ? "YES" : "NO");
}

}  // namespace objc
