#include <gtest/gtest.h>

#include "support.h"

namespace uikit_test {
namespace {

TEST(UILocalNotificationRecord, DefaultsAndRunTimeAccessors) {
  auto n = send<Ref<UILocalNotification>>(UILocalNotification::class_(), sel<"new">());
  ASSERT_TRUE(n);
  EXPECT_TRUE(send<bool>(n, sel<"hasAction">()));
  EXPECT_TRUE(send<bool>(n, sel<"regionTriggersOnce">()));
  EXPECT_EQ(send<int64_t>(n, sel<"applicationIconBadgeNumber">()), 0);
  EXPECT_EQ(send<uint64_t>(n, sel<"repeatInterval">()), 0u);
  EXPECT_FALSE(send<Id>(n, sel<"alertTitle">()));

  send<void>(n, sel<"setApplicationIconBadgeNumber:">(), int64_t{-1});
  send<void>(n, sel<"setRepeatInterval:">(), uint64_t{16});
  send<void>(n, sel<"setHasAction:">(), false);
  send<void>(n, sel<"setRegionTriggersOnce:">(), false);
  send<void>(n, sel<"setTimeZone:">(), NSTimeZone::timeZoneForSecondsFromGMT(3600));
  send<void>(n, sel<"setFireDate:">(), NSDate::dateWithTimeIntervalSince1970(1000));
  EXPECT_EQ(n->applicationIconBadgeNumber(), -1);
  EXPECT_EQ(n->repeatInterval(), 16u);
  EXPECT_FALSE(n->hasAction());
  EXPECT_FALSE(n->regionTriggersOnce());
  EXPECT_EQ(n->timeZone()->secondsFromGMT(), 3600);
  EXPECT_EQ(n->fireDate()->timeIntervalSince1970(), 1000);
  // The badge number is a 64-bit integer; a 32-bit send is a signature mismatch.
  EXPECT_THROW(send<void>(n, sel<"setApplicationIconBadgeNumber:">(), int32_t{1}), Exception);
}

TEST(UILocalNotificationRecord, ObjectFieldsKeepCopies) {
  auto n = make<UILocalNotification>();
  auto text = NSMutableString::string("title");
  auto info = NSMutableDictionary::dictionary();
  info->setObject(str("v"), "k");
  auto region = CLCircularRegion::regionWithCenter({52.5, 13.4}, 100, str("home"));
  send<void>(n, sel<"setAlertTitle:">(), text);
  send<void>(n, sel<"setAlertLaunchImage:">(), text);
  send<void>(n, sel<"setSoundName:">(), text);
  send<void>(n, sel<"setUserInfo:">(), info);
  send<void>(n, sel<"setRegion:">(), region);
  text->append(" changed");
  info->setObject(str("w"), "k2");
  region->setNotifyOnExit(false);

  EXPECT_EQ(send<Ref<NSString>>(n, sel<"alertTitle">())->utf8(), "title");
  EXPECT_EQ(n->alertLaunchImage()->utf8(), "title");
  EXPECT_EQ(n->soundName()->utf8(), "title");
  EXPECT_EQ(n->userInfo()->count(), 1u);
  EXPECT_TRUE(n->region()->notifyOnExit());

  auto copy = cast<UILocalNotification>(n->copy());
  EXPECT_NE(copy.get(), n.get());
  EXPECT_TRUE(copy->hasSameFields(n));
  EXPECT_NE(copy->region(), n->region()) << "the copy's region is its own";
  copy->region()->setNotifyOnEntry(false);
  EXPECT_TRUE(n->region()->notifyOnEntry());
  EXPECT_FALSE(copy->hasSameFields(n));
}

TEST(CLRegionValue, CircularRegionGeometryCopyAndRefusals) {
  auto r = CLCircularRegion::regionWithCenter({48.8566, 2.3522}, 500, str("paris"));
  EXPECT_EQ(send<double>(r, sel<"radius">()), 500);
  EXPECT_EQ(send<Ref<NSString>>(r, sel<"identifier">())->utf8(), "paris");
  EXPECT_TRUE(send<bool>(r, sel<"notifyOnEntry">()));
  EXPECT_TRUE(r->containsCoordinate({48.8566, 2.3522}));
  EXPECT_TRUE(r->containsCoordinate({48.8600, 2.3522}));   // about 380 m north
  EXPECT_FALSE(r->containsCoordinate({48.8700, 2.3522}));  // about 1.5 km north

  auto c = cast<CLCircularRegion>(r->copy());
  EXPECT_NE(c.get(), r.get());
  EXPECT_TRUE(c->isEqual(r));
  send<void>(c, sel<"setNotifyOnEntry:">(), false);
  EXPECT_FALSE(c->isEqual(r));
  EXPECT_TRUE(r->notifyOnEntry());
  EXPECT_TRUE(c->isKindOfClass(CLRegion::class_()));

  EXPECT_THROW(CLCircularRegion::regionWithCenter({0, 0}, 10, nullptr), Exception);
  EXPECT_THROW(CLCircularRegion::regionWithCenter({0, 0}, -1, str("x")), Exception);
}

TEST(UIDeviceVersion, DottedComparisonIsNumeric) {
  EXPECT_EQ(compareDottedVersions("10.0", "10.0"), 0);
  EXPECT_EQ(compareDottedVersions("10", "10.0"), 0);
  EXPECT_EQ(compareDottedVersions("9.3.5", "10.0"), -1);
  EXPECT_EQ(compareDottedVersions("12.1", "8.2"), 1);
  EXPECT_EQ(compareDottedVersions("10.0.1", "10.0"), 1);
  EXPECT_EQ(compareDottedVersions("13.0", "12.4.1"), 1);

  auto device = send<Ref<UIDevice>>(UIDevice::class_(), sel<"currentDevice">());
  ASSERT_EQ(device.get(), UIDevice::currentDevice());
  device->setSystemVersion("11.4");
  EXPECT_EQ(send<Ref<NSString>>(device, sel<"systemVersion">())->utf8(), "11.4");
  EXPECT_FALSE(UIDevice::systemVersionAtLeast("12.0"));
  EXPECT_TRUE(UIDevice::systemVersionAtLeast("11"));
  device->setSystemVersion("12.0");
  EXPECT_TRUE(UIDevice::systemVersionAtLeast("12.0"));
}

TEST(UIDeviceUndefined, AComponentPastTheLargestIntegerIsLaterThanEveryVersion) {
  // Under UndefinedBehaviorSanitizer: reading it once overflowed, and the
  // wrapped value made the system older than 10.0.
  EXPECT_EQ(compareDottedVersions("9223372036854775808", "13.0"), 1);
  EXPECT_EQ(compareDottedVersions("10.99999999999999999999", "10.5"), 1);
  EXPECT_EQ(compareDottedVersions("9223372036854775807", "99999999999999999999"), 0) << "both the largest";
  UIDevice::currentDevice()->setSystemVersion("9223372036854775808");
  EXPECT_TRUE(UIDevice::systemVersionAtLeast("10.0"));
  UIDevice::currentDevice()->setSystemVersion("13.0");
}

}  // namespace
}  // namespace uikit_test
