// Delivery events: the classic application-delegate callbacks (device token,
// registration failure, remote and legacy local notifications), which the
// interception hands the context before the host's own implementation runs.
// Each handler does its work at once and posts its event from the main queue.
#include "OrvelContext+Private.h"

using objc::Id;
using objc::NSDictionary;
using objc::NSNumber;
using objc::NSObject;
using objc::NSString;
using objc::Ref;
using objc::UIApplication;
using objc::UILocalNotification;
using orvel::detail::currentNotificationCenter;
using orvel::detail::lowerBadgeByOne;
using orvel::detail::postOnMainQueue;
using orvel::detail::property;
using orvel::detail::systemBelow;

namespace {

bool applicationIsActive() {
  return UIApplication::sharedApplication()->applicationState() == objc::UIApplicationStateActive;
}

// Whether a remote-notification callback is the user's tap on the
// notification. The system delivers a tap while the application is inactive,
// on its way to the front; in the background a callback is the system waking
// the application for background work, which the user never saw. From "10.0"
// a notification centre with a delegate (the context, once registered) gets
// the tap as a response instead, and then no classic callback is one.
bool deliveredByTap() {
  if (UIApplication::sharedApplication()->applicationState() != objc::UIApplicationStateInactive) return false;
  if (systemBelow(objc::lit<"10.0">())) return true;
  Id center = currentNotificationCenter();
  return !center || !property(center, objc::sel<"delegate">());
}

bool hasAlertText(OrvelNotificationContent* content) {
  return content->title() || content->subTitle() || content->body();
}

}  // namespace

void OrvelContext::didRegisterForRemoteNotificationsWithDeviceToken(NSObject* deviceToken) {
  Ref<NSString> hex = OrvelDevice::hexStringByData(deviceToken);
  objc::NSLog("deviceToken:%@", hex);
  // Only a byte buffer has a text form; anything else is still reported,
  // without the "deviceToken" entry.
  Ref<NSDictionary> userInfo = hex ? NSDictionary::dictionaryWithEntries({{objc::lit<"deviceToken">(), hex}}) : nullptr;
  postOnMainQueue(OrvelDidRegisterRemoteNotification, Id(deviceToken), std::move(userInfo));
}

void OrvelContext::didFailToRegisterForRemoteNotificationsWithError(NSObject* error) {
  objc::NSLog("%@", error);
  postOnMainQueue(OrvelFailedRegisterRemoteNotification, Id(error));
}

void OrvelContext::didReceiveRemoteNotification(NSObject* payload) {
  objc::NSLog("%@", payload);
  auto message = objc::make<OrvelNotificationMessage>();
  message->setNotificationMessageType(OrvelNotificationMessageTypeRemoteReceived);
  if (NSDictionary* dict = objc::asDictionary(payload)) {
    Ref<NSDictionary> snapshot = objc::cast<NSDictionary>(dict->copy());
    message->setContent(OrvelNotificationContent::apnsNotificationWithDict(snapshot));
  }

  OrvelNotificationContent* content = message->content();
  // A silent push only wakes the application, but one whose alert the user
  // tapped was seen, whatever else it asked for.
  if (content && deliveredByTap() && (!content->silentPush() || hasAlertText(content))) {
    lowerBadgeByOne(this);
    message->setNotificationMessageType(OrvelNotificationMessageTypeRemoteOpened);
  }
  postOnMainQueue(OrvelDidReceiveMessageNotification, message);
}

void OrvelContext::didReceiveLocalNotification(NSObject* notification) {
  // Anything but a legacy local notification reads as one with no fields.
  auto* local = objc::cast<UILocalNotification>(notification);
  auto message = objc::make<OrvelNotificationMessage>();
  message->setNotificationMessageType(OrvelNotificationMessageTypeLocalReceived);
  auto content = objc::make<OrvelNotificationContent>();

  NSString* identifier = nullptr;
  if (NSDictionary* userInfo = local ? objc::asDictionary(local->userInfo()) : nullptr) {
    content->setUserInfo(userInfo);
    identifier = objc::asString(userInfo->objectForKey(OrvelIdentifierKey));
  }
  if (!systemBelow(objc::lit<"8.2">())) content->setTitle(local ? local->alertTitle() : nullptr);
  content->setSound(local ? local->soundName() : nullptr);
  content->setBody(local ? local->alertBody() : nullptr);
  content->setBadge(NSNumber::numberWithInteger(local ? local->applicationIconBadgeNumber() : 0));
  if (identifier) message->setIdentifier(identifier);
  message->setContent(content);

  if (!applicationIsActive()) {
    lowerBadgeByOne(this);
    message->setNotificationMessageType(OrvelNotificationMessageTypeLocalOpened);
  }
  postOnMainQueue(OrvelDidReceiveMessageNotification, message);
}
