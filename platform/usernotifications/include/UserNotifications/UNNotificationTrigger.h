// When a notification is delivered.
#pragma once

#include <limits>

#include "Foundation/Foundation.h"
#include "UIKit/CLRegion.h"

namespace objc {

// Triggers are immutable; `copy` returns the trigger itself. None can be made
// with "new" or "alloc": only the factories make them.
class UNNotificationTrigger : public NSObject {
 public:
  static Class class_();

  bool repeats() const { return repeats_; }

  // Platform side: the first moment (seconds since 1970) after `t` at which
  // the trigger fires when it was scheduled (or last fired) at `t`, or
  // infinity when it fires on no date (a region or a push).
  virtual double fireTimeAfter(double t) const;

  Ref<NSObject> copy() const override;

 protected:
  explicit UNNotificationTrigger(bool repeats) : repeats_(repeats) {}
  bool repeats_ = false;
};

inline constexpr double kUNNeverFires = std::numeric_limits<double>::infinity();

// Marks a notification that came from the push service.
class UNPushNotificationTrigger final : public UNNotificationTrigger {
 public:
  static Class class_();
  // Platform side: the device makes one for each remote notification.
  static Ref<UNPushNotificationTrigger> trigger();
  std::string description() const override;

 private:
  UNPushNotificationTrigger() : UNNotificationTrigger(false) {}
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
};

// "triggerWithTimeInterval:repeats:" (signature "@@:dB"). Raises
// NSInternalInconsistencyException, "time interval must be greater than 0",
// for an interval of 0 or less, and "time interval must be at least 60 if
// repeating" for a repeating one under 60 seconds.
class UNTimeIntervalNotificationTrigger final : public UNNotificationTrigger {
 public:
  static Class class_();
  static Ref<UNTimeIntervalNotificationTrigger> triggerWithTimeInterval(double seconds, bool repeats);

  double timeInterval() const { return interval_; }
  // The interval from now (the platform computes it from the moment of
  // asking, not from when the request was added).
  Ref<NSDate> nextTriggerDate() const;

  double fireTimeAfter(double t) const override { return t + interval_; }
  std::string description() const override;

 private:
  UNTimeIntervalNotificationTrigger(double seconds, bool repeats)
      : UNNotificationTrigger(repeats), interval_(seconds) {}
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
  double interval_;
};

// "triggerWithDateMatchingComponents:repeats:" (signature "@@:@B"); keeps a
// copy of the components. Raises NSInvalidArgumentException for nil.
class UNCalendarNotificationTrigger final : public UNNotificationTrigger {
 public:
  static Class class_();
  static Ref<UNCalendarNotificationTrigger> triggerWithDateMatchingComponents(NSDateComponents* components,
                                                                              bool repeats);

  NSDateComponents* dateComponents() const { return components_.get(); }
  // The next moment after now that matches, or nil.
  Ref<NSDate> nextTriggerDate() const;

  double fireTimeAfter(double t) const override;
  std::string description() const override;

 private:
  UNCalendarNotificationTrigger(Ref<NSDateComponents> components, bool repeats)
      : UNNotificationTrigger(repeats), components_(std::move(components)) {}
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
  Ref<NSDateComponents> components_;
};

// "triggerWithRegion:repeats:" (signature "@@:@B"); keeps a copy of the
// region. Raises NSInvalidArgumentException for nil.
class UNLocationNotificationTrigger final : public UNNotificationTrigger {
 public:
  static Class class_();
  static Ref<UNLocationNotificationTrigger> triggerWithRegion(CLRegion* region, bool repeats);

  CLRegion* region() const { return region_.get(); }
  std::string description() const override;

 private:
  UNLocationNotificationTrigger(Ref<CLRegion> region, bool repeats)
      : UNNotificationTrigger(repeats), region_(std::move(region)) {}
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
  Ref<CLRegion> region_;
};

}  // namespace objc
