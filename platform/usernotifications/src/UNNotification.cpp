#include "UserNotifications/UNNotification.h"

#include "Framework.h"

namespace objc {

NSString* UNNotificationDefaultActionIdentifier() { return lit<"UNNotificationDefaultActionIdentifier">(); }
NSString* UNNotificationDismissActionIdentifier() { return lit<"UNNotificationDismissActionIdentifier">(); }

// ---- requests ----

Class UNNotificationRequest::class_() {
  static Class c = un::gated(ClassBuilder<UNNotificationRequest>("UNNotificationRequest")
                                 .method<&UNNotificationRequest::identifier>("identifier")
                                 .method<&UNNotificationRequest::content>("content")
                                 .method<&UNNotificationRequest::trigger>("trigger")
                                 .classMethod("requestWithIdentifier:content:trigger:",
                                              [](Class, SEL, NSString* identifier, UNNotificationContent* content,
                                                 UNNotificationTrigger* trigger) -> Id {
                                                return requestWithIdentifier(identifier, content, trigger);
                                              })
                                 .build());
  return c;
}

Ref<UNNotificationRequest> UNNotificationRequest::requestWithIdentifier(NSString* identifier,
                                                                        UNNotificationContent* content,
                                                                        UNNotificationTrigger* trigger) {
  if (!identifier) throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: identifier != nil");
  if (!content) throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: content != nil");
  auto r = make<UNNotificationRequest>();
  r->identifier_ = un::copied(identifier);
  r->content_ = un::copied(content);
  r->trigger_ = trigger;
  return r;
}

std::string UNNotificationRequest::description() const {
  return format("<UNNotificationRequest: %p; identifier: %@, content: %@, trigger: %@>", static_cast<const void*>(this),
                identifier_.get(), content_.get(), trigger_.get());
}

Ref<NSObject> UNNotificationRequest::copy() const { return Ref<NSObject>(const_cast<UNNotificationRequest*>(this)); }

// ---- notifications ----

Class UNNotification::class_() {
  static Class c = un::gated(ClassBuilder<UNNotification>("UNNotification")
                                 .method<&UNNotification::request>("request")
                                 .method<&UNNotification::date>("date")
                                 .build());
  return c;
}

Ref<UNNotification> UNNotification::notificationWithRequest(UNNotificationRequest* request, NSDate* date) {
  if (!request) throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: request != nil");
  auto n = make<UNNotification>();
  n->request_ = request;
  n->date_ = date ? Ref<NSDate>(date) : NSDate::date();
  return n;
}

std::string UNNotification::description() const {
  return format("<UNNotification: %p; date: %@, request: %@>", static_cast<const void*>(this), date_.get(),
                request_.get());
}

Ref<NSObject> UNNotification::copy() const { return Ref<NSObject>(const_cast<UNNotification*>(this)); }

// ---- responses ----

Class UNNotificationResponse::class_() {
  static Class c = un::gated(ClassBuilder<UNNotificationResponse>("UNNotificationResponse")
                                 .method<&UNNotificationResponse::notification>("notification")
                                 .method<&UNNotificationResponse::actionIdentifier>("actionIdentifier")
                                 .build());
  return c;
}

Ref<UNNotificationResponse> UNNotificationResponse::responseWithNotification(UNNotification* notification,
                                                                             NSString* actionIdentifier) {
  if (!notification) {
    throw Exception(kInvalidArgumentException, "Invalid parameter not satisfying: notification != nil");
  }
  auto r = make<UNNotificationResponse>();
  r->notification_ = notification;
  r->actionIdentifier_ =
      actionIdentifier ? un::copied(actionIdentifier) : Ref<NSString>(UNNotificationDefaultActionIdentifier());
  return r;
}

std::string UNNotificationResponse::description() const {
  return format("<UNNotificationResponse: %p; actionIdentifier: %@, notification: %@>", static_cast<const void*>(this),
                actionIdentifier_.get(), notification_.get());
}

Ref<NSObject> UNNotificationResponse::copy() const { return Ref<NSObject>(const_cast<UNNotificationResponse*>(this)); }

}  // namespace objc
