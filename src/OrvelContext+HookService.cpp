// The interception: at load time the application object's delegate setter
// and the notification centre's delegate setter are replaced; a host's
// application delegate is then switched to a generated subclass
// "Orvel_<class>" whose push callbacks reach the context first and the
// host's own implementations (kept under "OrvelApplication:..." selectors)
// afterwards.
#include <array>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "OrvelContext+Private.h"
#include "UIKit/UIKit.h"
#include "orvel/OrvelContext.h"
#include "orvel/OrvelHookTool.h"
#include "orvel/UIApplication+Orvel.h"

using objc::Class;
using objc::id;
using objc::IMP;
using objc::Ref;
using objc::SEL;
using orvel::detail::firstCallOnly;
using orvel::detail::handlerOf;
using orvel::detail::responds;

// Installs the interception once per process, from its static instance
// below, when the library is loaded.
struct OrvelHookServiceMain {
  OrvelHookServiceMain();
};

namespace {

// Routes the notification centre's delegate setter through the context, on
// systems that have the centre (from "10.0").
void hookNotificationCenter(Class registered) {
  Class center = objc::NSClassFromString("UNUserNotificationCenter");
  if (center != registered) return;
  OrvelHookTool::hookRawClassRawSEL(center, objc::NSSelectorFromString("setDelegate:"), OrvelContext::class_(),
                                    objc::NSSelectorFromString("orvelSetUNDelegate:"),
                                    objc::NSSelectorFromString("p_orvelSetUNDelegate:"));
}

}  // namespace

OrvelHookServiceMain::OrvelHookServiceMain() {
  static objc::dispatch_once_t onceToken;
  objc::dispatch_once(&onceToken, [] {
    // The category is attached from here rather than from its own file's
    // static initialiser, whose order against this one is not defined.
    UIApplicationOrvelAttachCategory();
    Class application = objc::UIApplication::class_();
    objc::Method platformSetter = objc::class_getInstanceMethod(application, objc::sel<"setDelegate:">());
    objc::Method orvelSetter = objc::class_getInstanceMethod(application, objc::sel<"orvelSetDelegate:">());
    if (platformSetter && orvelSetter) {
      IMP platformIMP = objc::method_getImplementation(platformSetter);
      IMP orvelIMP = objc::method_getImplementation(orvelSetter);
      objc::method_setImplementation(platformSetter, orvelIMP);
      objc::method_setImplementation(orvelSetter, platformIMP);
    }

    // The notification framework is reached by name only, and the loader
    // may initialise it after the library (a static link takes the
    // libraries' initialisers in link order). The runtime runs the hook as
    // soon as the centre class is registered: now, if it already is.
    objc::objc_whenClassRegistered("UNUserNotificationCenter", &hookNotificationCenter);
  });
}

namespace {

OrvelHookServiceMain orvelHookServiceMain;

// The intercepted callbacks and the backups of the host's implementations,
// resolved after the installation above; used only once a delegate has been
// hooked, which is always after load.
SEL orvelDidRegisterForRemoteNotificationsWithDeviceTokenSEL =
    objc::NSSelectorFromString("application:didRegisterForRemoteNotificationsWithDeviceToken:");
SEL orvelDidFailToRegisterForRemoteNotificationsWithErrorSEL =
    objc::NSSelectorFromString("application:didFailToRegisterForRemoteNotificationsWithError:");
SEL orvelDidReceiveRemoteNotificationSEL = objc::NSSelectorFromString("application:didReceiveRemoteNotification:");
SEL orvelDidReceiveLocalNotificationSEL = objc::NSSelectorFromString("application:didReceiveLocalNotification:");
SEL orvelFetchCompletionHandlerSEL =
    objc::NSSelectorFromString("application:didReceiveRemoteNotification:fetchCompletionHandler:");
SEL super_orvelDidRegisterForRemoteNotificationsWithDeviceTokenSEL =
    objc::NSSelectorFromString("OrvelApplication:didRegisterForRemoteNotificationsWithDeviceToken:");
SEL super_orvelDidFailToRegisterForRemoteNotificationsWithErrorSEL =
    objc::NSSelectorFromString("OrvelApplication:didFailToRegisterForRemoteNotificationsWithError:");
SEL super_orvelDidReceiveRemoteNotificationSEL =
    objc::NSSelectorFromString("OrvelApplication:didReceiveRemoteNotification:");
SEL super_orvelDidReceiveLocalNotificationSEL =
    objc::NSSelectorFromString("OrvelApplication:didReceiveLocalNotification:");
SEL super_orvelFetchCompletionHandlerSEL =
    objc::NSSelectorFromString("OrvelApplication:didReceiveRemoteNotification:fetchCompletionHandler:");

constexpr const char* kTwoObjectsEncoding = "v@:@@";
constexpr const char* kThreeObjectsEncoding = "v@:@@@";

OrvelContext* context() { return OrvelContext::currentContext(); }

// ---- Forwarding to the host ----

void SendRawOrvelDidReceiveRemoteNotificationIMP(id target, id application, id payload) {
  if (responds(target, super_orvelDidReceiveRemoteNotificationSEL)) {
    objc::send<void>(target, super_orvelDidReceiveRemoteNotificationSEL, application, payload);
  }
}

void SendRawOrvelDidReceiveLocalNotificationIMP(id target, id application, id notification) {
  if (responds(target, super_orvelDidReceiveLocalNotificationSEL)) {
    objc::send<void>(target, super_orvelDidReceiveLocalNotificationSEL, application, notification);
  }
}

void SendRawOrvelFetchCompletionHandlerIMP(id target, id application, id payload, id handler) {
  // The system terminates an application whose fetch completion handler runs
  // twice: the host's call or the library's after it, whichever comes first,
  // reaches the platform. An absent handler, or an object that is not a fetch
  // completion handler, is never called; the host then gets nil.
  Ref<OrvelFetchCompletionHandler> guarded = firstCallOnly(handlerOf<OrvelFetchCompletionHandler>(
      handler, "application:didReceiveRemoteNotification:fetchCompletionHandler:",
      "OrvelFetchCompletionHandler (objc::Block<void(objc::UIBackgroundFetchResult)>)"));

  if (responds(target, super_orvelFetchCompletionHandlerSEL)) {
    objc::send<void>(target, super_orvelFetchCompletionHandlerSEL, application, payload, guarded);
  } else {
    SendRawOrvelDidReceiveRemoteNotificationIMP(target, application, payload);
  }
  if (guarded) (*guarded)(objc::UIBackgroundFetchResultNewData);
}

// ---- The intercepting functions of the generated subclasses ----

// The callbacks being handled on this thread: which object, for which of the
// context's handlers. A host that forwards one callback to another (its fetch
// callback sending itself the plain one, to share code) comes back into an
// intercepting function for the same push; the context has had it already,
// so then only the host's own code runs. The context's forwarding of
// presentations and responses to the application delegate counts too.
class HandlingScope {
 public:
  HandlingScope(id receiver, SEL contextHandler) {
    for (const auto& [r, h] : handling_) nested_ |= r == receiver && h == contextHandler;
    if (!nested_) handling_.emplace_back(receiver, contextHandler);
  }
  ~HandlingScope() {
    if (!nested_) handling_.pop_back();
  }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;

  bool nested() const { return nested_; }

 private:
  static thread_local std::vector<std::pair<id, SEL>> handling_;
  bool nested_ = false;
};
thread_local std::vector<std::pair<id, SEL>> HandlingScope::handling_;

SEL tokenHandler() { return objc::sel<"didRegisterForRemoteNotificationsWithDeviceToken:">(); }
SEL failureHandler() { return objc::sel<"didFailToRegisterForRemoteNotificationsWithError:">(); }
SEL remoteHandler() { return objc::sel<"didReceiveRemoteNotification:">(); }
SEL localHandler() { return objc::sel<"didReceiveLocalNotification:">(); }

// The context first (unless an outer callback on this thread is handling the
// same object for it), then `forwardToHost`, within the same scope.
template <class Forward>
void handleThenForward(id receiver, SEL contextHandler, id argument, Forward&& forwardToHost) {
  HandlingScope scope(receiver, contextHandler);
  if (!scope.nested()) objc::send<void>(context(), contextHandler, argument);
  forwardToHost();
}

void OrvelDidRegisterForRemoteNotificationsWithDeviceTokenIMP(id self, SEL, id application, id deviceToken) {
  handleThenForward(self, tokenHandler(), deviceToken, [&] {
    if (responds(self, super_orvelDidRegisterForRemoteNotificationsWithDeviceTokenSEL)) {
      objc::send<void>(self, super_orvelDidRegisterForRemoteNotificationsWithDeviceTokenSEL, application, deviceToken);
    }
  });
}

void OrvelDidFailToRegisterForRemoteNotificationsWithErrorIMP(id self, SEL, id application, id error) {
  handleThenForward(self, failureHandler(), error, [&] {
    if (responds(self, super_orvelDidFailToRegisterForRemoteNotificationsWithErrorSEL)) {
      objc::send<void>(self, super_orvelDidFailToRegisterForRemoteNotificationsWithErrorSEL, application, error);
    }
  });
}

void OrvelDidReceiveRemoteNotificationIMP(id self, SEL, id application, id payload) {
  handleThenForward(self, remoteHandler(), payload,
                    [&] { SendRawOrvelDidReceiveRemoteNotificationIMP(self, application, payload); });
}

bool isClearBadgeCommand(id notification) {
  auto* local = objc::cast<objc::UILocalNotification>(notification);
  objc::NSDictionary* userInfo = local ? local->userInfo() : nullptr;
  objc::NSObject* flag = userInfo ? userInfo->objectForKey(OrvelCommandClearBadge) : nullptr;
  if (auto* number = objc::asNumber(flag)) return number->boolValue();
  if (auto* text = objc::asString(flag)) return text->boolValue();
  return false;
}

void OrvelDidReceiveLocalNotificationIMP(id self, SEL, id application, id notification) {
  // The library's own badge-clearing notification coming back: nobody sees it.
  if (isClearBadgeCommand(notification)) return;
  handleThenForward(self, localHandler(), notification,
                    [&] { SendRawOrvelDidReceiveLocalNotificationIMP(self, application, notification); });
}

void OrvelFetchCompletionHandlerIMP(id self, SEL, id application, id payload, id handler) {
  // The same context handler as the plain callback; the completion handler
  // is the host's and the library's business only.
  handleThenForward(self, remoteHandler(), payload,
                    [&] { SendRawOrvelFetchCompletionHandlerIMP(self, application, payload, handler); });
}

struct Interception {
  SEL callback;
  SEL backup;
  IMP function;
  const char* types;
};

// In the order device token, registration failure, remote notification,
// local notification, remote notification with completion handler.
const std::array<Interception, 5>& interceptions() {
  static const std::array<Interception, 5> table{{
      {orvelDidRegisterForRemoteNotificationsWithDeviceTokenSEL,
       super_orvelDidRegisterForRemoteNotificationsWithDeviceTokenSEL,
       reinterpret_cast<IMP>(&OrvelDidRegisterForRemoteNotificationsWithDeviceTokenIMP), kTwoObjectsEncoding},
      {orvelDidFailToRegisterForRemoteNotificationsWithErrorSEL,
       super_orvelDidFailToRegisterForRemoteNotificationsWithErrorSEL,
       reinterpret_cast<IMP>(&OrvelDidFailToRegisterForRemoteNotificationsWithErrorIMP), kTwoObjectsEncoding},
      {orvelDidReceiveRemoteNotificationSEL, super_orvelDidReceiveRemoteNotificationSEL,
       reinterpret_cast<IMP>(&OrvelDidReceiveRemoteNotificationIMP), kTwoObjectsEncoding},
      {orvelDidReceiveLocalNotificationSEL, super_orvelDidReceiveLocalNotificationSEL,
       reinterpret_cast<IMP>(&OrvelDidReceiveLocalNotificationIMP), kTwoObjectsEncoding},
      {orvelFetchCompletionHandlerSEL, super_orvelFetchCompletionHandlerSEL,
       reinterpret_cast<IMP>(&OrvelFetchCompletionHandlerIMP), kThreeObjectsEncoding},
  }};
  return table;
}

bool isInterceptingFunction(IMP imp) {
  for (const Interception& i : interceptions())
    if (imp == i.function) return true;
  return false;
}

// Whether instances of `cls` already reach the library's intercepting
// functions: `cls` or one of its superclasses is a generated class.
bool answersWithInterceptingFunctions(Class cls) {
  for (const Interception& i : interceptions())
    if (objc::class_getMethodImplementation(cls, i.callback) == i.function) return true;
  return false;
}

// A delegate the library cannot hook hears of its push callbacks only from
// the system, and the library hears nothing: said once per class, in one
// line, so that a host installing many such delegates is not flooded.
void reportUnhookable(Class cls, const std::string& why) {
  static std::mutex lock;
  static std::set<Class> reported;
  {
    std::lock_guard<std::mutex> guard(lock);
    if (!reported.insert(cls).second) return;
  }
  objc::NSLog(
      "Orvel: the application delegate of class %s is not hooked, so the library hears none of its push "
      "callbacks: %s.",
      objc::class_getName(cls), why);
}

}  // namespace

// ---- Notification-centre delegate ----

void OrvelContext::orvelSetUNDelegate(id self, SEL, id delegate) {
  OrvelContext* ctx = context();
  // The centre's real delegate is always the context. The platform's setter
  // (now under "orvelSetUNDelegate:") is needed only while no host delegate
  // is held.
  if (!objc::send<objc::Id>(ctx, objc::sel<"unDelegate">())) {
    objc::send<void>(self, objc::sel<"orvelSetUNDelegate:">(), static_cast<id>(ctx));
  }
  objc::send<void>(ctx, objc::sel<"setUnDelegate:">(), delegate);
}

void OrvelContext::p_orvelSetUNDelegate(id, SEL, id) {}

void OrvelContext::setUnDelegate(NSObject* delegate) {
  if (!delegate || delegate == currentContext()) return;
  unDelegate_.store(delegate);
}

// ---- Forwarding for other parts of the library ----

// The context has handled these notifications already: a host callback that
// hands them on to another of its callbacks does not bring them back.

void OrvelContext::PublicSendRawOrvelDidReceiveLocalNotification(NSObject* target, NSObject* application,
                                                                 NSObject* notification) {
  HandlingScope scope(target, localHandler());
  SendRawOrvelDidReceiveLocalNotificationIMP(target, application, notification);
}

void OrvelContext::PublicSendRawOrvelDidReceiveRemoteNotification(NSObject* target, NSObject* application,
                                                                  NSObject* payload, NSObject* completionHandler) {
  HandlingScope scope(target, remoteHandler());
  SendRawOrvelFetchCompletionHandlerIMP(target, application, payload, completionHandler);
}

// ---- Application delegate ----

void OrvelContext::hookApplicationDelegate(NSObject* delegate) {
  if (!delegate) return;
  Class hostClass = objc::object_getClass(delegate);
  if (objc::class_isMetaClass(hostClass)) {
    reportUnhookable(hostClass, "it is the class object itself, not an instance; install an instance of the class");
    return;
  }
  objc::Protocol protocol = objc::NSProtocolFromString("UIApplicationDelegate");
  if (!protocol) {
    reportUnhookable(hostClass, "the system has no protocol UIApplicationDelegate");
    return;
  }
  if (!objc::send<bool>(delegate, objc::sel<"conformsToProtocol:">(), protocol)) {
    reportUnhookable(hostClass,
                     "its class does not declare the protocol UIApplicationDelegate; declare it (with "
                     "ClassBuilder's .conforms(\"UIApplicationDelegate\"))");
    return;
  }
  // Hooked already, also when something has since given the object a class
  // of its own below the generated one (as key-value observing does).
  if (answersWithInterceptingFunctions(hostClass)) return;

  Ref<objc::NSString> hostName = objc::NSStringFromClass(hostClass);
  if (hostName->hasPrefix("Orvel_")) {
    reportUnhookable(hostClass,
                     "the prefix \"Orvel_\" is kept for the classes the library generates; rename the class");
    return;
  }
  std::string subclassName = "Orvel_" + hostName->utf8();
  Class subclass = objc::objc_getClass(subclassName);
  if (!subclass) {
    subclass = objc::objc_allocateClassPair(hostClass, subclassName, 0);
    if (!subclass) {
      reportUnhookable(hostClass, "the runtime refused to create its subclass \"" + subclassName + "\"");
      return;
    }
    objc::objc_registerClassPair(subclass);
    objc::send<void>(this, objc::sel<"backupsImpWithSuperclass:Subclass:">(), hostClass, subclass);
    objc::send<void>(this, objc::sel<"hookAddMethodWithSubclass:">(), subclass);
    objc::object_setClass(delegate, subclass);
    return;
  }
  // A class of that name that is not the generated subclass of this class
  // (a host class that happens to be called so) would give the object
  // methods and storage of another class.
  if (objc::class_getSuperclass(subclass) != hostClass) {
    reportUnhookable(hostClass, "a class named \"" + subclassName +
                                    "\", which the library would generate for it, exists already; rename "
                                    "one of the two classes");
    return;
  }
  objc::object_setClass(delegate, subclass);
}

void OrvelContext::backupsImpWithSuperclass(Class superclass, Class subclass) {
  for (const Interception& i : interceptions()) {
    if (!objc::send<bool>(superclass, objc::sel<"instancesRespondToSelector:">(), i.callback)) continue;
    IMP host = objc::send<IMP>(superclass, objc::sel<"instanceMethodForSelector:">(), i.callback);
    // The library's own function is no host code: kept as a backup, it would
    // call itself through the context without end.
    if (isInterceptingFunction(host)) continue;
    objc::class_addMethod(subclass, i.backup, host, i.types);
  }
}

void OrvelContext::hookAddMethodWithSubclass(Class subclass) {
  for (const Interception& i : interceptions()) {
    if (OrvelHookTool::hasMethodWithClass(subclass, i.callback)) continue;
    objc::class_addMethod(subclass, i.callback, i.function, i.types);
  }
}
