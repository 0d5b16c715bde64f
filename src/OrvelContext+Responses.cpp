// Responses: the user opened a notification or chose one of its actions
// (the notification centre tells its delegate, the context), and from "12.0"
// asked for the application's notification settings.
#include "OrvelContext+Private.h"

using objc::Id;
using objc::NSObject;
using objc::Ref;
using orvel::detail::firstCallOnly;
using orvel::detail::forwardToApplicationDelegate;
using orvel::detail::handlerOf;
using orvel::detail::lowerBadgeByOne;
using orvel::detail::messageFromPlatformNotification;
using orvel::detail::PlatformMessage;
using orvel::detail::postOnMainQueue;
using orvel::detail::property;
using orvel::detail::responds;

void OrvelContext::userNotificationCenterDidReceiveNotificationResponse(NSObject* center, NSObject* response,
                                                                        NSObject* completionHandler) {
  lowerBadgeByOne(this);
  Id notification = property(response, objc::sel<"notification">());
  PlatformMessage built = messageFromPlatformNotification(notification, OrvelNotificationMessageTypeRemoteOpened,
                                                          OrvelNotificationMessageTypeLocalOpened);
  postOnMainQueue(OrvelDidReceiveMessageNotification, built.message);

  // The library completes first; the host's own call of the same guarded
  // handler then reaches nobody.
  Ref<OrvelResponseCompletionHandler> guarded = firstCallOnly(handlerOf<OrvelResponseCompletionHandler>(
      completionHandler, "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:",
      "OrvelResponseCompletionHandler (objc::Block<void()>)"));
  if (guarded) (*guarded)();

  objc::SEL callback = objc::sel<"userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:">();
  Id host = unDelegate();
  if (host && responds(host, callback)) {
    objc::send<void>(host, callback, center, response, guarded);
    return;
  }
  // A host that only has the classic callbacks still hears of the tap.
  if (Id appDelegate = applicationDelegate()) {
    forwardToApplicationDelegate(this, appDelegate, built,
                                 built.message->notificationMessageType() == OrvelNotificationMessageTypeRemoteOpened);
  }
}

void OrvelContext::userNotificationCenterOpenSettingsForNotification(NSObject* center, NSObject* notification) {
  objc::NSLog(
      "====== iOS12以后新增[UNUserNotificationCenter userNotificationCenter:openSettingsForNotification:] ====== ");
  objc::SEL callback = objc::sel<"userNotificationCenter:openSettingsForNotification:">();
  Id host = unDelegate();
  if (host && responds(host, callback)) objc::send<void>(host, callback, center, notification);
}
