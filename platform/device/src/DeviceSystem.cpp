// The hooks through which the application object and the notification
// centre tell the device what the application asked for. They may run on
// any thread: they record, note what is to come, and leave the driving of
// the application to the main thread.
#include <algorithm>
#include <optional>

#include <unordered_set>

#include "DeviceImpl.h"

namespace objc {

namespace {
const char* removalReason(UNPendingRemoval reason) {
  switch (reason) {
    case UNPendingRemoval::Replaced:
      return "replaced";
    case UNPendingRemoval::LimitExceeded:
      return "limit";
    case UNPendingRemoval::RemovedByApp:
      return "app";
    case UNPendingRemoval::Fired:
      return "fired";
  }
  return "";
}
}  // namespace

// ---- the application object ----

void Device::Impl::remoteRegistrationRequested(UIApplication*) {
  activity.fetch_add(1);
  std::weak_ptr<Impl> weak = weak_from_this();
  dispatch_async(dispatch_get_main_queue(), [weak] {
    if (auto self = weak.lock()) self->answerRemoteRegistration();
  });
}

void Device::Impl::userNotificationSettingsRegistered(UIApplication* application,
                                                      UIUserNotificationSettings* requested) {
  activity.fetch_add(1);
  bool allow = allowAuthorization.load();
  Ref<UIUserNotificationSettings> granted =
      allow ? Ref<UIUserNotificationSettings>(requested)
            : UIUserNotificationSettings::settingsForTypes(UIUserNotificationTypeNone, nullptr);
  // One permission for both interfaces: the answer is the centre's status
  // too, which decides what the device shows.
  centre->setAuthorizationStatus(allow ? UNAuthorizationStatusAuthorized : UNAuthorizationStatusDenied,
                                 allow ? requested->types() : 0);
  // The application object tells its delegate on the next main-queue turn;
  // this record is queued just before that call.
  std::weak_ptr<Impl> weak = weak_from_this();
  dispatch_async(dispatch_get_main_queue(), [weak] {
    auto self = weak.lock();
    if (!self) return;
    SEL s = sel<"application:didRegisterUserNotificationSettings:">();
    Id d = self->app->delegate();
    if (d && d->respondsToSelector(s)) self->recordCall("app delegate", s);
  });
  application->answerUserNotificationSettings(granted);
}

void Device::Impl::localNotificationPresented(UIApplication*, UILocalNotification* notification) {
  Ref<NSString> identifier = newIdentifier();
  record("local", {{"list", "notices"}, {"change", "presented"}, {"id", identifier->utf8()}});
  std::weak_ptr<Impl> weak = weak_from_this();
  dispatch_async(dispatch_get_main_queue(), [weak, n = Ref<UILocalNotification>(notification), identifier] {
    if (auto self = weak.lock()) self->deliverLegacyLocal(n, identifier);
  });
}

// The system keeps the 64 notifications that fire soonest (a repeating one
// counts once, by its next firing) and discards the rest: of those that
// fire latest, the one scheduled last. Those on a region fire on no date,
// so they count as the latest.
void Device::Impl::localNotificationScheduled(UIApplication* application, UILocalNotification* entry) {
  Ref<NSString> identifier = newIdentifier();
  double fire = entry->region()     ? kUNNeverFires
                : entry->fireDate() ? entry->fireDate()->timeIntervalSince1970()
                                    : now();  // no date: at once
  std::optional<LegacyEntry> dropped;
  {
    std::lock_guard<std::mutex> g(lock);
    legacy.push_back({Ref<UILocalNotification>(entry), identifier, fire});
    if (legacy.size() > UNUserNotificationCenter::kPendingLimit) {
      auto latest = legacy.begin();
      for (auto it = legacy.begin(); it != legacy.end(); ++it)
        if (it->nextFire >= latest->nextFire) latest = it;
      dropped = *latest;
      legacy.erase(latest);
    }
  }
  record("local", {{"list", "scheduled"}, {"change", "scheduled"}, {"id", identifier->utf8()}});
  if (dropped && application->removeScheduledEntry(dropped->entry)) {
    record("local",
           {{"list", "scheduled"}, {"change", "removed"}, {"id", dropped->identifier->utf8()}, {"reason", "limit"}});
  }
}

void Device::Impl::localNotificationCancelled(UIApplication*, UILocalNotification* entry) {
  Ref<NSString> identifier;
  {
    std::lock_guard<std::mutex> g(lock);
    auto it = std::find_if(legacy.begin(), legacy.end(), [&](const LegacyEntry& e) { return e.entry.get() == entry; });
    if (it == legacy.end()) return;
    identifier = it->identifier;
    legacy.erase(it);
  }
  record("local", {{"list", "scheduled"}, {"change", "cancelled"}, {"id", identifier->utf8()}});
}

void Device::Impl::badgeWritten(UIApplication*, int64_t number) {
  record("badge", {{"value", std::to_string(number)}});
}

// The application object says only that the notice bar changed; the
// difference from what the device saw last is what changed. Like the
// delivered list, the bar keeps the latest kDeliveredLimit notices.
void Device::Impl::noticesChanged(UIApplication* application) {
  std::vector<RecordFields> changes;
  Id oldest;
  {
    std::lock_guard<std::mutex> g(lock);
    std::vector<Id> current = application->notices();
    // Only the middle changes: a notice added at the end, the oldest gone,
    // one opened. What stands in the same places before and after stays.
    size_t prefix = 0, suffix = 0;
    while (prefix < notices.size() && prefix < current.size() && notices[prefix].notice.get() == current[prefix].get())
      ++prefix;
    while (suffix < notices.size() - prefix && suffix < current.size() - prefix &&
           notices[notices.size() - 1 - suffix].notice.get() == current[current.size() - 1 - suffix].get())
      ++suffix;
    std::unordered_set<const NSObject*> shown;
    for (size_t i = prefix; i < current.size() - suffix; ++i) shown.insert(current[i].get());
    std::vector<Notice> seen(notices.begin(), notices.begin() + static_cast<ptrdiff_t>(prefix));
    std::unordered_set<const NSObject*> known;
    for (size_t i = prefix; i < notices.size() - suffix; ++i) {
      const Notice& n = notices[i];
      if (shown.count(n.notice.get())) {
        seen.push_back(n);
        known.insert(n.notice.get());
      } else {
        latestDelivery.erase(n.identifier->utf8());
        changes.push_back({{"list", "notices"}, {"change", "removed"}, {"id", n.identifier->utf8()}});
        if (!listChangeReason.empty()) changes.back().emplace_back("reason", listChangeReason);
      }
    }
    for (size_t i = prefix; i < current.size() - suffix; ++i) {
      const Id& c = current[i];
      if (known.count(c.get())) continue;
      Ref<NSString> identifier;
      auto expected = std::find_if(expectedNotices.begin(), expectedNotices.end(),
                                   [&](const Notice& n) { return n.notice.get() == c.get(); });
      if (expected != expectedNotices.end()) {
        identifier = expected->identifier;
        expectedNotices.erase(expected);
      }
      if (!identifier) {
        // Not one the device showed: name it like any other.
        identifier = uuidLikeIdentifier(random);
      }
      seen.push_back({c, identifier});
      noteDelivery(identifier->utf8());
      changes.push_back({{"list", "notices"}, {"change", "delivered"}, {"id", identifier->utf8()}});
    }
    seen.insert(seen.end(), notices.end() - static_cast<ptrdiff_t>(suffix), notices.end());
    notices = std::move(seen);
    if (current.size() > Device::kDeliveredLimit) {
      oldest = current.front();
      listChangeReason = "limit";
    }
  }
  for (auto& c : changes) record("local", std::move(c));
  if (!oldest) return;
  application->removeNotice(oldest.get());
  std::lock_guard<std::mutex> g(lock);
  listChangeReason.clear();
}

// ---- the notification centre ----

void Device::Impl::authorizationRequested(UNAuthorizationOptions, std::function<void(bool granted)> answer) {
  activity.fetch_add(1);
  answer(allowAuthorization.load());
}

void Device::Impl::pendingRequestAdded(UNNotificationRequest* request) {
  record("local", {{"list", "pending"}, {"change", "scheduled"}, {"id", identifierOf(request)}});
}

void Device::Impl::pendingRequestRemoved(UNNotificationRequest* request, UNPendingRemoval reason) {
  const char* change = reason == UNPendingRemoval::RemovedByApp ? "cancelled" : "removed";
  record("local",
         {{"list", "pending"}, {"change", change}, {"id", identifierOf(request)}, {"reason", removalReason(reason)}});
}

void Device::Impl::deliveredNotificationAdded(UNNotification* notification) {
  const std::string& identifier = identifierOf(notification->request());
  {
    std::lock_guard<std::mutex> g(lock);
    noteDelivery(identifier);
  }
  record("local", {{"list", "delivered"}, {"change", "delivered"}, {"id", identifier}});
  if (centre->deliveredCount() <= Device::kDeliveredLimit) return;
  {
    std::lock_guard<std::mutex> g(lock);
    listChangeReason = "limit";
  }
  centre->removeOldestDeliveredNotification();
  std::lock_guard<std::mutex> g(lock);
  listChangeReason.clear();
}

void Device::Impl::deliveredNotificationRemoved(UNNotification* notification) {
  const std::string& identifier = identifierOf(notification->request());
  RecordFields fields{{"list", "delivered"}, {"change", "removed"}, {"id", identifier}};
  {
    std::lock_guard<std::mutex> g(lock);
    latestDelivery.erase(identifier);
    if (!listChangeReason.empty()) fields.emplace_back("reason", listChangeReason);
  }
  record("local", std::move(fields));
}

void Device::Impl::delegateChanged(NSObject*) { activity.fetch_add(1); }

}  // namespace objc
