#include "UIKit/UIApplication.h"

#include <algorithm>

#include "UIKit/UIApplication+System.h"

namespace objc {

namespace {
// The behaviour without a device.
UIApplicationSystem& defaultSystem() {
  static UIApplicationSystem* s = new UIApplicationSystem;
  return *s;
}

void tellDelegate(UIApplication* app, SEL selector, NSObject* argument) {
  Ref<NSObject> delegate = app->delegate();
  if (delegate && delegate->respondsToSelector(selector)) send<void>(delegate.get(), selector, app, argument);
}
}  // namespace

// ---- the system's default behaviour ----

void UIApplicationSystem::remoteRegistrationRequested(UIApplication*) {}

void UIApplicationSystem::userNotificationSettingsRegistered(UIApplication* app,
                                                             UIUserNotificationSettings* requested) {
  app->answerUserNotificationSettings(requested);
}

void UIApplicationSystem::localNotificationPresented(UIApplication* app, UILocalNotification* notification) {
  dispatch_async(dispatch_get_main_queue(),
                 [app, n = Ref<UILocalNotification>(notification)] { app->deliverLocalNotification(n); });
}

void UIApplicationSystem::localNotificationScheduled(UIApplication*, UILocalNotification*) {}
void UIApplicationSystem::localNotificationCancelled(UIApplication*, UILocalNotification*) {}
void UIApplicationSystem::badgeWritten(UIApplication*, int64_t) {}
void UIApplicationSystem::noticesChanged(UIApplication*) {}

// ---- the application object ----

Class UIApplication::class_() {
  static Class c = ClassBuilder<UIApplication>("UIApplication")
                       .method<&UIApplication::delegate>("delegate")
                       .method<&UIApplication::storeDelegate>("setDelegate:")
                       .method<&UIApplication::applicationState>("applicationState")
                       .method<&UIApplication::applicationIconBadgeNumber>("applicationIconBadgeNumber")
                       .method<&UIApplication::setApplicationIconBadgeNumber>("setApplicationIconBadgeNumber:")
                       .method<&UIApplication::registerForRemoteNotifications>("registerForRemoteNotifications")
                       .method<&UIApplication::isRegisteredForRemoteNotifications>("isRegisteredForRemoteNotifications")
                       .method<&UIApplication::registerUserNotificationSettings>("registerUserNotificationSettings:")
                       .method<&UIApplication::currentUserNotificationSettings>("currentUserNotificationSettings")
                       .method<&UIApplication::presentLocalNotificationNow>("presentLocalNotificationNow:")
                       .method<&UIApplication::scheduleLocalNotification>("scheduleLocalNotification:")
                       .method<&UIApplication::scheduledLocalNotifications>("scheduledLocalNotifications")
                       .method<&UIApplication::cancelLocalNotification>("cancelLocalNotification:")
                       .method<&UIApplication::cancelAllLocalNotifications>("cancelAllLocalNotifications")
                       .classMethod("sharedApplication", [](Class, SEL) -> Id { return sharedApplication(); })
                       .build();
  return c;
}

UIApplication* UIApplication::sharedApplication() {
  static UIApplication* app = [] {
    UIApplication* p = make<UIApplication>().detach();
    p->makeImmortal();
    return p;
  }();
  return app;
}

Ref<NSObject> UIApplication::delegate() const { return delegate_.load(); }

void UIApplication::setDelegate(NSObject* delegate) { send<void>(this, sel<"setDelegate:">(), delegate); }

void UIApplication::storeDelegate(NSObject* delegate) { delegate_.store(delegate); }

UIApplicationState UIApplication::applicationState() const {
  std::lock_guard<std::mutex> g(lock_);
  return state_;
}

void UIApplication::setApplicationState(UIApplicationState state) {
  std::lock_guard<std::mutex> g(lock_);
  state_ = state;
}

void UIApplication::setSystem(std::shared_ptr<UIApplicationSystem> system) {
  std::lock_guard<std::mutex> g(lock_);
  system_ = std::move(system);
}

std::shared_ptr<UIApplicationSystem> UIApplication::system() const {
  std::lock_guard<std::mutex> g(lock_);
  return system_;
}

// The attached system, kept alive for the duration of one hook call.
#define UIAPP_SYSTEM_CALL(call)                                      \
  do {                                                               \
    std::shared_ptr<UIApplicationSystem> attached = system();        \
    UIApplicationSystem& s = attached ? *attached : defaultSystem(); \
    s.call;                                                          \
  } while (0)

// ---- badge and notice bar ----

int64_t UIApplication::applicationIconBadgeNumber() const {
  std::lock_guard<std::mutex> g(lock_);
  return badge_;
}

void UIApplication::setApplicationIconBadgeNumber(int64_t number) { writeBadge(number); }

void UIApplication::writeBadge(int64_t number) {
  {
    std::lock_guard<std::mutex> g(lock_);
    badge_ = number;
  }
  UIAPP_SYSTEM_CALL(badgeWritten(this, number));
  if (number == 0) clearNoticeBar();
}

void UIApplication::clearNoticeBar() {
  removeAllNotices();
  std::vector<std::function<void()>> handlers;
  {
    std::lock_guard<std::mutex> g(lock_);
    handlers = noticeBarClearHandlers_;
  }
  for (auto& h : handlers) h();
}

std::vector<Id> UIApplication::notices() const {
  std::lock_guard<std::mutex> g(lock_);
  return notices_;
}

void UIApplication::addNotice(NSObject* notice) {
  if (!notice) return;
  {
    std::lock_guard<std::mutex> g(lock_);
    notices_.emplace_back(notice);
  }
  UIAPP_SYSTEM_CALL(noticesChanged(this));
}

bool UIApplication::removeNotice(NSObject* notice) {
  {
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find_if(notices_.begin(), notices_.end(), [&](const Id& n) { return n.get() == notice; });
    if (it == notices_.end()) return false;
    notices_.erase(it);
  }
  UIAPP_SYSTEM_CALL(noticesChanged(this));
  return true;
}

void UIApplication::removeAllNotices() {
  std::vector<Id> removed;
  {
    std::lock_guard<std::mutex> g(lock_);
    removed.swap(notices_);
  }
  if (!removed.empty()) UIAPP_SYSTEM_CALL(noticesChanged(this));
}

void UIApplication::addNoticeBarClearHandler(std::function<void()> handler) {
  if (!handler) return;
  std::lock_guard<std::mutex> g(lock_);
  noticeBarClearHandlers_.push_back(std::move(handler));
}

// ---- registration ----

void UIApplication::registerForRemoteNotifications() { UIAPP_SYSTEM_CALL(remoteRegistrationRequested(this)); }

bool UIApplication::isRegisteredForRemoteNotifications() const {
  std::lock_guard<std::mutex> g(lock_);
  return registeredForRemote_;
}

void UIApplication::setRegisteredForRemoteNotifications(bool registered) {
  std::lock_guard<std::mutex> g(lock_);
  registeredForRemote_ = registered;
}

void UIApplication::registerUserNotificationSettings(UIUserNotificationSettings* settings) {
  if (!settings) return;
  UIAPP_SYSTEM_CALL(userNotificationSettingsRegistered(this, settings));
}

Ref<UIUserNotificationSettings> UIApplication::currentUserNotificationSettings() const {
  {
    std::lock_guard<std::mutex> g(lock_);
    if (settings_) return settings_;
  }
  return UIUserNotificationSettings::settingsForTypes(UIUserNotificationTypeNone, nullptr);
}

void UIApplication::setCurrentUserNotificationSettings(UIUserNotificationSettings* settings) {
  std::lock_guard<std::mutex> g(lock_);
  settings_ = settings;
}

void UIApplication::answerUserNotificationSettings(UIUserNotificationSettings* granted) {
  Ref<UIUserNotificationSettings> settings =
      granted ? Ref<UIUserNotificationSettings>(granted)
              : UIUserNotificationSettings::settingsForTypes(UIUserNotificationTypeNone, nullptr);
  {
    std::lock_guard<std::mutex> g(lock_);
    settings_ = settings;
  }
  dispatch_async(dispatch_get_main_queue(), [this, settings] {
    tellDelegate(this, sel<"application:didRegisterUserNotificationSettings:">(), settings.get());
  });
}

// ---- legacy local notifications ----

void UIApplication::presentLocalNotificationNow(UILocalNotification* notification) {
  if (!notification) return;
  auto own = cast<UILocalNotification>(notification->copy());
  UIAPP_SYSTEM_CALL(localNotificationPresented(this, own.get()));
}

void UIApplication::deliverLocalNotification(UILocalNotification* notification) {
  if (!notification) return;
  if (applicationState() == UIApplicationStateActive) {
    tellDelegate(this, sel<"application:didReceiveLocalNotification:">(), notification);
    return;
  }
  if (notification->applicationIconBadgeNumber() != 0) writeBadge(notification->applicationIconBadgeNumber());
  addNotice(notification);
}

void UIApplication::scheduleLocalNotification(UILocalNotification* notification) {
  if (!notification) return;
  auto entry = cast<UILocalNotification>(notification->copy());
  {
    std::lock_guard<std::mutex> g(lock_);
    entry->scheduleToken_ = nextScheduleToken_++;
    scheduled_.push_back(entry);
  }
  UIAPP_SYSTEM_CALL(localNotificationScheduled(this, entry.get()));
}

Ref<NSArray> UIApplication::scheduledLocalNotifications() const {
  std::vector<Id> copies;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (const auto& n : scheduled_) copies.push_back(n->copy());
  }
  return make<NSArray>(std::move(copies));
}

std::vector<Ref<UILocalNotification>> UIApplication::scheduledEntries() const {
  std::lock_guard<std::mutex> g(lock_);
  return scheduled_;
}

bool UIApplication::removeScheduledEntry(UILocalNotification* entry) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = std::find_if(scheduled_.begin(), scheduled_.end(), [&](const auto& n) { return n.get() == entry; });
  if (it == scheduled_.end()) return false;
  scheduled_.erase(it);
  return true;
}

void UIApplication::cancelLocalNotification(UILocalNotification* notification) {
  if (!notification) return;
  Ref<UILocalNotification> entry;
  bool dismissed = false;
  {
    std::lock_guard<std::mutex> g(lock_);
    // A notification that came from the list names its entry, and nothing
    // else: once that entry is gone, cancelling it again cancels nothing.
    uint64_t token = notification->scheduleToken_;
    auto it = token != 0 ? std::find_if(scheduled_.begin(), scheduled_.end(),
                                        [&](const auto& n) { return n->scheduleToken_ == token; })
                         : std::find_if(scheduled_.begin(), scheduled_.end(),
                                        [&](const auto& n) { return n->hasSameFields(notification); });
    if (it != scheduled_.end()) {
      entry = *it;
      token = entry->scheduleToken_;
      scheduled_.erase(it);
    }
    // A notice of it that is showing is dismissed as well.
    auto shown = std::find_if(notices_.begin(), notices_.end(), [&](const Id& n) {
      auto* ln = cast<UILocalNotification>(n.get());
      return token != 0 && ln && ln->scheduleToken_ == token;
    });
    if (shown != notices_.end()) {
      notices_.erase(shown);
      dismissed = true;
    }
  }
  if (entry) UIAPP_SYSTEM_CALL(localNotificationCancelled(this, entry.get()));
  if (dismissed) UIAPP_SYSTEM_CALL(noticesChanged(this));
}

void UIApplication::cancelAllLocalNotifications() {
  std::vector<Ref<UILocalNotification>> cancelled;
  {
    std::lock_guard<std::mutex> g(lock_);
    cancelled.swap(scheduled_);
  }
  for (const auto& n : cancelled) UIAPP_SYSTEM_CALL(localNotificationCancelled(this, n.get()));
}

#undef UIAPP_SYSTEM_CALL

}  // namespace objc
