// The simulated device: the operating system around one application. It
// launches the application, moves it between states, answers registration
// and permission requests, delivers remote notifications, fires local ones
// on a virtual clock, lets the user open notifications, and records
// everything it does.
//
//   objc::Device device;
//   device.launch([] { return objc::Id(objc::make<HostDelegate>()); });
//   device.push(payload);
//   device.setState(objc::AppState::Background);
//   device.advance(60);
//   device.openLatest();
//
// There is one device at a time: it attaches itself to the shared
// application object and the current notification centre, and detaches when
// it goes.
//
// Every step runs on the main thread and returns once it has settled: the
// main queue has run until idle, the notification centre's background
// completions that the step caused have run, and so have the URL downloads
// in flight (a library downloading an attachment), for as long as
// DeviceOptions::downloadWaitSeconds allows. A host program therefore needs
// no waiting of its own. Steps cannot be called from inside the
// application's callbacks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Foundation/Foundation.h"
#include "UIKit/UIKit.h"
#include "UserNotifications/UserNotifications.h"

namespace objc {

// The application as the device sees it: the application object's three
// states, not running, and force-quit: not running because the user swiped
// it away, so that the system launches it again only when the user asks
// (silent pushes do not wake it).
enum class AppState { NotRunning, Active, Inactive, Background, ForceQuit };
// "not running", "active", "inactive", "background", "force quit".
const char* appStateName(AppState state);

// One thing the device saw or did, at a device time. Kinds:
//   "os"          a call into the application: fields "selector" (or
//                 "notification" for a lifecycle broadcast), "receiver"
//                 ("app delegate", "centre delegate", "UIApplication",
//                 "NSNotificationCenter"), "state", and "id" when it
//                 concerns a notification
//   "completion"  a call of a completion handler the device handed out:
//                 "callback" (the selector it came with), "value" (empty
//                 for a handler without arguments), "call" (1, 2, ...)
//   "badge"       a badge write: "value"
//   "local"       a list change: "list" ("pending", "delivered",
//                 "scheduled", "notices"), "change" ("scheduled",
//                 "presented", "delivered", "removed", "cancelled"), "id",
//                 and "reason" for some removals. On the delivered list
//                 "presented" is a banner shown to the active application
//                 and "delivered" its entry in the list
//   "sound"       a notification's sound played: "id", "sound" (the file
//                 name, or "default")
//   "log"         a system-log line: "line"
//   "budget"      a background push and the background budget: "change"
//                 ("deferred", with "wait", the seconds until the budget
//                 allows it; "delivered" when it does; "dropped" when a
//                 newer one is deferred in its place), "id"
//   "fault"       something the real system would punish: "fault"
//                 ("completion called twice", "fetch completion not
//                 called"), "callback", "detail"
struct DeviceRecord {
  double time = 0;
  std::string kind;
  std::vector<std::pair<std::string, std::string>> fields;

  // The field's value; empty when the record has none.
  std::string get(std::string_view key) const;
  bool has(std::string_view key) const;
  // One line of JSON: {"time":T,"kind":"K","field":"value",...}, fields in
  // their order.
  std::string toJSON() const;
};

// How a launch came about.
struct LaunchOptions {
  // Launched into the background (for background work) instead of the
  // foreground.
  bool background = false;
  // The legacy local notification, or the remote payload, the user opened
  // to launch the application; it goes into the launch options under
  // UIApplicationLaunchOptionsLocalNotificationKey or
  // UIApplicationLaunchOptionsRemoteNotificationKey.
  Ref<UILocalNotification> localNotification;
  Ref<NSDictionary> remoteNotification;
  // Further launch-option entries.
  Ref<NSDictionary> extra;
};

// What the push service tells the device of a push besides its payload.
struct PushAttributes {
  // "apns-collapse-id": a notification still listed that came with the
  // same collapse identifier is removed (reason "collapsed") as this one
  // arrives, on both interfaces.
  std::string collapseId;
  // "apns-priority": a background push (content-available and nothing to
  // show) sent with priority 5 spends the background budget.
  int priority = 10;
  // "apns-push-type": a "voip" payload may be up to kMaxVoipPayloadBytes.
  std::string pushType;
  // The payload's size as the push service measured it, the JSON text as
  // the provider sent it; 0: the device measures the payload as it writes
  // it. Text that was sent short ("1e10") can be longer written again, and
  // what the service accepted is delivered.
  size_t payloadBytes = 0;
};

// While the application is active, a visible push that also asks for
// background work reaches both the presentation callback and the fetch
// callback; this says which comes first.
enum class ForegroundOrder { PresentFirst, FetchFirst };

struct DeviceOptions {
  // The virtual clock's start, in seconds since 1970 (2026-01-01 00:00 UTC).
  // The device installs its clock with objc::setClock, so that NSDate and
  // the notification centre read it; real time comes back when it goes.
  // The device's time zone is the default time zone (setTimeZone changes
  // it); the one before the device comes back when it goes.
  double startTime = 1767225600;
  // Whether the device takes over the system log (objc::setLogSink) to
  // record its lines; the default sink is restored when the device goes.
  bool captureLog = true;
  // Where captured lines go on to; empty: standard error, as without the
  // device.
  LogSink logPassOn;
  // Seeds the identifiers the device makes, so that a run is repeatable.
  uint64_t seed = 0x5eed;
  // Whether records() keeps what the device records. A program that sees
  // each record through setRecordObserver can turn this off, so that a
  // device running for ever takes the same memory.
  bool keepRecords = true;
  // How long, in real time, settling waits for URL downloads in flight to
  // finish (with their completion handlers). Twice the request time-out the
  // library gives its attachment downloads, so that a server that never
  // answers ends in the library's time-out rather than in this limit.
  double downloadWaitSeconds = 60;
};

class Device {
 public:
  // How long, in device seconds, a fetch completion handler may stay
  // uncalled before it is reported.
  static constexpr double kFetchCompletionLimit = 30;
  // The largest remote payload, as serialised JSON.
  static constexpr size_t kMaxPayloadBytes = 4096;
  static constexpr size_t kMaxVoipPayloadBytes = 5120;

  explicit Device(DeviceOptions options = {});
  // Detaches from the application object and the notification centre and
  // restores the clock and the log sink. The application's objects stay as
  // they are.
  ~Device();
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;

  // ---- clock ----
  double now() const;
  // Moves the clock forward, firing in time order every local notification
  // whose trigger it passes and reporting fetch completions that run out
  // of time; each firing settles before the next. At most
  // kMaxFiringsPerAdvance firings go one by one: after that the clock
  // moves to the end at once and what is still due fires once (a repeating
  // notification's missed occurrences fire once, as after a device that was
  // switched off), so that every step ends, however long and however
  // often its notifications repeat.
  void advance(double seconds);
  static constexpr int kMaxFiringsPerAdvance = 1000;
  // Runs the main queue and waits for the notification centre's
  // completions and for URL downloads in flight, until nothing more
  // happens; also fires what is due now. A host program calls it after its
  // own requests (scheduling a notification whose attachment the library
  // downloads) to see their outcome.
  void settle();
  const DeviceOptions& options() const;

  // ---- application lifecycle ----
  using DelegateFactory = std::function<Id()>;
  // Starts the application: makes its delegate (the device keeps it, as
  // the real system does), installs it with a "setDelegate:" message to the
  // application object, calls "application:willFinishLaunchingWithOptions:"
  // and "application:didFinishLaunchingWithOptions:", posts
  // UIApplicationDidFinishLaunchingNotification with the launch options as
  // user info, then becomes active, or, launched into the background, gets
  // "applicationDidEnterBackground:" and its broadcast. Raises when the
  // application is running; a force-quit one launches normally. The factory
  // is kept for launches the device makes by itself (a push that wakes the
  // application, the user opening a notification).
  void launch(DelegateFactory factory, LaunchOptions options = {});
  // Launches with a delegate that already exists; later launches reuse it.
  void launch(NSObject* delegate, LaunchOptions options = {});
  AppState state() const;
  // Moves a running application to another state through the states in
  // between, with their delegate callbacks and broadcasts. NotRunning
  // terminates; ForceQuit is the user swiping the application away, which
  // ends it the same way (a not-running one just becomes force-quit). A
  // not-running or force-quit application must be launched instead; moving
  // a force-quit one to NotRunning forgets the force-quit, as a restart of
  // the phone does.
  void setState(AppState state);
  // Sends the application to the background and ends it. Only a running
  // application is told ("applicationWillTerminate:",
  // UIApplicationWillTerminateNotification): one that was active or
  // inactive, or in the background with background work (a fetch
  // completion) outstanding. One already in the background with nothing to
  // do is suspended and ends without a word. The device lets go of the
  // delegate.
  void terminate();
  // The delegate of the running application, nil when not running. Main
  // thread.
  Id applicationDelegate() const;

  // ---- registration and permission ----
  // The token "registerForRemoteNotifications" is answered with; by default
  // 32 fixed bytes (0x00, 0x01, ..., 0x1f). Without a token registration
  // fails (NSCocoaErrorDomain 3000, as without the entitlement).
  void setDeviceToken(NSData* token);
  Ref<NSData> deviceToken() const;
  // Answers registration with this error instead of a token; nil restores
  // the token.
  void setRemoteRegistrationError(NSError* error);
  // The user's answer to a permission prompt (both the notification
  // centre's and the legacy settings request); allow by default.
  void setAuthorizationAnswer(bool allow);
  // The user changed the permission in the settings. It rules what the
  // system shows of every notification, remote or local, on every system
  // version (the legacy settings follow it): denied shows nothing (no list,
  // banner, badge or sound; the application's own callbacks still run);
  // provisional (from "12.0"; NSInvalidArgumentException before) lists
  // quietly, without banner, badge or sound; authorised shows what was
  // granted (alert: banner and list, badge, sound). While not determined
  // everything shows, so that a test need not answer a prompt first.
  void setAuthorizationStatus(UNAuthorizationStatus status,
                              UNAuthorizationOptions granted = UNAuthorizationOptionBadge | UNAuthorizationOptionSound |
                                                               UNAuthorizationOptionAlert);
  void setForegroundOrder(ForegroundOrder order);
  // The user's time zone changes (the default time zone). Calendar
  // triggers without a time zone of their own follow the wall clock: their
  // next firing is computed again in the new zone, from now. Legacy
  // notifications with a time zone keep their wall-clock time. Raises
  // NSInvalidArgumentException for nil.
  void setTimeZone(NSTimeZone* zone);

  // ---- remote notifications ----
  // Delivers a remote payload as the system would for the running system
  // version, the application's state, the user's permission and what the
  // payload asks for. Background work launches a not-running application
  // into the background, but not a force-quit one.
  // Returns the notification's identifier (`identifier` when given, else a
  // new one). Raises NSInvalidArgumentException, and delivers nothing, for
  // a payload over kMaxPayloadBytes of JSON (kMaxVoipPayloadBytes for the
  // push type "voip") or one that JSON cannot hold.
  Ref<NSString> push(NSDictionary* payload, NSString* identifier = nullptr);
  // The same, with what the push service said of it. A priority-5
  // background push beyond the budget (kBackgroundBudget in any
  // kBackgroundBudgetWindow seconds) is deferred until the budget allows
  // it; only the latest deferred one is kept.
  Ref<NSString> push(NSDictionary* payload, NSString* identifier, const PushAttributes& attributes);
  static constexpr int kBackgroundBudget = 3;
  static constexpr double kBackgroundBudgetWindow = 3600;
  // The delivered list (from 10.0) and the notice bar (below 10.0) keep
  // the latest this many; the oldest goes when one more is listed, recorded
  // as "removed" with reason "limit". A device that takes pushes for hours
  // keeps flat memory.
  static constexpr size_t kDeliveredLimit = 1000;
  // What the system makes of a payload's "aps" entries; the whole payload
  // becomes the user info.
  static Ref<UNNotificationContent> contentFromPayload(NSDictionary* payload);

  // ---- the user ----
  // Opens a delivered notification (the notification centre's list, or the
  // legacy notice bar): the application comes forward, or is launched with
  // the notification in its launch options, and is told. False when no
  // notification has that identifier.
  bool open(NSString* identifier);
  bool open(std::string_view identifier) { return open(str(identifier).get()); }
  // Opens the most recently delivered notification still listed.
  bool openLatest();
  // The identifiers of the delivered notifications still listed, oldest
  // first (both lists).
  std::vector<std::string> deliveredIdentifiers() const;
  // The user asks for the application's notification settings from the
  // system's settings (from "12.0"): the application comes forward and the
  // centre's delegate receives "userNotificationCenter:openSettingsForNotification:".
  // False, and nothing happens, on an older system.
  bool openSettings(UNNotification* notification = nullptr);
  // The device enters a region: location-triggered requests and legacy
  // notifications for a region of that identifier fire.
  void enterRegion(std::string_view identifier);

  // ---- what it holds ----
  // The sizes of what the device keeps, so that a program (or a test) can
  // see that a device running for ever stays the same size: each grows
  // only with what is still listed, scheduled or waited for.
  struct Footprint {
    size_t records = 0;          // kept for records() (none without keepRecords)
    size_t deliveries = 0;       // delivered notifications still listed
    size_t legacyScheduled = 0;  // scheduled legacy notifications
    size_t notices = 0;          // the legacy notice bar
    size_t fetchHandlers = 0;    // fetch completions not yet called
  };
  Footprint footprint() const;

  // ---- records ----
  std::vector<DeviceRecord> records() const;
  std::vector<DeviceRecord> records(std::string_view kind) const;
  std::vector<DeviceRecord> faults() const { return records("fault"); }
  void clearRecords();
  // Sees every record as it is made, on the thread that made it (records
  // of one kind may come from the notification centre's queue). It must
  // not call back into the device or log.
  void setRecordObserver(std::function<void(const DeviceRecord&)> observer);

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace objc
