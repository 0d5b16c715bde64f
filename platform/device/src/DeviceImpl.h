// The device's inner state, shared by its sources.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "Device/Device.h"
#include "UIKit/UIApplication+System.h"
#include "UserNotifications/UNUserNotificationCenter+System.h"

namespace objc {

using RecordFields = std::vector<std::pair<std::string, std::string>>;

// A completion handler the device handed to the application.
struct HandlerState {
  std::string callback;  // the selector it was passed with
  double created = 0;    // device time
  bool limited = false;  // a fetch completion, which must come within the limit
  std::atomic<int> calls{0};
  std::atomic<bool> reported{false};  // the time limit was reported
};

// The device is the system behind both the application object and the
// notification centre: it is attached to both as their observer, so every
// hook lands here. Hooks may come from any thread; everything that drives
// the application runs on the main thread.
struct Device::Impl final : UIApplicationSystem,
                            UNUserNotificationCenterSystem,
                            std::enable_shared_from_this<Device::Impl> {
  explicit Impl(DeviceOptions options);

  // Attaches to the platform; called once the shared pointer exists.
  void attach();
  void detach();

  // ---- records (any thread) ----
  void record(const char* kind, RecordFields fields);
  double now() const { return clock->load(std::memory_order_acquire); }
  void setClock(double t) { clock->store(t, std::memory_order_release); }
  Ref<NSString> newIdentifier();

  // ---- steps (main thread) ----
  struct StepScope {
    explicit StepScope(Impl& impl);
    ~StepScope();
    Impl& impl;
  };
  void settle();
  // One settling of the main queue and the centre's queue, without waiting
  // for downloads.
  void settleQueues();
  double nextEventTime();
  bool fireNextDue();

  // Lifecycle.
  bool running() const { return state.load() != AppState::NotRunning && state.load() != AppState::ForceQuit; }
  void setAppState(AppState s);
  void moveTo(AppState target);
  void launchApp(const LaunchOptions& options, const std::function<void()>& afterLaunch);
  // Ends a running application, leaving it in `end` (NotRunning or
  // ForceQuit).
  void terminateApp(AppState end);
  bool backgroundWorkOutstanding();
  void comeForward(const std::function<void()>& action);
  void broadcast(NSString* name, NSDictionary* userInfo = nullptr);
  void lifecycleCallback(const char* selector);

  // Calls into the application, each recorded first.
  void recordCall(const char* receiver, SEL selector, NSString* identifier = nullptr);
  bool callFetch(NSDictionary* payload, NSString* identifier);
  bool callRemoteLegacy(NSDictionary* payload, NSString* identifier);
  bool callWillPresent(UNNotification* notification);
  bool callDidReceiveResponse(UNNotification* notification);
  void answerRemoteRegistration();

  // Handlers.
  std::shared_ptr<HandlerState> newHandler(SEL callback, bool limited);
  // Notes a call; true for the first one.
  bool handlerCalled(HandlerState& handler, const std::string& value);
  void applyPresentation(const Ref<UNNotification>& notification, UNNotificationPresentationOptions options);

  // What the user's permission lets the system show.
  struct Permission {
    bool banner = true, list = true, badge = true, sound = true;
  };
  Permission permission() const;
  void playSound(NSString* identifier, NSString* sound);

  // Delivery.
  void deliverPush(NSDictionary* payload, NSString* identifier);
  // Removes what is listed of the notification last delivered with
  // `collapseId`, and remembers `replacement` for it.
  void collapse(const std::string& collapseId, NSString* replacement);
  // Spends the background budget; false when it is spent.
  bool spendBackgroundBudget();
  double backgroundBudgetFreesAt() const;
  void pushLegacy(NSDictionary* payload, NSString* identifier, bool visible, bool contentAvailable);
  void pushCurrent(NSDictionary* payload, NSString* identifier, bool visible, bool contentAvailable);
  // A notice in the legacy notice bar (a remote payload, or a local
  // notification), with its badge (0: none) and sound, as permitted.
  void showLegacyNotice(NSObject* notice, NSString* identifier, int64_t badge, NSString* sound);
  void showDelivered(UNNotification* notification);
  void presentLocal(UNNotification* notification);
  void deliverLegacyLocal(const Ref<UILocalNotification>& notification, const Ref<NSString>& identifier);
  void fireRequest(const UNUserNotificationCenter::PendingRequest& pending);
  void fireLegacy(const Ref<UILocalNotification>& entry, bool byRegion);
  bool canLaunch() const { return static_cast<bool>(factory); }
  void expectNotice(NSObject* notice, NSString* identifier);
  void openCurrent(const Ref<UNNotification>& notification);
  void openLegacy(const Id& notice, const Ref<NSString>& identifier);
  void followTimeZone(int64_t before, int64_t after);

  // ---- UIApplicationSystem ----
  void remoteRegistrationRequested(UIApplication* app) override;
  void userNotificationSettingsRegistered(UIApplication* app, UIUserNotificationSettings* requested) override;
  void localNotificationPresented(UIApplication* app, UILocalNotification* notification) override;
  void localNotificationScheduled(UIApplication* app, UILocalNotification* entry) override;
  void localNotificationCancelled(UIApplication* app, UILocalNotification* entry) override;
  void badgeWritten(UIApplication* app, int64_t number) override;
  void noticesChanged(UIApplication* app) override;

  // ---- UNUserNotificationCenterSystem ----
  void authorizationRequested(UNAuthorizationOptions options, std::function<void(bool granted)> answer) override;
  void pendingRequestAdded(UNNotificationRequest* request) override;
  void pendingRequestRemoved(UNNotificationRequest* request, UNPendingRemoval reason) override;
  void deliveredNotificationAdded(UNNotification* notification) override;
  void deliveredNotificationRemoved(UNNotification* notification) override;
  void delegateChanged(NSObject* delegate) override;

  const DeviceOptions options;
  std::shared_ptr<std::atomic<double>> clock;
  Ref<NSTimeZone> zoneBefore;  // the default time zone before the device came
  UIApplication* const app;
  UNUserNotificationCenter* const centre;

  // Main thread only.
  DelegateFactory factory;
  Id delegate;  // the running application's delegate, kept alive as the system does
  int stepDepth = 0;

  std::atomic<AppState> state{AppState::NotRunning};
  // Anything the application or the frameworks did; settling waits until
  // it stops changing.
  std::atomic<uint64_t> activity{0};
  std::atomic<bool> allowAuthorization{true};
  std::atomic<ForegroundOrder> foregroundOrder{ForegroundOrder::PresentFirst};

  // Guards what follows.
  mutable std::mutex lock;
  Ref<NSData> token;
  Ref<NSError> registrationError;
  std::mt19937_64 random;
  struct LegacyEntry {
    Ref<UILocalNotification> entry;
    Ref<NSString> identifier;
    double nextFire;
  };
  std::vector<LegacyEntry> legacy;  // scheduled legacy notifications, in scheduling order
  struct Notice {
    Id notice;
    Ref<NSString> identifier;
  };
  std::vector<Notice> notices;          // the notice bar as last seen
  std::vector<Notice> expectedNotices;  // identifiers chosen before the notice is added
  // For each delivered notification still listed, when it was last
  // delivered (a count of deliveries); forgotten once it is removed.
  std::unordered_map<std::string, uint64_t> latestDelivery;
  uint64_t deliveryCount = 0;
  void noteDelivery(const std::string& identifier) { latestDelivery[identifier] = ++deliveryCount; }
  std::vector<std::shared_ptr<HandlerState>> fetchHandlers;  // not yet called
  // The identifier last delivered with each collapse identifier; entries
  // no longer listed are dropped as it grows.
  std::unordered_map<std::string, std::string> collapsed;
  // Why the list changes now ("collapsed"), for the "removed" records.
  std::string listChangeReason;

  // Main thread only: when the budgeted background pushes of the window
  // were delivered, and the one waiting for the budget.
  std::deque<double> backgroundDeliveries;
  struct DeferredPush {
    Ref<NSDictionary> payload;
    Ref<NSString> identifier;
  };
  std::optional<DeferredPush> deferredPush;

  std::recursive_mutex recordLock;
  std::vector<DeviceRecord> log;
  std::function<void(const DeviceRecord&)> observer;
};

// A new identifier shaped like a random UUID.
Ref<NSString> uuidLikeIdentifier(std::mt19937_64& random);

// The identifier of a delivered notification or pending request, held by
// the request (empty without one).
inline const std::string& identifierOf(UNNotificationRequest* request) {
  static const std::string none;
  return request && request->identifier() ? request->identifier()->utf8() : none;
}

}  // namespace objc
