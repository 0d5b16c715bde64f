#include "orvel/OrvelNotificationRequest.h"

using objc::NSString;
using objc::Ref;

namespace {
[[maybe_unused]] const objc::Class gRegistered = OrvelNotificationRequest::class_();
}  // namespace

objc::Class OrvelNotificationRequest::class_() {
  using R = OrvelNotificationRequest;
  static objc::Class c = objc::ClassBuilder<R>("OrvelNotificationRequest")
                             .method<&R::requestIdentifier>("requestIdentifier")
                             .method<&R::setRequestIdentifier>("setRequestIdentifier:")
                             .method<&R::content>("content")
                             .method<&R::setContent>("setContent:")
                             .method<&R::trigger>("trigger")
                             .method<&R::setTrigger>("setTrigger:")
                             .method<&R::initDefault>("initDefault")
                             .classMethod("requestWithIdentifier:content:trigger:",
                                          [](objc::Class, objc::SEL, NSString* identifier,
                                             OrvelNotificationContent* content, OrvelNotificationTrigger* trigger) {
                                            return R::requestWithIdentifier(identifier, content, trigger);
                                          })
                             .build();
  return c;
}

Ref<OrvelNotificationRequest> OrvelNotificationRequest::requestWithIdentifier(NSString* identifier,
                                                                              OrvelNotificationContent* content,
                                                                              OrvelNotificationTrigger* trigger) {
  Ref<OrvelNotificationRequest> request = objc::make<OrvelNotificationRequest>()->initDefault();
  request->setContent(content);
  request->setRequestIdentifier(identifier);
  request->setTrigger(trigger);
  return request;
}

Ref<OrvelNotificationRequest> OrvelNotificationRequest::initDefault() {
  requestIdentifier_ = nullptr;
  content_ = nullptr;
  trigger_ = nullptr;
  return Ref<OrvelNotificationRequest>(this);
}

void OrvelNotificationRequest::setRequestIdentifier(NSString* value) {
  requestIdentifier_ = value ? objc::cast<NSString>(value->copy()) : nullptr;
}
