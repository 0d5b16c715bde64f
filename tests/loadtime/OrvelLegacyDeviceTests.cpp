// End to end on the simulated device for a library loaded below "10.0":
// launches, pushes and badge clearing go through the legacy callbacks only.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Device/Device.h"
#include "support/OrvelTestSupport.h"

using namespace objc;
using orveltest::journal;
using orveltest::record;

namespace {

struct LegacyHost : NSObject {
  static Class class_();
  void didReceiveRemote(UIApplication*, NSDictionary*) { record("host:remote"); }
  void didReceiveLocal(UIApplication*, UILocalNotification*) { record("host:local"); }
};
Class LegacyHost::class_() {
  static Class c = ClassBuilder<LegacyHost>("LegacyHost")
                       .conforms("UIApplicationDelegate")
                       .method<&LegacyHost::didReceiveRemote>("application:didReceiveRemoteNotification:")
                       .method<&LegacyHost::didReceiveLocal>("application:didReceiveLocalNotification:")
                       .build();
  return c;
}

Device::DelegateFactory legacyHost() {
  return [] { return Id(make<LegacyHost>()); };
}

UIApplication* app() { return UIApplication::sharedApplication(); }

class OrvelLegacyDevice : public ::testing::Test {
 protected:
  void SetUp() override {
    if (UIDevice::systemVersionAtLeast("10.0")) GTEST_SKIP() << "loaded from 10.0";
    orveltest::clearJournal();
  }
  Device device;
  orveltest::EventRecorder events;
};

TEST_F(OrvelLegacyDevice, LaunchByALocalNotificationIsOneOpenedMessage) {
  app()->setApplicationIconBadgeNumber(2);
  LaunchOptions options;
  options.localNotification = orveltest::localNotification(
      "wake up", NSDictionary::dictionaryWithEntries({{OrvelIdentifierKey, str("alarm")}}));
  device.launch(legacyHost(), options);

  EXPECT_TRUE(journal().empty()) << "a launch is not a local-notification callback";
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 1u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalOpened);
  EXPECT_EQ(orveltest::text(messages[0]->identifier()), "alarm");
  EXPECT_EQ(orveltest::text(messages[0]->content()->body()), "wake up");
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 1);
}

TEST_F(OrvelLegacyDevice, PushesInTheForegroundAndFromTheNoticeBar) {
  device.launch(legacyHost());
  device.push(orveltest::remotePayload("foreground", 4));
  device.setState(AppState::Background);
  device.push(orveltest::remotePayload("tapped", 4));
  EXPECT_EQ(journal(), std::vector<std::string>{"host:remote"}) << "the second is only a notice";
  ASSERT_TRUE(device.openLatest());

  EXPECT_EQ(journal(), (std::vector<std::string>{"host:remote", "host:remote"}));
  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeRemoteReceived);
  EXPECT_EQ(messages[1]->notificationMessageType(), OrvelNotificationMessageTypeRemoteOpened);
  EXPECT_EQ(orveltest::text(messages[1]->content()->body()), "tapped");
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 3) << "the notice's 4, lowered by one on opening";
  EXPECT_TRUE(device.faults().empty());
}

TEST_F(OrvelLegacyDevice, ClearingTheBadgeReachesNeitherTheLibraryNorTheHost) {
  device.launch(legacyHost());
  // The command's badge applies only while the application is not
  // frontmost, as for any legacy local notification.
  device.setState(AppState::Background);
  app()->setApplicationIconBadgeNumber(6);
  orveltest::spyOnContextDeliveryHandlers();
  device.clearRecords();

  send<void>(OrvelContext::currentContext(), sel<"setBadge:">(), int64_t{0});
  device.settle();
  EXPECT_EQ(app()->applicationIconBadgeNumber(), -1);
  std::vector<std::string> badges;
  for (const auto& r : device.records("badge")) badges.push_back(r.get("value"));
  EXPECT_EQ(badges, std::vector<std::string>{"-1"});
  EXPECT_TRUE(journal().empty());
  EXPECT_EQ(events.count(), 0u);
}

}  // namespace
