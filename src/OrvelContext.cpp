// The context's class, its singleton, its lifecycle and what its other
// files share. The operations live in one file per concern:
// OrvelContext+Registration, +Delivery, +Presentation, +Responses,
// +LocalNotifications, +Attachments, +Removal, +Other and +HookService.
#include "orvel/OrvelContext.h"

#include <cxxabi.h>

#include <cstdlib>
#include <limits>
#include <memory>
#include <typeinfo>

#include "OrvelContext+Private.h"

using objc::Id;
using objc::NSDictionary;
using objc::NSNotificationCenter;
using objc::NSObject;
using objc::NSString;
using objc::Ref;
using objc::UIApplication;
using objc::UILocalNotification;
using orvel::detail::systemBelow;

namespace {

[[maybe_unused]] const objc::Class gRegistered = OrvelContext::class_();

// The process-wide slot: holds the context strongly and is never cleared, so
// the context is never destroyed (not even by static destruction at exit).
OrvelContext* gCurrentContext = nullptr;
objc::dispatch_once_t gCurrentContextOnce;

}  // namespace

namespace orvel::detail {

void lowerBadgeByOne(OrvelContext* context) {
  int64_t badge = UIApplication::sharedApplication()->applicationIconBadgeNumber();
  // Saturating: the lowest number cannot be lowered (and is no badge to clear).
  int64_t lowered = badge == std::numeric_limits<int64_t>::min() ? badge : badge - 1;
  objc::send<void>(context, objc::sel<"setBadge:">(), lowered);
}

void postOnMainQueue(NSString* name, Id object, Ref<NSDictionary> userInfo) {
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

void reportWrongHandler(NSObject* given, const char* operation, const char* expected) {
  // The C++ type names the block's signature, which its run-time class
  // ("NSBlock") does not.
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(typeid(*given).name(), nullptr, nullptr, &status), std::free);
  objc::NSLog(
      "Orvel: %s was given a handler of type %s, not the %s it takes; it is treated as absent and never "
      "called.",
      operation, demangled ? demangled.get() : typeid(*given).name(), expected);
}

Id currentNotificationCenter() {
  objc::Class centerClass = objc::NSClassFromString("UNUserNotificationCenter");
  if (!centerClass) return nullptr;
  return objc::send<Id>(centerClass, objc::sel<"currentNotificationCenter">());
}

bool responds(NSObject* object, objc::SEL selector) {
  return objc::send<bool>(object, objc::sel<"respondsToSelector:">(), selector);
}

bool isKindOfClassNamed(NSObject* object, std::string_view className) {
  objc::Class cls = objc::NSClassFromString(className);
  return cls && objc::send<bool>(object, objc::sel<"isKindOfClass:">(), cls);
}

}  // namespace orvel::detail

objc::Class OrvelContext::class_() {
  using C = OrvelContext;
  static objc::Class c = [] {
    objc::Class cls =
        objc::ClassBuilder<C>("OrvelContext")
            .classMethod("currentContext", [](objc::Class, objc::SEL) -> Id { return C::currentContext(); })
            // Lifecycle.
            .method<&C::addObserver>("addObserver")
            .method<&C::applicationDidFinishLaunching>("applicationDidFinishLaunching:")
            .method<&C::applicationDidEnterBackground>("applicationDidEnterBackground")
            .method<&C::applicationWillEnterForeground>("applicationWillEnterForeground")
            .method<&C::applicationWillTerminateNotification>("applicationWillTerminateNotification")
            .method<&C::setApplicationDelegate>("setApplicationDelegate:")
            // Fields.
            .method<&C::applicationDelegate>("applicationDelegate")
            .method<&C::appDelegates>("appDelegates")
            .method<&C::setAppDelegates>("setAppDelegates:")
            .method<&C::unDelegate>("unDelegate")
            .method<&C::configuration>("configuration")
            .method<&C::setConfiguration>("setConfiguration:")
            .method<&C::foregroundType>("foregroundType")
            .method<&C::setForegroundType>("setForegroundType:")
            // Registration.
            .method<&C::registerForRemoteNotification>("registerForRemoteNotification:")
            .method<&C::requestNotificationAuthorizationStatus>("requestNotificationAuthorizationStatus:")
            .method<&C::_registerForRemoteNotification>("_registerForRemoteNotification")
            // Delivery.
            .method<&C::didRegisterForRemoteNotificationsWithDeviceToken>(
                "didRegisterForRemoteNotificationsWithDeviceToken:")
            .method<&C::didFailToRegisterForRemoteNotificationsWithError>(
                "didFailToRegisterForRemoteNotificationsWithError:")
            .method<&C::didReceiveRemoteNotification>("didReceiveRemoteNotification:")
            .method<&C::didReceiveLocalNotification>("didReceiveLocalNotification:")
            // Presentation and responses.
            .method<&C::userNotificationCenterWillPresentNotification>(
                "userNotificationCenter:willPresentNotification:withCompletionHandler:")
            .method<&C::userNotificationCenterDidReceiveNotificationResponse>(
                "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:")
            .method<&C::userNotificationCenterOpenSettingsForNotification>(
                "userNotificationCenter:openSettingsForNotification:")
            // Local notifications.
            .method<&C::addLocalNotification>("addLocalNotification:handler:")
            .method<&C::_addLocalNotification>("_addLocalNotification:handler:")
            .method<&C::_requestWithIdentifier>("_requestWithIdentifier:content:trigger:result:")
            // Attachments.
            .method<&C::_handleNotificationServiceRequestUrl>(
                "_handleNotificationServiceRequestUrl:withAttachmentsComplete:")
            .method<&C::_loadAttachmentForUrlString>("_loadAttachmentForUrlString:withType:completionHandle:")
            // Removal and request identifiers.
            .method<&C::removeNotificationWithIdentifiers>("removeNotificationWithIdentifiers:requestStatuses:")
            .method<&C::_removeNotificationWithIdentifiers>("_removeNotificationWithIdentifiers:requestStatuses:")
            .method<&C::_randomRequestIdentifier>("_randomRequestIdentifier")
            // Category Other.
            .method<&C::setBadge>("setBadge:")
            // Category HookService.
            .method<&C::setUnDelegate>("setUnDelegate:")
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
