// The library's one stateful object: a process-lifetime singleton that holds
// the host's application and notification-centre delegates (weakly), the
// registration configuration and the foreground presentation options, and
// that every delivery callback reaches before the host's own code.
//
// OrvelContext is the run-time class "OrvelContext". Every operation is also
// registered under its selector (given beside each declaration), so that the
// platform and the library's own interception reach it by message send.
//
// Handlers are passed as objects (blocks, possibly nil) and recovered by
// their exact signature; the aliases below are the signatures to make them
// with. Any other object (a block of another signature included) is treated
// as absent, and one log line names the operation and the signature it takes.
#pragma once

#include <cstdint>

#include "Foundation/Foundation.h"
#include "UIKit/UIApplication.h"
#include "orvel/OrvelDefines.h"
#include "orvel/OrvelNotificationConfiguration.h"
#include "orvel/OrvelNotificationRequest.h"

// "application:didReceiveRemoteNotification:fetchCompletionHandler:"
using OrvelFetchCompletionHandler = objc::UIBackgroundFetchResultHandler;
// "userNotificationCenter:willPresentNotification:withCompletionHandler:"
// (the presentation options: 1 badge, 2 sound, 4 alert).
using OrvelPresentationCompletionHandler = objc::Block<void(uint64_t)>;
// "userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:"
using OrvelResponseCompletionHandler = objc::Block<void()>;
// The authorisation status: 0 not determined, 1 denied, 2 authorised.
using OrvelAuthorizationStatusHandler = objc::Block<void(int64_t)>;
// What a local-notification request scheduled (a platform request or a
// legacy local notification), or why the system refused it.
using OrvelLocalNotificationHandler = objc::Block<void(objc::NSObject* result, objc::NSError* error)>;
// The attachments downloaded for a media address, or the error.
using OrvelAttachmentsCompletion = objc::Block<void(objc::NSArray* attachments, objc::NSError* error)>;
// One downloaded attachment, or nil.
using OrvelAttachmentCompletion = objc::Block<void(objc::NSObject* attachment)>;

class OrvelContext : public objc::NSObject {
 public:
  static objc::Class class_();

  // +currentContext. Created on the first call, from any thread; every call
  // returns the same object, which is never destroyed.
  static OrvelContext* currentContext();

  // -init: foregroundType 7, every other field nil. Contexts are made by
  // currentContext; another instance observes nothing until its addObserver.
  OrvelContext();
  // -dealloc: stops observing the application's broadcasts.
  ~OrvelContext() override;

  // ---- Lifecycle (OrvelContext) ----

  // -addObserver: subscribes to the four application-lifecycle broadcasts.
  void addObserver();
  // -applicationDidFinishLaunching: below system "10.0", a legacy local
  // notification that launched the application becomes a delivery event.
  void applicationDidFinishLaunching(objc::NSNotification* notification);
  // -applicationDidEnterBackground, -applicationWillEnterForeground,
  // -applicationWillTerminateNotification: nothing to do.
  void applicationDidEnterBackground();
  void applicationWillEnterForeground();
  void applicationWillTerminateNotification();
  // -setApplicationDelegate: stores a new, non-nil delegate weakly and hooks
  // it; nil, or the delegate already held, changes nothing.
  void setApplicationDelegate(objc::NSObject* delegate);

  // ---- Fields (each accessor is also a run-time method of its name) ----

  // -applicationDelegate: the host's application delegate, nil once gone.
  objc::Ref<objc::NSObject> applicationDelegate() const { return applicationDelegate_.load(); }
  // -appDelegates / -setAppDelegates: a list kept for the host only.
  objc::NSMutableArray* appDelegates() const { return appDelegates_.get(); }
  void setAppDelegates(objc::NSMutableArray* value) { appDelegates_ = value; }
  // -unDelegate: the host's notification-centre delegate, nil once gone.
  objc::Ref<objc::NSObject> unDelegate() const { return unDelegate_.load(); }
  // -configuration / -setConfiguration:
  OrvelNotificationConfiguration* configuration() const { return configuration_.get(); }
  void setConfiguration(OrvelNotificationConfiguration* value) { configuration_ = value; }
  // -foregroundType / -setForegroundType: the presentation options for a
  // notification that arrives in the foreground. Only the host changes it.
  int64_t foregroundType() const { return foregroundType_; }
  void setForegroundType(int64_t value) { foregroundType_ = value; }

  // ---- Registration (OrvelContext+Registration) ----

  // -registerForRemoteNotification: stores `configuration` (nil included),
  // then registers: from "10.0" the context becomes the notification centre's
  // delegate and the user is asked for its types while nothing is granted
  // (not determined or denied); below "10.0" the legacy settings of its types
  // are installed. The application registers for remote notifications every
  // time, at once; the token or the failure arrives as an event.
  void registerForRemoteNotification(OrvelNotificationConfiguration* configuration);
  // -requestNotificationAuthorizationStatus: (an OrvelAuthorizationStatusHandler or nil)
  // From "10.0" the platform's status, on the notification centre's queue;
  // below "10.0" 2 when any legacy type is enabled, else 0, before returning.
  void requestNotificationAuthorizationStatus(objc::NSObject* handler);
  // -_registerForRemoteNotification: the registration steps, from the stored
  // configuration.
  void _registerForRemoteNotification();

  // ---- Delivery (OrvelContext+Delivery) ----

  // Delivery handlers, called by the interception before the host's own
  // callback runs. Each does its work at once and posts its event from the
  // main queue on a later turn.
  //
  // -didRegisterForRemoteNotificationsWithDeviceToken: posts
  // "OrvelDidRegisterRemoteNotification" with the token and { "deviceToken":
  // upper-case hex }; an argument that is not a byte buffer is posted
  // without user info.
  void didRegisterForRemoteNotificationsWithDeviceToken(objc::NSObject* deviceToken);
  // -didFailToRegisterForRemoteNotificationsWithError: posts
  // "OrvelFailedRegisterRemoteNotification" with the error.
  void didFailToRegisterForRemoteNotificationsWithError(objc::NSObject* error);
  // -didReceiveRemoteNotification: posts "OrvelDidReceiveMessageNotification"
  // with a message of type 0, or 2 (badge lowered by one) when the callback
  // is the user's tap: the application is inactive (from "10.0" only while
  // the notification centre has no delegate, which gets taps as responses)
  // and the content is not silent or has an alert text. A delivery in the
  // background is the system's, not the user's: type 0, badge untouched.
  void didReceiveRemoteNotification(objc::NSObject* payload);
  // -didReceiveLocalNotification: posts "OrvelDidReceiveMessageNotification"
  // with a message of type 1, or 3 (badge lowered by one) while the
  // application is not active.
  void didReceiveLocalNotification(objc::NSObject* notification);

  // ---- Presentation (OrvelContext+Presentation) ----

  // -userNotificationCenter:willPresentNotification:withCompletionHandler:
  // (an OrvelPresentationCompletionHandler or nil) broadcasts a message of
  // type 0 or 1 and hands the call to the host's centre delegate, else to
  // the application delegate's classic callbacks. The host gets a handler
  // that reaches the platform at most once; once the host has returned, the
  // library answers with foregroundType, which counts only if the host has
  // not answered.
  void userNotificationCenterWillPresentNotification(objc::NSObject* center, objc::NSObject* notification,
                                                     objc::NSObject* completionHandler);

  // ---- Responses (OrvelContext+Responses) ----

  // -userNotificationCenter:didReceiveNotificationResponse:withCompletionHandler:
  // (an OrvelResponseCompletionHandler or nil) lowers the badge by one,
  // broadcasts a message of type 2 or 3 and completes, then hands the call
  // to the host's centre delegate (whose own call of the handler is dropped),
  // else to the application delegate's classic callbacks.
  void userNotificationCenterDidReceiveNotificationResponse(objc::NSObject* center, objc::NSObject* response,
                                                            objc::NSObject* completionHandler);
  // -userNotificationCenter:openSettingsForNotification: logs, then forwards
  // to the host's centre delegate.
  void userNotificationCenterOpenSettingsForNotification(objc::NSObject* center, objc::NSObject* notification);

  // ---- Local notifications (OrvelContext+LocalNotifications) ----

  // -addLocalNotification:handler: (an OrvelLocalNotificationHandler or nil)
  // schedules the request: from "10.0" with the notification framework (the
  // handler gets the submitted request, or the framework's error, on one of
  // its queues; a media address under the content's "attachment" user-info
  // key is downloaded first and attached when the server answers with a
  // success and a body, its type taken from the address's path), below it
  // as a legacy local notification (the handler gets it before this
  // returns). A request without content is ignored. A delay the framework's
  // time-interval trigger would refuse (0 or less, or under 60 seconds when
  // repeating) schedules nothing: the handler gets no result and an error in
  // "OrvelLocalNotification", code 1000, with the framework's reason.
  void addLocalNotification(OrvelNotificationRequest* request, objc::NSObject* handler);
  // -_addLocalNotification:handler: (an OrvelLocalNotificationHandler or nil)
  void _addLocalNotification(OrvelNotificationRequest* request, objc::NSObject* handler);
  // -_requestWithIdentifier:content:trigger:result: (the platform content and
  // trigger; an OrvelLocalNotificationHandler or nil)
  void _requestWithIdentifier(objc::NSString* identifier, objc::NSObject* content, objc::NSObject* trigger,
                              objc::NSObject* result);

  // ---- Attachments (OrvelContext+Attachments) ----

  // -_handleNotificationServiceRequestUrl:withAttachmentsComplete: (an
  // OrvelAttachmentsCompletion or nil)
  void _handleNotificationServiceRequestUrl(objc::NSString* url, objc::NSObject* complete);
  // -_loadAttachmentForUrlString:withType:completionHandle: (an
  // OrvelAttachmentCompletion or nil)
  void _loadAttachmentForUrlString(objc::NSString* url, objc::NSString* type, objc::NSObject* completionHandle);

  // ---- Removal and request identifiers (OrvelContext+Removal) ----

  // -removeNotificationWithIdentifiers:requestStatuses: removes the pending
  // (bit 1) and delivered (bit 2) notifications with these identifiers, or
  // all of them when none is given. Below "10.0" only scheduled
  // notifications can be removed: by identifier when bit 1 is set, or all of
  // them, whatever the bits, when no identifier is given.
  void removeNotificationWithIdentifiers(objc::NSArray* identifiers, OrvelNotificationRequestStatus requestStatuses);
  // -_removeNotificationWithIdentifiers:requestStatuses:
  void _removeNotificationWithIdentifiers(objc::NSArray* identifiers, OrvelNotificationRequestStatus requestStatuses);
  // -_randomRequestIdentifier: milliseconds since 1970 by the clock, rounded
  // to the nearest, in decimal; never the same twice in a process (within
  // one millisecond the next ones follow on: ...000, ...001, ...).
  objc::Ref<objc::NSString> _randomRequestIdentifier();

  // ---- Category Other (OrvelContext+Other) ----

  // -setBadge: a number above 0 is shown; 0 or less clears a badge that is
  // showing: -1 from system "11.0", 0 on "10.x", and below "10.0" through a
  // legacy local notification that carries OrvelCommandClearBadge.
  void setBadge(int64_t badge);

  // ---- Category HookService (OrvelContext+HookService) ----

  // -setUnDelegate: holds `delegate` weakly for forwarding; nil and the
  // context itself are ignored.
  void setUnDelegate(objc::NSObject* delegate);

  // -orvelSetUNDelegate: and -p_orvelSetUNDelegate: run with a notification
  // centre as receiver: the first becomes the centre's "setDelegate:" at load
  // time (making the context the centre's real delegate and holding the
  // host's object as unDelegate), the second is the placeholder for a centre
  // without a setter of its own and does nothing. Plain implementation
  // functions, registered with the encoding "v24@0:8@16".
  static void orvelSetUNDelegate(objc::id self, objc::SEL _cmd, objc::id delegate);
  static void p_orvelSetUNDelegate(objc::id self, objc::SEL _cmd, objc::id delegate);

  // -PublicSendRawOrvel:application:didReceiveLocalNotification: hands a
  // legacy local notification to the host's own implementation in `target`.
  void PublicSendRawOrvelDidReceiveLocalNotification(objc::NSObject* target, objc::NSObject* application,
                                                     objc::NSObject* notification);
  // -PublicSendRawOrvel:application:didReceiveRemoteNotification:fetchCompletionHandler:
  // hands a remote payload to the host's own implementation in `target`
  // (the fetch variant, else the plain one), then completes the handler (an
  // OrvelFetchCompletionHandler or nil) with 0 unless the host completed it
  // before returning. The handler is reached at most once.
  void PublicSendRawOrvelDidReceiveRemoteNotification(objc::NSObject* target, objc::NSObject* application,
                                                      objc::NSObject* payload, objc::NSObject* completionHandler);

  // -hookApplicationDelegate: switches a delegate that conforms to
  // "UIApplicationDelegate" to the generated class "Orvel_<its class>",
  // whose push callbacks reach the context first and the host after; a
  // callback that the host hands on to another of its callbacks reaches the
  // context once. A delegate already hooked (its class, or a superclass, is
  // a generated class) is left as it is. One that cannot be hooked (a class
  // object, a class without the protocol, a name taken) is left alone and
  // named in one log line, once per class.
  void hookApplicationDelegate(objc::NSObject* delegate);
  // -backupsImpWithSuperclass:Subclass: keeps the host class's callbacks in
  // `subclass` under the "OrvelApplication:..." selectors (never one of the
  // library's own intercepting functions).
  void backupsImpWithSuperclass(objc::Class superclass, objc::Class subclass);
  // -hookAddMethodWithSubclass: adds the intercepting functions.
  void hookAddMethodWithSubclass(objc::Class subclass);

 private:
  objc::Weak<objc::NSObject> applicationDelegate_;
  objc::Ref<objc::NSMutableArray> appDelegates_;
  objc::Weak<objc::NSObject> unDelegate_;
  objc::Ref<OrvelNotificationConfiguration> configuration_;
  int64_t foregroundType_ = 7;
};
