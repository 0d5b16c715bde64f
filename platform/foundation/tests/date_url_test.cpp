// Dates, time zones, date components and URLs.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "Foundation/Foundation.h"

using namespace objc;

namespace {

constexpr double k2026Dec08_033016 = 1796700616;  // 2026-12-08 03:30:16 UTC
constexpr double k2026Dec08_0800 = 1796716800;
constexpr double k2026Mar01 = 1772323200;
constexpr double k2028Feb29 = 1835395200;

Ref<NSDateComponents> components(int64_t year, int64_t month, int64_t day, int64_t hour, int64_t minute,
                                 int64_t second) {
  auto c = make<NSDateComponents>();
  c->year = year;
  c->month = month;
  c->day = day;
  c->hour = hour;
  c->minute = minute;
  c->second = second;
  return c;
}

constexpr int64_t kUnset = NSDateComponentUndefined;

double nextAfter(const NSDateComponents* c, double t) {
  Ref<NSDate> d = c->nextMatchAfter(t);
  return d ? d->timeIntervalSince1970() : -1;
}

}  // namespace

TEST(Dates, ReadTheInstalledClock) {
  setClock([] { return k2026Dec08_033016; });
  EXPECT_EQ(NSDate::date()->timeIntervalSince1970(), k2026Dec08_033016);
  EXPECT_EQ(NSDate::dateWithTimeIntervalSinceNow(5)->timeIntervalSince1970(), k2026Dec08_033016 + 5);
  EXPECT_EQ(NSDate::dateWithTimeIntervalSince1970(k2026Dec08_033016 + 30)->timeIntervalSinceNow(), 30);
  EXPECT_EQ(NSDate::date()->description(), "2026-12-08 03:30:16 +0000");
  setClock({});
  EXPECT_GT(NSDate::date()->timeIntervalSince1970(), k2026Mar01 - 365 * 86400.0 * 10);
}

TEST(Dates, EqualityAndEdges) {
  EXPECT_TRUE(NSDate::dateWithTimeIntervalSince1970(1.5)->isEqual(NSDate::dateWithTimeIntervalSince1970(1.5)));
  EXPECT_FALSE(NSDate::dateWithTimeIntervalSince1970(1.5)->isEqual(NSDate::dateWithTimeIntervalSince1970(2)));
  EXPECT_EQ(NSDate::dateWithTimeIntervalSince1970(-1)->description(), "1969-12-31 23:59:59 +0000");
  // Far outside the calendar's range: described, not undefined.
  EXPECT_FALSE(NSDate::dateWithTimeIntervalSince1970(1e300)->description().empty());
  EXPECT_FALSE(NSDate::dateWithTimeIntervalSince1970(NAN)->description().empty());
}

TEST(Calendar, DayNumbersAndDatesRoundTripAcrossLeapDaysAndEras) {
  EXPECT_EQ(daysFromCivil(1970, 1, 1), 0);
  EXPECT_EQ(daysFromCivil(2026, 12, 8) * 86400, static_cast<int64_t>(k2026Dec08_0800) - 8 * 3600);
  EXPECT_EQ(daysFromCivil(2000, 3, 1) - daysFromCivil(2000, 2, 28), 2) << "2000 is a leap year";
  EXPECT_EQ(daysFromCivil(1900, 3, 1) - daysFromCivil(1900, 2, 28), 1) << "1900 is not";
  EXPECT_EQ(daysFromCivil(1969, 12, 31), -1);
  for (int64_t days :
       {int64_t{-719468}, int64_t{-1}, int64_t{0}, int64_t{59}, int64_t{11016}, int64_t{20795}, int64_t{2932896}}) {
    CivilDate date = civilFromDays(days);
    EXPECT_GE(date.month, 1);
    EXPECT_LE(date.month, 12);
    EXPECT_EQ(daysFromCivil(date.year, date.month, date.day), days) << days;
  }
  CivilDate leapDay = civilFromDays(daysFromCivil(2024, 2, 29));
  EXPECT_EQ(leapDay.year, 2024);
  EXPECT_EQ(leapDay.month, 2);
  EXPECT_EQ(leapDay.day, 29);
}

TEST(TimeZones, NamesAndOffsets) {
  EXPECT_EQ(NSTimeZone::defaultTimeZone()->secondsFromGMT(), 0);
  EXPECT_EQ(NSTimeZone::timeZoneWithName("GMT+08:00")->secondsFromGMT(), 8 * 3600);
  EXPECT_EQ(NSTimeZone::timeZoneWithName("GMT-0530")->secondsFromGMT(), -(5 * 3600 + 30 * 60));
  EXPECT_EQ(NSTimeZone::timeZoneWithName("GMT+5")->secondsFromGMT(), 5 * 3600);
  EXPECT_EQ(NSTimeZone::timeZoneWithName("UTC")->secondsFromGMT(), 0);
  for (const char* bad : {"GMT+25", "GMT+5:7", "GMT+-5", "GMT+5junk", "GMT+05:60", "Nowhere/City", "GMT+", ""})
    EXPECT_EQ(NSTimeZone::timeZoneWithName(bad), nullptr) << bad;
  EXPECT_EQ(NSTimeZone::timeZoneForSecondsFromGMT(3600)->name(), "GMT+01:00");
  EXPECT_EQ(NSTimeZone::timeZoneForSecondsFromGMT(-16200)->name(), "GMT-04:30");
  EXPECT_TRUE(NSTimeZone::timeZoneForSecondsFromGMT(0)->isEqual(NSTimeZone::timeZoneWithName("GMT")));

  NSTimeZone::setDefaultTimeZone(NSTimeZone::timeZoneWithName("GMT+01:00"));
  EXPECT_EQ(NSTimeZone::defaultTimeZone()->secondsFromGMT(), 3600);
  NSTimeZone::setDefaultTimeZone(nullptr);
  EXPECT_EQ(NSTimeZone::defaultTimeZone()->secondsFromGMT(), 0);
}

TEST(DateComponents, DenoteADateInTheirTimeZone) {
  auto c = components(2026, 12, 8, 3, 30, 16);
  EXPECT_EQ(c->date()->timeIntervalSince1970(), k2026Dec08_033016);
  c->timeZone = NSTimeZone::timeZoneWithName("GMT+08:00");
  EXPECT_EQ(c->date()->timeIntervalSince1970(), k2026Dec08_033016 - 8 * 3600);
  c->timeZone = nullptr;  // the default time zone, read when asked
  NSTimeZone::setDefaultTimeZone(NSTimeZone::timeZoneForSecondsFromGMT(-3600));
  EXPECT_EQ(c->date()->timeIntervalSince1970(), k2026Dec08_033016 + 3600);
  NSTimeZone::setDefaultTimeZone(nullptr);
  // Missing fields are the start of their range.
  EXPECT_EQ(components(2026, 12, 8, kUnset, kUnset, kUnset)->date()->timeIntervalSince1970(),
            k2026Dec08_033016 - (3 * 3600 + 30 * 60 + 16));
  EXPECT_EQ(components(2028, 2, 29, kUnset, kUnset, kUnset)->date()->timeIntervalSince1970(), k2028Feb29);
}

TEST(DateComponents, MatchReadsTheirTimeZone) {
  auto c = components(kUnset, kUnset, kUnset, 3, 30, kUnset);
  EXPECT_TRUE(c->matches(k2026Dec08_033016));
  EXPECT_FALSE(c->matches(k2026Dec08_033016 + 3600));
  c->timeZone = NSTimeZone::timeZoneWithName("GMT+08:00");
  EXPECT_FALSE(c->matches(k2026Dec08_033016));  // 11:30 there
  EXPECT_TRUE(c->matches(k2026Dec08_033016 - 8 * 3600));
}

TEST(DateComponents, NextMatchAfter) {
  auto eight = components(kUnset, kUnset, kUnset, 8, kUnset, kUnset);
  EXPECT_EQ(nextAfter(eight, k2026Dec08_033016), k2026Dec08_0800);        // unset smaller fields start at 0
  EXPECT_EQ(nextAfter(eight, k2026Dec08_0800), k2026Dec08_0800 + 86400);  // strictly after
  EXPECT_EQ(nextAfter(eight, k2026Dec08_0800 - 0.5), k2026Dec08_0800);
  auto halfPast = components(kUnset, kUnset, kUnset, kUnset, 30, kUnset);
  EXPECT_EQ(nextAfter(halfPast, k2026Dec08_033016), k2026Dec08_033016 - 16 + 3600);  // 04:30:00
  auto leapDay = components(kUnset, 2, 29, kUnset, kUnset, kUnset);
  EXPECT_EQ(nextAfter(leapDay, k2026Mar01), k2028Feb29);
  EXPECT_EQ(nextAfter(components(2020, kUnset, kUnset, kUnset, kUnset, kUnset), k2026Mar01), -1);
  EXPECT_EQ(nextAfter(eight, NAN), -1);
  eight->timeZone = NSTimeZone::timeZoneWithName("GMT+08:00");
  EXPECT_EQ(nextAfter(eight, k2026Dec08_033016), k2026Dec08_0800 - 8 * 3600 + 86400);  // 08:00 there is 00:00 UTC
}

TEST(DateComponents, FieldsAreMatchedAsGivenAcrossTheWholeCalendar) {
  // Out of range, or a day the month never has: no date, not a normalised one.
  std::vector<Ref<NSDateComponents>> unmatched = {
      components(kUnset, kUnset, kUnset, 25, kUnset, kUnset), components(kUnset, kUnset, kUnset, 8, 75, kUnset),
      components(kUnset, kUnset, 2, -1, kUnset, kUnset),      components(kUnset, 13, kUnset, kUnset, kUnset, kUnset),
      components(kUnset, 2, 30, kUnset, kUnset, kUnset),      components(2030, 2, 29, kUnset, kUnset, kUnset),
      components(kUnset, kUnset, kUnset, kUnset, kUnset, 60)};
  for (const auto& c : unmatched) EXPECT_EQ(nextAfter(c, k2026Mar01), -1) << c->description();

  // Years ahead are found without a horizon; the calendar's end is the limit.
  auto far = components(2037, 6, 1, 9, kUnset, kUnset);
  EXPECT_EQ(nextAfter(far, k2026Mar01), daysFromCivil(2037, 6, 1) * 86400.0 + 9 * 3600);
  EXPECT_EQ(nextAfter(components(3000000, 1, 1, kUnset, kUnset, kUnset), k2026Mar01),
            daysFromCivil(3000000, 1, 1) * 86400.0);
  EXPECT_EQ(nextAfter(components(3000001, kUnset, kUnset, kUnset, kUnset, kUnset), k2026Mar01), -1);

  // Unset fields below the smallest set one start their range; {day: 31}
  // skips the months without one.
  EXPECT_EQ(nextAfter(components(kUnset, 3, kUnset, kUnset, kUnset, kUnset), k2026Mar01 - 1), k2026Mar01);
  EXPECT_EQ(nextAfter(components(kUnset, kUnset, 31, kUnset, kUnset, kUnset), k2026Mar01),
            daysFromCivil(2026, 3, 31) * 86400.0);
  EXPECT_EQ(nextAfter(components(kUnset, kUnset, 31, kUnset, kUnset, kUnset), daysFromCivil(2026, 3, 31) * 86400.0),
            daysFromCivil(2026, 5, 31) * 86400.0);
}

TEST(DateComponentsUndefined, FieldsBeyondTheCalendarDenoteNoDateAndMatchNothing) {
  // Under UndefinedBehaviorSanitizer: the arithmetic on these fields once
  // overflowed.
  auto huge = components(INT64_MAX - 1, kUnset, kUnset, kUnset, kUnset, kUnset);
  EXPECT_EQ(huge->date(), nullptr);
  EXPECT_EQ(nextAfter(huge, k2026Mar01), -1);
  auto hours = components(kUnset, kUnset, kUnset, INT64_MIN, kUnset, kUnset);
  EXPECT_EQ(hours->date(), nullptr);
  EXPECT_EQ(nextAfter(hours, k2026Mar01), -1);
  (void)hours->hash();
  EXPECT_EQ(nextAfter(components(kUnset, 13, kUnset, kUnset, kUnset, kUnset), k2026Mar01), -1);
  EXPECT_EQ(nextAfter(components(kUnset, kUnset, kUnset, 8, kUnset, kUnset), 1e300), -1);
  auto zone = components(kUnset, kUnset, kUnset, 8, kUnset, kUnset);
  zone->timeZone = NSTimeZone::timeZoneForSecondsFromGMT(INT64_MAX);
  EXPECT_EQ(nextAfter(zone, k2026Mar01), -1);
  EXPECT_TRUE(components(-1000000000, 1, 1, 0, 0, 0)->date()) << "far, but within the arithmetic";
}

TEST(DateComponents, CopyEqualityAndDescription) {
  auto c = components(2026, 12, 8, kUnset, kUnset, kUnset);
  c->timeZone = NSTimeZone::timeZoneWithName("GMT+08:00");
  Id copy = c->copy();
  EXPECT_NE(copy.get(), c.get());
  EXPECT_TRUE(copy->isEqual(c.get()));
  EXPECT_EQ(copy->hash(), c->hash());
  c->day = 9;
  EXPECT_FALSE(copy->isEqual(c.get()));
  EXPECT_EQ(copy->description(), "<NSDateComponents> year: 2026 month: 12 day: 8 timeZone: GMT+08:00");
}

TEST(URL, ParsesParts) {
  Ref<NSURL> u = NSURL::URLWithString("HTTPS://user@example.com:8443/media/b%20c.jpg?size=2&x=y#frag");
  ASSERT_TRUE(u);
  EXPECT_EQ(u->scheme()->utf8(), "https");
  EXPECT_EQ(u->host()->utf8(), "example.com");
  EXPECT_EQ(u->port(), 8443);
  EXPECT_EQ(u->path()->utf8(), "/media/b c.jpg");
  EXPECT_EQ(u->query()->utf8(), "size=2&x=y");
  EXPECT_EQ(u->lastPathComponent()->utf8(), "b c.jpg");
  EXPECT_EQ(u->pathExtension()->utf8(), "jpg");
  EXPECT_FALSE(u->isFileURL());
  EXPECT_EQ(u->absoluteString()->utf8(), "HTTPS://user@example.com:8443/media/b%20c.jpg?size=2&x=y#frag");

  Ref<NSURL> plain = NSURL::URLWithString("http://127.0.0.1/");
  EXPECT_EQ(plain->port(), -1);
  EXPECT_EQ(plain->query(), nullptr);
  EXPECT_EQ(plain->path()->utf8(), "/");
  Ref<NSURL> v6 = NSURL::URLWithString("http://[::1]:8080/x");
  ASSERT_TRUE(v6);
  EXPECT_EQ(v6->host()->utf8(), "::1");
  EXPECT_EQ(v6->port(), 8080);
  Ref<NSURL> relative = NSURL::URLWithString("pic.jpg");
  ASSERT_TRUE(relative);
  EXPECT_EQ(relative->scheme(), nullptr);
  EXPECT_EQ(relative->host(), nullptr);
  EXPECT_EQ(relative->path()->utf8(), "pic.jpg");
  EXPECT_EQ(NSURL::URLWithString("ftp://h/f.txt")->scheme()->utf8(), "ftp");
}

TEST(URL, TextThatIsNoURLGivesNil) {
  for (const char* bad : {"", "not a url", "http://exa mple.com/", "http://h/é", "http://h:99999/", "http://h:12ab/",
                          "http://[::1/", "http://[::1]x/", "%zz", "http://h/100%", "http://h/\"q\""})
    EXPECT_EQ(NSURL::URLWithString(bad), nullptr) << bad;
  EXPECT_EQ(NSURL::URLWithString(static_cast<NSString*>(nullptr)), nullptr);
}

TEST(URL, FileURLs) {
  Ref<NSURL> f = NSURL::fileURLWithPath("/tmp/a b/pic.png?size=2");
  EXPECT_TRUE(f->isFileURL());
  EXPECT_EQ(f->path()->utf8(), "/tmp/a b/pic.png?size=2");
  EXPECT_EQ(f->absoluteString()->utf8(), "file:///tmp/a%20b/pic.png%3Fsize=2");
  Ref<NSURL> back = NSURL::URLWithString(f->absoluteString());
  ASSERT_TRUE(back);
  EXPECT_TRUE(back->isFileURL());
  EXPECT_EQ(back->path()->utf8(), "/tmp/a b/pic.png?size=2");
  EXPECT_TRUE(NSURL::URLWithString("file:///tmp/x.jpg")->isFileURL());

  // A relative path is taken from the current directory.
  Ref<NSURL> rel = NSURL::fileURLWithPath("x.txt");
  EXPECT_EQ(rel->path()->utf8(), (std::filesystem::current_path() / "x.txt").string());
  EXPECT_EQ(NSURL::URLWithString(rel->absoluteString())->path()->utf8(), rel->path()->utf8());
}

TEST(URL, EqualityCopyAndMessages) {
  Ref<NSURL> a = NSURL::URLWithString("http://h/p");
  EXPECT_TRUE(a->isEqual(NSURL::URLWithString(str("http://h/p"))));
  EXPECT_EQ(a->hash(), NSURL::URLWithString("http://h/p")->hash());
  EXPECT_FALSE(a->isEqual(NSURL::URLWithString("http://h/q")));
  EXPECT_EQ(a->copy().get(), a.get());
  EXPECT_EQ(send<Ref<NSString>>(a, sel<"path">())->utf8(), "/p");
  EXPECT_EQ(format("%@", a), "http://h/p");
}
