// Platform side of the notification centre: the interface through which the
// simulated device answers the user's questions and sees every change to the
// centre's lists. The library never uses this.
#pragma once

#include <functional>

#include "UserNotifications/UNUserNotificationCenter.h"

namespace objc {

// Why a request left the pending list.
enum class UNPendingRemoval {
  Replaced,       // a request with the same identifier was added
  LimitExceeded,  // more than 64 were pending and it fires latest
  RemovedByApp,   // one of the centre's removal methods
  Fired,          // the device took it (takePendingRequest)
};

// The device derives from this and attaches itself with
// UNUserNotificationCenter::setSystem. Hooks run synchronously on the thread
// that made the change, after the centre has updated its lists and outside
// its lock. The base implementations are the behaviour without a device.
class UNUserNotificationCenterSystem {
 public:
  virtual ~UNUserNotificationCenterSystem() = default;

  // The application asked for authorisation while the status was not
  // determined. Call `answer` once, from any thread, with the user's
  // choice; the status becomes authorised (with these options) or denied
  // and every waiting completion runs. Called on the centre's queue.
  // Default: the user allows at once.
  virtual void authorizationRequested(UNAuthorizationOptions options, std::function<void(bool granted)> answer);

  virtual void pendingRequestAdded(UNNotificationRequest* request);
  virtual void pendingRequestRemoved(UNNotificationRequest* request, UNPendingRemoval reason);
  virtual void deliveredNotificationAdded(UNNotification* notification);
  virtual void deliveredNotificationRemoved(UNNotification* notification);
  // The delegate slot was written by the platform's own setter.
  virtual void delegateChanged(NSObject* delegate);
};

}  // namespace objc
