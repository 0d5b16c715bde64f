#include "Foundation/NSDate.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "Foundation/NSString.h"

namespace objc {

namespace {

struct Clock {
  std::mutex lock;
  std::function<double()> source;
};

Clock& clock() {
  static Clock* c = new Clock;
  return *c;
}

struct Civil {
  int64_t year, month, day, hour, minute, second;
};

Civil civilFromTime(double t) {
  // Beyond a few million years (or not a number) the calendar arithmetic
  // would overflow; such moments read as the edge of that range.
  constexpr double kLimit = 1e14;
  if (std::isnan(t)) t = 0;
  t = std::clamp(t, -kLimit, kLimit);
  int64_t secs = static_cast<int64_t>(std::floor(t));
  int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
  int64_t rem = secs - days * 86400;
  CivilDate date = civilFromDays(days);
  return {date.year, date.month, date.day, rem / 3600, (rem % 3600) / 60, rem % 60};
}

}  // namespace

int64_t daysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

CivilDate civilFromDays(int64_t days) {
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const int64_t doe = z - era * 146097;
  const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const int64_t mp = (5 * doy + 2) / 153;
  const int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const int64_t m = mp + (mp < 10 ? 3 : -9);
  return {yoe + era * 400 + (m <= 2), m, d};
}

double currentTime() {
  {
    Clock& c = clock();
    std::lock_guard<std::mutex> g(c.lock);
    if (c.source) return c.source();
  }
  using namespace std::chrono;
  return duration<double>(system_clock::now().time_since_epoch()).count();
}

void setClock(std::function<double()> source) {
  Clock& c = clock();
  std::lock_guard<std::mutex> g(c.lock);
  c.source = std::move(source);
}

// ---- NSDate ----

Class NSDate::class_() {
  static Class c = ClassBuilder<NSDate>("NSDate")
                       .method<&NSDate::timeIntervalSince1970>("timeIntervalSince1970")
                       .method<&NSDate::timeIntervalSinceNow>("timeIntervalSinceNow")
                       .build();
  return c;
}

Ref<NSDate> NSDate::date() { return make<NSDate>(currentTime()); }
Ref<NSDate> NSDate::dateWithTimeIntervalSinceNow(double s) { return make<NSDate>(currentTime() + s); }
Ref<NSDate> NSDate::dateWithTimeIntervalSince1970(double s) { return make<NSDate>(s); }
double NSDate::timeIntervalSinceNow() const { return t_ - currentTime(); }

bool NSDate::isEqual(const NSObject* other) const {
  auto* d = dynamic_cast<const NSDate*>(other);
  return d && d->t_ == t_;
}
size_t NSDate::hash() const { return std::hash<double>{}(t_); }

std::string NSDate::description() const {
  Civil c = civilFromTime(t_);
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04lld-%02lld-%02lld %02lld:%02lld:%02lld +0000", static_cast<long long>(c.year),
                static_cast<long long>(c.month), static_cast<long long>(c.day), static_cast<long long>(c.hour),
                static_cast<long long>(c.minute), static_cast<long long>(c.second));
  return buf;
}

Ref<NSObject> NSDate::copy() const { return Ref<NSObject>(const_cast<NSDate*>(this)); }

// ---- NSTimeZone ----

namespace {
struct DefaultZone {
  std::mutex lock;
  Ref<NSTimeZone> zone;
};
DefaultZone& defaultZone() {
  static DefaultZone* z = new DefaultZone;
  return *z;
}
}  // namespace

Class NSTimeZone::class_() {
  static Class c = ClassBuilder<NSTimeZone>("NSTimeZone").method<&NSTimeZone::secondsFromGMT>("secondsFromGMT").build();
  return c;
}

Ref<NSTimeZone> NSTimeZone::timeZoneForSecondsFromGMT(int64_t seconds) {
  if (seconds == 0) return make<NSTimeZone>("GMT", 0);
  char buf[32];
  // The magnitude unsigned, so that the most negative offset has one too.
  uint64_t a = seconds < 0 ? 0 - static_cast<uint64_t>(seconds) : static_cast<uint64_t>(seconds);
  std::snprintf(buf, sizeof buf, "GMT%c%02llu:%02llu", seconds < 0 ? '-' : '+',
                static_cast<unsigned long long>(a / 3600), static_cast<unsigned long long>((a % 3600) / 60));
  return make<NSTimeZone>(buf, seconds);
}

Ref<NSTimeZone> NSTimeZone::timeZoneWithName(std::string_view name) {
  if (name == "UTC" || name == "GMT") return make<NSTimeZone>(std::string(name), 0);
  // GMT+h, GMT+hh, GMT+hhmm or GMT+hh:mm (or with "-").
  if (name.size() < 5 || name.substr(0, 3) != "GMT" || (name[3] != '+' && name[3] != '-')) return nullptr;
  std::string_view rest = name.substr(4);
  auto digits = [](std::string_view v) {
    return !v.empty() && std::all_of(v.begin(), v.end(), [](char c) { return c >= '0' && c <= '9'; });
  };
  std::string_view hours = rest, minutes;
  if (size_t colon = rest.find(':'); colon != std::string_view::npos) {
    hours = rest.substr(0, colon);
    minutes = rest.substr(colon + 1);
    if (minutes.size() != 2) return nullptr;
  } else if (rest.size() == 4) {
    hours = rest.substr(0, 2);
    minutes = rest.substr(2);
  }
  if (hours.size() > 2 || !digits(hours) || (!minutes.empty() && !digits(minutes))) return nullptr;
  int h = std::stoi(std::string(hours));
  int m = minutes.empty() ? 0 : std::stoi(std::string(minutes));
  if (h > 18 || m > 59) return nullptr;
  int64_t off = (h * 3600 + m * 60) * (name[3] == '-' ? -1 : 1);
  return make<NSTimeZone>(std::string(name), off);
}

Ref<NSTimeZone> NSTimeZone::defaultTimeZone() {
  auto& d = defaultZone();
  std::lock_guard<std::mutex> g(d.lock);
  if (!d.zone) d.zone = make<NSTimeZone>("GMT", 0);
  return d.zone;
}

void NSTimeZone::setDefaultTimeZone(NSTimeZone* zone) {
  auto& d = defaultZone();
  std::lock_guard<std::mutex> g(d.lock);
  d.zone = zone;
}

bool NSTimeZone::isEqual(const NSObject* other) const {
  auto* z = dynamic_cast<const NSTimeZone*>(other);
  return z && z->name_ == name_ && z->offset_ == offset_;
}
size_t NSTimeZone::hash() const { return std::hash<std::string>{}(name_); }
Ref<NSObject> NSTimeZone::copy() const { return Ref<NSObject>(const_cast<NSTimeZone*>(this)); }

// ---- NSDateComponents ----

Class NSDateComponents::class_() {
  static Class c = ClassBuilder<NSDateComponents>("NSDateComponents")
                       .method("date", [](NSDateComponents* self, SEL) { return self->date(); })
                       .build();
  return c;
}

namespace {
int64_t zoneOffset(const NSDateComponents& c) {
  Ref<NSTimeZone> z = c.timeZone ? c.timeZone : NSTimeZone::defaultTimeZone();
  return z->secondsFromGMT();
}
int64_t orDefault(int64_t v, int64_t fallback) { return v == NSDateComponentUndefined ? fallback : v; }

// Beyond this many years, or this many of any other unit, the calendar
// arithmetic would overflow; such components denote no date.
constexpr int64_t kLargestComponent = 1'000'000'000;

bool withinArithmetic(const NSDateComponents& c) {
  for (int64_t v : {c.year, c.month, c.day, c.hour, c.minute, c.second}) {
    if (v != NSDateComponentUndefined && (v > kLargestComponent || v < -kLargestComponent)) return false;
  }
  return true;
}

// Whether every field that is set lies in the calendar's range, so that
// some moment can match it.
bool withinCalendar(const NSDateComponents& c) {
  auto in = [](int64_t v, int64_t lo, int64_t hi) { return v == NSDateComponentUndefined || (v >= lo && v <= hi); };
  return withinArithmetic(c) && in(c.month, 1, 12) && in(c.day, 1, 31) && in(c.hour, 0, 23) && in(c.minute, 0, 59) &&
         in(c.second, 0, 59);
}
}  // namespace

Ref<NSDate> NSDateComponents::date() const {
  if (!withinArithmetic(*this)) return nullptr;
  int64_t days = daysFromCivil(orDefault(year, 1), orDefault(month, 1), orDefault(day, 1));
  double t = static_cast<double>(days) * 86400 + static_cast<double>(orDefault(hour, 0)) * 3600 +
             static_cast<double>(orDefault(minute, 0)) * 60 + static_cast<double>(orDefault(second, 0)) -
             static_cast<double>(zoneOffset(*this));
  return NSDate::dateWithTimeIntervalSince1970(t);
}

bool NSDateComponents::matches(double t) const {
  Civil c = civilFromTime(t + static_cast<double>(zoneOffset(*this)));
  auto ok = [](int64_t field, int64_t v) { return field == NSDateComponentUndefined || field == v; };
  return ok(year, c.year) && ok(month, c.month) && ok(day, c.day) && ok(hour, c.hour) && ok(minute, c.minute) &&
         ok(second, c.second);
}

namespace {
// The calendar's range: the years whose moments civilFromTime reads
// exactly. A match beyond it is no match.
constexpr int64_t kLastYear = 3'000'000;

int64_t daysInMonth(int64_t year, int64_t month) {
  static const int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return kDaysIn[month - 1] + (month == 2 && leap ? 1 : 0);
}
}  // namespace

// Fields are matched as they are, never normalised: a field outside its
// range (hour 25, minute -1, day 32), or a day that the month never has
// (February 30), matches no date. Fields left unset below the smallest field
// that is set take the start of their range ({hour: 8} fires at 08:00:00,
// {month: 3} on March 1); the others match any value. The search has no
// horizon short of the calendar's range: a set year is looked up directly,
// and without one every month and day that exist at all come round within
// eight years (February 29 across a century year), so a failed search is
// as cheap as a successful one.
Ref<NSDate> NSDateComponents::nextMatchAfter(double t) const {
  if (!withinCalendar(*this)) return nullptr;
  if (year != NSDateComponentUndefined && (year < 1 || year > kLastYear)) return nullptr;
  if (month != NSDateComponentUndefined && day != NSDateComponentUndefined && day > daysInMonth(2000, month)) {
    return nullptr;
  }
  const int64_t* fields[] = {&year, &month, &day, &hour, &minute, &second};
  int smallest = -1;
  for (int i = 0; i < 6; ++i)
    if (*fields[i] != NSDateComponentUndefined) smallest = i;
  auto rangeOf = [&](int index, int64_t lo, int64_t hi) -> std::pair<int64_t, int64_t> {
    int64_t v = *fields[index];
    if (v != NSDateComponentUndefined) return {v, v};
    if (index > smallest && smallest >= 0) return {lo, lo};
    return {lo, hi};
  };
  const std::pair<int64_t, int64_t> moRange = rangeOf(1, 1, 12);
  const int64_t mo0 = moRange.first, mo1 = moRange.second;
  const std::pair<int64_t, int64_t> dRange = rangeOf(2, 1, 31);
  const int64_t d0 = dRange.first, d1 = dRange.second;
  const std::pair<int64_t, int64_t> hRange = rangeOf(3, 0, 23);
  const int64_t h0 = hRange.first, h1 = hRange.second;
  const std::pair<int64_t, int64_t> mRange = rangeOf(4, 0, 59);
  const int64_t m0 = mRange.first, m1 = mRange.second;
  const std::pair<int64_t, int64_t> sRange = rangeOf(5, 0, 59);
  const int64_t s0 = sRange.first, s1 = sRange.second;

  const int64_t offset = zoneOffset(*this);
  const double localStart = t + static_cast<double>(offset);
  // civilFromTime reads 1e14 seconds (about three million years) either side
  // of 1970 exactly; NaN fails this test too.
  if (!(std::fabs(localStart) < 1e14)) return nullptr;
  const Civil from = civilFromTime(localStart);
  const int64_t firstDay = daysFromCivil(from.year, from.month, from.day);
  // The first time of day in the ranges that is later than `after` seconds
  // into the day, or -1.
  auto timeOfDayAfter = [&](double after) -> int64_t {
    for (int64_t h = h0; h <= h1; ++h)
      for (int64_t m = m0; m <= m1; ++m) {
        double need = after - static_cast<double>(h * 3600 + m * 60);  // the second must be above this
        int64_t s = need < static_cast<double>(s0) ? s0 : static_cast<int64_t>(std::floor(need)) + 1;
        if (s <= s1) return h * 3600 + m * 60 + s;
      }
    return -1;
  };
  int64_t y0 = year != NSDateComponentUndefined ? year : from.year;
  int64_t y1 = year != NSDateComponentUndefined ? year : std::min(from.year + 8, kLastYear);
  for (int64_t y = std::max(y0, from.year); y <= y1; ++y)
    for (int64_t mo = mo0; mo <= mo1; ++mo) {
      if (y == from.year && mo < from.month) continue;
      int64_t last = std::min(d1, daysInMonth(y, mo));
      for (int64_t d = d0; d <= last; ++d) {
        int64_t dayIndex = daysFromCivil(y, mo, d);
        if (dayIndex < firstDay) continue;
        double after = dayIndex == firstDay ? localStart - static_cast<double>(firstDay * 86400) : -1;
        int64_t secondOfDay = timeOfDayAfter(after);
        if (secondOfDay < 0) continue;
        double local = static_cast<double>(dayIndex * 86400 + secondOfDay);
        return NSDate::dateWithTimeIntervalSince1970(local - static_cast<double>(offset));
      }
    }
  return nullptr;
}

bool NSDateComponents::isEqual(const NSObject* other) const {
  auto* o = dynamic_cast<const NSDateComponents*>(other);
  if (!o) return false;
  bool zones = (!timeZone && !o->timeZone) || (timeZone && timeZone->isEqual(o->timeZone.get()));
  return zones && year == o->year && month == o->month && day == o->day && hour == o->hour && minute == o->minute &&
         second == o->second;
}

size_t NSDateComponents::hash() const {
  // Unsigned, so that any field values wrap instead of overflowing.
  return static_cast<size_t>(orDefault(hour, 0)) * 3600 + static_cast<size_t>(orDefault(minute, 0)) * 60 +
         static_cast<size_t>(orDefault(second, 0));
}

std::string NSDateComponents::description() const {
  std::string out = "<NSDateComponents>";
  auto add = [&](const char* name, int64_t v) {
    if (v != NSDateComponentUndefined) out += std::string(" ") + name + ": " + std::to_string(v);
  };
  add("year", year);
  add("month", month);
  add("day", day);
  add("hour", hour);
  add("minute", minute);
  add("second", second);
  if (timeZone) out += " timeZone: " + timeZone->name();
  return out;
}

Ref<NSObject> NSDateComponents::copy() const {
  auto c = make<NSDateComponents>();
  c->year = year;
  c->month = month;
  c->day = day;
  c->hour = hour;
  c->minute = minute;
  c->second = second;
  c->timeZone = timeZone;
  return c;
}

}  // namespace objc
