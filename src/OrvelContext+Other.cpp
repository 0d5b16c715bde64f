#include "UIKit/UIKit.h"
#include "orvel/OrvelContext.h"
#include "orvel/OrvelDevice.h"

using objc::UIApplication;

void OrvelContext::setBadge(int64_t badge) {
  UIApplication* app = UIApplication::sharedApplication();
  if (badge > 0) {
    app->setApplicationIconBadgeNumber(badge);
    return;
  }
  // A clear request: nothing to do when no badge is showing.
  if (app->applicationIconBadgeNumber() <= 0) return;

  // From "11.0" a negative number hides the badge and keeps the notices in
  // the notice bar, which 0 would clear as well.
  if (OrvelDevice::versionCompare(objc::lit<"11.0">()) >= 0) {
    app->setApplicationIconBadgeNumber(-1);
    return;
  }
  // Below "10.0" the badge is cleared by a local notification with badge -1;
  // the interception drops it when it comes back, by its command key.
  if (OrvelDevice::versionCompare(objc::lit<"10.0">()) < 0) {
    auto command = objc::make<objc::UILocalNotification>();
    command->setApplicationIconBadgeNumber(-1);
    command->setUserInfo(
        objc::NSDictionary::dictionaryWithEntries({{OrvelCommandClearBadge, objc::NSNumber::numberWithBool(true)}}));
    app->presentLocalNotificationNow(command);
    return;
  }
  app->setApplicationIconBadgeNumber(0);
}
