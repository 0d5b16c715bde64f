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
};
Class LoadTimeHost::class_() {
  static Class c = ClassBuilder<LoadTimeHost>("LoadTimeHost")
                       .conforms("UIApplicationDelegate")
                       .conforms("UNUserNotificationCenterDelegate")
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

}  // namespace
