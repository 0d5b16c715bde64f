#include "orvel/OrvelContext.h"

#include "UIKit/UIKit.h"
#include "orvel/OrvelDevice.h"
#include "orvel/OrvelNotificationContent.h"
#include "orvel/OrvelNotificationMessage.h"

using objc::Id;
using objc::NSDictionary;
using objc::NSNotificationCenter;
using objc::NSNumber;
using objc::NSObject;
using objc::NSString;
using objc::Ref;
using objc::UIApplication;
using objc::UILocalNotification;

namespace {

[[maybe_unused]] const objc::Class gRegistered = OrvelContext::class_();

bool systemBelow(NSString* version) { return OrvelDevice::versionCompare(version) < 0; }

bool applicationIsActive() {
  return UIApplication::sharedApplication()->applicationState() == objc::UIApplicationStateActive;
}

// Through the context's own setter, so that the version rules for clearing
// apply: from a badge of 1 this clears it, from 0 it does nothing.
void lowerBadgeByOne(OrvelContext* context) {
  int64_t badge = UIApplication::sharedApplication()->applicationIconBadgeNumber();
  objc::send<void>(context, objc::sel<"setBadge:">(), badge - 1);
}

// Events never reach observers inside the callback that causes them: they
// are posted from the main queue on a later turn, so the host's own callback
// has returned first, and successive events keep their order.
void postOnMainQueue(NSString* name, Id object, Ref<NSDictionary> userInfo = nullptr) {
  objc::dispatch_async(objc::dispatch_get_main_queue(),
                       [name = Ref<NSString>(name), object = std::move(object), userInfo = std::move(userInfo)] {
                         NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
                         if (userInfo) {
                           center->postNotificationName(name, object, userInfo);
                         } else {
                           center->postNotificationName(name, object);
                         }
                       });
}

// The process-wide slot: holds the context strongly and is never cleared, so
// the context is never destroyed (not even by static destruction at exit).
OrvelContext* gCurrentContext = nullptr;
objc::dispatch_once_t gCurrentContextOnce;

}  // namespace

objc::Class OrvelContext::class_() {
  using C = OrvelContext;
  static objc::Class c = [] {
    objc::Class cls =
        objc::ClassBuilder<C>("OrvelContext")
            .classMethod("currentContext", [](objc::Class, objc::SEL) -> Id { return C::currentContext(); })
            .method<&C::addObserver>("addObserver")
            .method<&C::applicationDidFinishLaunching>("applicationDidFinishLaunching:")
            .method<&C::applicationDidEnterBackground>("applicationDidEnterBackground")
            .method<&C::applicationWillEnterForeground>("applicationWillEnterForeground")
            .method<&C::applicationWillTerminateNotification>("applicationWillTerminateNotification")
            .method<&C::setApplicationDelegate>("setApplicationDelegate:")
            .method<&C::applicationDelegate>("applicationDelegate")
            .method<&C::appDelegates>("appDelegates")
            .method<&C::setAppDelegates>("setAppDelegates:")
            .method<&C::unDelegate>("unDelegate")
            .method<&C::configuration>("configuration")
            .method<&C::setConfiguration>("setConfiguration:")
            .method<&C::foregroundType>("foregroundType")
            .method<&C::setForegroundType>("setForegroundType:")
            .method<&C::setUnDelegate>("setUnDelegate:")
            .method<&C::registerForRemoteNotification>("registerForRemoteNotification:")
            .method<&C::requestNotificationAuthorizationStatus>("requestNotificationAuthorizationStatus:")
            .method<&C::userNotificationCenterWillPresentNotification>(
                "userNotificationCenter:willPresentNotification:withCompletionHandler:")
            .method<&C::userNotificationCenterDidReceiveNotificationResponse>(
                "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:")
            .method<&C::userNotificationCenterOpenSettingsForNotification>(
                "userNotificationCenter:openSettingsForNotification:")
            .method<&C::_registerForRemoteNotification>("_registerForRemoteNotification")
            // Registration, presentation, responses, local notifications,
            // attachments and removal: register each here, under its
            // selector from OrvelContext.h, once it is defined.
            .method<&C::didRegisterForRemoteNotificationsWithDeviceToken>(
                "didRegisterForRemoteNotificationsWithDeviceToken:")
            .method<&C::didFailToRegisterForRemoteNotificationsWithError>(
                "didFailToRegisterForRemoteNotificationsWithError:")
            .method<&C::didReceiveRemoteNotification>("didReceiveRemoteNotification:")
            .method<&C::didReceiveLocalNotification>("didReceiveLocalNotification:")
            // Local notifications, attachments and removal.
            .method<&C::addLocalNotification>("addLocalNotification:handler:")
            .method<&C::removeNotificationWithIdentifiers>("removeNotificationWithIdentifiers:requestStatuses:")
            .method<&C::_addLocalNotification>("_addLocalNotification:handler:")
            .method<&C::_requestWithIdentifier>("_requestWithIdentifier:content:trigger:result:")
            .method<&C::_handleNotificationServiceRequestUrl>(
                "_handleNotificationServiceRequestUrl:withAttachmentsComplete:")
            .method<&C::_loadAttachmentForUrlString>("_loadAttachmentForUrlString:withType:completionHandle:")
            .method<&C::_randomRequestIdentifier>("_randomRequestIdentifier")
            .method<&C::_removeNotificationWithIdentifiers>("_removeNotificationWithIdentifiers:requestStatuses:")
            // Category Other.
            .method<&C::setBadge>("setBadge:")
            // Category HookService.
            .method<&C::PublicSendRawOrvelDidReceiveLocalNotification>(
                "PublicSendRawOrvel:application:didReceiveLocalNotification:")
            .method<&C::PublicSendRawOrvelDidReceiveRemoteNotification>(
                "PublicSendRawOrvel:application:didReceiveRemoteNotification:fetchCompletionHandler:")
            .method<&C::hookApplicationDelegate>("hookApplicationDelegate:")
            .method<&C::backupsImpWithSuperclass>("backupsImpWithSuperclass:Subclass:")
            .method<&C::hookAddMethodWithSubclass>("hookAddMethodWithSubclass:")
            .build();
    // These two run with a notification centre as receiver once installed
    // there, so they are plain functions rather than member thunks.
    objc::class_addMethod(cls, objc::NSSelectorFromString("orvelSetUNDelegate:"),
                          reinterpret_cast<objc::IMP>(&C::orvelSetUNDelegate), "v24@0:8@16");
    objc::class_addMethod(cls, objc::NSSelectorFromString("p_orvelSetUNDelegate:"),
                          reinterpret_cast<objc::IMP>(&C::p_orvelSetUNDelegate), "v24@0:8@16");
    return cls;
  }();
  return c;
}

OrvelContext* OrvelContext::currentContext() {
  objc::dispatch_once(&gCurrentContextOnce, [] {
    gCurrentContext = objc::make<OrvelContext>().detach();
    gCurrentContext->addObserver();
  });
  return gCurrentContext;
}

OrvelContext::OrvelContext() = default;

OrvelContext::~OrvelContext() { NSNotificationCenter::defaultCenter()->removeObserver(this); }

// ---- Lifecycle ----

void OrvelContext::addObserver() {
  NSNotificationCenter* center = NSNotificationCenter::defaultCenter();
  center->addObserver(this, objc::sel<"applicationDidFinishLaunching:">(),
                      objc::UIApplicationDidFinishLaunchingNotification(), nullptr);
  center->addObserver(this, objc::sel<"applicationDidEnterBackground">(),
                      objc::UIApplicationDidEnterBackgroundNotification(), nullptr);
  center->addObserver(this, objc::sel<"applicationWillEnterForeground">(),
                      objc::UIApplicationWillEnterForegroundNotification(), nullptr);
  center->addObserver(this, objc::sel<"applicationWillTerminateNotification">(),
                      objc::UIApplicationWillTerminateNotification(), nullptr);
}

void OrvelContext::applicationDidFinishLaunching(objc::NSNotification* notification) {
  NSDictionary* launchOptions = notification ? notification->userInfo() : nullptr;
  if (!launchOptions) return;
  // From "10.0" on, the notification centre reports such a launch itself.
  if (!systemBelow(objc::lit<"10.0">())) return;
  auto* local = objc::cast<UILocalNotification>(
      launchOptions->objectForKey(objc::UIApplicationLaunchOptionsLocalNotificationKey()));
  if (!local) return;
  objc::send<void>(this, objc::sel<"didReceiveLocalNotification:">(), local);
}

void OrvelContext::applicationDidEnterBackground() {}
void OrvelContext::applicationWillEnterForeground() {}
void OrvelContext::applicationWillTerminateNotification() {}

void OrvelContext::setApplicationDelegate(NSObject* delegate) {
  if (!delegate) return;
  if (applicationDelegate_.load().get() == delegate) return;
  applicationDelegate_.store(delegate);
  objc::send<void>(this, objc::sel<"hookApplicationDelegate:">(), delegate);
}

// ---- Registration, presentation and responses ----
//
// The notification framework is never named at build time: its classes are
// looked up by name and every property of its objects is read by sending the
// property's name, so the library runs, and builds, without it.

namespace {

// Nil below "10.0", where the framework's classes cannot be found by name.
Id currentNotificationCenter() {
  objc::Class centerClass = objc::NSClassFromString("UNUserNotificationCenter");
  if (!centerClass) return nullptr;
  return objc::send<Id>(centerClass, objc::sel<"currentNotificationCenter">());
}

int64_t authorizationStatusOf(NSObject* settings) {
  return objc::send<int64_t>(settings, objc::sel<"authorizationStatus">());
}

// Sent as a message, so that nil answers no.
bool responds(NSObject* object, objc::SEL selector) {
  return objc::send<bool>(object, objc::sel<"respondsToSelector:">(), selector);
}

bool isKindOfClassNamed(NSObject* object, std::string_view className) {
  objc::Class cls = objc::NSClassFromString(className);
  return cls && objc::send<bool>(object, objc::sel<"isKindOfClass:">(), cls);
}

Id property(NSObject* object, objc::SEL name) { return objc::send<Id>(object, name); }

// The system raises when a delegate's completion handler is called twice,
// and a host delegate is expected to call the one it is given, while the
// library completes the callback too. Everyone therefore gets this guard in
// front of the platform's handler: the first call, from whichever thread,
// reaches the platform; later calls are dropped. Nil for an absent handler.
template <class... A>
Ref<objc::Block<void(A...)>> firstCallOnly(objc::Block<void(A...)>* platformHandler) {
  if (!platformHandler) return nullptr;
  auto called = std::make_shared<std::atomic<bool>>(false);
  return objc::makeBlock<void(A...)>([platform = Ref<objc::Block<void(A...)>>(platformHandler), called](A... args) {
    if (!called->exchange(true, std::memory_order_acq_rel)) (*platform)(args...);
  });
}

struct PlatformMessage {
  Ref<OrvelNotificationMessage> message;
  Id trigger;
};

// The message for a platform notification: `pushType` when it came from the
// push service, `otherType` for any other trigger or none.
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

// Hands a notification of the current interface to the host's application
// delegate through its classic callbacks: a push to the remote-notification
// callback with the content's user info, anything else to the
// local-notification callback as a legacy notification.
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

}  // namespace

void OrvelContext::registerForRemoteNotification(OrvelNotificationConfiguration* configuration) {
  objc::send<void>(this, objc::sel<"setConfiguration:">(), configuration);
  objc::send<void>(this, objc::sel<"_registerForRemoteNotification">());
}

void OrvelContext::_registerForRemoteNotification() {
  OrvelNotificationConfiguration* stored = configuration();
  int64_t types = stored ? stored->types() : 0;
  UIApplication* app = UIApplication::sharedApplication();

  if (systemBelow(objc::lit<"10.0">())) {
    app->registerUserNotificationSettings(
        objc::UIUserNotificationSettings::settingsForTypes(static_cast<objc::UIUserNotificationType>(types), nullptr));
    app->registerForRemoteNotifications();
    return;
  }

  if (Id center = currentNotificationCenter()) {
    // The centre's replaced setter makes the context its delegate and keeps
    // any host delegate for forwarding.
    objc::send<Id>(center, objc::sel<"performSelector:withObject:">(), objc::sel<"setDelegate:">(),
                   static_cast<NSObject*>(this));
    // The completion runs on the framework's queue while the host may
    // register again on the main thread, so it asks with the types of this
    // registration instead of reading the configuration field there.
    auto completion = objc::makeBlock<void(NSObject*)>([center, types](NSObject* settings) {
      int64_t status = authorizationStatusOf(settings);
      if (status != 0 && status != 1) return;  // decided in favour, or a later platform state
      auto ignoreAnswer = objc::makeBlock<void(bool, objc::NSError*)>([](bool, objc::NSError*) {});
      objc::send<void>(center, objc::sel<"requestAuthorizationWithOptions:completionHandler:">(),
                       static_cast<uint64_t>(types), ignoreAnswer);
    });
    objc::send<void>(center, objc::sel<"getNotificationSettingsWithCompletionHandler:">(), completion);
  }
  // Not waiting for the user: the token or the failure comes back as an event.
  app->registerForRemoteNotifications();
}

void OrvelContext::requestNotificationAuthorizationStatus(NSObject* handler) {
  Ref<OrvelAuthorizationStatusHandler> statusHandler(objc::cast<OrvelAuthorizationStatusHandler>(handler));
  if (systemBelow(objc::lit<"10.0">())) {
    // The legacy settings cannot tell a refusal from a question not asked.
    Ref<objc::UIUserNotificationSettings> settings =
        UIApplication::sharedApplication()->currentUserNotificationSettings();
    int64_t status = settings && settings->types() != 0 ? 2 : 0;
    objc::callBlock(statusHandler.get(), status);
    return;
  }
  Id center = currentNotificationCenter();
  if (!center) return;
  auto completion = objc::makeBlock<void(NSObject*)>([statusHandler](NSObject* settings) {
    int64_t status = authorizationStatusOf(settings);
    objc::callBlock(statusHandler.get(), status);
  });
  objc::send<void>(center, objc::sel<"getNotificationSettingsWithCompletionHandler:">(), completion);
}

void OrvelContext::userNotificationCenterWillPresentNotification(NSObject* center, NSObject* notification,
                                                                 NSObject* completionHandler) {
  PlatformMessage built = messageFromPlatformNotification(notification, OrvelNotificationMessageTypeRemoteReceived,
                                                          OrvelNotificationMessageTypeLocalReceived);
  postOnMainQueue(OrvelDidReceiveMessageNotification, built.message);

  Ref<OrvelPresentationCompletionHandler> guarded =
      firstCallOnly(objc::cast<OrvelPresentationCompletionHandler>(completionHandler));
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

void OrvelContext::userNotificationCenterDidReceiveNotificationResponse(NSObject* center, NSObject* response,
                                                                        NSObject* completionHandler) {
  lowerBadgeByOne(this);
  Id notification = property(response, objc::sel<"notification">());
  PlatformMessage built = messageFromPlatformNotification(notification, OrvelNotificationMessageTypeRemoteOpened,
                                                          OrvelNotificationMessageTypeLocalOpened);
  postOnMainQueue(OrvelDidReceiveMessageNotification, built.message);

  // The library completes first; the host's own call of the same guarded
  // handler then reaches nobody.
  Ref<OrvelResponseCompletionHandler> guarded =
      firstCallOnly(objc::cast<OrvelResponseCompletionHandler>(completionHandler));
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

// ---- Delivery handlers ----

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
  if (!applicationIsActive() && content && !content->silentPush()) {
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

// ---- Local notifications ----
//
// From system "10.0" the notification framework schedules them. The library
// never sees that framework's headers: its classes are looked up by name and
// its objects reached by message send. Below "10.0" the legacy local
// notification of the application object is used directly.

namespace {

using objc::NSArray;
using objc::NSError;
using objc::NSMutableArray;
using objc::NSMutableDictionary;
using objc::NSURL;

// The time-interval trigger's delay when the request names none, a single
// precision 0.1 second (0.10000000149011612 once widened).
constexpr float kDefaultTriggerDelay = 0.1f;
constexpr double kAttachmentRequestTimeout = 30;

// The notification centre, which schedules and removes them from "10.0".
Id localNotificationCenter() {
  return objc::send<Id>(objc::NSClassFromString("UNUserNotificationCenter"), objc::sel<"currentNotificationCenter">());
}

bool contentResponds(NSObject* content, objc::SEL selector) {
  return objc::send<bool>(content, objc::sel<"respondsToSelector:">(), selector);
}

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
      contentResponds(platform, objc::sel<"setSummaryArgument:">())) {
    objc::send<void>(platform, objc::sel<"setSummaryArgument:">(), content->summaryArgument());
    objc::send<void>(platform, objc::sel<"setSummaryArgumentCount:">(), content->summaryArgumentCount());
  }
  if (!systemBelow(objc::lit<"13.0">()) && content->targetContentIdentifier() &&
      contentResponds(platform, objc::sel<"setTargetContentIdentifier:">())) {
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

// The platform refuses some files; why is of no use to the caller.
Id makeAttachment(NSURL* file) {
  Ref<NSError> refusal;
  return objc::send<Id>(objc::NSClassFromString("UNNotificationAttachment"),
                        objc::sel<"attachmentWithIdentifier:URL:options:error:">(), objc::lit<"attachment">(), file,
                        nullptr, static_cast<void*>(&refusal));
}

Ref<NSError> missingAttachmentError() {
  return NSError::errorWithDomain(
      objc::lit<"Attachment">(), 999,
      NSDictionary::dictionaryWithEntries({{objc::lit<"Description">(), objc::str("该推送不包含多媒体附件")}}));
}

}  // namespace

void OrvelContext::addLocalNotification(OrvelNotificationRequest* request, NSObject* handler) {
  objc::send<void>(this, objc::sel<"_addLocalNotification:handler:">(), request, handler);
}

void OrvelContext::_addLocalNotification(OrvelNotificationRequest* request, NSObject* handler) {
  OrvelNotificationContent* content = request ? request->content() : nullptr;
  if (!content) return;
  auto* resultHandler = objc::cast<OrvelLocalNotificationHandler>(handler);
  if (systemBelow(objc::lit<"10.0">())) {
    scheduleLegacy(request, content, resultHandler);
    return;
  }

  Id platform = platformContent(content);
  const char* refusal = nullptr;
  Id trigger = platformTrigger(request->trigger(), &refusal);
  if (refusal) {
    objc::callBlock(resultHandler, nullptr, refusedDelayError(refusal).get());
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
                     handler);
    return;
  }

  // Submitted once the download has ended, whatever its outcome: the
  // content's own attachments first, the downloaded one last.
  objc::Weak<OrvelContext> weakSelf(this);
  auto attachmentsLoaded = objc::makeBlock<void(objc::NSArray*, objc::NSError*)>(
      [weakSelf, content = Ref<OrvelNotificationContent>(content), platform, identifier, trigger,
       handler = Id(handler)](NSArray* loaded, NSError* error) {
        auto all = NSMutableArray::array();
        if (NSArray* own = content->attachments()) all->addObjectsFromArray(own);
        if (!error && loaded) all->addObjectsFromArray(loaded);
        if (all->count() > 0) objc::send<void>(platform, objc::sel<"setAttachments:">(), all->copy());
        Ref<OrvelContext> strongSelf = weakSelf.load();
        objc::send<void>(strongSelf, objc::sel<"_requestWithIdentifier:content:trigger:result:">(), identifier,
                         platform, trigger, handler);
      });
  objc::send<void>(this, objc::sel<"_handleNotificationServiceRequestUrl:withAttachmentsComplete:">(), address,
                   attachmentsLoaded);
}

void OrvelContext::_requestWithIdentifier(NSString* identifier, NSObject* content, NSObject* trigger,
                                          NSObject* result) {
  Id request = objc::send<Id>(objc::NSClassFromString("UNNotificationRequest"),
                              objc::sel<"requestWithIdentifier:content:trigger:">(), identifier, content, trigger);
  auto added = objc::makeBlock<void(objc::NSError*)>(
      [request, handler = Ref<OrvelLocalNotificationHandler>(objc::cast<OrvelLocalNotificationHandler>(result))](
          NSError* error) {
        if (error) {
          objc::callBlock(handler.get(), nullptr, error);
        } else {
          objc::callBlock(handler.get(), request.get(), nullptr);
        }
      });
  objc::send<void>(localNotificationCenter(), objc::sel<"addNotificationRequest:withCompletionHandler:">(), request,
                   added);
}

// ---- Attachments ----

void OrvelContext::_handleNotificationServiceRequestUrl(NSString* url, NSObject* complete) {
  Ref<OrvelAttachmentsCompletion> completion(objc::cast<OrvelAttachmentsCompletion>(complete));
  if (!url || url->length() == 0) {
    objc::callBlock(completion.get(), nullptr, missingAttachmentError().get());
    return;
  }
  auto loaded = objc::makeBlock<void(NSObject*)>([completion](NSObject* attachment) {
    if (attachment) {
      objc::callBlock(completion.get(), NSArray::arrayWithObjects({Id(attachment)}).get(), nullptr);
    } else {
      objc::callBlock(completion.get(), nullptr, nullptr);
    }
  });
  objc::send<void>(this, objc::sel<"_loadAttachmentForUrlString:withType:completionHandle:">(), url,
                   url->pathExtension(), loaded);
}

void OrvelContext::_loadAttachmentForUrlString(NSString* url, NSString* type, NSObject* completionHandle) {
  Ref<OrvelAttachmentCompletion> completion(objc::cast<OrvelAttachmentCompletion>(completionHandle));
  // An address that does not parse gives a nil URL, whose task fails when it
  // starts, on the session's queue: it ends like any failed download.
  Ref<NSURL> address = NSURL::URLWithString(url);
  Ref<NSString> suffix = objc::lit<".">()->stringByAppendingString(type);

  auto configuration = objc::NSURLSessionConfiguration::defaultSessionConfiguration();
  configuration->setTimeoutIntervalForRequest(kAttachmentRequestTimeout);
  // Not kept: a session with a running task stays alive until it completes.
  auto session = objc::NSURLSession::sessionWithConfiguration(configuration);
  auto task = session->downloadTaskWithURL(
      address, [suffix, completion](NSURL* location, objc::NSURLResponse*, NSError* error) {
        Id attachment;
        if (!error && location) {
          // The session deletes its temporary file once this returns, so it
          // is moved now; the platform judges the file by its extension.
          Ref<NSURL> destination = NSURL::fileURLWithPath(location->path()->stringByAppendingString(suffix));
          Ref<NSError> moveError;
          objc::NSFileManager* files = objc::NSFileManager::defaultManager();
          (void)files->moveItemAtURL(location, destination, &moveError);
          attachment = makeAttachment(destination);
          // An accepted file has moved into the platform's store; a refused
          // one (empty, too large, of an unknown type) would stay behind.
          if (!attachment) (void)files->removeItemAtURL(destination, nullptr);
        }
        objc::callBlock(completion.get(), attachment.get());
      });
  task->resume();
}

// ---- Removal and request identifiers ----

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
    Id center = localNotificationCenter();
    if (pending) objc::send<void>(center, objc::sel<"removeAllPendingNotificationRequests">());
    if (delivered) objc::send<void>(center, objc::sel<"removeAllDeliveredNotifications">());
    return;
  }

  if (!legacy) {
    Id center = localNotificationCenter();
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
