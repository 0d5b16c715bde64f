// setBadge: shows a positive number as it is and clears by the system
// version's rule; below "10.0" through the clear-badge command, which comes
// back to the application and is swallowed there.
#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "support/OrvelTestSupport.h"

using namespace objc;

namespace {

struct LocalHost : NSObject {
  static Class class_();
  void didReceiveLocal(UIApplication*, UILocalNotification*) { orveltest::record("host:local"); }
};
Class LocalHost::class_() {
  static Class c = ClassBuilder<LocalHost>("LocalHost")
                       .conforms("UIApplicationDelegate")
                       .method<&LocalHost::didReceiveLocal>("application:didReceiveLocalNotification:")
                       .build();
  return c;
}

UIApplication* app() { return UIApplication::sharedApplication(); }

void setBadge(int64_t number) { send<void>(OrvelContext::currentContext(), sel<"setBadge:">(), number); }

class OrvelBadge : public ::testing::Test {
 protected:
  void SetUp() override { app()->setApplicationState(UIApplicationStateActive); }
  // Shows `badge`, then records only what setBadge: itself writes.
  void show(int64_t badge) {
    app()->setApplicationIconBadgeNumber(badge);
    system = orveltest::attachRecordingSystem();
  }
  std::shared_ptr<orveltest::RecordingApplicationSystem> system;
};

TEST_F(OrvelBadge, PositiveNumberIsShownUnchangedOnEveryVersion) {
  for (const char* version : {"9.3", "10.3", "13.0"}) {
    SCOPED_TRACE(version);
    UIDevice::currentDevice()->setSystemVersion(version);
    show(7);
    setBadge(3);
    EXPECT_EQ(system->badgeWrites(), std::vector<int64_t>{3});
    EXPECT_TRUE(system->presented().empty());
  }
}

TEST_F(OrvelBadge, ClearFollowsTheVersionRuleFromTenOn) {
  struct Case {
    const char* version;
    int64_t written;
  };
  for (Case c : {Case{"11.0", -1}, Case{"13.0", -1}, Case{"10.0", 0}, Case{"10.3", 0}}) {
    for (int64_t request : {int64_t{0}, int64_t{-4}}) {
      SCOPED_TRACE(std::string(c.version) + " setBadge: " + std::to_string(request));
      UIDevice::currentDevice()->setSystemVersion(c.version);
      show(5);
      setBadge(request);
      EXPECT_EQ(system->badgeWrites(), std::vector<int64_t>{c.written});
      EXPECT_TRUE(system->presented().empty());
    }
  }
}

TEST_F(OrvelBadge, NothingToClearDoesNothingOnEveryVersion) {
  for (const char* version : {"9.3", "10.3", "13.0"}) {
    for (int64_t showing : {int64_t{0}, int64_t{-1}}) {
      SCOPED_TRACE(std::string(version) + " showing " + std::to_string(showing));
      UIDevice::currentDevice()->setSystemVersion(version);
      show(showing);
      setBadge(0);
      setBadge(-1);
      EXPECT_TRUE(system->badgeWrites().empty());
      EXPECT_TRUE(system->presented().empty()) << "no command notification either";
    }
  }
}

TEST_F(OrvelBadge, OpeningWhileTheLowestBadgeShowsLeavesIt) {
  UIDevice::currentDevice()->setSystemVersion("13.0");
  app()->setApplicationState(UIApplicationStateInactive);
  show(std::numeric_limits<int64_t>::min());
  send<void>(OrvelContext::currentContext(), sel<"didReceiveRemoteNotification:">(),
             orveltest::remotePayload("opened", 1));
  send<void>(OrvelContext::currentContext(), sel<"didReceiveLocalNotification:">(),
             orveltest::localNotification("opened"));
  runMainUntilIdle();
  EXPECT_TRUE(system->badgeWrites().empty()) << "lowering it by one does not wrap round to the highest";
  EXPECT_EQ(app()->applicationIconBadgeNumber(), std::numeric_limits<int64_t>::min());
}

TEST_F(OrvelBadge, BelowTenTheCommandNotificationClearsAndIsSwallowed) {
  UIDevice::currentDevice()->setSystemVersion("9.3");
  orveltest::spyOnContextDeliveryHandlers();
  orveltest::clearJournal();
  auto host = make<LocalHost>();
  orveltest::installApplicationDelegate(host);
  orveltest::EventRecorder events;
  // The command's badge applies only while the application is not
  // frontmost, as for any legacy local notification.
  app()->setApplicationState(UIApplicationStateBackground);

  show(5);
  setBadge(-4);
  auto presented = system->presented();
  ASSERT_EQ(presented.size(), 1u);
  UILocalNotification* command = presented[0];
  EXPECT_EQ(command->applicationIconBadgeNumber(), -1);
  ASSERT_TRUE(command->userInfo());
  EXPECT_EQ(command->userInfo()->count(), 1u);
  auto* flag = asNumber(command->userInfo()->objectForKey("Orvel_Command_ClearBadge"));
  ASSERT_TRUE(flag);
  EXPECT_TRUE(flag->boolValue());
  EXPECT_EQ(command->alertBody(), nullptr);
  EXPECT_EQ(command->soundName(), nullptr);
  EXPECT_EQ(command->fireDate(), nullptr);
  EXPECT_TRUE(system->badgeWrites().empty()) << "the badge is not written directly";

  // The application shows it on the next turn and hands it to its delegate.
  runMainUntilIdle();
  EXPECT_EQ(app()->applicationIconBadgeNumber(), -1);
  EXPECT_TRUE(orveltest::journal().empty()) << "neither the context nor the host sees the command";
  EXPECT_EQ(events.count(), 0u);
}

}  // namespace
