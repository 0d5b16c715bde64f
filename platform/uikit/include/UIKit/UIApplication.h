// The shared application object, its delegate protocol, the lifecycle
// broadcasts and the launch-option keys.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "Foundation/Foundation.h"
#include "UIKit/UILocalNotification.h"
#include "UIKit/UIUserNotificationSettings.h"

namespace objc {

class UIApplicationSystem;

// The application's state (a signed integer).
using UIApplicationState = int64_t;
inline constexpr UIApplicationState UIApplicationStateActive = 0;
inline constexpr UIApplicationState UIApplicationStateInactive = 1;
inline constexpr UIApplicationState UIApplicationStateBackground = 2;

// The result a background-fetch completion handler is called with (an
// unsigned integer).
using UIBackgroundFetchResult = uint64_t;
inline constexpr UIBackgroundFetchResult UIBackgroundFetchResultNewData = 0;
inline constexpr UIBackgroundFetchResult UIBackgroundFetchResultNoData = 1;
inline constexpr UIBackgroundFetchResult UIBackgroundFetchResultFailed = 2;

// The completion handler of
// "application:didReceiveRemoteNotification:fetchCompletionHandler:". Blocks
// are recovered by their exact C++ signature, so whoever makes or calls one
// uses this type: makeBlock<void(UIBackgroundFetchResult)>(...).
using UIBackgroundFetchResultHandler = Block<void(UIBackgroundFetchResult)>;

// Lifecycle broadcasts, posted on the default notification centre with the
// application object as sender. Each returns a process-lifetime string whose
// text is the constant's own name.
NSString* UIApplicationDidFinishLaunchingNotification();
NSString* UIApplicationDidEnterBackgroundNotification();
NSString* UIApplicationWillEnterForegroundNotification();
NSString* UIApplicationWillTerminateNotification();
NSString* UIApplicationDidBecomeActiveNotification();
NSString* UIApplicationWillResignActiveNotification();

// Launch-option keys (user info of the launch broadcast, and the options of
// the launch callbacks): the legacy local notification, or the remote
// payload, that launched the application.
NSString* UIApplicationLaunchOptionsLocalNotificationKey();
NSString* UIApplicationLaunchOptionsRemoteNotificationKey();

// The protocol "UIApplicationDelegate" (registered when UIKit loads).
Protocol UIApplicationDelegateProtocol();

// The one application object of the process. Its run-time methods, under
// these exact selectors (signatures as checked sends see them):
//
//   +sharedApplication                          @
//   -delegate                                   @   (held weakly)
//   -setDelegate:                               v@  (exchangeable)
//   -applicationState                           q
//   -applicationIconBadgeNumber                 q
//   -setApplicationIconBadgeNumber:             vq
//   -registerForRemoteNotifications             v
//   -isRegisteredForRemoteNotifications         B
//   -registerUserNotificationSettings:          v@
//   -currentUserNotificationSettings            @
//   -presentLocalNotificationNow:               v@
//   -scheduleLocalNotification:                 v@
//   -scheduledLocalNotifications                @   (a snapshot NSArray)
//   -cancelLocalNotification:                   v@
//   -cancelAllLocalNotifications                v
//
// Callbacks the application object itself makes on its delegate (when the
// delegate responds): "application:didReceiveLocalNotification:" and
// "application:didRegisterUserNotificationSettings:", always on the main
// queue. Everything else that reaches the delegate (tokens, pushes,
// launches) comes from the device that drives the application.
//
// The state is guarded, so the methods may be called from any thread.
class UIApplication final : public NSObject {
 public:
  static Class class_();
  // Created on first use.
  static UIApplication* sharedApplication();

  Ref<NSObject> delegate() const;
  // Sends "setDelegate:", so that a replaced or exchanged setter runs.
  void setDelegate(NSObject* delegate);

  UIApplicationState applicationState() const;

  // Above 0 shows the number; 0 clears the badge and every delivered notice
  // of the application from the notice bar; below 0 hides the badge and
  // leaves the notices. The number written is what reads back.
  int64_t applicationIconBadgeNumber() const;
  void setApplicationIconBadgeNumber(int64_t number);

  // Asks the system for a device token; the answer reaches the delegate
  // from the device. Without a device nothing happens.
  void registerForRemoteNotifications();
  bool isRegisteredForRemoteNotifications() const;

  // Asks the user for the legacy notification types. The answer becomes the
  // current settings and reaches the delegate through
  // "application:didRegisterUserNotificationSettings:" on the main queue.
  // Without a device the user allows what was asked.
  void registerUserNotificationSettings(UIUserNotificationSettings* settings);
  // Types 0 until the user has answered.
  Ref<UIUserNotificationSettings> currentUserNotificationSettings() const;

  // Shows a copy of the notification now: while the application is active
  // only the delegate receives "application:didReceiveLocalNotification:"
  // (a frontmost application gets no alert, badge or sound); otherwise its
  // badge number (when not 0) is written to the badge and the notice goes to
  // the notice bar. Without a device this happens on the next main-queue
  // turn. Nil is ignored.
  void presentLocalNotificationNow(UILocalNotification* notification);
  // Keeps a copy in the scheduled list; firing it is the device's work
  // (without a device it stays in the list). Nil is ignored.
  void scheduleLocalNotification(UILocalNotification* notification);
  // A new array of copies of the scheduled notifications, in scheduling
  // order. Each copy still identifies its entry for cancelLocalNotification.
  Ref<NSArray> scheduledLocalNotifications() const;
  // Removes the scheduled entry a notification from scheduledLocalNotifications
  // came from (nothing once that entry is gone), or, for a notification that
  // never was in the list, the first entry with the same fields. A notice of
  // that entry that is showing (it fired) is dismissed.
  void cancelLocalNotification(UILocalNotification* notification);
  void cancelAllLocalNotifications();

  // ---- Platform side: for the simulated device and the frameworks. ----
  // See UIKit/UIApplication+System.h for the observer interface.

  // The device's observer, told of every registration, presentation,
  // scheduling, cancellation and badge write. Nil detaches it; without one
  // the default behaviour of UIApplicationSystem applies.
  void setSystem(std::shared_ptr<UIApplicationSystem> system);
  std::shared_ptr<UIApplicationSystem> system() const;

  void setApplicationState(UIApplicationState state);
  void setRegisteredForRemoteNotifications(bool registered);

  // The user's answer to registerUserNotificationSettings: makes `granted`
  // the current settings and calls the delegate's
  // "application:didRegisterUserNotificationSettings:" on the main queue.
  void answerUserNotificationSettings(UIUserNotificationSettings* granted);
  // The user changed the permission in the system's settings: `settings`
  // become the current ones (nil: not asked yet) and the delegate is not
  // told, as the real system does not tell it.
  void setCurrentUserNotificationSettings(UIUserNotificationSettings* settings);

  // What the system does when a legacy local notification is delivered,
  // synchronously on the calling thread (the device calls it on the main
  // thread): calls the delegate's "application:didReceiveLocalNotification:"
  // while active, and nothing else; otherwise writes its badge number when
  // not 0 and adds the notification to the notice bar.
  void deliverLocalNotification(UILocalNotification* notification);

  // The scheduled entries themselves (not copies), in scheduling order.
  std::vector<Ref<UILocalNotification>> scheduledEntries() const;
  // Removes a scheduled entry without cancelling it (it fired); true when
  // the entry was in the list.
  bool removeScheduledEntry(UILocalNotification* entry);

  // The legacy notice bar: notices the application has not opened yet
  // (legacy local notifications, or remote payloads below "10.0"), oldest
  // first.
  std::vector<Id> notices() const;
  void addNotice(NSObject* notice);
  bool removeNotice(NSObject* notice);
  void removeAllNotices();
  // Frameworks that keep notices of their own (the notification centre's
  // delivered list) are cleared with the notice bar when the badge is set
  // to 0. The handler runs on the thread that wrote the badge.
  void addNoticeBarClearHandler(std::function<void()> handler);

 private:
  UIApplication() = default;
  template <class T, class... A>
  friend Ref<T> make(A&&... args);

  void storeDelegate(NSObject* delegate);
  void writeBadge(int64_t number);
  void clearNoticeBar();

  mutable std::mutex lock_;
  Weak<NSObject> delegate_;
  UIApplicationState state_ = UIApplicationStateActive;
  int64_t badge_ = 0;
  bool registeredForRemote_ = false;
  Ref<UIUserNotificationSettings> settings_;
  std::vector<Ref<UILocalNotification>> scheduled_;
  uint64_t nextScheduleToken_ = 1;
  std::vector<Id> notices_;
  std::vector<std::function<void()>> noticeBarClearHandlers_;
  std::shared_ptr<UIApplicationSystem> system_;
};

}  // namespace objc
