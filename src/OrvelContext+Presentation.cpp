// Foreground presentation: the notification centre asks its delegate (the
// context) how to show a notification while the application is active. Also
// the conversion of the centre's notifications into messages, which the
// response handling shares.
#include "OrvelContext+Private.h"

using objc::Id;
using objc::NSDictionary;
using objc::NSNumber;
using objc::NSObject;
using objc::Ref;
using objc::UIApplication;
using objc::UILocalNotification;
using orvel::detail::firstCallOnly;
using orvel::detail::forwardToApplicationDelegate;
using orvel::detail::handlerOf;
using orvel::detail::isKindOfClassNamed;
using orvel::detail::messageFromPlatformNotification;
using orvel::detail::PlatformMessage;
using orvel::detail::postOnMainQueue;
using orvel::detail::property;
using orvel::detail::responds;
using orvel::detail::systemBelow;

namespace {

// What the host's legacy local-notification callback is given for a
// notification that the current interface delivered.
Ref<UILocalNotification> legacyNotificationFromMessage(OrvelNotificationMessage* message, NSObject* trigger) {
  auto local = objc::make<UILocalNotification>();
  bool repeats = false;
  if (trigger && responds(trigger, objc::sel<"repeats">())) repeats = objc::send<bool>(trigger, objc::sel<"repeats">());

  if (trigger && isKindOfClassNamed(trigger, "UNTimeIntervalNotificationTrigger")) {
    local->setFireDate(objc::NSDate::date());
    local->setRepeatInterval(0);
  } else if (trigger && isKindOfClassNamed(trigger, "UNCalendarNotificationTrigger")) {
    if (responds(trigger, objc::sel<"dateComponents">())) {
      Id value = property(trigger, objc::sel<"dateComponents">());
      auto* components = objc::cast<objc::NSDateComponents>(value.get());
      local->setFireDate(components ? components->date().get() : nullptr);
      local->setTimeZone(components ? components->timeZone.get() : nullptr);
      local->setRepeatInterval(0);
    }
  } else if (trigger && isKindOfClassNamed(trigger, "UNLocationNotificationTrigger")) {
    if (responds(trigger, objc::sel<"region">())) {
      Id region = property(trigger, objc::sel<"region">());
      local->setRegion(objc::cast<objc::CLRegion>(region.get()));
      local->setRegionTriggersOnce(!repeats);
    }
  }

  OrvelNotificationContent* content = message->content();
  local->setAlertBody(content ? content->body() : nullptr);
  local->setAlertLaunchImage(content ? content->launchImageName() : nullptr);
  if (!systemBelow(objc::lit<"8.2">())) local->setAlertTitle(content ? content->title() : nullptr);
  NSNumber* badge = content ? content->badge() : nullptr;
  local->setApplicationIconBadgeNumber(badge ? int64_t{badge->intValue()} : 0);
  local->setHasAction(true);
  local->setSoundName(content ? content->sound() : nullptr);
  local->setUserInfo(content ? content->userInfo() : nullptr);
  return local;
}

}  // namespace

namespace orvel::detail {

PlatformMessage messageFromPlatformNotification(NSObject* notification, OrvelNotificationMessageType pushType,
                                                OrvelNotificationMessageType otherType) {
  Id request = property(notification, objc::sel<"request">());
  Id platformContent = property(request, objc::sel<"content">());
  auto message = objc::make<OrvelNotificationMessage>();
  auto content = objc::make<OrvelNotificationContent>();

  NSObject* c = platformContent.get();
  content->setTitle(objc::asString(property(c, objc::sel<"title">())));
  content->setSubTitle(objc::asString(property(c, objc::sel<"subtitle">())));
  content->setBody(objc::asString(property(c, objc::sel<"body">())));
  content->setBadge(objc::asNumber(property(c, objc::sel<"badge">())));
  content->setAttachments(objc::cast<objc::NSArray>(property(c, objc::sel<"attachments">()).get()));
  content->setThreadIdentifier(objc::asString(property(c, objc::sel<"threadIdentifier">())));
  content->setLaunchImageName(objc::asString(property(c, objc::sel<"launchImageName">())));
  if (!systemBelow(objc::lit<"12.0">())) {
    if (responds(c, objc::sel<"summaryArgument">())) {
      content->setSummaryArgument(objc::asString(property(c, objc::sel<"summaryArgument">())));
    }
    if (responds(c, objc::sel<"summaryArgumentCount">())) {
      content->setSummaryArgumentCount(objc::send<uint64_t>(c, objc::sel<"summaryArgumentCount">()));
    }
  }
  if (!systemBelow(objc::lit<"13.0">()) && responds(c, objc::sel<"targetContentIdentifier">())) {
    content->setTargetContentIdentifier(objc::asString(property(c, objc::sel<"targetContentIdentifier">())));
  }
  if (responds(c, objc::sel<"userInfo">())) {
    Id userInfo = property(c, objc::sel<"userInfo">());
    if (NSDictionary* dictionary = objc::asDictionary(userInfo)) content->setUserInfo(dictionary);
  }
  if (responds(request, objc::sel<"identifier">())) {
    message->setIdentifier(objc::asString(property(request, objc::sel<"identifier">())));
  }
  message->setContent(content);

  Id trigger = property(property(notification, objc::sel<"request">()), objc::sel<"trigger">());
  message->setNotificationMessageType(isKindOfClassNamed(trigger, "UNPushNotificationTrigger") ? pushType : otherType);
  return {std::move(message), std::move(trigger)};
}

void forwardToApplicationDelegate(OrvelContext* context, NSObject* applicationDelegate, const PlatformMessage& built,
                                  bool fromPush) {
  UIApplication* app = UIApplication::sharedApplication();
  if (fromPush) {
    OrvelNotificationContent* content = built.message->content();
    auto ignoreResult = objc::makeBlock<void(objc::UIBackgroundFetchResult)>([](objc::UIBackgroundFetchResult) {});
    objc::send<void>(context,
                     objc::sel<"PublicSendRawOrvel:application:didReceiveRemoteNotification:fetchCompletionHandler:">(),
                     applicationDelegate, app, content ? content->userInfo() : nullptr, ignoreResult);
    return;
  }
  Ref<UILocalNotification> local = legacyNotificationFromMessage(built.message, built.trigger);
  objc::send<void>(context, objc::sel<"PublicSendRawOrvel:application:didReceiveLocalNotification:">(),
                   applicationDelegate, app, local);
}

}  // namespace orvel::detail

void OrvelContext::userNotificationCenterWillPresentNotification(NSObject* center, NSObject* notification,
                                                                 NSObject* completionHandler) {
  PlatformMessage built = messageFromPlatformNotification(notification, OrvelNotificationMessageTypeRemoteReceived,
                                                          OrvelNotificationMessageTypeLocalReceived);
  postOnMainQueue(OrvelDidReceiveMessageNotification, built.message);

  Ref<OrvelPresentationCompletionHandler> guarded = firstCallOnly(handlerOf<OrvelPresentationCompletionHandler>(
      completionHandler, "userNotificationCenter:willPresentNotification:withCompletionHandler:",
      "OrvelPresentationCompletionHandler (objc::Block<void(uint64_t)>)"));
  objc::SEL callback = objc::sel<"userNotificationCenter:willPresentNotification:withCompletionHandler:">();
  Id host = unDelegate();
  Id appDelegate = applicationDelegate();
  if (host && responds(host, callback)) {
    objc::send<void>(host, callback, center, notification, guarded);
  } else if (appDelegate) {
    forwardToApplicationDelegate(
        this, appDelegate, built,
        built.message->notificationMessageType() == OrvelNotificationMessageTypeRemoteReceived);
  }
  // Dropped when the host has already answered: its options win.
  if (guarded) (*guarded)(static_cast<uint64_t>(foregroundType()));
}
