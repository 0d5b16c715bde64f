#include <gtest/gtest.h>

#include <cmath>

#include "support.h"

namespace un_test {
namespace {

// These run on the newest system, whatever an earlier test set.
class At13 : public ::testing::Test {
 protected:
  void SetUp() override { UIDevice::currentDevice()->setSystemVersion("13.0"); }
};
class UNContent : public At13 {};
class UNTriggers : public At13 {};
class UNDeliveredObjects : public At13 {};

TEST_F(UNContent, MadeWithNewByNameKeepsCopiesOfWhatIsSet) {
  Class cls = NSClassFromString("UNMutableNotificationContent");
  ASSERT_NE(cls, nullptr);
  Id content = send<Id>(cls, sel<"new">());
  ASSERT_TRUE(content);

  // A new content: texts nil, the identifiers empty, no badge or sound.
  EXPECT_FALSE(send<Id>(content, sel<"title">()));
  EXPECT_FALSE(send<Id>(content, sel<"badge">()));
  EXPECT_EQ(send<Ref<NSString>>(content, sel<"threadIdentifier">())->utf8(), "");
  EXPECT_EQ(send<Ref<NSArray>>(content, sel<"attachments">())->count(), 0u);
  EXPECT_EQ(send<Ref<NSDictionary>>(content, sel<"userInfo">())->count(), 0u);

  auto text = NSMutableString::string("Hello");
  auto info = NSMutableDictionary::dictionary();
  info->setObject(str("v"), "k");
  auto list = NSMutableArray::array();
  for (auto s : {sel<"setTitle:">(), sel<"setSubtitle:">(), sel<"setBody:">(), sel<"setThreadIdentifier:">(),
                 sel<"setLaunchImageName:">(), sel<"setCategoryIdentifier:">(), sel<"setSummaryArgument:">(),
                 sel<"setTargetContentIdentifier:">()}) {
    send<void>(content, s, text);
  }
  send<void>(content, sel<"setUserInfo:">(), info);
  send<void>(content, sel<"setAttachments:">(), list);
  send<void>(content, sel<"setBadge:">(), NSNumber::numberWithInteger(4));
  send<void>(content, sel<"setSound:">(), send<Id>(UNNotificationSound::class_(), sel<"soundNamed:">(), str("a.caf")));
  send<void>(content, sel<"setSummaryArgumentCount:">(), uint64_t{2});
  text->append(" changed");
  info->setObject(str("w"), "k2");
  list->addObject(str("x"));

  for (auto s : {sel<"title">(), sel<"subtitle">(), sel<"body">(), sel<"threadIdentifier">(), sel<"launchImageName">(),
                 sel<"categoryIdentifier">(), sel<"summaryArgument">(), sel<"targetContentIdentifier">()}) {
    EXPECT_EQ(send<Ref<NSString>>(content, s)->utf8(), "Hello") << sel_getName(s);
  }
  EXPECT_EQ(send<Ref<NSDictionary>>(content, sel<"userInfo">())->count(), 1u);
  EXPECT_EQ(send<Ref<NSArray>>(content, sel<"attachments">())->count(), 0u);
  EXPECT_EQ(send<Ref<NSNumber>>(content, sel<"badge">())->integerValue(), 4);
  EXPECT_EQ(send<Ref<UNNotificationSound>>(content, sel<"sound">())->name()->utf8(), "a.caf");
  EXPECT_EQ(send<uint64_t>(content, sel<"summaryArgumentCount">()), 2u);

  send<void>(content, sel<"setTitle:">(), nullptr);
  EXPECT_FALSE(send<Id>(content, sel<"title">())) << "nil is stored as nil";
}

TEST_F(UNContent, RequestHoldsAnImmutableCopyOfTheContent) {
  auto content = make<UNMutableNotificationContent>();
  content->setBody(str("before"));
  auto request = send<Ref<UNNotificationRequest>>(
      UNNotificationRequest::class_(), sel<"requestWithIdentifier:content:trigger:">(), str("r1"), content, nullptr);
  content->setBody(str("after"));
  UNNotificationContent* held = request->content();
  EXPECT_TRUE(held->isMemberOfClass(UNNotificationContent::class_()));
  EXPECT_FALSE(held->respondsToSelector(sel<"setBody:">()));
  EXPECT_EQ(held->body()->utf8(), "before");
  EXPECT_EQ(send<Ref<NSString>>(request, sel<"identifier">())->utf8(), "r1");
  EXPECT_FALSE(send<Id>(request, sel<"trigger">()));
  EXPECT_EQ(held->copy().get(), held) << "an immutable content copies as itself";

  auto again = cast<UNMutableNotificationContent>(send<Id>(held, sel<"mutableCopy">()));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->body()->utf8(), "before");

  EXPECT_THROW(UNNotificationRequest::requestWithIdentifier(nullptr, content, nullptr), Exception);
  EXPECT_THROW(UNNotificationRequest::requestWithIdentifier(str("x"), nullptr, nullptr), Exception);
  EXPECT_THROW(send<Id>(UNNotificationRequest::class_(), sel<"requestWithIdentifier:content:trigger:">(), str("x"),
                        str("not a content"), nullptr),
               Exception);
}

void expectRefusal(double seconds, bool repeats, const char* reason) {
  try {
    send<Id>(UNTimeIntervalNotificationTrigger::class_(), sel<"triggerWithTimeInterval:repeats:">(), seconds, repeats);
    ADD_FAILURE() << seconds << (repeats ? " repeating" : "") << " was accepted";
  } catch (const Exception& e) {
    EXPECT_EQ(e.name(), "NSInternalInconsistencyException");
    EXPECT_EQ(e.reason(), reason);
  }
}

TEST_F(UNTriggers, TimeIntervalRefusals) {
  expectRefusal(0, false, "time interval must be greater than 0");
  expectRefusal(-5, false, "time interval must be greater than 0");
  expectRefusal(0, true, "time interval must be greater than 0");
  expectRefusal(std::nan(""), false, "time interval must be greater than 0");
  expectRefusal(59.9, true, "time interval must be at least 60 if repeating");
  expectRefusal(1, true, "time interval must be at least 60 if repeating");

  auto shortOnce = send<Ref<UNTimeIntervalNotificationTrigger>>(UNTimeIntervalNotificationTrigger::class_(),
                                                                sel<"triggerWithTimeInterval:repeats:">(), 0.1, false);
  EXPECT_DOUBLE_EQ(send<double>(shortOnce, sel<"timeInterval">()), 0.1);
  EXPECT_FALSE(send<bool>(shortOnce, sel<"repeats">()));
  auto minute = UNTimeIntervalNotificationTrigger::triggerWithTimeInterval(60, true);
  EXPECT_TRUE(minute->repeats());
  EXPECT_NEAR(minute->nextTriggerDate()->timeIntervalSinceNow(), 60, 5);
}

TEST_F(UNTriggers, FactoriesKindsAndCopies) {
  auto components = make<NSDateComponents>();
  components->hour = 8;
  components->minute = 30;
  auto calendar = send<Ref<UNNotificationTrigger>>(
      UNCalendarNotificationTrigger::class_(), sel<"triggerWithDateMatchingComponents:repeats:">(), components, true);
  components->hour = 9;
  auto held = send<Ref<NSDateComponents>>(calendar, sel<"dateComponents">());
  EXPECT_EQ(held->hour, 8) << "the trigger keeps its own components";
  EXPECT_TRUE(calendar->repeats());
  ASSERT_TRUE(cast<UNCalendarNotificationTrigger>(calendar)->nextTriggerDate());

  auto region = CLCircularRegion::regionWithCenter({1, 2}, 50, str("spot"));
  auto location = send<Ref<UNNotificationTrigger>>(UNLocationNotificationTrigger::class_(),
                                                   sel<"triggerWithRegion:repeats:">(), region, false);
  region->setNotifyOnEntry(false);
  auto heldRegion = send<Ref<CLRegion>>(location, sel<"region">());
  EXPECT_NE(heldRegion.get(), region.get());
  EXPECT_TRUE(heldRegion->notifyOnEntry());

  Class push = NSClassFromString("UNPushNotificationTrigger");
  EXPECT_TRUE(UNPushNotificationTrigger::trigger()->isKindOfClass(push));
  EXPECT_TRUE(location->isKindOfClass(UNNotificationTrigger::class_()));
  EXPECT_FALSE(location->isKindOfClass(push));
  EXPECT_FALSE(calendar->isKindOfClass(UNTimeIntervalNotificationTrigger::class_()));
  EXPECT_EQ(calendar->copy().get(), calendar.get());

  EXPECT_THROW(send<Id>(push, sel<"new">()), Exception) << "only the platform makes push triggers";
  EXPECT_THROW(UNCalendarNotificationTrigger::triggerWithDateMatchingComponents(nullptr, false), Exception);
  EXPECT_THROW(UNLocationNotificationTrigger::triggerWithRegion(nullptr, false), Exception);
}

TEST_F(UNDeliveredObjects, PlatformSideConstructorsAndSounds) {
  auto request = requestIn("r", 10);
  auto date = NSDate::dateWithTimeIntervalSince1970(500);
  auto notification = UNNotification::notificationWithRequest(request, date);
  EXPECT_EQ(send<Id>(notification, sel<"request">()).get(), request.get());
  EXPECT_EQ(send<Ref<NSDate>>(notification, sel<"date">())->timeIntervalSince1970(), 500);
  auto response = UNNotificationResponse::responseWithNotification(notification);
  EXPECT_EQ(send<Id>(response, sel<"notification">()).get(), notification.get());
  EXPECT_TRUE(
      send<Ref<NSString>>(response, sel<"actionIdentifier">())->isEqual(UNNotificationDefaultActionIdentifier()));

  auto byName = send<Ref<UNNotificationSound>>(UNNotificationSound::class_(), sel<"soundNamed:">(), str("ding.caf"));
  auto standard = send<Ref<UNNotificationSound>>(UNNotificationSound::class_(), sel<"defaultSound">());
  EXPECT_TRUE(standard->isDefault());
  EXPECT_EQ(standard.get(), UNNotificationSound::defaultSound().get());
  EXPECT_FALSE(byName->isDefault());
  EXPECT_TRUE(byName->isEqual(UNNotificationSound::soundNamed(str("ding.caf"))));
  EXPECT_FALSE(byName->isEqual(standard));
}

TEST(UNSettingsSnapshot, SettingsFollowStatusAndGrantedOptions) {
  auto undetermined = UNNotificationSettings::settingsWithStatus(UNAuthorizationStatusNotDetermined, 7);
  EXPECT_EQ(send<int64_t>(undetermined, sel<"authorizationStatus">()), 0);
  EXPECT_EQ(send<int64_t>(undetermined, sel<"alertSetting">()), UNNotificationSettingNotSupported);
  auto denied = UNNotificationSettings::settingsWithStatus(UNAuthorizationStatusDenied, 7);
  EXPECT_EQ(denied->badgeSetting(), UNNotificationSettingDisabled);
  auto granted = UNNotificationSettings::settingsWithStatus(UNAuthorizationStatusAuthorized, 1 | 4);
  EXPECT_EQ(granted->authorizationStatus(), 2);
  EXPECT_EQ(granted->badgeSetting(), UNNotificationSettingEnabled);
  EXPECT_EQ(granted->alertSetting(), UNNotificationSettingEnabled);
  EXPECT_EQ(granted->soundSetting(), UNNotificationSettingDisabled);
}

}  // namespace
}  // namespace un_test
