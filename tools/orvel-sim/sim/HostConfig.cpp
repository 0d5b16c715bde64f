#include "sim/HostConfig.h"

#include <algorithm>

namespace orvelsim {

const std::vector<std::string>& HostConfig::applicationCallbacks() {
  static const std::vector<std::string> callbacks = {
      "application:willFinishLaunchingWithOptions:",
      "application:didFinishLaunchingWithOptions:",
      "applicationDidBecomeActive:",
      "applicationWillResignActive:",
      "applicationDidEnterBackground:",
      "applicationWillEnterForeground:",
      "applicationWillTerminate:",
      "application:didRegisterUserNotificationSettings:",
      "application:didRegisterForRemoteNotificationsWithDeviceToken:",
      "application:didFailToRegisterForRemoteNotificationsWithError:",
      "application:didReceiveRemoteNotification:",
      "application:didReceiveRemoteNotification:fetchCompletionHandler:",
      "application:didReceiveLocalNotification:",
  };
  return callbacks;
}

const std::vector<std::string>& HostConfig::centerCallbacks() {
  static const std::vector<std::string> callbacks = {
      "userNotificationCenter:willPresentNotification:withCompletionHandler:",
      "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:",
      "userNotificationCenter:openSettingsForNotification:",
  };
  return callbacks;
}

std::set<std::string> HostConfig::allCallbacks() {
  std::set<std::string> all(applicationCallbacks().begin(), applicationCallbacks().end());
  all.insert(centerCallbacks().begin(), centerCallbacks().end());
  return all;
}

bool HostConfig::isKnownCallback(const std::string& selector) { return allCallbacks().count(selector) != 0; }

std::string HostConfig::key() const {
  // Only what shapes the classes: which methods exist.
  if (implemented == allCallbacks()) return "";
  std::string key;
  for (const auto& list : {applicationCallbacks(), centerCallbacks()}) {
    for (const auto& s : list) key += implements(s) ? '1' : '0';
  }
  return key;
}

}  // namespace orvelsim
