// Mistakes a host makes at the library's edge are said, once, in the system
// log, and do nothing else: a delegate the library cannot hook, and a handler
// that is not a block of the signature an operation takes.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "UserNotifications/UserNotifications.h"
#include "support/OrvelLocalTestSupport.h"
#include "support/OrvelTestSupport.h"

using namespace objc;

namespace {

// Has a push callback but does not declare the protocol.
struct UndeclaredDelegate : NSObject {
  static Class class_();
  void didReceiveRemote(UIApplication*, NSDictionary*) { orveltest::record("host:remote"); }
};
Class UndeclaredDelegate::class_() {
  static Class c = ClassBuilder<UndeclaredDelegate>("UndeclaredDelegate")
                       .method<&UndeclaredDelegate::didReceiveRemote>("application:didReceiveRemoteNotification:")
                       .build();
  return c;
}

struct DeclaredDelegate : NSObject {
  static Class class_();
};
Class DeclaredDelegate::class_() {
  static Class c = ClassBuilder<DeclaredDelegate>("DeclaredDelegate").conforms("UIApplicationDelegate").build();
  return c;
}

std::vector<std::string> linesContaining(const orveltest::LogCapture& log, std::string_view text) {
  std::vector<std::string> found;
  for (const std::string& line : log.lines())
    if (line.find(text) != std::string::npos) found.push_back(line);
  return found;
}

UIApplication* app() { return UIApplication::sharedApplication(); }

TEST(OrvelMisuse, ADelegateWithoutTheProtocolIsNamedOnceAndLeftToThePlatform) {
  orveltest::LogCapture log;
  auto first = make<UndeclaredDelegate>();
  auto second = make<UndeclaredDelegate>();
  orveltest::installApplicationDelegate(first);
  orveltest::installApplicationDelegate(second);

  auto lines = linesContaining(log, "UndeclaredDelegate");
  ASSERT_EQ(lines.size(), 1u) << "once per class";
  EXPECT_NE(lines[0].find("does not declare the protocol UIApplicationDelegate"), std::string::npos) << lines[0];
  EXPECT_EQ(object_getClass(second), UndeclaredDelegate::class_());
  EXPECT_EQ(app()->delegate().get(), second.get()) << "the platform installed it all the same";
}

TEST(OrvelMisuse, AClassObjectAsDelegateIsNamedOnceAndNotChanged) {
  orveltest::LogCapture log;
  Class cls = DeclaredDelegate::class_();
  int classes = objc_getClassCount();
  for (int i = 0; i < 2; ++i) orveltest::installApplicationDelegate(cls);
  orveltest::installApplicationDelegate(make<DeclaredDelegate>());

  auto lines = linesContaining(log, "DeclaredDelegate");
  ASSERT_EQ(lines.size(), 1u) << "once, and nothing for the instance, which is hooked";
  EXPECT_NE(lines[0].find("class object"), std::string::npos) << lines[0];
  EXPECT_EQ(objc_getClassCount(), classes + 1) << "only the instance's generated class";
  EXPECT_FALSE(class_isMetaClass(objc_getClass("Orvel_DeclaredDelegate")));
}

TEST(OrvelMisuse, AStatusHandlerOfAnotherSignatureIsNamedAndNeverCalled) {
  orveltest::LogCapture log;
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto wrong = makeBlock<void(int)>([calls](int) { ++*calls; });
  for (const char* version : {"9.3", "13.0"}) {
    SCOPED_TRACE(version);
    UIDevice::currentDevice()->setSystemVersion(version);
    size_t before = log.lines().size();
    OrvelCenter::requestNotificationAuthorizationStatus(wrong);
    dispatch_sync(UNUserNotificationCenter::currentNotificationCenter()->completionQueue(), [] {});
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), before + 1);
    EXPECT_NE(lines.back().find("requestNotificationAuthorizationStatus:"), std::string::npos) << lines.back();
    EXPECT_NE(lines.back().find("objc::Block<void(int64_t)>"), std::string::npos) << lines.back();
  }
  EXPECT_EQ(calls->load(), 0);
}

TEST(OrvelMisuse, AWronglyTypedSchedulingHandlerIsNamedOnceAndTheRequestStillScheduled) {
  UNUserNotificationCenter* centre = UNUserNotificationCenter::currentNotificationCenter();
  centre->setAuthorizationStatus(UNAuthorizationStatusAuthorized, 7);
  orveltest::LogCapture log;
  auto calls = std::make_shared<std::atomic<int>>(0);
  auto wrong = makeBlock<void(NSObject*)>([calls](NSObject*) { ++*calls; });

  UIDevice::currentDevice()->setSystemVersion("13.0");
  OrvelCenter::addLocalNotification(orveltest::makeRequest(str("a"), orveltest::makeContent("a")), wrong);
  orveltest::HandlerProbe fence;
  orveltest::addLocalNotification(orveltest::makeRequest(str("fence"), orveltest::makeContent("b")), fence);
  ASSERT_TRUE(fence.waitFor(1));
  EXPECT_EQ(centre->pendingRequests().size(), 2u);

  UIDevice::currentDevice()->setSystemVersion("9.3");
  auto system = orveltest::attachRecordingSystem();
  OrvelCenter::addLocalNotification(orveltest::makeRequest(str("b"), orveltest::makeContent("b")), str("handler"));
  EXPECT_EQ(system->presented().size(), 1u) << "shown at once, without a trigger";

  auto lines = linesContaining(log, "addLocalNotification:handler:");
  ASSERT_EQ(lines.size(), 2u) << "one line per call, not one per step it passes";
  EXPECT_NE(lines[0].find("objc::Block<void (objc::NSObject*)>"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("objc::NSString"), std::string::npos) << lines[1];
  for (const std::string& line : lines) {
    EXPECT_NE(line.find("OrvelLocalNotificationHandler"), std::string::npos) << line;
  }
  EXPECT_EQ(calls->load(), 0);
  UIDevice::currentDevice()->setSystemVersion("13.0");
}

}  // namespace
