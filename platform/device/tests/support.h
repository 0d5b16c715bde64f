// A plain host application for the device tests: an application delegate
// (and, from "10.0", notification-centre delegate) built with the class
// builder, that notes every callback with the application's state.
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Device/Device.h"

namespace device_test {

using namespace objc;

// Which callbacks a host class implements.
enum Feature : unsigned {
  kLaunch = 1,      // application:didFinishLaunchingWithOptions:
  kRemote = 2,      // application:didReceiveRemoteNotification:
  kFetch = 4,       // ...fetchCompletionHandler:
  kLocal = 8,       // application:didReceiveLocalNotification:
  kCentre = 16,     // the centre's three delegate callbacks; set as its delegate at launch
  kLifecycle = 32,  // the five lifecycle callbacks
  kToken = 64,      // registration results
};
inline constexpr unsigned kFullHost = kLaunch | kRemote | kFetch | kLocal | kCentre | kToken;

inline std::string stateName() {
  switch (UIApplication::sharedApplication()->applicationState()) {
    case UIApplicationStateActive:
      return "active";
    case UIApplicationStateInactive:
      return "inactive";
    default:
      return "background";
  }
}

struct Host : NSObject {
  std::vector<std::string> calls;  // "callback@state"
  // How the host answers.
  UNNotificationPresentationOptions presentOptions = 7;
  bool completeFetch = true;
  bool completeTwice = false;
  bool registerAtLaunch = false;
  // What it was given.
  Ref<NSDictionary> launchOptions, payload;
  Ref<UILocalNotification> local;
  Ref<UNNotification> presented;
  Ref<UNNotificationResponse> response;
  Ref<NSData> token;
  Ref<NSError> error;
  Ref<UIBackgroundFetchResultHandler> keptFetch;
  // When set, the presentation completion is called later from this queue.
  Ref<DispatchQueue> completionQueue;

  void note(const std::string& what) { calls.push_back(what + "@" + stateName()); }

  bool didFinishLaunching(UIApplication* app, NSDictionary* options) {
    note("launch");
    launchOptions = options;
    if (isCentreDelegate) {
      // A plain host finds the notification framework by name.
      if (Class cls = NSClassFromString("UNUserNotificationCenter")) {
        send<void>(send<Id>(cls, sel<"currentNotificationCenter">()), sel<"setDelegate:">(), this);
      }
    }
    if (registerAtLaunch) app->registerForRemoteNotifications();
    return true;
  }
  void didRegister(UIApplication*, NSData* t) {
    note("token");
    token = t;
  }
  void didFail(UIApplication*, NSError* e) {
    note("failed");
    error = e;
  }
  void remote(UIApplication*, NSDictionary* p) {
    note("remote");
    payload = p;
  }
  void fetch(UIApplication*, NSDictionary* p, UIBackgroundFetchResultHandler* done) {
    note("fetch");
    payload = p;
    if (!completeFetch) {
      keptFetch = done;
      return;
    }
    (*done)(UIBackgroundFetchResultNewData);
    if (completeTwice) (*done)(UIBackgroundFetchResultNoData);
  }
  void didReceiveLocal(UIApplication*, UILocalNotification* n) {
    note("local");
    local = n;
  }
  void willPresent(UNUserNotificationCenter*, UNNotification* n, UNPresentationOptionsHandler* done) {
    note("present");
    presented = n;
    if (completionQueue) {
      dispatch_async(completionQueue.get(),
                     [done = Ref<UNPresentationOptionsHandler>(done), o = presentOptions] { (*done)(o); });
      return;
    }
    (*done)(presentOptions);
    if (completeTwice) (*done)(presentOptions);
  }
  void didReceiveResponse(UNUserNotificationCenter*, UNNotificationResponse* r, UNResponseCompletionHandler* done) {
    note("response");
    response = r;
    (*done)();
    if (completeTwice) (*done)();
  }
  void openSettings(UNUserNotificationCenter*, UNNotification* n) {
    note("settings");
    presented = n;
  }
  void becameActive(UIApplication*) { note("didBecomeActive"); }
  void resignsActive(UIApplication*) { note("willResignActive"); }
  void enteredBackground(UIApplication*) { note("didEnterBackground"); }
  void entersForeground(UIApplication*) { note("willEnterForeground"); }
  void terminates(UIApplication*) { note("willTerminate"); }

  bool isCentreDelegate = false;
};

inline Class hostClass(unsigned features) {
  static std::map<unsigned, Class> classes;
  auto& cls = classes[features];
  if (cls) return cls;
  ClassBuilder<Host> b("TestHost_" + std::to_string(features));
  b.conforms("UIApplicationDelegate");
  if (features & kLaunch) b.method<&Host::didFinishLaunching>("application:didFinishLaunchingWithOptions:");
  if (features & kRemote) b.method<&Host::remote>("application:didReceiveRemoteNotification:");
  if (features & kFetch) b.method<&Host::fetch>("application:didReceiveRemoteNotification:fetchCompletionHandler:");
  if (features & kLocal) b.method<&Host::didReceiveLocal>("application:didReceiveLocalNotification:");
  if (features & kToken) {
    b.method<&Host::didRegister>("application:didRegisterForRemoteNotificationsWithDeviceToken:");
    b.method<&Host::didFail>("application:didFailToRegisterForRemoteNotificationsWithError:");
  }
  if (features & kCentre) {
    b.method<&Host::willPresent>("userNotificationCenter:willPresentNotification:withCompletionHandler:");
    b.method<&Host::didReceiveResponse>("userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:");
    b.method<&Host::openSettings>("userNotificationCenter:openSettingsForNotification:");
  }
  if (features & kLifecycle) {
    b.method<&Host::becameActive>("applicationDidBecomeActive:");
    b.method<&Host::resignsActive>("applicationWillResignActive:");
    b.method<&Host::enteredBackground>("applicationDidEnterBackground:");
    b.method<&Host::entersForeground>("applicationWillEnterForeground:");
    b.method<&Host::terminates>("applicationWillTerminate:");
  }
  cls = b.build();
  return cls;
}

inline Ref<Host> newHost(unsigned features) {
  auto host = cast<Host>(class_createInstance(hostClass(features)));
  host->isCentreDelegate = (features & kCentre) != 0;
  return host;
}

inline Ref<NSDictionary> json(const std::string& text) {
  JSONError error;
  auto value = cast<NSDictionary>(JSONParse(text, &error));
  EXPECT_TRUE(value) << error.describe();
  return value;
}

// A local request with a body, and a time-interval trigger.
inline Ref<UNNotificationRequest> request(const std::string& id, UNNotificationTrigger* trigger,
                                          const char* body = "b") {
  auto content = make<UNMutableNotificationContent>();
  content->setBody(str(body));
  return UNNotificationRequest::requestWithIdentifier(str(id), content, trigger);
}

inline Ref<UNNotificationTrigger> after(double seconds, bool repeats = false) {
  return send<Ref<UNNotificationTrigger>>(UNTimeIntervalNotificationTrigger::class_(),
                                          sel<"triggerWithTimeInterval:repeats:">(), seconds, repeats);
}

inline const char* kVisible = R"({"aps":{"alert":{"title":"T","body":"B"},"badge":3,"sound":"default"},"k":"v"})";
inline const char* kSilent = R"({"aps":{"content-available":1},"k":"v"})";
inline const char* kVisibleAndSilent = R"({"aps":{"alert":"B","badge":4,"content-available":1}})";

class DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceOptions options;
    options.logPassOn = [](const std::string&) {};
    device = std::make_unique<Device>(options);
  }
  void TearDown() override { device.reset(); }

  void useVersion(const char* version) { UIDevice::currentDevice()->setSystemVersion(version); }

  // Launches a new host of these features; a later launch the device makes
  // on its own (a wake-up, the user opening a notice) makes another one.
  void launch(unsigned features, LaunchOptions options = {}, std::function<void(Host&)> setUp = {}) {
    device->launch(
        [this, features, setUp] {
          host = newHost(features);
          if (setUp) setUp(*host);
          return Id(host);
        },
        std::move(options));
  }

  // The host's calls since the last look.
  std::vector<std::string> takeCalls() { return std::exchange(host->calls, {}); }

  std::vector<std::string> field(const char* kind, const char* key) {
    std::vector<std::string> out;
    for (const auto& r : device->records(kind)) out.push_back(r.get(key));
    return out;
  }

  UIApplication* app = UIApplication::sharedApplication();
  UNUserNotificationCenter* centre = UNUserNotificationCenter::currentNotificationCenter();
  std::unique_ptr<Device> device;
  Ref<Host> host;
};

}  // namespace device_test
