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
            // Registration, presentation, responses, local notifications,
            // attachments and removal: register each here, under its
            // selector from OrvelContext.h, once it is defined.
            .method<&C::didRegisterForRemoteNotificationsWithDeviceToken>(
                "didRegisterForRemoteNotificationsWithDeviceToken:")
            .method<&C::didFailToRegisterForRemoteNotificationsWithError>(
                "didFailToRegisterForRemoteNotificationsWithError:")
            .method<&C::didReceiveRemoteNotification>("didReceiveRemoteNotification:")
            .method<&C::didReceiveLocalNotification>("didReceiveLocalNotification:")
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
