// Dates, time zones, calendar date components, and the clock they read.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>

#include "objc/runtime.h"

namespace objc {

class NSString;

// The process's clock, in seconds since 1970-01-01 00:00 UTC. Real time by
// default; a simulated device installs its virtual clock here.
double currentTime();
void setClock(std::function<double()> clock);  // empty restores real time

// Proleptic Gregorian calendar arithmetic on day numbers (days since
// 1970-01-01); month 1-12, day 1-31. Exact for any day number whose year
// fits in 64 bits.
struct CivilDate {
  int64_t year, month, day;
};
int64_t daysFromCivil(int64_t year, int64_t month, int64_t day);
CivilDate civilFromDays(int64_t days);

class NSDate final : public NSObject {
 public:
  static Class class_();
  NSDate() = default;
  explicit NSDate(double secondsSince1970) : t_(secondsSince1970) {}

  static Ref<NSDate> date();
  static Ref<NSDate> dateWithTimeIntervalSinceNow(double seconds);
  static Ref<NSDate> dateWithTimeIntervalSince1970(double seconds);

  double timeIntervalSince1970() const { return t_; }
  double timeIntervalSinceNow() const;

  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  // "2026-12-08 03:30:16 +0000"
  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  double t_ = 0;
};

class NSTimeZone final : public NSObject {
 public:
  static Class class_();
  NSTimeZone() = default;
  NSTimeZone(std::string name, int64_t secondsFromGMT) : name_(std::move(name)), offset_(secondsFromGMT) {}

  static Ref<NSTimeZone> timeZoneForSecondsFromGMT(int64_t seconds);
  // "UTC", "GMT", or "GMT+hh:mm" / "GMT-hh:mm"; nil for anything else.
  static Ref<NSTimeZone> timeZoneWithName(std::string_view name);
  static Ref<NSTimeZone> defaultTimeZone();
  static void setDefaultTimeZone(NSTimeZone* zone);

  const std::string& name() const { return name_; }
  int64_t secondsFromGMT() const { return offset_; }

  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  std::string description() const override { return name_; }
  Ref<NSObject> copy() const override;

 private:
  std::string name_ = "GMT";
  int64_t offset_ = 0;
};

inline constexpr int64_t NSDateComponentUndefined = std::numeric_limits<int64_t>::max();

class NSDateComponents final : public NSObject {
 public:
  static Class class_();
  NSDateComponents() = default;

  int64_t year = NSDateComponentUndefined;
  int64_t month = NSDateComponentUndefined;
  int64_t day = NSDateComponentUndefined;
  int64_t hour = NSDateComponentUndefined;
  int64_t minute = NSDateComponentUndefined;
  int64_t second = NSDateComponentUndefined;
  Ref<NSTimeZone> timeZone;  // nil: the default time zone

  // The date the components denote in their time zone (Gregorian calendar);
  // missing fields read as the start of their range (year 1, January, day
  // 1, 00:00:00). Nil when a field is beyond a billion (of years, months,
  // ...), where the calendar has no dates.
  Ref<NSDate> date() const;
  // Whether the moment `t` (seconds since 1970) matches every field that is
  // set, read in the components' time zone.
  bool matches(double t) const;
  // The first moment after `t` that matches, or nil when none does within
  // the calendar's range (years 1 to 3,000,000). Fields are not normalised:
  // one outside its range ({hour: 25}, {day: 2, hour: -1}) matches nothing.
  // Unset fields below the smallest set one take the start of their range.
  Ref<NSDate> nextMatchAfter(double t) const;

  bool isEqual(const NSObject* other) const override;
  size_t hash() const override;
  std::string description() const override;
  Ref<NSObject> copy() const override;
};

}  // namespace objc
