// The host's entry into the library: seven class operations, each of which
// (but clearNoticeBar) forwards its arguments unchanged to the singleton
// context, creating it on first use. None checks its arguments, tests the
// system version or changes thread; results and failures come back through
// the handlers and the library's events.
//
//   auto configuration = objc::make<OrvelNotificationConfiguration>();
//   configuration->setTypes(7);  // badge, sound, alert
//   OrvelCenter::registerForRemoteNotification(configuration);
//
// OrvelCenter is the run-time class "OrvelCenter"; each operation is also a
// class method under the selector given beside it. The forwards reach the
// context by message send, so a replaced context method is honoured.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"
#include "orvel/OrvelContext.h"
#include "orvel/OrvelDefines.h"
#include "orvel/OrvelNotificationConfiguration.h"
#include "orvel/OrvelNotificationRequest.h"

class OrvelCenter : public objc::NSObject {
 public:
  static objc::Class class_();

  // +registerForRemoteNotification: asks for permission for the configured
  // kinds and registers for remote notifications; the device token or the
  // failure arrives as an event. A nil configuration registers with types 0.
  static void registerForRemoteNotification(OrvelNotificationConfiguration* configuration);
  // +requestNotificationAuthorizationStatus: reports the authorisation status
  // to `handler` (an OrvelAuthorizationStatusHandler or nil), possibly on a
  // framework queue.
  static void requestNotificationAuthorizationStatus(objc::NSObject* handler);
  // +addLocalNotification:handler: schedules a local notification; `handler`
  // (an OrvelLocalNotificationHandler or nil) hears what was scheduled or
  // why the system refused it.
  static void addLocalNotification(OrvelNotificationRequest* request, objc::NSObject* handler);
  // +removeNotificationWithIdentifiers:requestStatuses: removes pending
  // and/or delivered notifications by request identifier; no identifiers
  // (nil or empty) means all of the chosen kinds.
  static void removeNotificationWithIdentifiers(objc::NSArray* identifiers,
                                                OrvelNotificationRequestStatus requestStatuses);
  // +setBadge: a number above 0 is shown; 0 or less clears a showing badge
  // by the running system's rule.
  static void setBadge(int64_t badge);
  // +clearBadge: exactly setBadge(0).
  static void clearBadge();
  // +clearNoticeBar: writes 0 to the application's badge number directly,
  // which clears the badge and the application's notices on every system
  // version, whatever the badge shows. It does not touch the context (and
  // does not create it).
  static void clearNoticeBar();
};
