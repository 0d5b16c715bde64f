// Remote and local notifications: what the system makes of them, when they
// fire, how they reach the application, and the user opening them.
#include <algorithm>
#include <cmath>
#include <string>

#include "DeviceImpl.h"

namespace objc {

namespace {

bool isTrue(NSObject* v) {
  if (auto* n = asNumber(v)) return n->integerValue() != 0 || n->doubleValue() != 0;
  if (auto* s = asString(v)) return s->integerValue() != 0;
  return false;
}

NSDictionary* apsOf(NSDictionary* payload) { return payload ? asDictionary(payload->objectForKey("aps")) : nullptr; }

// A push the user sees or hears: it has an alert, a sound or a badge.
bool isVisible(NSDictionary* aps) {
  return aps && (aps->objectForKey("alert") || aps->objectForKey("sound") || aps->objectForKey("badge"));
}

bool isContentAvailable(NSDictionary* aps) { return aps && isTrue(aps->objectForKey("content-available")); }

Ref<UNNotificationSound> soundFor(NSString* name) {
  if (!name) return nullptr;
  if (name->utf8() == "default") return UNNotificationSound::defaultSound();
  return UNNotificationSound::soundNamed(name);
}

bool isPushTrigger(UNNotificationTrigger* trigger) { return cast<UNPushNotificationTrigger>(trigger) != nullptr; }

// Adds one calendar unit (the legacy repeat interval) to a moment, reading
// the calendar in the given offset from GMT. 0 when the unit is not one the
// system repeats by.
double addCalendarUnit(double t, uint64_t unit, int64_t offset) {
  constexpr uint64_t kEra = 2, kYear = 4, kMonth = 8, kDay = 16, kHour = 32, kMinute = 64, kSecond = 128, kWeek = 256,
                     kWeekday = 512, kWeekdayOrdinal = 1024, kQuarter = 2048, kWeekOfMonth = 4096, kWeekOfYear = 8192;
  switch (unit) {
    case kSecond:
      return t + 1;
    case kMinute:
      return t + 60;
    case kHour:
      return t + 3600;
    case kDay:
      return t + 86400;
    case kWeek:
    case kWeekday:
    case kWeekdayOrdinal:
    case kWeekOfMonth:
    case kWeekOfYear:
      return t + 7 * 86400;
    case kEra:
    case kYear:
    case kMonth:
    case kQuarter:
      break;
    default:
      return 0;
  }
  int64_t months = unit == kMonth ? 1 : unit == kQuarter ? 3 : 12;
  // Civil-date arithmetic on the local day number.
  double local = t + static_cast<double>(offset);
  int64_t days = static_cast<int64_t>(std::floor(local / 86400));
  double timeOfDay = local - static_cast<double>(days) * 86400;
  CivilDate date = civilFromDays(days);
  int64_t y = date.year, m = date.month, d = date.day;
  int64_t total = y * 12 + (m - 1) + months;
  y = total / 12;
  m = total % 12 + 1;
  static const int kDaysIn[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
  int64_t last = kDaysIn[m - 1] + (m == 2 && leap ? 1 : 0);
  d = std::min(d, last);
  int64_t newDays = daysFromCivil(y, m, d);
  return static_cast<double>(newDays) * 86400 + timeOfDay - static_cast<double>(offset);
}

}  // namespace

// ---- payloads ----

Ref<UNNotificationContent> Device::contentFromPayload(NSDictionary* payload) {
  auto c = make<UNMutableNotificationContent>();
  if (!payload) return cast<UNNotificationContent>(c->copy());
  c->setUserInfo(payload);
  NSDictionary* aps = apsOf(payload);
  if (!aps) return cast<UNNotificationContent>(c->copy());
  auto text = [&](NSDictionary* from, const char* key) { return asString(from->objectForKey(key)); };

  NSObject* alert = aps->objectForKey("alert");
  if (auto* body = asString(alert)) {
    c->setBody(body);
  } else if (auto* parts = asDictionary(alert)) {
    c->setTitle(text(parts, "title"));
    c->setSubtitle(text(parts, "subtitle"));
    c->setBody(text(parts, "body"));
    if (auto* image = text(parts, "launch-image")) c->setLaunchImageName(image);
  }
  if (auto* badge = asNumber(aps->objectForKey("badge")))
    c->setBadge(NSNumber::numberWithInteger(badge->integerValue()));
  NSObject* sound = aps->objectForKey("sound");
  if (auto* name = asString(sound)) {
    c->setSound(soundFor(name));
  } else if (auto* critical = asDictionary(sound)) {
    c->setSound(soundFor(text(critical, "name")));
  }
  if (auto* thread = text(aps, "thread-id")) c->setThreadIdentifier(thread);
  if (auto* category = text(aps, "category")) c->setCategoryIdentifier(category);
  if (auto* summary = text(aps, "summary-arg")) c->setSummaryArgument(summary);
  if (auto* count = asNumber(aps->objectForKey("summary-arg-count"))) {
    c->setSummaryArgumentCount(count->unsignedIntegerValue());
  }
  if (auto* target = text(aps, "target-content-id")) c->setTargetContentIdentifier(target);
  return cast<UNNotificationContent>(c->copy());
}

Ref<NSString> Device::push(NSDictionary* payload, NSString* identifier) { return push(payload, identifier, {}); }

Ref<NSString> Device::push(NSDictionary* payload, NSString* identifier, const PushAttributes& attributes) {
  Impl::StepScope step(*impl_);
  if (!payload) throw Exception(kInvalidArgumentException, "a remote notification needs a payload");
  size_t bytes = attributes.payloadBytes;
  if (!bytes) {
    try {
      bytes = JSONSerialize(payload).size();
    } catch (const Exception& e) {
      throw Exception(kInvalidArgumentException, "the payload is not JSON: " + e.reason());
    }
  }
  const size_t limit = attributes.pushType == "voip" ? kMaxVoipPayloadBytes : kMaxPayloadBytes;
  if (bytes > limit) {
    throw Exception(kInvalidArgumentException, "the payload is " + std::to_string(bytes) +
                                                   " bytes of JSON; the push service refuses more than " +
                                                   std::to_string(limit));
  }
  Ref<NSString> id = identifier ? cast<NSString>(identifier->copy()) : impl_->newIdentifier();
  Ref<NSDictionary> own = cast<NSDictionary>(payload->copy());
  NSDictionary* aps = apsOf(own.get());
  if (attributes.priority == 5 && isContentAvailable(aps) && !isVisible(aps) && !impl_->spendBackgroundBudget()) {
    Impl& d = *impl_;
    if (d.deferredPush) {
      d.record("budget", {{"change", "dropped"}, {"id", d.deferredPush->identifier->utf8()}});
    }
    d.deferredPush = Impl::DeferredPush{own, id};
    char wait[32];
    std::snprintf(wait, sizeof wait, "%.3f", d.backgroundBudgetFreesAt() - d.now());
    d.record("budget", {{"change", "deferred"}, {"id", id->utf8()}, {"wait", wait}});
    d.settle();
    return id;
  }
  if (!attributes.collapseId.empty()) impl_->collapse(attributes.collapseId, id.get());
  impl_->deliverPush(own.get(), id.get());
  impl_->settle();
  return id;
}

void Device::Impl::deliverPush(NSDictionary* payload, NSString* identifier) {
  NSDictionary* aps = apsOf(payload);
  bool visible = isVisible(aps), contentAvailable = isContentAvailable(aps);
  if (UIDevice::systemVersionAtLeast("10.0")) {
    pushCurrent(payload, identifier, visible, contentAvailable);
  } else {
    pushLegacy(payload, identifier, visible, contentAvailable);
  }
}

bool Device::Impl::spendBackgroundBudget() {
  double t = now();
  while (!backgroundDeliveries.empty() && backgroundDeliveries.front() + kBackgroundBudgetWindow <= t)
    backgroundDeliveries.pop_front();
  if (backgroundDeliveries.size() >= static_cast<size_t>(kBackgroundBudget)) return false;
  backgroundDeliveries.push_back(t);
  return true;
}

double Device::Impl::backgroundBudgetFreesAt() const {
  return backgroundDeliveries.size() < static_cast<size_t>(kBackgroundBudget)
             ? now()
             : backgroundDeliveries.front() + kBackgroundBudgetWindow;
}

void Device::Impl::collapse(const std::string& collapseId, NSString* replacement) {
  std::string previous;
  Id notice;
  {
    std::lock_guard<std::mutex> g(lock);
    if (collapsed.size() > latestDelivery.size() + 64) {
      std::erase_if(collapsed, [&](const auto& entry) { return !latestDelivery.count(entry.second); });
    }
    auto [entry, inserted] = collapsed.try_emplace(collapseId, replacement->utf8());
    if (inserted) return;
    previous = std::exchange(entry->second, replacement->utf8());
    for (const auto& n : notices)
      if (n.identifier->utf8() == previous) notice = n.notice;
    listChangeReason = "collapsed";
  }
  centre->removeDeliveredNotificationsWithIdentifiers(NSArray::arrayWithObjects({Id(str(previous))}));
  if (notice) app->removeNotice(notice.get());
  std::lock_guard<std::mutex> g(lock);
  listChangeReason.clear();
}

namespace {
int64_t badgeOf(NSDictionary* aps) {
  NSNumber* badge = aps ? asNumber(aps->objectForKey("badge")) : nullptr;
  return badge ? badge->integerValue() : 0;
}

// The sound a payload asks for: a name, or a critical sound's name.
NSString* soundOf(NSDictionary* aps) {
  NSObject* sound = aps ? aps->objectForKey("sound") : nullptr;
  if (auto* critical = asDictionary(sound)) return asString(critical->objectForKey("name"));
  return asString(sound);
}

NSString* soundOf(UNNotificationContent* content) {
  UNNotificationSound* sound = content->sound();
  if (!sound) return nullptr;
  return sound->name() ? sound->name() : lit<"default">();
}
}  // namespace

// Below "10.0": the application delegate hears of every push while active;
// otherwise only of those that ask for background work, and the others
// are shown in the notice bar.
void Device::Impl::pushLegacy(NSDictionary* payload, NSString* identifier, bool visible, bool contentAvailable) {
  auto show = [&] {
    NSDictionary* aps = apsOf(payload);
    if (visible)
      showLegacyNotice(NSDictionary::dictionaryWithDictionary(payload), identifier, badgeOf(aps), soundOf(aps));
  };
  switch (state.load()) {
    case AppState::Active:
      callRemoteLegacy(payload, identifier);
      return;
    case AppState::Inactive:
    case AppState::Background:
      show();
      if (contentAvailable) callFetch(payload, identifier);
      return;
    case AppState::ForceQuit:
      show();  // and nothing wakes it
      return;
    case AppState::NotRunning:
      show();
      if (contentAvailable && canLaunch()) {
        LaunchOptions lo;
        lo.background = true;
        lo.remoteNotification = payload;
        launchApp(lo, [&] { callFetch(payload, identifier); });
      }
      return;
  }
}

// From "10.0": the notification centre's delegate decides how a visible
// push shows while the application is active; background work goes to the
// application delegate's fetch callback.
void Device::Impl::pushCurrent(NSDictionary* payload, NSString* identifier, bool visible, bool contentAvailable) {
  auto request = UNNotificationRequest::requestWithIdentifier(identifier, Device::contentFromPayload(payload),
                                                              UNPushNotificationTrigger::trigger());
  auto notification = UNNotification::notificationWithRequest(request, NSDate::dateWithTimeIntervalSince1970(now()));
  switch (state.load()) {
    case AppState::Active: {
      if (!centre->delegate()) {
        // Without a centre delegate the application delegate hears of it
        // the old way, and nothing is shown.
        callRemoteLegacy(payload, identifier);
        return;
      }
      auto present = [&] {
        if (visible) callWillPresent(notification);
      };
      auto fetch = [&] {
        if (contentAvailable) callFetch(payload, identifier);
      };
      // What the first leads to settles before the second starts. With no
      // second the caller's own settling follows at once, and a settle
      // here would only repeat it.
      if (foregroundOrder == ForegroundOrder::PresentFirst) {
        present();
        if (!contentAvailable) return;
        settle();
        fetch();
      } else {
        fetch();
        if (!visible) return;
        settle();
        present();
      }
      return;
    }
    case AppState::Inactive:
    case AppState::Background:
      if (visible) showDelivered(notification);
      if (contentAvailable) callFetch(payload, identifier);
      return;
    case AppState::ForceQuit:
      if (visible) showDelivered(notification);  // and nothing wakes it
      return;
    case AppState::NotRunning:
      if (visible) showDelivered(notification);
      if (contentAvailable && canLaunch()) {
        LaunchOptions lo;
        lo.background = true;
        lo.remoteNotification = payload;
        launchApp(lo, [&] { callFetch(payload, identifier); });
      }
      return;
  }
}

// ---- showing ----

void Device::Impl::expectNotice(NSObject* notice, NSString* identifier) {
  std::lock_guard<std::mutex> g(lock);
  expectedNotices.push_back({Id(notice), Ref<NSString>(identifier)});
}

// The one permission rules both interfaces: the notification centre's
// status, which the legacy prompt's answer sets as well.
Device::Impl::Permission Device::Impl::permission() const {
  UNAuthorizationOptions granted = centre->grantedOptions();
  switch (centre->authorizationStatus()) {
    case UNAuthorizationStatusNotDetermined:
      return {};
    case UNAuthorizationStatusDenied:
      return {false, false, false, false};
    case UNAuthorizationStatusProvisional:
      return {false, true, false, false};
    default: {
      bool alert = (granted & UNAuthorizationOptionAlert) != 0;
      return {alert, alert, (granted & UNAuthorizationOptionBadge) != 0, (granted & UNAuthorizationOptionSound) != 0};
    }
  }
}

void Device::Impl::playSound(NSString* identifier, NSString* sound) {
  record("sound", {{"id", identifier ? identifier->utf8() : std::string()}, {"sound", sound->utf8()}});
}

// Badge first: writing 0 clears the notices, and must not clear this one.
void Device::Impl::showLegacyNotice(NSObject* notice, NSString* identifier, int64_t badge, NSString* sound) {
  Permission allowed = permission();
  if (allowed.badge && badge != 0) app->setApplicationIconBadgeNumber(badge);
  if (allowed.list) {
    expectNotice(notice, identifier);
    app->addNotice(notice);
  }
  if (allowed.sound && sound) playSound(identifier, sound);
}

// A notification the application is not asked about: listed (with its
// banner), badged and heard as far as the permission goes.
void Device::Impl::showDelivered(UNNotification* notification) {
  Permission allowed = permission();
  UNNotificationContent* content = notification->request()->content();
  if (NSNumber* badge = content->badge(); badge && allowed.badge)
    app->setApplicationIconBadgeNumber(badge->integerValue());
  if (allowed.list) centre->addDeliveredNotification(notification);
  if (NSString* sound = soundOf(content); sound && allowed.sound)
    playSound(notification->request()->identifier(), sound);
}

// What the centre's delegate asked for, as far as the system version knows
// the options and the permission allows them.
void Device::Impl::applyPresentation(const Ref<UNNotification>& notification,
                                     UNNotificationPresentationOptions options) {
  Permission allowed = permission();
  UNNotificationRequest* request = notification->request();
  bool from14 = UIDevice::systemVersionAtLeast("14.0");
  bool alert = (options & UNNotificationPresentationOptionAlert) != 0;
  bool banner = alert || (from14 && (options & UNNotificationPresentationOptionBanner));
  bool list = alert || (from14 && (options & UNNotificationPresentationOptionList));
  NSNumber* badge = request->content()->badge();
  if ((options & UNNotificationPresentationOptionBadge) && badge && allowed.badge) {
    app->setApplicationIconBadgeNumber(badge->integerValue());
  }
  if (banner && allowed.banner) {
    record("local", {{"list", "delivered"}, {"change", "presented"}, {"id", identifierOf(request)}});
  }
  if (list && allowed.list) centre->addDeliveredNotification(notification);
  NSString* sound = soundOf(request->content());
  if ((options & UNNotificationPresentationOptionSound) && sound && allowed.sound) {
    playSound(request->identifier(), sound);
  }
}

// A local request firing: while active its centre delegate decides how it
// shows; otherwise it goes to the delivered list.
void Device::Impl::presentLocal(UNNotification* notification) {
  if (state.load() == AppState::Active) {
    callWillPresent(notification);
  } else {
    showDelivered(notification);
  }
}

// A frontmost application is only told: no alert, no badge, no sound.
void Device::Impl::deliverLegacyLocal(const Ref<UILocalNotification>& n, const Ref<NSString>& identifier) {
  if (state.load() == AppState::Active) {
    SEL s = sel<"application:didReceiveLocalNotification:">();
    Id d = app->delegate();
    if (d && d->respondsToSelector(s)) {
      recordCall("app delegate", s, identifier);
      send<void>(d.get(), s, app, n.get());
    }
    return;
  }
  showLegacyNotice(n.get(), identifier, n->applicationIconBadgeNumber(), n->soundName());
}

// ---- firing ----

void Device::Impl::fireRequest(const UNUserNotificationCenter::PendingRequest& pending) {
  UNNotificationRequest* request = pending.request.get();
  UNNotificationTrigger* trigger = request->trigger();
  Ref<UNNotificationRequest> fired;
  if (trigger && trigger->repeats()) {
    // Occurrences that were missed (the request was overdue) fire once.
    double next = trigger->fireTimeAfter(pending.fireTime);
    if (next <= now()) next = trigger->fireTimeAfter(now());
    if (!(next > pending.fireTime)) next = kUNNeverFires;
    if (!centre->setPendingFireTime(request->identifier(), next)) return;
    fired = request;
  } else {
    fired = centre->takePendingRequest(request->identifier());
    if (!fired) return;
  }
  presentLocal(UNNotification::notificationWithRequest(fired, NSDate::dateWithTimeIntervalSince1970(now())));
}

void Device::Impl::fireLegacy(const Ref<UILocalNotification>& entry, bool byRegion) {
  Ref<NSString> identifier;
  bool stays;
  {
    std::lock_guard<std::mutex> g(lock);
    auto it = std::find_if(legacy.begin(), legacy.end(), [&](const LegacyEntry& e) { return e.entry == entry; });
    if (it == legacy.end()) return;
    identifier = it->identifier;
    if (byRegion) {
      stays = !entry->regionTriggersOnce();
    } else {
      NSTimeZone* zone = entry->timeZone();
      int64_t offset = zone ? zone->secondsFromGMT() : 0;
      double next = it->nextFire;
      // Occurrences that were missed fire once: the next one is after now.
      do {
        double after = entry->repeatInterval() ? addCalendarUnit(next, entry->repeatInterval(), offset) : 0;
        if (!(after > next)) {
          next = 0;
          break;
        }
        next = after;
      } while (next <= now());
      stays = next > it->nextFire;
      if (stays) it->nextFire = next;
    }
    if (!stays) legacy.erase(it);
  }
  Ref<UILocalNotification> shown = entry;
  if (stays) {
    // Each firing of a repeating notification is a notice of its own.
    shown = cast<UILocalNotification>(entry->copy());
    identifier = newIdentifier();
  } else if (app->removeScheduledEntry(entry)) {
    record("local", {{"list", "scheduled"}, {"change", "removed"}, {"id", identifier->utf8()}, {"reason", "fired"}});
  } else {
    return;  // cancelled meanwhile
  }
  deliverLegacyLocal(shown, identifier);
}

// Calendar triggers without a zone of their own read the wall clock of the
// device's zone: their next firing is the next match from now in the new
// one (a wall-clock time the change skipped is not fired). Legacy
// notifications with a time zone keep their wall-clock time, and one that
// is now past fires at once, as a legacy notification with a past date does.
void Device::Impl::followTimeZone(int64_t before, int64_t after) {
  for (const auto& p : centre->pendingRequests()) {
    auto* trigger = cast<UNCalendarNotificationTrigger>(p.request->trigger());
    if (!trigger || trigger->dateComponents()->timeZone) continue;
    centre->setPendingFireTime(p.request->identifier(), trigger->fireTimeAfter(now()));
  }
  std::lock_guard<std::mutex> g(lock);
  for (auto& e : legacy) {
    if (e.entry->timeZone() && std::isfinite(e.nextFire)) e.nextFire += static_cast<double>(before - after);
  }
}

double Device::Impl::nextEventTime() {
  double next = kUNNeverFires;
  for (const auto& p : centre->pendingRequests()) next = std::min(next, p.fireTime);
  std::lock_guard<std::mutex> g(lock);
  for (const auto& e : legacy) next = std::min(next, e.nextFire);
  for (const auto& h : fetchHandlers)
    if (h->calls.load() == 0 && !h->reported.load()) next = std::min(next, h->created + kFetchCompletionLimit);
  if (deferredPush) next = std::min(next, backgroundBudgetFreesAt());
  return next;
}

// Fires the earliest event that is due now, if any: a pending request, a
// scheduled legacy notification, or a fetch completion running out of time.
bool Device::Impl::fireNextDue() {
  double t = now();
  const UNUserNotificationCenter::PendingRequest* request = nullptr;
  auto pending = centre->pendingRequests();  // soonest first
  if (!pending.empty() && pending.front().fireTime <= t) request = &pending.front();

  Ref<UILocalNotification> entry;
  double entryTime = kUNNeverFires;
  std::shared_ptr<HandlerState> overdue;
  {
    std::lock_guard<std::mutex> g(lock);
    for (const auto& e : legacy)
      if (e.nextFire <= t && e.nextFire < entryTime) {
        entry = e.entry;
        entryTime = e.nextFire;
      }
    std::erase_if(fetchHandlers, [](const auto& h) { return h->calls.load() > 0 || h->reported.load(); });
    for (const auto& h : fetchHandlers)
      if (h->created + kFetchCompletionLimit <= t) {
        overdue = h;
        break;
      }
  }
  if (deferredPush && backgroundBudgetFreesAt() <= t) {
    DeferredPush waiting = std::move(*deferredPush);
    deferredPush.reset();
    spendBackgroundBudget();
    record("budget", {{"change", "delivered"}, {"id", waiting.identifier->utf8()}});
    deliverPush(waiting.payload.get(), waiting.identifier.get());
    return true;
  }
  if (overdue) {
    overdue->reported.store(true);
    record("fault", {{"fault", "fetch completion not called"},
                     {"callback", overdue->callback},
                     {"detail", "the completion handler of -" + overdue->callback + " was not called within " +
                                    std::to_string(static_cast<int>(kFetchCompletionLimit)) + " seconds"}});
    return true;
  }
  if (request && (!entry || request->fireTime <= entryTime)) {
    fireRequest(*request);
    return true;
  }
  if (entry) {
    fireLegacy(entry, false);
    return true;
  }
  return false;
}

void Device::enterRegion(std::string_view identifier) {
  Impl::StepScope step(*impl_);
  Impl& d = *impl_;
  auto matches = [&](CLRegion* region) {
    return region && region->notifyOnEntry() && region->identifier() && region->identifier()->utf8() == identifier;
  };
  for (const auto& p : d.centre->pendingRequests()) {
    auto* trigger = cast<UNLocationNotificationTrigger>(p.request->trigger());
    if (trigger && matches(trigger->region())) {
      d.fireRequest(p);
      d.settle();
    }
  }
  std::vector<Ref<UILocalNotification>> entries;
  {
    std::lock_guard<std::mutex> g(d.lock);
    for (const auto& e : d.legacy)
      if (matches(e.entry->region())) entries.push_back(e.entry);
  }
  for (auto& e : entries) {
    d.fireLegacy(e, true);
    d.settle();
  }
  d.settle();
}

// ---- the user opening notifications ----

void Device::Impl::openCurrent(const Ref<UNNotification>& notification) {
  UNNotificationRequest* request = notification->request();
  bool remote = isPushTrigger(request->trigger());
  centre->removeDeliveredNotificationsWithIdentifiers(NSArray::arrayWithObjects({Id(request->identifier())}));
  bool launching = !running();
  auto tell = [this, notification, remote, launching] {
    if (callDidReceiveResponse(notification)) return;
    if (centre->delegate() || !remote) return;
    NSDictionary* payload = notification->request()->content()->userInfo();
    // Launched by it: the plain callback is not called, the launch options
    // tell.
    if (launching) {
      callFetch(payload, notification->request()->identifier());
    } else {
      callRemoteLegacy(payload, notification->request()->identifier());
    }
  };
  if (launching) {
    LaunchOptions lo;
    if (remote) lo.remoteNotification = request->content()->userInfo();
    launchApp(lo, tell);
  } else {
    comeForward(tell);
  }
}

void Device::Impl::openLegacy(const Id& notice, const Ref<NSString>& identifier) {
  app->removeNotice(notice.get());
  auto* local = cast<UILocalNotification>(notice.get());
  auto* payload = cast<NSDictionary>(notice.get());
  if (!running()) {
    LaunchOptions lo;
    lo.localNotification = local;
    lo.remoteNotification = payload;
    // A remote one also reaches the fetch callback, while the application
    // is still inactive; the plain callback is not called for a launch.
    launchApp(lo, [&] {
      if (payload) callFetch(payload, identifier);
    });
    return;
  }
  comeForward([&] {
    if (payload) {
      callRemoteLegacy(payload, identifier);
      return;
    }
    SEL s = sel<"application:didReceiveLocalNotification:">();
    Id d = app->delegate();
    if (local && d && d->respondsToSelector(s)) {
      recordCall("app delegate", s, identifier);
      send<void>(d.get(), s, app, local);
    }
  });
}

bool Device::open(NSString* identifier) {
  Impl::StepScope step(*impl_);
  Impl& d = *impl_;
  if (!identifier) return false;
  for (auto& n : d.centre->deliveredNotifications()) {
    if (n->request()->identifier()->isEqual(identifier)) {
      d.openCurrent(n);
      d.settle();
      return true;
    }
  }
  Id notice;
  Ref<NSString> id;
  {
    std::lock_guard<std::mutex> g(d.lock);
    for (const auto& n : d.notices)
      if (n.identifier->isEqual(identifier)) {
        notice = n.notice;
        id = n.identifier;
        break;
      }
  }
  if (!notice) return false;
  d.openLegacy(notice, id);
  d.settle();
  return true;
}

std::vector<std::string> Device::deliveredIdentifiers() const {
  std::vector<std::string> listed;
  for (auto& n : impl_->centre->deliveredNotifications()) listed.push_back(identifierOf(n->request()));
  std::lock_guard<std::mutex> g(impl_->lock);
  for (const auto& n : impl_->notices) listed.push_back(n.identifier->utf8());
  // Each identifier once, in the order of its latest delivery.
  std::vector<std::pair<uint64_t, std::string>> ordered;
  for (auto& id : listed) {
    auto delivered = impl_->latestDelivery.find(id);
    if (delivered != impl_->latestDelivery.end()) ordered.emplace_back(delivered->second, std::move(id));
  }
  std::sort(ordered.begin(), ordered.end());
  ordered.erase(std::unique(ordered.begin(), ordered.end()), ordered.end());
  std::vector<std::string> out;
  for (auto& [when, id] : ordered) out.push_back(std::move(id));
  return out;
}

bool Device::openLatest() {
  auto listed = deliveredIdentifiers();
  if (listed.empty()) return false;
  return open(str(listed.back()).get());
}

bool Device::openSettings(UNNotification* notification) {
  Impl::StepScope step(*impl_);
  Impl& d = *impl_;
  if (!UIDevice::systemVersionAtLeast("12.0")) return false;
  Ref<UNNotification> n = notification;
  auto tell = [&d, n] {
    SEL s = sel<"userNotificationCenter:openSettingsForNotification:">();
    Id delegate = d.centre->delegate();
    if (!delegate || !delegate->respondsToSelector(s)) return;
    d.recordCall("centre delegate", s, n ? n->request()->identifier() : nullptr);
    send<void>(delegate.get(), s, d.centre, n.get());
  };
  if (!d.running()) {
    d.launchApp({}, tell);
  } else {
    d.comeForward(tell);
  }
  d.settle();
  return true;
}

}  // namespace objc
