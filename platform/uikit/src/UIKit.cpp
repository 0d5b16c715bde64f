// UIKit's constants, and the registration of its classes when the library
// is loaded: the library exchanges UIApplication's "setDelegate:" from its
// own static initialiser, so the class must be in place by then.
#include "UIKit/UIKit.h"

namespace objc {

NSString* UIApplicationDidFinishLaunchingNotification() { return lit<"UIApplicationDidFinishLaunchingNotification">(); }
NSString* UIApplicationDidEnterBackgroundNotification() { return lit<"UIApplicationDidEnterBackgroundNotification">(); }
NSString* UIApplicationWillEnterForegroundNotification() {
  return lit<"UIApplicationWillEnterForegroundNotification">();
}
NSString* UIApplicationWillTerminateNotification() { return lit<"UIApplicationWillTerminateNotification">(); }
NSString* UIApplicationDidBecomeActiveNotification() { return lit<"UIApplicationDidBecomeActiveNotification">(); }
NSString* UIApplicationWillResignActiveNotification() { return lit<"UIApplicationWillResignActiveNotification">(); }

NSString* UIApplicationLaunchOptionsLocalNotificationKey() {
  return lit<"UIApplicationLaunchOptionsLocalNotificationKey">();
}
NSString* UIApplicationLaunchOptionsRemoteNotificationKey() {
  return lit<"UIApplicationLaunchOptionsRemoteNotificationKey">();
}

Protocol UIApplicationDelegateProtocol() {
  static Protocol p = objc_registerProtocolNamed("UIApplicationDelegate");
  return p;
}

namespace {
struct RegisterUIKit {
  RegisterUIKit() {
    UIApplicationDelegateProtocol();
    UIDevice::class_();
    UIApplication::class_();
    UILocalNotification::class_();
    UIUserNotificationSettings::class_();
    CLRegion::class_();
    CLCircularRegion::class_();
  }
} gRegisterUIKit;
}  // namespace

}  // namespace objc
