// A host that names no symbol of the library or of the notification
// framework: it only links them. Nothing but their loading can put the
// library in front of its delegates, so this is the host a linker that
// drops unreferenced libraries (--as-needed), or a static link that drops
// unreferenced archive members, would leave without the library. It
// registers through UIApplication, reaches the notification centre by name
// and hears the library's events by their names.
#include <iostream>
#include <string>

#include "Device/Device.h"

using namespace objc;

struct BareHost : NSObject {
  static Class class_();
  int presented = 0;

  bool didFinishLaunching(UIApplication* application, NSDictionary*) {
    if (Class centreClass = NSClassFromString("UNUserNotificationCenter")) {
      send<void>(send<Id>(centreClass, sel<"currentNotificationCenter">()), sel<"setDelegate:">(), this);
    }
    application->registerForRemoteNotifications();
    return true;
  }

  void willPresentNotification(NSObject*, NSObject*, NSObject* completionHandler) {
    ++presented;
    if (auto* handler = cast<Block<void(uint64_t)>>(completionHandler)) (*handler)(4);
  }
};

Class BareHost::class_() {
  static Class c = ClassBuilder<BareHost>("BareHost")
                       .conforms("UIApplicationDelegate")
                       .conforms("UNUserNotificationCenterDelegate")
                       .method<&BareHost::didFinishLaunching>("application:didFinishLaunchingWithOptions:")
                       .method<&BareHost::willPresentNotification>(
                           "userNotificationCenter:willPresentNotification:withCompletionHandler:")
                       .build();
  return c;
}

int main() {
  int tokens = 0, received = 0;
  NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
  Id tokenObserver = center->addObserverForName(str("OrvelDidRegisterRemoteNotification"), nullptr, nullptr,
                                                [&](NSNotification*) { ++tokens; });
  Id messageObserver =
      center->addObserverForName(str("OrvelDidReceiveMessageNotification"), nullptr, nullptr, [&](NSNotification* n) {
        if (send<uint64_t>(n->object(), sel<"notificationMessageType">()) == 0) ++received;
      });

  auto host = make<BareHost>();
  {
    Device device;
    device.launch(host);
    device.push(NSDictionary::dictionaryWithEntries(
        {{str("aps"), NSDictionary::dictionaryWithEntries({{str("alert"), str("Hello")}})}}));
  }
  center->removeObserver(tokenObserver);
  center->removeObserver(messageObserver);

  int expectedPresented = UIDevice::systemVersionAtLeast("10.0") ? 1 : 0;
  std::cout << "system " << UIDevice::currentDevice()->systemVersion()->utf8() << ": token events " << tokens
            << ", received " << received << ", presented " << host->presented << "\n";
  return tokens != 1 || received != 1 || host->presented != expectedPresented;
}
