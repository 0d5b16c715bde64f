// Removal and request identifiers: pending and delivered notifications are
// removed through the notification framework from system "10.0" (looked up by
// name), scheduled legacy notifications through the application object below
// it; requests scheduled without an identifier get one from the clock.
#include "OrvelContext+Private.h"

using objc::Id;
using objc::NSArray;
using objc::NSDictionary;
using objc::NSString;
using objc::Ref;
using objc::UIApplication;
using objc::UILocalNotification;
using orvel::detail::currentNotificationCenter;
using orvel::detail::systemBelow;

void OrvelContext::removeNotificationWithIdentifiers(NSArray* identifiers,
                                                     OrvelNotificationRequestStatus requestStatuses) {
  objc::send<void>(this, objc::sel<"_removeNotificationWithIdentifiers:requestStatuses:">(), identifiers,
                   requestStatuses);
}

void OrvelContext::_removeNotificationWithIdentifiers(NSArray* identifiers,
                                                      OrvelNotificationRequestStatus requestStatuses) {
  bool pending = (requestStatuses & OrvelNotificationRequestStatusPending) != 0;
  bool delivered = (requestStatuses & OrvelNotificationRequestStatusDelivered) != 0;
  bool legacy = systemBelow(objc::lit<"10.0">());
  UIApplication* app = UIApplication::sharedApplication();

  if (!identifiers || identifiers->count() == 0) {
    // The legacy interface has one list, the scheduled notifications.
    if (legacy) {
      app->cancelAllLocalNotifications();
      return;
    }
    Id center = currentNotificationCenter();
    if (pending) objc::send<void>(center, objc::sel<"removeAllPendingNotificationRequests">());
    if (delivered) objc::send<void>(center, objc::sel<"removeAllDeliveredNotifications">());
    return;
  }

  if (!legacy) {
    Id center = currentNotificationCenter();
    if (pending) {
      objc::send<void>(center, objc::sel<"removePendingNotificationRequestsWithIdentifiers:">(), identifiers);
    }
    if (delivered) {
      objc::send<void>(center, objc::sel<"removeDeliveredNotificationsWithIdentifiers:">(), identifiers);
    }
    return;
  }

  // Scheduled legacy notifications have not fired yet: they are the pending
  // ones. Each identifier cancels the first match in one snapshot of the list.
  if (!pending) return;
  Ref<NSArray> scheduled = app->scheduledLocalNotifications();
  if (!scheduled || scheduled->count() == 0) return;
  for (const Id& identifier : *identifiers) {
    NSString* wanted = objc::asString(identifier.get());
    if (!wanted) continue;
    for (const Id& item : *scheduled) {
      auto* notification = objc::cast<UILocalNotification>(item.get());
      NSDictionary* userInfo = notification ? notification->userInfo() : nullptr;
      // A value of the host's own that is not a string never matches.
      NSString* carried = userInfo ? objc::asString(userInfo->objectForKey(OrvelIdentifierKey)) : nullptr;
      if (carried && carried->isEqualToString(wanted)) {
        app->cancelLocalNotification(notification);
        break;
      }
    }
  }
}

Ref<NSString> OrvelContext::_randomRequestIdentifier() {
  double milliseconds = objc::NSDate::dateWithTimeIntervalSinceNow(0)->timeIntervalSince1970() * 1000.0;
  return NSString::stringWithFormat("%.0f", milliseconds);
}
