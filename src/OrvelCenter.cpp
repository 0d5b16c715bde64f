#include "orvel/OrvelCenter.h"

#include "UIKit/UIKit.h"

using objc::NSArray;
using objc::NSObject;

namespace {

[[maybe_unused]] const objc::Class gRegistered = OrvelCenter::class_();

OrvelContext* context() { return OrvelContext::currentContext(); }

}  // namespace

objc::Class OrvelCenter::class_() {
  using C = OrvelCenter;
  static objc::Class c =
      objc::ClassBuilder<C>("OrvelCenter")
          .classMethod("registerForRemoteNotification:",
                       [](objc::Class, objc::SEL, OrvelNotificationConfiguration* configuration) {
                         C::registerForRemoteNotification(configuration);
                       })
          .classMethod("requestNotificationAuthorizationStatus:",
                       [](objc::Class, objc::SEL, NSObject* handler) { C::requestNotificationAuthorizationStatus(handler); })
          .classMethod("addLocalNotification:handler:",
                       [](objc::Class, objc::SEL, OrvelNotificationRequest* request, NSObject* handler) {
                         C::addLocalNotification(request, handler);
                       })
          .classMethod("removeNotificationWithIdentifiers:requestStatuses:",
                       [](objc::Class, objc::SEL, NSArray* identifiers, OrvelNotificationRequestStatus statuses) {
                         C::removeNotificationWithIdentifiers(identifiers, statuses);
                       })
          .classMethod("setBadge:", [](objc::Class, objc::SEL, int64_t badge) { C::setBadge(badge); })
          .classMethod("clearBadge", [](objc::Class, objc::SEL) { C::clearBadge(); })
          .classMethod("clearNoticeBar", [](objc::Class, objc::SEL) { C::clearNoticeBar(); })
          .build();
  return c;
}

void OrvelCenter::registerForRemoteNotification(OrvelNotificationConfiguration* configuration) {
  objc::send<void>(context(), objc::sel<"registerForRemoteNotification:">(), configuration);
}

void OrvelCenter::requestNotificationAuthorizationStatus(NSObject* handler) {
  objc::send<void>(context(), objc::sel<"requestNotificationAuthorizationStatus:">(), handler);
}

void OrvelCenter::addLocalNotification(OrvelNotificationRequest* request, NSObject* handler) {
  objc::send<void>(context(), objc::sel<"addLocalNotification:handler:">(), request, handler);
}

void OrvelCenter::removeNotificationWithIdentifiers(NSArray* identifiers,
                                                    OrvelNotificationRequestStatus requestStatuses) {
  objc::send<void>(context(), objc::sel<"removeNotificationWithIdentifiers:requestStatuses:">(), identifiers,
                   requestStatuses);
}

void OrvelCenter::setBadge(int64_t badge) { objc::send<void>(context(), objc::sel<"setBadge:">(), badge); }

void OrvelCenter::clearBadge() { setBadge(0); }

void OrvelCenter::clearNoticeBar() {
  objc::send<void>(objc::UIApplication::sharedApplication(), objc::sel<"setApplicationIconBadgeNumber:">(), int64_t{0});
}
