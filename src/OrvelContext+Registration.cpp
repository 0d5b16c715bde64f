// Registration and authorisation: asking the user for permission, registering
// for remote notifications (the token or the failure comes back as a delivery
// event) and reading the authorisation status.
//
// The notification framework is never named at build time: its classes are
// looked up by name and every property of its objects is read by sending the
// property's name, so the library runs, and builds, without it.
#include "OrvelContext+Private.h"

using objc::Id;
using objc::NSObject;
using objc::Ref;
using objc::UIApplication;
using orvel::detail::currentNotificationCenter;
using orvel::detail::handlerOf;
using orvel::detail::systemBelow;

namespace {

int64_t authorizationStatusOf(NSObject* settings) {
  return objc::send<int64_t>(settings, objc::sel<"authorizationStatus">());
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
  Ref<OrvelAuthorizationStatusHandler> statusHandler(handlerOf<OrvelAuthorizationStatusHandler>(
      handler,
      "requestNotificationAuthorizationStatus:", "OrvelAuthorizationStatusHandler (objc::Block<void(int64_t)>)"));
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