// A snapshot of the application's notification settings.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"

namespace objc {

// The authorisation status (a signed integer).
using UNAuthorizationStatus = int64_t;
inline constexpr UNAuthorizationStatus UNAuthorizationStatusNotDetermined = 0;
inline constexpr UNAuthorizationStatus UNAuthorizationStatusDenied = 1;
inline constexpr UNAuthorizationStatus UNAuthorizationStatusAuthorized = 2;
inline constexpr UNAuthorizationStatus UNAuthorizationStatusProvisional = 3;

// The state of one setting (a signed integer).
using UNNotificationSetting = int64_t;
inline constexpr UNNotificationSetting UNNotificationSettingNotSupported = 0;
inline constexpr UNNotificationSetting UNNotificationSettingDisabled = 1;
inline constexpr UNNotificationSetting UNNotificationSettingEnabled = 2;

// Authorisation options (an unsigned bit set). Bits above these pass
// through unchanged.
using UNAuthorizationOptions = uint64_t;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionNone = 0;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionBadge = 1;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionSound = 2;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionAlert = 4;
inline constexpr UNAuthorizationOptions UNAuthorizationOptionCarPlay = 8;

// Immutable. Getters (each "q"): authorizationStatus, alertSetting,
// badgeSetting, soundSetting. While the status is not determined every
// setting is "not supported"; when denied every setting is disabled; when
// authorised the settings of the granted options are enabled and the others
// disabled.
class UNNotificationSettings final : public NSObject {
 public:
  static Class class_();
  // Platform side: the settings that follow from a status and the options
  // that were granted.
  static Ref<UNNotificationSettings> settingsWithStatus(UNAuthorizationStatus status, UNAuthorizationOptions granted);

  UNAuthorizationStatus authorizationStatus() const { return status_; }
  UNNotificationSetting alertSetting() const { return alert_; }
  UNNotificationSetting badgeSetting() const { return badge_; }
  UNNotificationSetting soundSetting() const { return sound_; }

  std::string description() const override;
  Ref<NSObject> copy() const override;

 private:
  UNNotificationSettings() = default;
  template <class T, class... A>
  friend Ref<T> make(A&&... args);
  UNAuthorizationStatus status_ = UNAuthorizationStatusNotDetermined;
  UNNotificationSetting alert_ = UNNotificationSettingNotSupported;
  UNNotificationSetting badge_ = UNNotificationSettingNotSupported;
  UNNotificationSetting sound_ = UNNotificationSettingNotSupported;
};

}  // namespace objc
