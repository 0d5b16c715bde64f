// The framework's version gate, and the registration of its classes when the
// library is loaded.
#include "UserNotifications/UserNotifications.h"
#include "Framework.h"
#include "UIKit/UIDevice.h"

namespace objc {

namespace un {
bool frameworkAvailable() { return UIDevice::systemVersionAtLeast("10.0"); }

Class gated(Class cls) {
  class_setAvailability(cls, &frameworkAvailable);
  return cls;
}

void requireSystem(id receiver, SEL cmd, const char* version) {
  if (!UIDevice::systemVersionAtLeast(version)) detail::throwUnrecognized(receiver, cmd);
}
}  // namespace un

Protocol UNUserNotificationCenterDelegateProtocol() {
  static Protocol p = objc_registerProtocolNamed("UNUserNotificationCenterDelegate");
  return p;
}

namespace {
struct RegisterUserNotifications {
  RegisterUserNotifications() {
    UNUserNotificationCenterDelegateProtocol();
    UNUserNotificationCenter::class_();
    UNNotificationSettings::class_();
    UNNotificationContent::class_();
    UNMutableNotificationContent::class_();
    UNNotificationSound::class_();
    UNNotificationTrigger::class_();
    UNPushNotificationTrigger::class_();
    UNTimeIntervalNotificationTrigger::class_();
    UNCalendarNotificationTrigger::class_();
    UNLocationNotificationTrigger::class_();
    UNNotificationRequest::class_();
    UNNotification::class_();
    UNNotificationResponse::class_();
    UNNotificationAttachment::class_();
  }
} gRegisterUserNotifications;
}  // namespace

}  // namespace objc
