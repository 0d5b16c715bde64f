// Helpers shared by the application-framework tests.
#pragma once

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "UIKit/UIApplication+System.h"
#include "UIKit/UIKit.h"

namespace uikit_test {

using namespace objc;

// A host application delegate with the two callbacks the application object
// makes itself.
class TestAppDelegate final : public NSObject {
 public:
  static Class class_() {
    static Class c =
        ClassBuilder<TestAppDelegate>("TestAppDelegate")
            .conforms("UIApplicationDelegate")
            .method<&TestAppDelegate::didReceiveLocalNotification>("application:didReceiveLocalNotification:")
            .method<&TestAppDelegate::didRegisterSettings>("application:didRegisterUserNotificationSettings:")
            .build();
    return c;
  }
  void didReceiveLocalNotification(UIApplication* app, UILocalNotification* n) {
    EXPECT_EQ(app, UIApplication::sharedApplication());
    received.emplace_back(n);
    receivedOnMain = receivedOnMain && isMainThread();
  }
  void didRegisterSettings(UIApplication*, UIUserNotificationSettings* s) { registered.emplace_back(s); }

  std::vector<Ref<UILocalNotification>> received;
  std::vector<Ref<UIUserNotificationSettings>> registered;
  bool receivedOnMain = true;
};

// Records what the application object tells its system, and keeps the
// default behaviour unless told otherwise.
class RecordingSystem : public UIApplicationSystem {
 public:
  void remoteRegistrationRequested(UIApplication*) override { log("remote"); }
  void userNotificationSettingsRegistered(UIApplication* app, UIUserNotificationSettings* s) override {
    log("settings " + std::to_string(s->types()));
    UIApplicationSystem::userNotificationSettingsRegistered(app, s);
  }
  void localNotificationPresented(UIApplication* app, UILocalNotification* n) override {
    log("presented " + text(n));
    UIApplicationSystem::localNotificationPresented(app, n);
  }
  void localNotificationScheduled(UIApplication*, UILocalNotification* n) override { log("scheduled " + text(n)); }
  void localNotificationCancelled(UIApplication*, UILocalNotification* n) override { log("cancelled " + text(n)); }
  void badgeWritten(UIApplication*, int64_t number) override { log("badge " + std::to_string(number)); }
  void noticesChanged(UIApplication* app) override { log("notices " + std::to_string(app->notices().size())); }

  std::vector<std::string> events() {
    std::lock_guard<std::mutex> g(lock_);
    return events_;
  }

 private:
  static std::string text(UILocalNotification* n) { return n->alertBody() ? n->alertBody()->utf8() : "(none)"; }
  void log(std::string e) {
    std::lock_guard<std::mutex> g(lock_);
    events_.push_back(std::move(e));
  }
  std::mutex lock_;
  std::vector<std::string> events_;
};

inline Ref<UILocalNotification> notificationWithBody(std::string_view body, int64_t badge = 0) {
  auto n = make<UILocalNotification>();
  n->setAlertBody(str(body));
  n->setApplicationIconBadgeNumber(badge);
  return n;
}

// Puts the shared application back in its starting state, so that the tests
// also pass when the binary runs them all in one process.
class ApplicationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app->setSystem(nullptr);
    app->cancelAllLocalNotifications();
    app->removeAllNotices();
    app->setApplicationIconBadgeNumber(0);
    app->setApplicationState(UIApplicationStateActive);
    app->setDelegate(nullptr);
    runMainUntilIdle();
  }
  UIApplication* app = UIApplication::sharedApplication();
};

}  // namespace uikit_test
