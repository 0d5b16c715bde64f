// Platform side of the application object: the interface through which the
// simulated device observes and drives it. The library never uses this.
#pragma once

#include "UIKit/UIApplication.h"

namespace objc {

// The device derives from this and attaches itself with
// UIApplication::setSystem. Every hook is called synchronously, on the
// thread that made the call into the application object, after the
// application object has updated its own state and outside its lock. The
// base implementations are the behaviour without a device; an override that
// wants it too calls the base.
class UIApplicationSystem {
 public:
  virtual ~UIApplicationSystem() = default;

  // registerForRemoteNotifications was called. The device answers with the
  // delegate's token or failure callback. Default: nothing.
  virtual void remoteRegistrationRequested(UIApplication* app);

  // registerUserNotificationSettings: was called with `requested`. The
  // device answers through UIApplication::answerUserNotificationSettings.
  // Default: the user allows what was asked, at once.
  virtual void userNotificationSettingsRegistered(UIApplication* app, UIUserNotificationSettings* requested);

  // presentLocalNotificationNow: was called; `notification` is the
  // application object's own copy. Default: deliverLocalNotification on the
  // next main-queue turn.
  virtual void localNotificationPresented(UIApplication* app, UILocalNotification* notification);

  // scheduleLocalNotification: added `entry` (the application object's own
  // copy) to the scheduled list. Default: nothing; it stays in the list.
  virtual void localNotificationScheduled(UIApplication* app, UILocalNotification* entry);

  // `entry` left the scheduled list by cancelLocalNotification: or
  // cancelAllLocalNotifications. Default: nothing.
  virtual void localNotificationCancelled(UIApplication* app, UILocalNotification* entry);

  // Every write of the badge number, also of an unchanged value, and also
  // the writes that delivered notifications make. Default: nothing.
  virtual void badgeWritten(UIApplication* app, int64_t number);

  // The legacy notice bar gained or lost notices. Default: nothing.
  virtual void noticesChanged(UIApplication* app);
};

}  // namespace objc
