// When a local notification fires. The record holds no kind: scheduling picks
// the region first, then the date components (or, on the legacy interface,
// the fire date), then the time interval.
#pragma once

#include "Foundation/Foundation.h"
#include "UIKit/CLRegion.h"

class OrvelNotificationTrigger : public objc::NSObject {
 public:
  static objc::Class class_();

  // Whether the trigger fires again; for a region, false fires once.
  bool repeat() const { return repeat_; }
  void setRepeat(bool value) { repeat_ = value; }
  // Copied. Read only by the legacy interface.
  objc::NSDate* fireDate() const { return fireDate_.get(); }
  void setFireDate(objc::NSDate* value);
  // Copied. Takes precedence over every other field.
  objc::CLRegion* region() const { return region_.get(); }
  void setRegion(objc::CLRegion* value);
  // Copied.
  objc::NSDateComponents* dateComponents() const { return dateComponents_.get(); }
  void setDateComponents(objc::NSDateComponents* value);
  // Seconds before firing; 0 means unset.
  double timeInterval() const { return timeInterval_; }
  void setTimeInterval(double value) { timeInterval_ = value; }

 private:
  bool repeat_ = false;
  objc::Ref<objc::NSDate> fireDate_;
  objc::Ref<objc::CLRegion> region_;
  objc::Ref<objc::NSDateComponents> dateComponents_;
  double timeInterval_ = 0;
};
