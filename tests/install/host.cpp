// A host application with the Orvel SDK, on the simulated device. The host
// writes no forwarding code: its application delegate registers at launch
// and its observers hear what the library makes of each notification.
// README.md shows this file from its first include on; the install tests
// check that it still does, and build and run it every way a host links
// the library, on system versions 9.3 and 13.0.
#include <atomic>
#include <iostream>
#include <string>

#include "Device/Device.h"
#include "UserNotifications/UserNotifications.h"
#include "orvel/Orvel.h"

using namespace objc;

// The library hooks an application delegate whose class declares
// UIApplicationDelegate; this one is the notification centre's delegate too.
struct AppDelegate : NSObject {
  static Class class_();
  int presented = 0;

  bool didFinishLaunching(UIApplication*, NSDictionary*) {
    // The notification centre exists from system 10.0.
    if (NSClassFromString("UNUserNotificationCenter")) {
      UNUserNotificationCenter::currentNotificationCenter()->setDelegate(this);
    }
    auto configuration = make<OrvelNotificationConfiguration>();
    configuration->setTypes(7);  // badge, sound, alert
    OrvelCenter::registerForRemoteNotification(configuration);
    return true;
  }

  void didReceiveRemoteNotification(UIApplication*, NSDictionary*, NSObject* completionHandler) {
    if (auto* handler = cast<OrvelFetchCompletionHandler>(completionHandler)) {
      (*handler)(UIBackgroundFetchResultNewData);
    }
  }

  // A push arriving while the application is active, from system 10.0.
  void willPresentNotification(UNUserNotificationCenter*, UNNotification*, NSObject* completionHandler) {
    ++presented;
    if (auto* handler = cast<OrvelPresentationCompletionHandler>(completionHandler)) {
      (*handler)(UNNotificationPresentationOptionAlert);
    }
  }
};

Class AppDelegate::class_() {
  static Class c = ClassBuilder<AppDelegate>("AppDelegate")
                       .conforms("UIApplicationDelegate")
                       .conforms("UNUserNotificationCenterDelegate")
                       .method<&AppDelegate::didFinishLaunching>("application:didFinishLaunchingWithOptions:")
                       .method<&AppDelegate::didReceiveRemoteNotification>(
                           "application:didReceiveRemoteNotification:fetchCompletionHandler:")
                       .method<&AppDelegate::willPresentNotification>(
                           "userNotificationCenter:willPresentNotification:withCompletionHandler:")
                       .build();
  return c;
}

int main() {
  std::string token;
  int received = 0, opened = 0;
  NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
  Id tokens = center->addObserverForName(OrvelDidRegisterRemoteNotification, nullptr, nullptr, [&](NSNotification* n) {
    token = asString(n->userInfo()->objectForKey("deviceToken"))->utf8();
  });
  Id messages =
      center->addObserverForName(OrvelDidReceiveMessageNotification, nullptr, nullptr, [&](NSNotification* n) {
        auto* message = cast<OrvelNotificationMessage>(n->object());
        if (message->notificationMessageType() == OrvelNotificationMessageTypeRemoteReceived) ++received;
        if (message->notificationMessageType() == OrvelNotificationMessageTypeRemoteOpened) ++opened;
      });

  std::atomic<int64_t> status = -1;
  auto delegate = make<AppDelegate>();
  auto payload = NSDictionary::dictionaryWithEntries(
      {{str("aps"), NSDictionary::dictionaryWithEntries({{str("alert"), str("Hello")}})}});
  {
    // The simulated system (ORVEL_SYSTEM_VERSION chooses its version): it
    // launches the application, delivers a push while it is active, and
    // another while it is in the background, which the user opens.
    Device device;
    device.launch(delegate);
    // A handler is a block of the operation's signature; this one may run
    // on a framework queue (the device's next step waits for it).
    OrvelCenter::requestNotificationAuthorizationStatus(
        makeBlock<void(int64_t)>([&](int64_t authorization) { status = authorization; }));
    device.push(payload);
    device.setState(AppState::Background);
    device.push(payload);
    device.openLatest();
  }
  center->removeObserver(tokens);
  center->removeObserver(messages);

  // Shown through the centre from 10.0; below it, the application delegate hears of it.
  int expectedPresented = UIDevice::systemVersionAtLeast("10.0") ? 1 : 0;
  std::cout << "system " << UIDevice::currentDevice()->systemVersion()->utf8() << ": device token " << token
            << ", authorisation " << status << ", received " << received << ", opened " << opened << ", presented "
            << delegate->presented << "\n";
  return token.empty() || status != 2 || received != 1 || opened != 1 || delegate->presented != expectedPresented;
}
