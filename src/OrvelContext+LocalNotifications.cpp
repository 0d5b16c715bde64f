// Local scheduling: a host's request becomes a notification of the
// notification framework from system "10.0" (looked up by name, never by its
// headers; a media address is downloaded first, see +Attachments), or a
// legacy local notification of the application object below it.
#include "OrvelContext+Private.h"

using objc::Id;
using objc::NSArray;
using objc::NSDictionary;
using objc::NSError;
using objc::NSMutableArray;
using objc::NSMutableDictionary;
using objc::NSObject;
using objc::NSString;
using objc::Ref;
using objc::UIApplication;
using objc::UILocalNotification;
using orvel::detail::currentNotificationCenter;
using orvel::detail::handlerOf;
using orvel::detail::responds;
using orvel::detail::systemBelow;

namespace {

// The time-interval trigger's delay when the request names none, a single
// precision 0.1 second (0.10000000149011612 once widened).
constexpr float kDefaultTriggerDelay = 0.1f;

constexpr const char* kLocalNotificationHandler =
    "OrvelLocalNotificationHandler (objc::Block<void(objc::NSObject*, objc::NSError*)>)";

// The platform's time-interval trigger raises for these delays; the library
// refuses them itself, through the handler, rather than crash the host. The
// reasons are the platform's own texts.
const char* refusedDelayReason(double delay, bool repeats) {
  if (!(delay > 0)) return "time interval must be greater than 0";
  if (repeats && !(delay >= 60)) return "time interval must be at least 60 if repeating";
  return nullptr;
}

Ref<NSError> refusedDelayError(const char* reason) {
  Ref<NSString> text = objc::str(reason);
  return NSError::errorWithDomain(
      objc::lit<"OrvelLocalNotification">(), 1000,
      NSDictionary::dictionaryWithEntries(
          {{objc::lit<"Description">(), text}, {objc::str(objc::NSLocalizedDescriptionKey), text}}));
}

// The platform trigger, in order of precedence: a region, date components,
// then a time interval. `refusal` is set instead when the platform would
// refuse the delay.
Id platformTrigger(OrvelNotificationTrigger* trigger, const char** refusal) {
  if (trigger && trigger->region()) {
    return objc::send<Id>(objc::NSClassFromString("UNLocationNotificationTrigger"),
                          objc::sel<"triggerWithRegion:repeats:">(), trigger->region(), trigger->repeat());
  }
  if (trigger && trigger->dateComponents()) {
    return objc::send<Id>(objc::NSClassFromString("UNCalendarNotificationTrigger"),
                          objc::sel<"triggerWithDateMatchingComponents:repeats:">(), trigger->dateComponents(),
                          trigger->repeat());
  }
  double delay = kDefaultTriggerDelay;
  bool repeats = false;
  // 0 means no interval was given; the fire date is for the legacy interface.
  if (trigger && trigger->timeInterval() != 0.0) {
    delay = trigger->timeInterval();
    repeats = trigger->repeat();
  }
  *refusal = refusedDelayReason(delay, repeats);
  if (*refusal) return nullptr;
  return objc::send<Id>(objc::NSClassFromString("UNTimeIntervalNotificationTrigger"),
                        objc::sel<"triggerWithTimeInterval:repeats:">(), delay, repeats);
}

Id platformContent(OrvelNotificationContent* content) {
  Id platform = objc::send<Id>(objc::NSClassFromString("UNMutableNotificationContent"), objc::sel<"new">());
  objc::send<void>(platform, objc::sel<"setTitle:">(), content->title());
  objc::send<void>(platform, objc::sel<"setSubtitle:">(), content->subTitle());
  objc::send<void>(platform, objc::sel<"setBody:">(), content->body());
  objc::send<void>(platform, objc::sel<"setUserInfo:">(), content->userInfo());
  if (!content->silentPush()) {
    objc::send<void>(platform, objc::sel<"setBadge:">(), content->badge());
    objc::Class soundClass = objc::NSClassFromString("UNNotificationSound");
    Id sound = content->sound() ? objc::send<Id>(soundClass, objc::sel<"soundNamed:">(), content->sound())
                                : objc::send<Id>(soundClass, objc::sel<"defaultSound">());
    objc::send<void>(platform, objc::sel<"setSound:">(), sound);
  }
  if (content->threadIdentifier()) {
    objc::send<void>(platform, objc::sel<"setThreadIdentifier:">(), content->threadIdentifier());
  }
  if (content->launchImageName() && content->launchImageName()->length() > 0) {
    objc::send<void>(platform, objc::sel<"setLaunchImageName:">(), content->launchImageName());
  }
  // The count goes only with its argument.
  if (!systemBelow(objc::lit<"12.0">()) && content->summaryArgument() &&
      responds(platform, objc::sel<"setSummaryArgument:">())) {
    objc::send<void>(platform, objc::sel<"setSummaryArgument:">(), content->summaryArgument());
    objc::send<void>(platform, objc::sel<"setSummaryArgumentCount:">(), content->summaryArgumentCount());
  }
  if (!systemBelow(objc::lit<"13.0">()) && content->targetContentIdentifier() &&
      responds(platform, objc::sel<"setTargetContentIdentifier:">())) {
    objc::send<void>(platform, objc::sel<"setTargetContentIdentifier:">(), content->targetContentIdentifier());
  }
  return platform;
}

// The media address of a content: a non-empty string under "attachment".
NSString* attachmentAddress(OrvelNotificationContent* content) {
  NSDictionary* userInfo = content->userInfo();
  NSString* address = userInfo ? objc::asString(userInfo->objectForKey("attachment")) : nullptr;
  return address && address->length() > 0 ? address : nullptr;
}

void scheduleLegacy(OrvelNotificationRequest* request, OrvelNotificationContent* content,
                    OrvelLocalNotificationHandler* handler) {
  OrvelNotificationTrigger* trigger = request->trigger();
  bool repeat = trigger ? trigger->repeat() : false;

  auto notification = objc::make<UILocalNotification>();
  if (!systemBelow(objc::lit<"8.2">())) notification->setAlertTitle(content->title());
  notification->setAlertBody(content->body());
  // The legacy badge is a 32-bit number; it is set for silent pushes too.
  int32_t badge = content->badge() ? content->badge()->intValue() : 0;
  notification->setApplicationIconBadgeNumber(badge);
  notification->setTimeZone(objc::NSTimeZone::defaultTimeZone());
  if (!content->silentPush()) {
    notification->setSoundName(content->sound() ? content->sound() : objc::UILocalNotificationDefaultSoundName());
  }
  if (content->launchImageName()) notification->setAlertLaunchImage(content->launchImageName());

  // The identifier travels in the user info, where removal and delivery read
  // it back; an entry of the host's own under that key wins.
  auto userInfo = NSMutableDictionary::dictionary();
  if (NSString* identifier = request->requestIdentifier()) userInfo->setObject(identifier, OrvelIdentifierKey);
  if (NSDictionary* hostInfo = content->userInfo()) userInfo->addEntriesFromDictionary(hostInfo);
  notification->setUserInfo(userInfo);

  UIApplication* app = UIApplication::sharedApplication();
  if (trigger && trigger->region()) {
    notification->setRegion(trigger->region());
    notification->setRegionTriggersOnce(!repeat);
  } else if (trigger && trigger->fireDate()) {
    notification->setFireDate(trigger->fireDate());
  } else {
    app->presentLocalNotificationNow(notification);
    objc::callBlock(handler, notification.get(), nullptr);
    return;
  }
  app->scheduleLocalNotification(notification);
  objc::callBlock(handler, notification.get(), nullptr);
}

}  // namespace

void OrvelContext::addLocalNotification(OrvelNotificationRequest* request, NSObject* handler) {
  objc::send<void>(this, objc::sel<"_addLocalNotification:handler:">(), request, handler);
}

void OrvelContext::_addLocalNotification(OrvelNotificationRequest* request, NSObject* handler) {
  Ref<OrvelLocalNotificationHandler> resultHandler(
      handlerOf<OrvelLocalNotificationHandler>(handler, "addLocalNotification:handler:", kLocalNotificationHandler));
  OrvelNotificationContent* content = request ? request->content() : nullptr;
  if (!content) return;
  if (systemBelow(objc::lit<"10.0">())) {
    scheduleLegacy(request, content, resultHandler.get());
    return;
  }

  Id platform = platformContent(content);
  const char* refusal = nullptr;
  Id trigger = platformTrigger(request->trigger(), &refusal);
  if (refusal) {
    objc::callBlock(resultHandler.get(), nullptr, refusedDelayError(refusal).get());
    return;
  }

  NSString* given = request->requestIdentifier();
  Ref<NSString> identifier = given && given->length() > 0
                                 ? Ref<NSString>(given)
                                 : objc::send<Ref<NSString>>(this, objc::sel<"_randomRequestIdentifier">());

  NSString* address = attachmentAddress(content);
  if (!address) {
    NSArray* own = content->attachments();
    if (own && own->count() > 0) objc::send<void>(platform, objc::sel<"setAttachments:">(), own);
    objc::send<void>(this, objc::sel<"_requestWithIdentifier:content:trigger:result:">(), identifier, platform, trigger,
                     resultHandler);
    return;
  }

  // Submitted once the download has ended, whatever its outcome: the
  // content's own attachments first, the downloaded one last.
  objc::Weak<OrvelContext> weakSelf(this);
  auto attachmentsLoaded = objc::makeBlock<void(objc::NSArray*, objc::NSError*)>(
      [weakSelf, content = Ref<OrvelNotificationContent>(content), platform, identifier, trigger, resultHandler](
          NSArray* loaded, NSError* error) {
        auto all = NSMutableArray::array();
        if (NSArray* own = content->attachments()) all->addObjectsFromArray(own);
        if (!error && loaded) all->addObjectsFromArray(loaded);
        if (all->count() > 0) objc::send<void>(platform, objc::sel<"setAttachments:">(), all->copy());
        Ref<OrvelContext> strongSelf = weakSelf.load();
        objc::send<void>(strongSelf, objc::sel<"_requestWithIdentifier:content:trigger:result:">(), identifier,
                         platform, trigger, resultHandler);
      });
  objc::send<void>(this, objc::sel<"_handleNotificationServiceRequestUrl:withAttachmentsComplete:">(), address,
                   attachmentsLoaded);
}

void OrvelContext::_requestWithIdentifier(NSString* identifier, NSObject* content, NSObject* trigger,
                                          NSObject* result) {
  Id request = objc::send<Id>(objc::NSClassFromString("UNNotificationRequest"),
                              objc::sel<"requestWithIdentifier:content:trigger:">(), identifier, content, trigger);
  Ref<OrvelLocalNotificationHandler> handler(handlerOf<OrvelLocalNotificationHandler>(
      result, "_requestWithIdentifier:content:trigger:result:", kLocalNotificationHandler));
  auto added = objc::makeBlock<void(objc::NSError*)>([request, handler](NSError* error) {
    if (error) {
      objc::callBlock(handler.get(), nullptr, error);
    } else {
      objc::callBlock(handler.get(), request.get(), nullptr);
    }
  });
  objc::send<void>(currentNotificationCenter(), objc::sel<"addNotificationRequest:withCompletionHandler:">(), request,
                   added);
}
