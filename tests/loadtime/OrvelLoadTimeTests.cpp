// What the library installs when it is loaded depends on the system version
// in force then (ORVEL_SYSTEM_VERSION; ctest runs this binary at "9.3" and
// at "13.0"). Each test reads that version before anything changes it.
#include <gtest/gtest.h>

#include "UserNotifications/UNUserNotificationCenter+System.h"
#include "UserNotifications/UserNotifications.h"
#include "orvel/OrvelHookTool.h"
#include "support/OrvelTestSupport.h"

using namespace objc;

namespace {

struct LoadTimeHost : NSObject {
  static Class class_();
  void didReceiveLocal(UIApplication*, UILocalNotification*) { orveltest::record("host:local"); }
};
Class LoadTimeHost::class_() {
  static Class c = ClassBuilder<LoadTimeHost>("LoadTimeHost")
                       .conforms("UIApplicationDelegate")
                       .conforms("UNUserNotificationCenterDelegate")
                       .method<&LoadTimeHost::didReceiveLocal>("application:didReceiveLocalNotification:")
                       .build();
  return c;
}

bool loadedBelowTen() { return !UIDevice::systemVersionAtLeast("10.0"); }

UIApplication* app() { return UIApplication::sharedApplication(); }

TEST(OrvelLoadTime, ApplicationSetterIsExchangedOnEveryVersion) {
  Class cls = UIApplication::class_();
  Method setter = class_getInstanceMethod(cls, sel<"setDelegate:">());
  Method replacement = class_getInstanceMethod(cls, sel<"orvelSetDelegate:">());
  ASSERT_NE(setter, nullptr);
  ASSERT_NE(replacement, nullptr) << "the category was attached before the exchange";
  EXPECT_NE(method_getImplementation(setter), method_getImplementation(replacement));

  auto host = make<LoadTimeHost>();
  orveltest::installApplicationDelegate(host);
  EXPECT_STREQ(object_getClassName(host), "Orvel_LoadTimeHost");
  EXPECT_EQ(app()->delegate().get(), host.get());
}

TEST(OrvelLoadTime, CentreSetterIsReplacedWhenLoadedFromTen) {
  if (loadedBelowTen()) GTEST_SKIP() << "loaded below 10.0";
  Class centre = NSClassFromString("UNUserNotificationCenter");
  ASSERT_NE(centre, nullptr);
  EXPECT_TRUE(OrvelHookTool::hasMethodWithClass(centre, sel<"orvelSetUNDelegate:">()))
      << "the notification framework was initialised before the library";
  EXPECT_EQ(class_getMethodImplementation(centre, sel<"setDelegate:">()),
            class_getMethodImplementation(OrvelContext::class_(), sel<"orvelSetUNDelegate:">()));

  auto host = make<LoadTimeHost>();
  UNUserNotificationCenter::currentNotificationCenter()->setDelegate(host);
  EXPECT_EQ(UNUserNotificationCenter::currentNotificationCenter()->delegate().get(), OrvelContext::currentContext());
  EXPECT_EQ(OrvelContext::currentContext()->unDelegate().get(), host.get());
}

TEST(OrvelLoadTime, CentreIsLeftAloneWhenLoadedBelowTen) {
  if (!loadedBelowTen()) GTEST_SKIP() << "loaded from 10.0";
  EXPECT_EQ(NSClassFromString("UNUserNotificationCenter"), nullptr);
  Class centre = UNUserNotificationCenter::class_();
  EXPECT_FALSE(OrvelHookTool::hasMethodWithClass(centre, sel<"orvelSetUNDelegate:">()));

  // Even once the class is visible, its setter is the platform's own.
  UIDevice::currentDevice()->setSystemVersion("13.0");
  auto host = make<LoadTimeHost>();
  UNUserNotificationCenter::currentNotificationCenter()->setDelegate(host);
  EXPECT_EQ(UNUserNotificationCenter::currentNotificationCenter()->delegate().get(), host.get());
  EXPECT_FALSE(OrvelContext::currentContext()->unDelegate());
}

// A legacy application from start to finish: launched by a local
// notification, receiving another in the foreground, clearing its badge.
TEST(OrvelLoadTime, LegacyApplicationBelowTen) {
  if (!loadedBelowTen()) GTEST_SKIP() << "loaded from 10.0";
  orveltest::spyOnContextDeliveryHandlers();
  orveltest::EventRecorder events;
  auto host = make<LoadTimeHost>();
  orveltest::installApplicationDelegate(host);
  app()->setApplicationState(UIApplicationStateInactive);
  app()->setApplicationIconBadgeNumber(2);

  auto launchOptions = NSDictionary::dictionaryWithEntries(
      {{UIApplicationLaunchOptionsLocalNotificationKey(), orveltest::localNotification("launch")}});
  NSNotificationCenter::defaultCenter()->postNotificationName(UIApplicationDidFinishLaunchingNotification(), app(),
                                                              launchOptions);
  EXPECT_EQ(app()->applicationIconBadgeNumber(), 1);

  app()->setApplicationState(UIApplicationStateActive);
  app()->presentLocalNotificationNow(orveltest::localNotification("foreground"));
  runMainUntilIdle();
  EXPECT_EQ(orveltest::journal(), (std::vector<std::string>{"context:didReceiveLocalNotification:",
                                                            "context:didReceiveLocalNotification:", "host:local"}));

  send<void>(OrvelContext::currentContext(), sel<"setBadge:">(), int64_t{0});
  runMainUntilIdle();
  EXPECT_EQ(app()->applicationIconBadgeNumber(), -1);
  EXPECT_EQ(orveltest::journal().size(), 3u) << "the clear-badge command reached nobody";

  auto messages = events.messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0]->notificationMessageType(), OrvelNotificationMessageTypeLocalOpened);
  EXPECT_EQ(orveltest::text(messages[0]->content()->body()), "launch");
  EXPECT_EQ(messages[1]->notificationMessageType(), OrvelNotificationMessageTypeLocalReceived);
}

}  // namespace
