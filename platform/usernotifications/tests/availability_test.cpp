#include <gtest/gtest.h>

#include "support.h"

namespace un_test {
namespace {

const char* const kClassNames[] = {
    "UNUserNotificationCenter",      "UNNotificationSettings",
    "UNNotificationContent",         "UNMutableNotificationContent",
    "UNNotificationSound",           "UNNotificationTrigger",
    "UNPushNotificationTrigger",     "UNTimeIntervalNotificationTrigger",
    "UNCalendarNotificationTrigger", "UNLocationNotificationTrigger",
    "UNNotificationRequest",         "UNNotification",
    "UNNotificationResponse",        "UNNotificationAttachment",
};

TEST(UNAvailability, ClassesAreFoundByNameOnlyFromTen) {
  UIDevice* device = UIDevice::currentDevice();
  device->setSystemVersion("9.3");
  for (const char* name : kClassNames) {
    EXPECT_EQ(NSClassFromString(name), nullptr) << name;
    EXPECT_EQ(objc_getClass(name), nullptr) << name;
  }
  device->setSystemVersion("10.0");
  for (const char* name : kClassNames) EXPECT_NE(NSClassFromString(name), nullptr) << name;
  EXPECT_EQ(NSClassFromString("UNUserNotificationCenter"), UNUserNotificationCenter::class_());

  // The version is read at every lookup.
  device->setSystemVersion("9.3.5");
  EXPECT_EQ(NSClassFromString("UNUserNotificationCenter"), nullptr);
  device->setSystemVersion("10");
  EXPECT_NE(NSClassFromString("UNUserNotificationCenter"), nullptr);
  device->setSystemVersion("12.4.1");
  Class cls = NSClassFromString("UNUserNotificationCenter");
  ASSERT_NE(cls, nullptr);
  EXPECT_EQ(send<Id>(cls, sel<"currentNotificationCenter">()).get(),
            UNUserNotificationCenter::currentNotificationCenter());
  EXPECT_NE(NSProtocolFromString("UNUserNotificationCenterDelegate"), nullptr);
}

struct GatedSelector {
  const char* version;
  const char* before;
  std::vector<SEL> selectors;
  friend void PrintTo(const GatedSelector& g, std::ostream* os) { *os << "from " << g.version; }
};

class UNContentAvailability : public ::testing::TestWithParam<GatedSelector> {};

TEST_P(UNContentAvailability, SelectorsExistOnlyFromTheirVersion) {
  const GatedSelector& g = GetParam();
  UIDevice* device = UIDevice::currentDevice();
  auto mutableContent = send<Id>(UNMutableNotificationContent::class_(), sel<"new">());
  Id content = mutableContent->copy();
  ASSERT_TRUE(content->isMemberOfClass(UNNotificationContent::class_()));

  device->setSystemVersion(g.before);
  for (SEL s : g.selectors) {
    bool isSetter = sel_getName(s)[0] == 's' && sel_getName(s)[1] == 'e';
    EXPECT_FALSE(mutableContent->respondsToSelector(s)) << sel_getName(s);
    EXPECT_FALSE(send<bool>(UNMutableNotificationContent::class_(), sel<"instancesRespondToSelector:">(), s));
    if (!isSetter) {
      EXPECT_FALSE(content->respondsToSelector(s)) << sel_getName(s);
    }
  }
  EXPECT_TRUE(content->respondsToSelector(sel<"title">()));
  EXPECT_TRUE(mutableContent->respondsToSelector(sel<"setTitle:">()));

  device->setSystemVersion(g.version);
  for (SEL s : g.selectors) {
    bool isSetter = sel_getName(s)[0] == 's' && sel_getName(s)[1] == 'e';
    EXPECT_TRUE(mutableContent->respondsToSelector(s)) << sel_getName(s);
    if (!isSetter) {
      EXPECT_TRUE(content->respondsToSelector(s)) << sel_getName(s);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Versions, UNContentAvailability,
    ::testing::Values(GatedSelector{"12.0",
                                    "11.4",
                                    {sel<"summaryArgument">(), sel<"summaryArgumentCount">(),
                                     sel<"setSummaryArgument:">(), sel<"setSummaryArgumentCount:">()}},
                      GatedSelector{
                          "13.0", "12.4", {sel<"targetContentIdentifier">(), sel<"setTargetContentIdentifier:">()}}),
    [](const ::testing::TestParamInfo<GatedSelector>& info) {
      return info.param.version[1] == '2' ? std::string("Twelve") : std::string("Thirteen");
    });

TEST(UNContentAvailabilityBelow, SendingAMissingSelectorRaisesAsOnThatSystem) {
  UIDevice* device = UIDevice::currentDevice();
  auto content = make<UNMutableNotificationContent>();
  device->setSystemVersion("11.4");
  EXPECT_THROW(send<void>(content, sel<"setSummaryArgument:">(), str("x")), Exception);
  EXPECT_THROW(send<Id>(content, sel<"summaryArgument">()), Exception);
  EXPECT_THROW(send<uint64_t>(content, sel<"summaryArgumentCount">()), Exception);

  device->setSystemVersion("12.0");
  send<void>(content, sel<"setSummaryArgument:">(), str("Anna"));
  send<void>(content, sel<"setSummaryArgumentCount:">(), uint64_t{3});
  EXPECT_EQ(send<Ref<NSString>>(content, sel<"summaryArgument">())->utf8(), "Anna");
  EXPECT_EQ(send<uint64_t>(content, sel<"summaryArgumentCount">()), 3u);
  EXPECT_THROW(send<void>(content, sel<"setTargetContentIdentifier:">(), str("w")), Exception);

  device->setSystemVersion("13.0");
  send<void>(content, sel<"setTargetContentIdentifier:">(), str("window-1"));
  EXPECT_EQ(send<Ref<NSString>>(content->copy(), sel<"targetContentIdentifier">())->utf8(), "window-1");
}

}  // namespace
}  // namespace un_test
