// The notification centre: authorisation, pending requests and delivered
// notifications of the application.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "Foundation/Foundation.h"
#include "UserNotifications/UNError.h"
#include "UserNotifications/UNNotification.h"
#include "UserNotifications/UNNotificationRequest.h"
#include "UserNotifications/UNNotificationSettings.h"

namespace objc {

class UNUserNotificationCenterSystem;

// Presentation options a delegate answers "willPresent" with (an unsigned
// bit set). From "14.0" list puts the notification in the delivered list and
// banner shows it; alert keeps its older meaning of both. Older systems
// ignore list and banner.
using UNNotificationPresentationOptions = uint64_t;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionNone = 0;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionBadge = 1;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionSound = 2;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionAlert = 4;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionList = 8;
inline constexpr UNNotificationPresentationOptions UNNotificationPresentationOptionBanner = 16;

// Completion handlers. Blocks are recovered by their exact C++ signature,
// and code that cannot see this header (the library reaches the framework
// by name) must make them with the same one, so the signatures use only
// Foundation types:
//
//   getNotificationSettingsWithCompletionHandler:      void(id settings)
//   requestAuthorizationWithOptions:completionHandler: void(bool granted, NSError* error)
//   addNotificationRequest:withCompletionHandler:      void(NSError* error)
//   getPendingNotificationRequestsWithCompletionHandler:,
//   getDeliveredNotificationsWithCompletionHandler:    void(NSArray* list)
//
// and the handlers the centre's delegate is given:
//
//   userNotificationCenter:willPresentNotification:withCompletionHandler:
//                                                     void(UNNotificationPresentationOptions)
//                                                     (that is, void(uint64_t))
//   userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:
//                                                     void()
//
// A block of another signature is refused with objc::Exception.
using UNNotificationSettingsHandler = Block<void(NSObject*)>;
using UNAuthorizationHandler = Block<void(bool, NSError*)>;
using UNErrorHandler = Block<void(NSError*)>;
using UNNotificationListHandler = Block<void(NSArray*)>;
using UNPresentationOptionsHandler = Block<void(UNNotificationPresentationOptions)>;
using UNResponseCompletionHandler = Block<void()>;

// The protocol "UNUserNotificationCenterDelegate" (registered when the
// framework loads).
Protocol UNUserNotificationCenterDelegateProtocol();

// Run-time methods, under these exact selectors:
//
//   +currentNotificationCenter                                   @
//   -delegate                                                    @  (weak)
//   -setDelegate:                                                v@ (replaceable)
//   -getNotificationSettingsWithCompletionHandler:               v@
//   -requestAuthorizationWithOptions:completionHandler:          vQ@
//   -addNotificationRequest:withCompletionHandler:               v@@
//   -removePendingNotificationRequestsWithIdentifiers:           v@
//   -removeDeliveredNotificationsWithIdentifiers:                v@
//   -removeAllPendingNotificationRequests                        v
//   -removeAllDeliveredNotifications                             v
//   -getPendingNotificationRequestsWithCompletionHandler:        v@
//   -getDeliveredNotificationsWithCompletionHandler:             v@
//
// Every completion runs exactly once, asynchronously, on the centre's own
// serial background queue, never on the caller's stack; nil completions are
// allowed. Changes to the lists take effect when the call is made, so a
// later call sees them; the snapshots the "get" calls report are taken when
// they are called.
//
// The rules the centre enforces:
// - it keeps the 64 pending requests that fire soonest; the rest are dropped
//   silently (their add still completes without an error). Requests that
//   fire on no date (a region) count as the latest, in the order added;
// - adding a request whose identifier is pending replaces that request;
// - while authorisation is denied, adding a request fails with
//   UNErrorDomain code 1 and nothing is added;
// - the user is asked only while the status is not determined; later
//   requests complete at once with the decision already made.
class UNUserNotificationCenter final : public NSObject {
 public:
  static Class class_();
  static UNUserNotificationCenter* currentNotificationCenter();

  Ref<NSObject> delegate() const;
  // Sends "setDelegate:", so that a replaced setter runs.
  void setDelegate(NSObject* delegate);

  void getNotificationSettingsWithCompletionHandler(UNNotificationSettingsHandler* completion);
  void requestAuthorizationWithOptions(UNAuthorizationOptions options, UNAuthorizationHandler* completion);
  // Raises NSInvalidArgumentException for a nil request.
  void addNotificationRequest(UNNotificationRequest* request, UNErrorHandler* completion);
  void removePendingNotificationRequestsWithIdentifiers(NSArray* identifiers);
  void removeDeliveredNotificationsWithIdentifiers(NSArray* identifiers);
  void removeAllPendingNotificationRequests();
  void removeAllDeliveredNotifications();
  // The pending UNNotificationRequests, soonest first.
  void getPendingNotificationRequestsWithCompletionHandler(UNNotificationListHandler* completion);
  // The delivered UNNotifications still listed, oldest first.
  void getDeliveredNotificationsWithCompletionHandler(UNNotificationListHandler* completion);

  // ---- Platform side: for the simulated device. ----
  // See UserNotifications/UNUserNotificationCenter+System.h.

  static constexpr size_t kPendingLimit = 64;

  struct PendingRequest {
    Ref<UNNotificationRequest> request;
    double addedAt;   // seconds since 1970, by objc::currentTime()
    double fireTime;  // the next moment it fires; kUNNeverFires for none
  };

  void setSystem(std::shared_ptr<UNUserNotificationCenterSystem> system);
  std::shared_ptr<UNUserNotificationCenterSystem> system() const;

  // The queue completions run on, and whether the calling thread is running
  // work of that queue now.
  DispatchQueue* completionQueue() const { return queue_.get(); }
  static bool isOnCompletionQueue();

  UNAuthorizationStatus authorizationStatus() const;
  UNAuthorizationOptions grantedOptions() const;
  // Sets the decision directly (the user changed it in the settings).
  void setAuthorizationStatus(UNAuthorizationStatus status, UNAuthorizationOptions granted);
  Ref<UNNotificationSettings> currentSettings() const;

  // Soonest first.
  std::vector<PendingRequest> pendingRequests() const;
  // Removes and returns the pending request (it fired); nil when none has
  // that identifier.
  Ref<UNNotificationRequest> takePendingRequest(NSString* identifier);
  // Moves a repeating request's next firing; false when it is not pending.
  bool setPendingFireTime(NSString* identifier, double fireTime);

  // Oldest first.
  std::vector<Ref<UNNotification>> deliveredNotifications() const;
  size_t deliveredCount() const;
  // Takes the oldest off the list (the system is told, as for any
  // removal); nothing when none is listed.
  void removeOldestDeliveredNotification();
  // Lists a delivered notification; one with the same request identifier is
  // replaced.
  void addDeliveredNotification(UNNotification* notification);

 private:
  UNUserNotificationCenter();
  template <class T, class... A>
  friend Ref<T> make(A&&... args);

  struct Waiter {
    UNAuthorizationOptions options;
    Ref<UNAuthorizationHandler> completion;
  };

  void storeDelegate(NSObject* delegate);
  void complete(std::function<void()> work);
  void answerAuthorization(UNAuthorizationOptions options, bool granted);
  void insertPending(Ref<UNNotificationRequest> request);
  void removePendingWhere(const std::function<bool(UNNotificationRequest*)>& match);
  void removeDeliveredWhere(const std::function<bool(UNNotification*)>& match);

  Ref<DispatchQueue> queue_;
  mutable std::mutex lock_;
  Weak<NSObject> delegate_;
  UNAuthorizationStatus status_ = UNAuthorizationStatusNotDetermined;
  UNAuthorizationOptions granted_ = 0;
  bool prompting_ = false;
  std::vector<Waiter> waiting_;
  std::vector<PendingRequest> pending_;
  // Oldest first, and indexed by request identifier: a device that has
  // taken many pushes still lists, replaces and finds one in constant time.
  std::list<Ref<UNNotification>> delivered_;
  std::unordered_map<std::string, std::list<Ref<UNNotification>>::iterator> deliveredById_;
  std::shared_ptr<UNUserNotificationCenterSystem> system_;
};

}  // namespace objc
