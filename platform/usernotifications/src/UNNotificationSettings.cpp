#include "UserNotifications/UNNotificationSettings.h"

#include "Framework.h"

namespace objc {

Class UNNotificationSettings::class_() {
  static Class c = un::gated(ClassBuilder<UNNotificationSettings>("UNNotificationSettings")
                                 .method<&UNNotificationSettings::authorizationStatus>("authorizationStatus")
                                 .method<&UNNotificationSettings::alertSetting>("alertSetting")
                                 .method<&UNNotificationSettings::badgeSetting>("badgeSetting")
                                 .method<&UNNotificationSettings::soundSetting>("soundSetting")
                                 .build());
  return c;
}

Ref<UNNotificationSettings> UNNotificationSettings::settingsWithStatus(UNAuthorizationStatus status,
                                                                       UNAuthorizationOptions granted) {
  auto s = make<UNNotificationSettings>();
  s->status_ = status;
  if (status == UNAuthorizationStatusNotDetermined) return s;
  bool allowed = status == UNAuthorizationStatusAuthorized || status == UNAuthorizationStatusProvisional;
  auto setting = [&](UNAuthorizationOptions bit) {
    return allowed && (granted & bit) ? UNNotificationSettingEnabled : UNNotificationSettingDisabled;
  };
  s->alert_ = setting(UNAuthorizationOptionAlert);
  s->badge_ = setting(UNAuthorizationOptionBadge);
  s->sound_ = setting(UNAuthorizationOptionSound);
  return s;
}

std::string UNNotificationSettings::description() const {
  return format(
      "<UNNotificationSettings: %p; authorizationStatus: %lld, alertSetting: %lld, badgeSetting: %lld, "
      "soundSetting: %lld>",
      static_cast<const void*>(this), static_cast<long long>(status_), static_cast<long long>(alert_),
      static_cast<long long>(badge_), static_cast<long long>(sound_));
}

Ref<NSObject> UNNotificationSettings::copy() const { return Ref<NSObject>(const_cast<UNNotificationSettings*>(this)); }

}  // namespace objc
