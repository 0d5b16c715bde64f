#include "Device/Device.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "DeviceImpl.h"

namespace objc {

namespace {
// How long, in real time, settling waits for the notification centre's
// queue before it gives up on a round.
constexpr double kSettleWaitSeconds = 10.0;
// A host that keeps queueing work for ever still lets a step end.
constexpr int kMaxSettleRounds = 1000;

double monotonicSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}
}  // namespace

const char* appStateName(AppState state) {
  switch (state) {
    case AppState::NotRunning:
      return "not running";
    case AppState::Active:
      return "active";
    case AppState::Inactive:
      return "inactive";
    case AppState::Background:
      return "background";
    case AppState::ForceQuit:
      return "force quit";
  }
  return "unknown";
}

// ---- records ----

std::string DeviceRecord::get(std::string_view key) const {
  for (const auto& [k, v] : fields)
    if (k == key) return v;
  return {};
}

bool DeviceRecord::has(std::string_view key) const {
  return std::any_of(fields.begin(), fields.end(), [&](const auto& f) { return f.first == key; });
}

std::string DeviceRecord::toJSON() const {
  auto object = NSMutableDictionary::dictionary();
  object->setObject(NSNumber::numberWithDouble(time), "time");
  object->setObject(str(kind), "kind");
  for (const auto& [k, v] : fields) object->setObject(str(v), k);
  return JSONSerialize(object.get());
}

void Device::Impl::record(const char* kind, RecordFields fields) {
  // A log line changes nothing that settling waits for, and other threads
  // may log all the time.
  if (std::string_view(kind) != "log") activity.fetch_add(1, std::memory_order_relaxed);
  std::lock_guard<std::recursive_mutex> g(recordLock);
  DeviceRecord made{now(), kind, std::move(fields)};
  if (observer) observer(made);
  if (options.keepRecords) log.push_back(std::move(made));
}

Ref<NSString> uuidLikeIdentifier(std::mt19937_64& random) {
  uint64_t a = random(), b = random();
  // Shaped like a random UUID: version 4, variant 10.
  char text[40];
  std::snprintf(text, sizeof text, "%08" PRIX64 "-%04" PRIX64 "-4%03" PRIX64 "-%04" PRIX64 "-%012" PRIX64, a >> 32,
                (a >> 16) & 0xffff, a & 0xfff, uint64_t{0x8000} | ((b >> 48) & 0x3fff), b & uint64_t{0xffffffffffff});
  return str(text);
}

Ref<NSString> Device::Impl::newIdentifier() {
  std::lock_guard<std::mutex> g(lock);
  return uuidLikeIdentifier(random);
}

// ---- the device ----

Device::Impl::Impl(DeviceOptions opts)
    : options(std::move(opts)),
      clock(std::make_shared<std::atomic<double>>(options.startTime)),
      app(UIApplication::sharedApplication()),
      centre(UNUserNotificationCenter::currentNotificationCenter()),
      random(options.seed) {
  std::vector<uint8_t> bytes(32);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i);
  token = NSData::dataWithBytes(std::move(bytes));
}

void Device::Impl::attach() {
  std::weak_ptr<Impl> weak = weak_from_this();
  objc::setClock([c = clock] { return c->load(std::memory_order_acquire); });
  zoneBefore = NSTimeZone::defaultTimeZone();
  if (options.captureLog) {
    objc::setLogSink([weak, passOn = options.logPassOn](const std::string& line) {
      if (auto self = weak.lock()) self->record("log", {{"line", line}});
      if (passOn) {
        passOn(line);
      } else {
        logLine(line);  // from inside a sink this is standard error
      }
    });
  }
  // What was scheduled or showing before the device came.
  {
    std::lock_guard<std::mutex> g(lock);
    for (auto& entry : app->scheduledEntries()) {
      double fire = entry->fireDate() ? entry->fireDate()->timeIntervalSince1970() : now();
      legacy.push_back({entry, nullptr, entry->region() ? kUNNeverFires : fire});
    }
    for (auto& n : app->notices()) notices.push_back({n, nullptr});
  }
  for (auto& e : legacy) e.identifier = newIdentifier();
  for (auto& n : notices) n.identifier = newIdentifier();
  // A not-running application is not active.
  app->setApplicationState(UIApplicationStateBackground);
  std::shared_ptr<Impl> self = shared_from_this();
  app->setSystem(std::shared_ptr<UIApplicationSystem>(self, static_cast<UIApplicationSystem*>(this)));
  centre->setSystem(
      std::shared_ptr<UNUserNotificationCenterSystem>(self, static_cast<UNUserNotificationCenterSystem*>(this)));
}

void Device::Impl::detach() {
  app->setSystem(nullptr);
  centre->setSystem(nullptr);
  if (options.captureLog) objc::setLogSink({});
  objc::setClock({});
  NSTimeZone::setDefaultTimeZone(zoneBefore.get());
}

Device::Device(DeviceOptions options) : impl_(std::make_shared<Impl>(std::move(options))) { impl_->attach(); }

Device::~Device() { impl_->detach(); }

// ---- steps ----

Device::Impl::StepScope::StepScope(Impl& i) : impl(i) {
  if (!isMainThread()) throw Exception(kInternalInconsistencyException, "device steps run on the main thread");
  if (impl.stepDepth > 0) {
    throw Exception(kInternalInconsistencyException,
                    "a device step cannot be taken from inside the application's callbacks");
  }
  ++impl.stepDepth;
}

Device::Impl::StepScope::~StepScope() { --impl.stepDepth; }

// Settled also means no URL download in flight: the library's attachment
// downloads end on their sessions' queues, and what they lead to (a request
// added to the centre, the host told) is settled in turn.
void Device::Impl::settle() {
  settleQueues();
  const double deadline = monotonicSeconds() + options.downloadWaitSeconds;
  while (URLSessionDownloadsInFlight() > 0) {
    double left = deadline - monotonicSeconds();
    if (left <= 0) break;
    runMainUntil([] { return URLSessionDownloadsInFlight() == 0; }, left);
    settleQueues();
  }
}

// A round fires what is due, runs the main queue, then waits for a marker
// to pass through the notification centre's serial queue, so that every
// completion queued before it has run (and its main-queue work is run as it
// arrives). Settled means two rounds in a row in which nothing happened:
// the second one also catches what the first one's waiting ran.
void Device::Impl::settleQueues() {
  int quietRounds = 0;
  for (int round = 0; round < kMaxSettleRounds && quietRounds < 2; ++round) {
    uint64_t before = activity.load();
    bool fired = fireNextDue();
    size_t ran = runMainUntilIdle();
    // An idle queue has nothing to wait for; the hop to its thread and back
    // is the costly part of a round.
    if (!centre->completionQueue()->isIdle()) {
      auto reached = std::make_shared<std::atomic<bool>>(false);
      dispatch_async(centre->completionQueue(), [reached] {
        reached->store(true);
        wakeMainLoop();
      });
      bool passed = runMainUntil([&] { return reached->load(); }, kSettleWaitSeconds);
      ran += runMainUntilIdle();
      if (!passed) break;  // the centre's queue is stuck; do not hang the step
    }
    bool quiet = !fired && ran == 0 && activity.load() == before && pendingMainWork() == 0;
    quietRounds = quiet ? quietRounds + 1 : 0;
  }
}

void Device::settle() {
  Impl::StepScope step(*impl_);
  impl_->settle();
}

double Device::now() const { return impl_->now(); }

const DeviceOptions& Device::options() const { return impl_->options; }

void Device::advance(double seconds) {
  if (!(seconds >= 0) || !std::isfinite(seconds)) {
    throw Exception(kInvalidArgumentException, "the clock only moves forward by a finite number of seconds");
  }
  Impl::StepScope step(*impl_);
  Impl& d = *impl_;
  double target = d.now() + seconds;
  d.settle();
  for (int firings = 0; firings < kMaxFiringsPerAdvance; ++firings) {
    double next = d.nextEventTime();
    if (!(next <= target)) break;
    uint64_t before = d.activity.load();
    bool moved = next > d.now();
    if (moved) d.setClock(next);
    d.settle();
    // An event that is due but cannot fire must not stop the clock.
    if (!moved && d.activity.load() == before) break;
  }
  d.setClock(target);
  d.settle();
}

// ---- settings and lookups ----

AppState Device::state() const { return impl_->state.load(); }

Id Device::applicationDelegate() const { return impl_->running() ? impl_->delegate : nullptr; }

void Device::setDeviceToken(NSData* token) {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->token = token ? cast<NSData>(token->copy()) : nullptr;
}

Ref<NSData> Device::deviceToken() const {
  std::lock_guard<std::mutex> g(impl_->lock);
  return impl_->token;
}

void Device::setRemoteRegistrationError(NSError* error) {
  std::lock_guard<std::mutex> g(impl_->lock);
  impl_->registrationError = error;
}

void Device::setAuthorizationAnswer(bool allow) { impl_->allowAuthorization.store(allow); }

void Device::setAuthorizationStatus(UNAuthorizationStatus status, UNAuthorizationOptions granted) {
  if (status == UNAuthorizationStatusProvisional && !UIDevice::systemVersionAtLeast("12.0")) {
    throw Exception(kInvalidArgumentException, "provisional authorisation exists from system 12.0; this device runs " +
                                                   UIDevice::currentDevice()->systemVersion()->utf8());
  }
  impl_->centre->setAuthorizationStatus(status, granted);
  // The legacy settings say the same; the application is not told.
  Ref<UIUserNotificationSettings> legacy;
  if (status != UNAuthorizationStatusNotDetermined) {
    uint64_t types =
        status == UNAuthorizationStatusAuthorized
            ? granted & (UIUserNotificationTypeBadge | UIUserNotificationTypeSound | UIUserNotificationTypeAlert)
            : UIUserNotificationTypeNone;
    legacy = UIUserNotificationSettings::settingsForTypes(types, nullptr);
  }
  impl_->app->setCurrentUserNotificationSettings(legacy.get());
}

void Device::setTimeZone(NSTimeZone* zone) {
  if (!zone) throw Exception(kInvalidArgumentException, "the device needs a time zone");
  Impl::StepScope step(*impl_);
  int64_t before = NSTimeZone::defaultTimeZone()->secondsFromGMT();
  NSTimeZone::setDefaultTimeZone(zone);
  impl_->followTimeZone(before, zone->secondsFromGMT());
  impl_->settle();
}

void Device::setForegroundOrder(ForegroundOrder order) { impl_->foregroundOrder = order; }

Device::Footprint Device::footprint() const {
  Footprint f;
  {
    std::lock_guard<std::recursive_mutex> g(impl_->recordLock);
    f.records = impl_->log.size();
  }
  std::lock_guard<std::mutex> g(impl_->lock);
  f.deliveries = impl_->latestDelivery.size();
  f.legacyScheduled = impl_->legacy.size();
  f.notices = impl_->notices.size() + impl_->expectedNotices.size();
  f.fetchHandlers = impl_->fetchHandlers.size();
  return f;
}

std::vector<DeviceRecord> Device::records() const {
  std::lock_guard<std::recursive_mutex> g(impl_->recordLock);
  return impl_->log;
}

std::vector<DeviceRecord> Device::records(std::string_view kind) const {
  std::lock_guard<std::recursive_mutex> g(impl_->recordLock);
  std::vector<DeviceRecord> out;
  for (const auto& r : impl_->log)
    if (r.kind == kind) out.push_back(r);
  return out;
}

void Device::clearRecords() {
  std::lock_guard<std::recursive_mutex> g(impl_->recordLock);
  impl_->log.clear();
}

void Device::setRecordObserver(std::function<void(const DeviceRecord&)> observer) {
  std::lock_guard<std::recursive_mutex> g(impl_->recordLock);
  impl_->observer = std::move(observer);
}

}  // namespace objc
