#include "UserNotifications/UNUserNotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <string>

#include "Framework.h"
#include "UIKit/UIApplication.h"
#include "UserNotifications/UNUserNotificationCenter+System.h"

namespace objc {

namespace {

thread_local bool tOnCompletionQueue = false;

// The behaviour without a device.
UNUserNotificationCenterSystem& defaultSystem() {
  static UNUserNotificationCenterSystem* s = new UNUserNotificationCenterSystem;
  return *s;
}

bool isGranted(UNAuthorizationStatus status) {
  return status == UNAuthorizationStatusAuthorized || status == UNAuthorizationStatusProvisional;
}

// The identifiers of a removal call, as strings; other elements are skipped.
std::vector<Ref<NSString>> identifierList(NSArray* identifiers) {
  std::vector<Ref<NSString>> out;
  if (!identifiers) return out;
  for (const Id& v : *identifiers)
    if (auto* s = asString(v.get())) out.emplace_back(s);
  return out;
}

bool listed(const std::vector<Ref<NSString>>& ids, const NSString* identifier) {
  return std::any_of(ids.begin(), ids.end(), [&](const Ref<NSString>& s) { return s->isEqual(identifier); });
}

// A delivered notification's place in the index: its request identifier.
const std::string& deliveredKey(UNNotification* notification) { return notification->request()->identifier()->utf8(); }

}  // namespace

// ---- the system's default behaviour ----

void UNUserNotificationCenterSystem::authorizationRequested(UNAuthorizationOptions,
                                                            std::function<void(bool granted)> answer) {
  answer(true);
}
void UNUserNotificationCenterSystem::pendingRequestAdded(UNNotificationRequest*) {}
void UNUserNotificationCenterSystem::pendingRequestRemoved(UNNotificationRequest*, UNPendingRemoval) {}
void UNUserNotificationCenterSystem::deliveredNotificationAdded(UNNotification*) {}
void UNUserNotificationCenterSystem::deliveredNotificationRemoved(UNNotification*) {}
void UNUserNotificationCenterSystem::delegateChanged(NSObject*) {}

// ---- the centre ----

Class UNUserNotificationCenter::class_() {
  using C = UNUserNotificationCenter;
  static Class c = un::gated(
      ClassBuilder<C>("UNUserNotificationCenter")
          .method<&C::delegate>("delegate")
          .method<&C::storeDelegate>("setDelegate:")
          .method<&C::getNotificationSettingsWithCompletionHandler>("getNotificationSettingsWithCompletionHandler:")
          .method<&C::requestAuthorizationWithOptions>("requestAuthorizationWithOptions:completionHandler:")
          .method<&C::addNotificationRequest>("addNotificationRequest:withCompletionHandler:")
          .method<&C::removePendingNotificationRequestsWithIdentifiers>(
              "removePendingNotificationRequestsWithIdentifiers:")
          .method<&C::removeDeliveredNotificationsWithIdentifiers>("removeDeliveredNotificationsWithIdentifiers:")
          .method<&C::removeAllPendingNotificationRequests>("removeAllPendingNotificationRequests")
          .method<&C::removeAllDeliveredNotifications>("removeAllDeliveredNotifications")
          .method<&C::getPendingNotificationRequestsWithCompletionHandler>(
              "getPendingNotificationRequestsWithCompletionHandler:")
          .method<&C::getDeliveredNotificationsWithCompletionHandler>("getDeliveredNotificationsWithCompletionHandler:")
          .classMethod("currentNotificationCenter", [](Class, SEL) -> Id { return currentNotificationCenter(); })
          .build());
  return c;
}

UNUserNotificationCenter::UNUserNotificationCenter() : queue_(dispatch_queue_create("UserNotifications.completions")) {}

UNUserNotificationCenter* UNUserNotificationCenter::currentNotificationCenter() {
  static UNUserNotificationCenter* center = [] {
    UNUserNotificationCenter* p = make<UNUserNotificationCenter>().detach();
    p->makeImmortal();
    // Setting the badge to 0 clears the application's notices, and the
    // delivered notifications are those notices.
    UIApplication::sharedApplication()->addNoticeBarClearHandler([p] { p->removeAllDeliveredNotifications(); });
    return p;
  }();
  return center;
}

void UNUserNotificationCenter::setSystem(std::shared_ptr<UNUserNotificationCenterSystem> system) {
  std::lock_guard<std::mutex> g(lock_);
  system_ = std::move(system);
}

std::shared_ptr<UNUserNotificationCenterSystem> UNUserNotificationCenter::system() const {
  std::lock_guard<std::mutex> g(lock_);
  return system_;
}

// The attached system, kept alive for the duration of one hook call.
#define UN_SYSTEM_CALL(call)                                                    \
  do {                                                                          \
    std::shared_ptr<UNUserNotificationCenterSystem> attached = system();        \
    UNUserNotificationCenterSystem& s = attached ? *attached : defaultSystem(); \
    s.call;                                                                     \
  } while (0)

bool UNUserNotificationCenter::isOnCompletionQueue() { return tOnCompletionQueue; }

void UNUserNotificationCenter::complete(std::function<void()> work) {
  dispatch_async(queue_.get(), [work = std::move(work)] {
    struct Scope {
      Scope() { tOnCompletionQueue = true; }
      ~Scope() { tOnCompletionQueue = false; }
    } scope;
    work();
  });
}

// ---- delegate ----

Ref<NSObject> UNUserNotificationCenter::delegate() const { return delegate_.load(); }

void UNUserNotificationCenter::setDelegate(NSObject* delegate) { send<void>(this, sel<"setDelegate:">(), delegate); }

void UNUserNotificationCenter::storeDelegate(NSObject* delegate) {
  delegate_.store(delegate);
  UN_SYSTEM_CALL(delegateChanged(delegate));
}

// ---- authorisation ----

UNAuthorizationStatus UNUserNotificationCenter::authorizationStatus() const {
  std::lock_guard<std::mutex> g(lock_);
  return status_;
}

UNAuthorizationOptions UNUserNotificationCenter::grantedOptions() const {
  std::lock_guard<std::mutex> g(lock_);
  return granted_;
}

void UNUserNotificationCenter::setAuthorizationStatus(UNAuthorizationStatus status, UNAuthorizationOptions granted) {
  std::lock_guard<std::mutex> g(lock_);
  status_ = status;
  granted_ = isGranted(status) ? granted : 0;
}

Ref<UNNotificationSettings> UNUserNotificationCenter::currentSettings() const {
  std::lock_guard<std::mutex> g(lock_);
  return UNNotificationSettings::settingsWithStatus(status_, granted_);
}

void UNUserNotificationCenter::getNotificationSettingsWithCompletionHandler(UNNotificationSettingsHandler* completion) {
  Ref<UNNotificationSettings> settings = currentSettings();
  complete([completion = Ref<UNNotificationSettingsHandler>(completion), settings] {
    callBlock(completion.get(), settings.get());
  });
}

void UNUserNotificationCenter::requestAuthorizationWithOptions(UNAuthorizationOptions options,
                                                               UNAuthorizationHandler* completion) {
  complete([this, options, completion = Ref<UNAuthorizationHandler>(completion)] {
    {
      std::unique_lock<std::mutex> g(lock_);
      if (status_ != UNAuthorizationStatusNotDetermined) {
        bool granted = isGranted(status_);
        g.unlock();
        callBlock(completion.get(), granted, nullptr);
        return;
      }
      // The user is asked once; requests made meanwhile wait for that answer.
      waiting_.push_back({options, completion});
      if (prompting_) return;
      prompting_ = true;
    }
    auto answered = std::make_shared<std::atomic<bool>>(false);
    UN_SYSTEM_CALL(authorizationRequested(options, [this, options, answered](bool granted) {
      if (!answered->exchange(true)) answerAuthorization(options, granted);
    }));
  });
}

void UNUserNotificationCenter::answerAuthorization(UNAuthorizationOptions options, bool granted) {
  std::vector<Waiter> waiting;
  {
    std::lock_guard<std::mutex> g(lock_);
    status_ = granted ? UNAuthorizationStatusAuthorized : UNAuthorizationStatusDenied;
    granted_ = granted ? options : 0;
    prompting_ = false;
    waiting.swap(waiting_);
  }
  for (auto& w : waiting) {
    complete([completion = std::move(w.completion), granted] { callBlock(completion.get(), granted, nullptr); });
  }
}

// ---- pending requests ----

void UNUserNotificationCenter::addNotificationRequest(UNNotificationRequest* request, UNErrorHandler* completion) {
  if (!request) throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: request != nil");
  Ref<NSError> error;
  if (authorizationStatus() == UNAuthorizationStatusDenied) {
    error = NSError::errorWithDomain(
        UNErrorDomain, UNErrorCodeNotificationsNotAllowed,
        NSDictionary::dictionaryWithEntries(
            {{str(NSLocalizedDescriptionKey), str("Notifications are not allowed for this application")}}));
  } else {
    insertPending(request);
  }
  complete([completion = Ref<UNErrorHandler>(completion), error] { callBlock(completion.get(), error.get()); });
}

void UNUserNotificationCenter::insertPending(Ref<UNNotificationRequest> request) {
  std::vector<Ref<UNNotificationRequest>> replaced, dropped;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto same = std::find_if(pending_.begin(), pending_.end(), [&](const PendingRequest& p) {
      return p.request->identifier()->isEqual(request->identifier());
    });
    if (same != pending_.end()) {
      replaced.push_back(same->request);
      pending_.erase(same);
    }
    double now = currentTime();
    UNNotificationTrigger* trigger = request->trigger();
    pending_.push_back({request, now, trigger ? trigger->fireTimeAfter(now) : now});
    std::stable_sort(pending_.begin(), pending_.end(),
                     [](const PendingRequest& a, const PendingRequest& b) { return a.fireTime < b.fireTime; });
    while (pending_.size() > kPendingLimit) {
      dropped.push_back(pending_.back().request);
      pending_.pop_back();
    }
  }
  for (auto& r : replaced) UN_SYSTEM_CALL(pendingRequestRemoved(r.get(), UNPendingRemoval::Replaced));
  UN_SYSTEM_CALL(pendingRequestAdded(request.get()));
  for (auto& r : dropped) UN_SYSTEM_CALL(pendingRequestRemoved(r.get(), UNPendingRemoval::LimitExceeded));
}

void UNUserNotificationCenter::removePendingWhere(const std::function<bool(UNNotificationRequest*)>& match) {
  std::vector<Ref<UNNotificationRequest>> removed;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto keep = std::stable_partition(pending_.begin(), pending_.end(),
                                      [&](const PendingRequest& p) { return !match(p.request.get()); });
    for (auto it = keep; it != pending_.end(); ++it) removed.push_back(it->request);
    pending_.erase(keep, pending_.end());
  }
  for (auto& r : removed) UN_SYSTEM_CALL(pendingRequestRemoved(r.get(), UNPendingRemoval::RemovedByApp));
}

void UNUserNotificationCenter::removePendingNotificationRequestsWithIdentifiers(NSArray* identifiers) {
  auto ids = identifierList(identifiers);
  if (ids.empty()) return;
  removePendingWhere([&](UNNotificationRequest* r) { return listed(ids, r->identifier()); });
}

void UNUserNotificationCenter::removeAllPendingNotificationRequests() {
  removePendingWhere([](UNNotificationRequest*) { return true; });
}

void UNUserNotificationCenter::getPendingNotificationRequestsWithCompletionHandler(
    UNNotificationListHandler* completion) {
  std::vector<Id> list;
  for (auto& p : pendingRequests()) list.emplace_back(p.request);
  complete([completion = Ref<UNNotificationListHandler>(completion), list = make<NSArray>(std::move(list))] {
    callBlock(completion.get(), list.get());
  });
}

std::vector<UNUserNotificationCenter::PendingRequest> UNUserNotificationCenter::pendingRequests() const {
  std::lock_guard<std::mutex> g(lock_);
  return pending_;
}

Ref<UNNotificationRequest> UNUserNotificationCenter::takePendingRequest(NSString* identifier) {
  Ref<UNNotificationRequest> taken;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto it = std::find_if(pending_.begin(), pending_.end(),
                           [&](const PendingRequest& p) { return p.request->identifier()->isEqual(identifier); });
    if (it == pending_.end()) return nullptr;
    taken = it->request;
    pending_.erase(it);
  }
  UN_SYSTEM_CALL(pendingRequestRemoved(taken.get(), UNPendingRemoval::Fired));
  return taken;
}

bool UNUserNotificationCenter::setPendingFireTime(NSString* identifier, double fireTime) {
  std::lock_guard<std::mutex> g(lock_);
  auto it = std::find_if(pending_.begin(), pending_.end(),
                         [&](const PendingRequest& p) { return p.request->identifier()->isEqual(identifier); });
  if (it == pending_.end()) return false;
  it->fireTime = fireTime;
  std::stable_sort(pending_.begin(), pending_.end(),
                   [](const PendingRequest& a, const PendingRequest& b) { return a.fireTime < b.fireTime; });
  return true;
}

// ---- delivered notifications ----

std::vector<Ref<UNNotification>> UNUserNotificationCenter::deliveredNotifications() const {
  std::lock_guard<std::mutex> g(lock_);
  return {delivered_.begin(), delivered_.end()};
}

size_t UNUserNotificationCenter::deliveredCount() const {
  std::lock_guard<std::mutex> g(lock_);
  return delivered_.size();
}

void UNUserNotificationCenter::removeOldestDeliveredNotification() {
  Ref<UNNotification> oldest;
  {
    std::lock_guard<std::mutex> g(lock_);
    if (delivered_.empty()) return;
    oldest = std::move(delivered_.front());
    delivered_.pop_front();
    deliveredById_.erase(deliveredKey(oldest.get()));
  }
  UN_SYSTEM_CALL(deliveredNotificationRemoved(oldest.get()));
}

void UNUserNotificationCenter::addDeliveredNotification(UNNotification* notification) {
  if (!notification) return;
  Ref<UNNotification> replaced;
  {
    std::lock_guard<std::mutex> g(lock_);
    auto [entry, added] = deliveredById_.try_emplace(deliveredKey(notification));
    if (!added) {
      replaced = std::move(*entry->second);
      delivered_.erase(entry->second);
    }
    entry->second = delivered_.insert(delivered_.end(), Ref<UNNotification>(notification));
  }
  if (replaced) UN_SYSTEM_CALL(deliveredNotificationRemoved(replaced.get()));
  UN_SYSTEM_CALL(deliveredNotificationAdded(notification));
}

void UNUserNotificationCenter::removeDeliveredWhere(const std::function<bool(UNNotification*)>& match) {
  std::vector<Ref<UNNotification>> removed;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (auto it = delivered_.begin(); it != delivered_.end();) {
      if (!match(it->get())) {
        ++it;
        continue;
      }
      deliveredById_.erase(deliveredKey(it->get()));
      removed.push_back(std::move(*it));
      it = delivered_.erase(it);
    }
  }
  for (auto& n : removed) UN_SYSTEM_CALL(deliveredNotificationRemoved(n.get()));
}

void UNUserNotificationCenter::removeDeliveredNotificationsWithIdentifiers(NSArray* identifiers) {
  // Through the index, in the order the identifiers are given: removing a
  // few from a long list does not look through all of it.
  std::vector<Ref<UNNotification>> removed;
  {
    std::lock_guard<std::mutex> g(lock_);
    for (const Ref<NSString>& id : identifierList(identifiers)) {
      auto found = deliveredById_.find(id->utf8());
      if (found == deliveredById_.end()) continue;
      removed.push_back(std::move(*found->second));
      delivered_.erase(found->second);
      deliveredById_.erase(found);
    }
  }
  for (auto& n : removed) UN_SYSTEM_CALL(deliveredNotificationRemoved(n.get()));
}

void UNUserNotificationCenter::removeAllDeliveredNotifications() {
  removeDeliveredWhere([](UNNotification*) { return true; });
}

void UNUserNotificationCenter::getDeliveredNotificationsWithCompletionHandler(UNNotificationListHandler* completion) {
  std::vector<Id> list;
  for (auto& n : deliveredNotifications()) list.emplace_back(n);
  complete([completion = Ref<UNNotificationListHandler>(completion), list = make<NSArray>(std::move(list))] {
    callBlock(completion.get(), list.get());
  });
}

#undef UN_SYSTEM_CALL

}  // namespace objc
