// Removal and request identifiers: pending and delivered notifications are
// removed through the notification framework from system "10.0" (looked up by
// name), scheduled legacy notifications through the application object below
// it; requests scheduled without an identifier get one from the clock,
// unique within the process.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

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
  // The clock's milliseconds since 1970, rounded to the nearest, as long as
  // that is later than every identifier handed out before in this process;
  // otherwise the next millisecond after the last one. Requests scheduled in
  // one millisecond (or after the clock was set back) would otherwise share
  // an identifier and silently replace each other.
  static std::atomic<int64_t> last{std::numeric_limits<int64_t>::min()};
  double milliseconds = std::nearbyint(objc::NSDate::dateWithTimeIntervalSinceNow(0)->timeIntervalSince1970() * 1000.0);
  // Clocks far outside the int64 range of milliseconds (none that runs) are
  // held at its ends.
  constexpr double kLimit = 9.2e18;
  int64_t now = static_cast<int64_t>(std::clamp(std::isnan(milliseconds) ? 0.0 : milliseconds, -kLimit, kLimit));
  int64_t previous = last.load(std::memory_order_relaxed);
  int64_t next;
  do {
    next = std::max(now, previous + 1);
  } while (!last.compare_exchange_weak(previous, next, std::memory_order_relaxed));
  return NSString::stringWithFormat("%lld", static_cast<long long>(next));
}
