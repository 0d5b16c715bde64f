// A host application with the Orvel SDK, on the simulated device. The host
// writes no forwarding code: its application delegate registers at launch
// and its observers hear what the library makes of each notification.
// README.md shows this file from its first include on; the install test
// checks that it still does.
#include <iostream>
#include <string>

#include "Device/Device.h"
#include "orvel/Orvel.h"

using namespace objc;

struct AppDelegate : NSObject {
  static Class class_();

  bool didFinishLaunching(UIApplication*, NSDictionary*) {
    auto configuration = make<OrvelNotificationConfiguration>();
    configuration->setTypes(7);  // badge, sound, alert
    OrvelCenter::registerForRemoteNotification(configuration);
    return true;
  }

  void didReceiveRemoteNotification(UIApplication*, NSDictionary*, NSObject* completionHandler) {
    if (auto* handler = cast<UIBackgroundFetchResultHandler>(completionHandler)) {
      (*handler)(UIBackgroundFetchResultNewData);
    }
  }
};

Class AppDelegate::class_() {
  static Class c = ClassBuilder<AppDelegate>("AppDelegate")
                       .conforms("UIApplicationDelegate")
                       .method<&AppDelegate::didFinishLaunching>("application:didFinishLaunchingWithOptions:")
                       .method<&AppDelegate::didReceiveRemoteNotification>(
                           "application:didReceiveRemoteNotification:fetchCompletionHandler:")
                       .build();
  return c;
}

int main() {
  std::string token;
  int opened = 0;
  NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
  Id tokens = center->addObserverForName(OrvelDidRegisterRemoteNotification, nullptr, nullptr, [&](NSNotification* n) {
    token = asString(n->userInfo()->objectForKey("deviceToken"))->utf8();
  });
  Id messages =
      center->addObserverForName(OrvelDidReceiveMessageNotification, nullptr, nullptr, [&](NSNotification* n) {
        auto* message = cast<OrvelNotificationMessage>(n->object());
        if (message->notificationMessageType() == OrvelNotificationMessageTypeRemoteOpened) ++opened;
      });

  {
    // The simulated system: it launches the application, delivers a push
    // while it is in the background, and the user opens it.
    Device device;
    device.launch([] { return Id(make<AppDelegate>()); });
    device.setState(AppState::Background);
    auto aps = NSDictionary::dictionaryWithEntries(
        {{str("alert"), str("Hello")}, {str("badge"), NSNumber::numberWithInteger(1)}});
    device.push(NSDictionary::dictionaryWithEntries({{str("aps"), aps}}));
    device.openLatest();
  }
  center->removeObserver(tokens);
  center->removeObserver(messages);

  std::cout << "device token " << token << ", opened " << opened << "\n";
  return token.empty() || opened != 1;
}
