// A host application with the Orvel SDK, on the simulated device. The host
// writes no forwarding code: it installs its application delegate (the
// device does that at launch), registers through OrvelCenter and observes
// the library's events.
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
    if (NSString* hex = asString(n->userInfo()->objectForKey("deviceToken"))) token = hex->utf8();
  });
  Id messages = center->addObserverForName(OrvelDidReceiveMessageNotification, nullptr, nullptr, [&](NSNotification* n) {
    auto* message = cast<OrvelNotificationMessage>(n->object());
    if (message && message->notificationMessageType() == OrvelNotificationMessageTypeRemoteOpened) ++opened;
  });

  int status = 0;
  {
    Device device;
    device.launch([] { return Id(make<AppDelegate>()); });
    device.setState(AppState::Background);
    auto aps = NSDictionary::dictionaryWithEntries({{str("alert"), Id(str("Hello"))}, {str("badge"), Id(NSNumber::numberWithInteger(1))}});
    device.push(NSDictionary::dictionaryWithEntries({{str("aps"), Id(aps)}}));
    device.openLatest();

    std::cout << "device token " << token << ", opened messages " << opened << ", badge "
              << UIApplication::sharedApplication()->applicationIconBadgeNumber() << "\n";
    if (token.empty() || opened != 1) status = 1;
  }
  center->removeObserver(tokens);
  center->removeObserver(messages);
  return status;
}
